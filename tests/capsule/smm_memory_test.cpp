#include "capsule_fixture.h"
#include <tests/common/known_guids.h>

namespace capsule_test {
namespace {

struct SmmMemoryTest : CapsuleTest {
  // The library state the start-up steps leave before the pool and import steps.
  void Prepare() {
    StoreLibraryTables(&U.SystemTable);
    SmmSystemTable = &S.Smst();
  }
  std::vector<uint8_t> NodeData(HEAP_RECORD_NODE *N) {
    auto *D = reinterpret_cast<uint8_t *>(N + 1);
    return {D, D + N->Header.DataSize};
  }
};

TEST_F(SmmMemoryTest, PoolFreeGoesToTheSideThatOwnsThePointer) {
  Prepare();
  S.Ranges = {{0, 0x100000, 0x1000, 0}, {0, reinterpret_cast<uintptr_t>(S.SmramBase()), S.SmramSize(), 0}};
  ReadSmramRanges();
  ASSERT_EQ(SmramRangeCount, 2u);
  EXPECT_EQ(SmramRanges[0].CpuStart, 0x100000u);
  EXPECT_TRUE(IsBufferInSmram(0x100000));
  EXPECT_TRUE(IsBufferInSmram(0x100FFF));
  EXPECT_FALSE(IsBufferInSmram(0x101000));  // one past the range
  EXPECT_FALSE(IsBufferInSmram(0xFFFFF));

  VOID *Smram = SmmPoolAllocate(40);
  ASSERT_TRUE(S.InSmram(Smram));
  VOID *Boot = nullptr;
  ASSERT_EQ(U.BootServices.AllocatePool(EfiBootServicesData, 40, &Boot), EFI_SUCCESS);
  U.Trace.clear();
  PoolFree(Smram);
  PoolFree(Boot);
  EXPECT_EQ(U.Trace, (std::vector<std::string>{"SmmFreePool(40)", "FreePool(40)"}));

  S.RefuseSmmPoolCalls = {S.SmmPoolCalls + 1};
  EXPECT_EQ(SmmPoolAllocate(8), nullptr);
}

TEST_F(SmmMemoryTest, WithoutRangesTheBootServicesGetForeignPointersOnly) {
  Prepare();
  U.Protocols.clear();  // no SMM access2
  ReadSmramRanges();
  EXPECT_EQ(SmramRangeCount, 0u);
  EXPECT_EQ(SmramRanges, nullptr);
  VOID *Boot = nullptr;
  U.BootServices.AllocatePool(EfiBootServicesData, 8, &Boot);
  VOID *Own = SmmPoolAllocate(8);
  U.Trace.clear();
  PoolFree(Boot);
  ReleaseOwnPool(Own);  // an SMRAM pointer never reaches the boot services
  EXPECT_EQ(U.Trace, (std::vector<std::string>{"FreePool(8)", "SmmFreePool(8)"}));
}

TEST_F(SmmMemoryTest, RangeArrayRefusedOrUnfilled) {
  Prepare();
  S.RefuseSmmPoolCalls = {1};
  ReadSmramRanges();
  EXPECT_EQ(SmramRangeCount, 0u);
  EXPECT_FALSE(IsBufferInSmram(reinterpret_cast<uintptr_t>(S.SmramBase())));

  // The second GetCapabilities fails: the array is kept for the teardown but holds no ranges.
  S.SecondCapabilitiesStatus = EFI_DEVICE_ERROR;
  ReadSmramRanges();
  EXPECT_EQ(SmramRangeCount, 0u);
  ASSERT_NE(SmramRanges, nullptr);
  EXPECT_FALSE(IsBufferInSmram(reinterpret_cast<uintptr_t>(SmramRanges)));
}

TEST_F(SmmMemoryTest, RangeFailuresInAStartedImageLeaveNothingBehind) {
  S.SecondCapabilitiesStatus = EFI_DEVICE_ERROR;
  S.RefuseSxCalls = {1};
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(U.Leaks().empty());
  EXPECT_EQ(S.SmramLive.size(), 1u);  // the published heap-record list only
  EXPECT_EQ(std::count(U.Trace.begin(), U.Trace.end(), "FreePool(32)"), 0);
}

TEST_F(SmmMemoryTest, HeapRecordsAreImportedInHobOrder) {
  Prepare();
  std::vector<uint8_t> Large(0x8000);  // a HOB length with its top bit set
  for (size_t I = 0; I < Large.size(); ++I) Large[I] = static_cast<uint8_t>(I * 13 + 1);
  Hobs.Raw(EFI_HOB_TYPE_HANDOFF, std::vector<uint8_t>(48))
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {1, 2, 3}, 8))
      .Guid(known::EfiPcdProtocolGuid, HeapRecord(1, {9}))       // another GUID
      .Guid(known::HeapRecordHobGuid, HeapRecord(0, {4, 5}))     // not for import
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {}))         // no data: a bare 32-byte node
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {6}, 0, 0x50414547))  // wrong signature
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {7, 8, 9, 10}))
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, Large));
  AddHobList();
  ImportHeapRecords();
  ASSERT_NE(HeapList(), nullptr);
  EXPECT_EQ(HeapList()->Revision, 1u);
  EXPECT_TRUE(S.InSmram(HeapList()));
  EXPECT_EQ(HeapRecordList, &HeapList()->ListHead);
  auto N = Nodes(HeapRecordList);
  ASSERT_EQ(N.size(), 4u);
  EXPECT_EQ(NodeData(N[0]), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(N[0]->Header.Kind, 8);
  EXPECT_EQ(S.SmramLive.at(N[1]), 32u);
  EXPECT_EQ(NodeData(N[2]), (std::vector<uint8_t>{7, 8, 9, 10}));
  EXPECT_EQ(NodeData(N[3]), Large);
  EXPECT_EQ(HeapRecordList->BackLink, &N[3]->Link);
  EXPECT_EQ(N[3]->Link.ForwardLink, HeapRecordList);
  EXPECT_EQ(N[1]->Link.BackLink, &N[0]->Link);
}

