#include <tests/allocation_sweep.h>

#include "capsule_fixture.h"
#include <tests/common/known_guids.h>

namespace capsule_test {
namespace {

using Trace = std::vector<std::string>;

const std::string Access2 = "LocateProtocol(" + GuidName(known::EfiSmmAccess2ProtocolGuid) + ")";
const std::string HeapListLocate = "LocateProtocol(" + GuidName(known::HeapRecordListProtocolGuid) + ")";
const std::string HeapListInstall = "InstallProtocolInterface(" + GuidName(known::HeapRecordListProtocolGuid) + ")";
const std::string NotifyOn = "SmmRegisterProtocolNotify(" + GuidName(known::MediaCapsuleNotifyGuid) + ")";
const std::string NotifyOff = "SmmWithdrawProtocolNotify(" + GuidName(known::MediaCapsuleNotifyGuid) + ")";
const std::string LocateValidation = "SmmLocateProtocol(" + GuidName(known::SmmBufferValidationProtocolGuid) + ")";
const std::string LocateSx = "SmmLocateProtocol(" + GuidName(known::EfiSmmSxDispatch2ProtocolGuid) + ")";
const std::string InstallCapsule = "SmmInstallProtocolInterface(" + GuidName(known::MediaCapsuleSmmProtocolGuid) + ")";
const std::string StagingPages = "AllocatePages(0,0,8192)";

struct EntryTest : CapsuleTest {
  // Start-up without PCD protocols and without a token list: the SMM pool calls are then
  // 1 range array, 2 heap-record list, 3 descriptor pool.
  void ExpectNothingLeftRegistered() {
    EXPECT_EQ(S.ActiveSx(), 0u);
    EXPECT_EQ(S.ActiveNotifies(known::MediaCapsuleNotifyGuid), 0u);
    EXPECT_EQ(Protocol(), nullptr);
    EXPECT_TRUE(U.Leaks().empty());
    // Only the published heap-record list stays in SMRAM.
    ASSERT_EQ(S.SmramLive.size(), 1u);
    EXPECT_EQ(S.SmramLive.begin()->first, static_cast<VOID *>(HeapList()));
    EXPECT_EQ(HeapList()->Revision, 1u);
  }
};

TEST_F(EntryTest, StartUpStepsRunInOrder) {
  P.Install(true, true);
  P.Values[91] = 1;
  P.Pointers[92] = {9, 0, 0, 0, 0, 0, 0, 0};
  AddHobList();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const Trace Expected = {
      "LocateProtocol(SmmBase2)",                                   // 1.2
      "LocateProtocol(PcdProtocol)", "LocateProtocol(EfiPcdProtocol)",  // 1.3
      "LocateProtocol(PcdProtocol)",                                // first PCD read caches it
      Access2, "GetCapabilities(0)", "SmmAllocatePool(6,32)", "GetCapabilities(32)",  // 1.4
      HeapListLocate, "SmmAllocatePool(6,24)", HeapListInstall,     // 1.6
      NotifyOn,                                                     // 1.8
      "SmmAllocatePool(6,8)",                                       // 1.9
      LocateValidation,                                             // 1.12
      StagingPages, "SmmAllocatePool(6,92)", LocateSx, "SxRegister(S5,0)", "SxRegister(S4,0)", InstallCapsule,
  };
  EXPECT_EQ(U.Trace, Expected);
  ASSERT_NE(Protocol(), nullptr);
  EXPECT_EQ(Protocol(), &MediaCapsuleProtocol);
  EXPECT_NE(Protocol()->StagingBuffer, 0u);
  EXPECT_EQ(Protocol()->StagingBuffer, StagingBuffer);
  EXPECT_EQ(StagingCapacity, 0x2000000u);
  EXPECT_EQ(U.Live.at(reinterpret_cast<VOID *>(StagingBuffer)).Type, EfiReservedMemoryType);
  EXPECT_TRUE(S.InSmram(DescriptorPool));
  EXPECT_TRUE(S.InSmram(PcdTokenList));
  EXPECT_EQ(PcdTokenList[0], 9u);
  EXPECT_EQ(CfgPcdBuffer.Field4, 1);
  EXPECT_EQ(EntryStatus, EFI_SUCCESS);
  ASSERT_EQ(S.Sx.size(), 2u);
  EXPECT_EQ(S.Sx[0].Context.Type, SxS5);
  EXPECT_EQ(S.Sx[1].Context.Type, SxS4);
  EXPECT_EQ(S.Sx[0].Context.Phase, SxEntry);
  EXPECT_EQ(S.Sx[0].Handler, &SleepEntryHandler);
  EXPECT_EQ(S.Sx[0].Handler(S.Sx[0].Handle, &S.Sx[0].Context, nullptr, nullptr), EFI_WARN_INTERRUPT_SOURCE_QUIESCED);
  EXPECT_EQ(S.ActiveNotifies(known::MediaCapsuleNotifyGuid), 1u);
  EXPECT_EQ(BufferValidation, &S.Validation);
  EXPECT_EQ(SmmRuntimeServices, &U.RuntimeServices);
  // The messages of the DXE drivers are not printed here.
  EXPECT_EQ(std::count(U.Trace.begin(), U.Trace.end(), "LocateProtocol(DebugPrint)"), 0);
}

TEST_F(EntryTest, SmmRuntimeServicesFromTheSmmConfigurationTable) {
  EFI_RUNTIME_SERVICES Smm{};
  S.AddConfigurationTable(known::EfiHobListGuid, nullptr);
  S.AddConfigurationTable(known::SmmRuntimeServicesTableGuid, &Smm);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(SmmRuntimeServices, &Smm);
}

TEST_F(EntryTest, NullSmmRuntimeServicesEntryKeepsTheSystemTables) {
  S.AddConfigurationTable(known::SmmRuntimeServicesTableGuid, nullptr);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(SmmRuntimeServices, &U.RuntimeServices);
}

TEST_F(EntryTest, StagingBufferIsPublishedBeforeTheInstallNotifies) {
  static UINT64 SeenByNotify = 1;
  VOID *Registration = nullptr;
  S.Smst().SmmRegisterProtocolNotify(
      &known::MediaCapsuleSmmProtocolGuid,
      [](const EFI_GUID *, VOID *Interface, EFI_HANDLE) EFIAPI -> EFI_STATUS {
        SeenByNotify = static_cast<MEDIA_CAPSULE_SMM_PROTOCOL *>(Interface)->StagingBuffer;
        return EFI_SUCCESS;
      },
      &Registration);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_NE(SeenByNotify, 0u);
  EXPECT_EQ(SeenByNotify, StagingBuffer);
}

TEST_F(EntryTest, RefusedStagingPagesTearDown) {
  U.RefusePageCalls = {1};
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(TraceFrom(StagingPages), (Trace{StagingPages, NotifyOff, "SmmFreePool(32)"}));
  EXPECT_EQ(EntryStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(SmramRanges, nullptr);
  ExpectNothingLeftRegistered();
}

TEST_F(EntryTest, RefusedDescriptorPoolFreesThePagesAndTearsDown) {
  P.Install(true, true);
  P.Values[91] = 2;
  P.Pointers[92] = std::vector<uint8_t>(16, 1);
  S.RefuseSmmPoolCalls = {4};  // 1 ranges, 2 heap list, 3 token list, 4 descriptor pool
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(TraceFrom(StagingPages), (Trace{StagingPages, "SmmAllocatePool(6,92)", "FreePages(8192)",
                                            "SmmFreePool(16)", NotifyOff, "SmmFreePool(32)"}));
  EXPECT_EQ(PcdTokenList, nullptr);
  EXPECT_EQ(DescriptorPool, nullptr);
  ExpectNothingLeftRegistered();
}

TEST_F(EntryTest, RefusedS4RegistrationWithdrawsS5) {
  S.RefuseSxCalls = {2};
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(TraceFrom(LocateSx), (Trace{LocateSx, "SxRegister(S5,0)", "SxRegister(S4,0)", "SxUnRegister(S5)",
                                        "FreePages(8192)", "SmmFreePool(92)", NotifyOff, "SmmFreePool(32)"}));
  ExpectNothingLeftRegistered();
  EXPECT_EQ(MediaCapsuleProtocol.StagingBuffer, 0u);
}

TEST_F(EntryTest, RefusedInstallWithdrawsBothRegistrations) {
  S.InstallStatus = EFI_ACCESS_DENIED;
  EXPECT_EQ(Start(), EFI_ACCESS_DENIED);
  EXPECT_EQ(TraceFrom(InstallCapsule), (Trace{InstallCapsule, "SxUnRegister(S4)", "SxUnRegister(S5)",
                                              "FreePages(8192)", "SmmFreePool(92)", NotifyOff, "SmmFreePool(32)"}));
  ExpectNothingLeftRegistered();
}

TEST_F(EntryTest, MissingSxDispatchFailsTheEntry) {
  S.Base.Protocols.clear();  // neither Sx dispatch nor buffer validation
  EXPECT_EQ(Start(), EFI_NOT_FOUND);
  EXPECT_EQ(BufferValidation, nullptr);
  EXPECT_EQ(TraceFrom(LocateSx), (Trace{LocateSx, "FreePages(8192)", "SmmFreePool(92)", NotifyOff, "SmmFreePool(32)"}));
  ExpectNothingLeftRegistered();
}

// With the PCD protocols present the fatal-code display is switched on; outside SMM it must
// not be reached (here it would return, so reaching it shows as port writes).
TEST_F(EntryTest, OutsideSmmNothingIsAllocated) {
  P.Install(true, true);
  TheBoard().Cpu.CpuidSi[{0xBACCD00B, 2}] = 1;
  S.Base.GetSmstStatus = EFI_UNSUPPORTED;
  EXPECT_EQ(Start(), EFI_NOT_READY);
  EXPECT_EQ(CfgPcdBuffer.Field4, 1);
  EXPECT_EQ(std::count(U.Trace.begin(), U.Trace.end(), StagingPages), 0);
  EXPECT_TRUE(WritesOf(TheBoard().Log).empty());
  EXPECT_EQ(HeapList(), nullptr);
  EXPECT_EQ(S.ActiveNotifies(gMediaCapsuleNotifyGuid), 0u);
  EXPECT_TRUE(U.Leaks().empty());
  EXPECT_TRUE(S.SmramLive.empty());
}

// Every allocation refused in turn, each in a fresh start with a token list and many heap
// records to import, then a capsule staged and commands 1 and 2 run. A start either succeeds
// with everything published, or fails with EFI_OUT_OF_RESOURCES having freed all it took:
// only the heap-record list (published for other modules) stays in SMRAM.
TEST_F(EntryTest, EveryAllocationRefusedInTurn) {
  constexpr unsigned Records = 12;
  const unsigned Points = allocation_sweep::Sweep("MediaCapsuleSmm", [&](const allocation_sweep::Refusal &R) {
    P.Install(true, true);
    P.Values[91] = 1;
    P.Pointers[92] = {9, 0, 0, 0, 0, 0, 0, 0};
    for (unsigned I = 0; I < Records; ++I) Hobs.Guid(gHeapRecordHobGuid, HeapRecord(1, {uint8_t(I)}, I % 2 ? 8 : 0));
    AddHobList();
    TheBoard().Cpu.CpuidSi[{0xBACCD00B, 2}] = 1;  // a refused record shows its fatal code and goes on
    R.Apply(U, &S);
    const EFI_STATUS Status = Start();
    // SMM pool call 2 is the list record: refused, it shows the fatal code and nothing is
    // imported. Otherwise the list holds every record but a refused one.
    const bool SmmRefused = R.What == allocation_sweep::Kind::SmmPool;
    const bool ListRefused = SmmRefused && R.Call == 2;
    const bool RecordRefused = SmmRefused && R.Call >= 3 && R.Call < 3 + Records;
    const std::vector<HEAP_RECORD_NODE *> Imported =
        HeapList() != nullptr ? Nodes(&HeapList()->ListHead) : std::vector<HEAP_RECORD_NODE *>{};
    EXPECT_EQ(HeapList() == nullptr, ListRefused);
    EXPECT_EQ(Imported.size(), ListRefused ? 0 : Records - (RecordRefused ? 1 : 0));
    EXPECT_EQ(WritesOf(TheBoard().Log).empty(), !ListRefused && !RecordRefused);  // the fatal code
    if (EFI_ERROR(Status)) {
      EXPECT_EQ(Status, EFI_OUT_OF_RESOURCES);
      EXPECT_EQ(S.ActiveSx(), 0u);
      EXPECT_EQ(S.ActiveNotifies(gMediaCapsuleNotifyGuid), 0u);
      EXPECT_EQ(Protocol(), nullptr);
      EXPECT_TRUE(U.Leaks().empty());
      for (auto &[Block, Size] : S.SmramLive) {
        bool Published = Block == static_cast<VOID *>(HeapList());
        for (HEAP_RECORD_NODE *Node : Imported) Published |= Block == static_cast<VOID *>(Node);
        EXPECT_TRUE(Published) << "SMRAM block of " << Size << " bytes left";
      }
      return allocation_sweep::Calls::Of(U, &S);
    }
    EXPECT_EQ(S.ActiveSx(), 2u);
    EXPECT_NE(Protocol(), nullptr);
    if (Protocol() == nullptr) return allocation_sweep::Calls::Of(U, &S);
    std::vector<uint8_t> Image(0x1000, 0x42);
    STAGE_BLOCK_REQUEST Block{reinterpret_cast<uintptr_t>(Image.data()), 0, 0x1000};
    EXPECT_EQ(Protocol()->StageBlock(&Block), EFI_SUCCESS);
    CAPSULE_COMMAND_REQUEST Record{};
    Record.Command = 1;
    EXPECT_EQ(Protocol()->Command(&Record), EFI_SUCCESS);
    CAPSULE_COMMAND_REQUEST Schedule{};
    Schedule.Command = 2;
    Schedule.Value = 0x1000;
    EXPECT_EQ(Protocol()->Command(&Schedule), EFI_SUCCESS);
    EXPECT_EQ(CapsulePending, 1);
    EXPECT_NE(U.GetVar(u"CapsuleUpdateData", gCapsuleVendorGuid), nullptr);
    return allocation_sweep::Calls::Of(U, &S);
  });
  // Pool: none; pages: the staging buffer; SMM pool: ranges, list record, the records, token
  // list, descriptor pool.
  EXPECT_EQ(Points, 1u + 4 + Records);
}

}  // namespace
}  // namespace capsule_test
