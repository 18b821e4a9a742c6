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

TEST_F(EntryTest, OutsideSmmNothingIsAllocated) {
  S.Base.GetSmstStatus = EFI_UNSUPPORTED;
  EXPECT_EQ(Start(), EFI_NOT_READY);
  EXPECT_EQ(std::count(U.Trace.begin(), U.Trace.end(), StagingPages), 0);
  EXPECT_TRUE(U.Leaks().empty());
  EXPECT_TRUE(S.SmramLive.empty());
}

}  // namespace
}  // namespace capsule_test