TEST_F(SmmMemoryTest, AnExistingListIsTakenOverWithoutReadingHobs) {
  Prepare();
  HEAP_RECORD_LIST_PROTOCOL Existing{1, {&Existing.ListHead, &Existing.ListHead}};
  U.Install(known::HeapRecordListProtocolGuid, &Existing);
  Hobs.Guid(known::HeapRecordHobGuid, HeapRecord(1, {1}));
  AddHobList();
  ImportHeapRecords();
  EXPECT_EQ(HeapRecordList, &Existing.ListHead);
  EXPECT_EQ(U.CountOf(known::HeapRecordListProtocolGuid), 1u);
  EXPECT_EQ(S.SmmPoolCalls, 0u);
  EXPECT_EQ(HobList, nullptr);  // never even looked up
}

TEST_F(SmmMemoryTest, NoHobListStillPublishesTheEmptyList) {
  Prepare();
  ImportHeapRecords();
  ASSERT_NE(HeapList(), nullptr);
  EXPECT_EQ(HeapList()->ListHead.ForwardLink, &HeapList()->ListHead);
  EXPECT_EQ(HeapList()->ListHead.BackLink, &HeapList()->ListHead);
}

TEST_F(SmmMemoryTest, MalformedHeapHobsAreSkipped) {
  Prepare();
  auto Short = HeapRecord(1, {});
  Short.resize(8);  // shorter than the record header
  auto Overlong = HeapRecord(1, {1, 2, 3, 4});
  Overlong[8] = 0xF0;  // DataSize 0xF0 runs far past the HOB
  auto Huge = HeapRecord(1, {1});
  std::memset(&Huge[8], 0xFF, 4);  // DataSize 0xFFFFFFFF: the 32-bit sum would wrap
  auto Fits = HeapRecord(1, {1, 2, 3, 4, 5});
  Fits[8] = 8;  // the HOB is padded to 8 bytes, so 8 bytes of data still lie inside it
  Hobs.Guid(known::HeapRecordHobGuid, Short)
      .Guid(known::HeapRecordHobGuid, Overlong)
      .Guid(known::HeapRecordHobGuid, Huge)
      .Raw(EFI_HOB_TYPE_GUID_EXTENSION, std::vector<uint8_t>(8))  // too short for its own name
      .Guid(known::HeapRecordHobGuid, Fits);
  AddHobList();
  ImportHeapRecords();
  auto N = Nodes(HeapRecordList);
  ASSERT_EQ(N.size(), 1u);
  EXPECT_EQ(NodeData(N[0]), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST_F(SmmMemoryTest, AHobLengthBelowEightEndsTheWalk) {
  Prepare();
  Hobs.Guid(known::HeapRecordHobGuid, HeapRecord(1, {1}))
      .Raw(EFI_HOB_TYPE_UNUSED, std::vector<uint8_t>(8), 4)
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {2}));
  AddHobList();
  ImportHeapRecords();
  ASSERT_EQ(Nodes(HeapRecordList).size(), 1u);
  // A zero length too: the walk would otherwise stand still.
  std::vector<uint64_t> Zero = {static_cast<uint64_t>(EFI_HOB_TYPE_GUID_EXTENSION), 0};
  EXPECT_EQ(NextHeapRecordHob(reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(Zero.data())), nullptr);
}

TEST_F(SmmMemoryTest, RefusedNodeReportsTheFatalCodeByKind) {
  Prepare();
  CfgPcdBuffer.Field4 = 1;
  TheBoard().Cpu.CpuidSi[{0xBACCD00B, 2}] = 1;  // a simulation: the report returns
  Hobs.Guid(known::HeapRecordHobGuid, HeapRecord(1, {1}, 8))
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {2}, 3))
      .Guid(known::HeapRecordHobGuid, HeapRecord(1, {3}));
  AddHobList();
  S.RefuseSmmPoolCalls = {2, 3};  // 1 is the list record
  ImportHeapRecords();
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0xE0, 0xDEAD, 2), IoWr(0x80, 0x80134, 4), IoWr(0xE0, 0xDEAD, 2),
                                             IoWr(0x80, 0x80137, 4)});
  auto N = Nodes(HeapRecordList);
  ASSERT_EQ(N.size(), 1u);
  EXPECT_EQ(NodeData(N[0]), (std::vector<uint8_t>{3}));
}

TEST_F(SmmMemoryTest, RefusedInstallOrRecordReportsTheFatalCode) {
  Prepare();
  CfgPcdBuffer.Field4 = 1;
  TheBoard().Cpu.CpuidSi[{0xBACCD00B, 2}] = 1;
  U.InstallStatus = EFI_OUT_OF_RESOURCES;
  ImportHeapRecords();
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0xE0, 0xDEAD, 2), IoWr(0x80, 0x80225, 4)});
  TheBoard().Log.clear();
  U.InstallStatus = EFI_SUCCESS;
  S.RefuseSmmPoolCalls = {S.SmmPoolCalls + 1};
  ImportHeapRecords();
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0xE0, 0xDEAD, 2), IoWr(0x80, 0x80225, 4)});
  EXPECT_EQ(U.CountOf(known::HeapRecordListProtocolGuid), 0u);
}

}  // namespace
}  // namespace capsule_test
