#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/identify.h>
#include <flash/protection.h>
#include <flash/translation.h>
#include <startup/library.h>

#include <cstring>

#include <tests/allocation_sweep.h>

#include "flash_board.h"
#include <tests/common/known_guids.h>
#include <tests/common/startup_checks.h>

namespace flash_test {
namespace {

struct FlashEntryTest : FlashBoard {
  LegacyRegion Legacy;
  void SetUp() override {
    FlashBoard::SetUp();
    Legacy.Attach(B);
    Part.SetJedecId(0xEF, 0x40, 0x18);
  }
  std::string SignatureArea() const { return std::string(reinterpret_cast<const char *>(&Legacy.Segment[0xF5F0]), 9); }
  Uefi::Event *ReadyToBootEvent() {
    for (auto &E : U.Events)
      if (E->Group && *E->Group == known::EfiEventReadyToBootGuid) return E.get();
    return nullptr;
  }
};

const std::string Signature("QXV-TBN4\0", 9);

TEST_F(FlashEntryTest, StartupReadsPresenceSnapshotAndRomWindowBeforeIdentifying) {
  for (uint32_t Offset = 0; Offset < 0x68; Offset += 4) Controller.SetRegister(Offset, 0x11111111 * (Offset / 4 % 15));
  ASSERT_EQ(Start(), EFI_SUCCESS);

  std::vector<Access> Expected = {MmioRd(0xFEC10000, 0)};
  for (uint32_t I = 0; I < 26; ++I) Expected.push_back(MmioRd(0xFEC10000 + I * 4, 0x11111111u * (I % 15)));
  Expected.push_back(MmioRd(0xE00A306C, 0xFF00, 2));
  Expected.push_back(MmioRd(0xE00A306E, 0xFFFF, 2));
  const std::vector<Access> Mmio = B.LogOf(Space::Mmio);
  ASSERT_GT(Mmio.size(), Expected.size());
  EXPECT_ACCESSES(std::vector<Access>(Mmio.begin(), Mmio.begin() + Expected.size()), Expected);
  // Identification follows: the first command the controller sees is a read identifier.
  EXPECT_EQ(Mmio[Expected.size()], MmioWr(0xFEC10045, 0x9F, 1));

  EXPECT_EQ(ControllerSnapshot[25], 0x11111111u * 10);
  EXPECT_EQ(RomWindowBase, 0xFF000000u);
  EXPECT_EQ(RomWindowSize, 0x1000000u);
  EXPECT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(FlashDeviceOpsTable.Name, "Winbond 25X/Q Series");
  EXPECT_EQ(IdentifyFallbackHook, nullptr);
  // Nothing is installed for the table.
  EXPECT_TRUE(U.Protocols.empty());
}

TEST_F(FlashEntryTest, RomWindowFromBaseAndLimitRegisters) {
  struct Case {
    uint16_t Base, Limit;
    uint32_t WindowBase, WindowSize;
  };
  for (const Case &C : {Case{0xFF00, 0xFFFF, 0xFF000000, 0x1000000}, Case{0xFFFF, 0xFFFF, 0xFFFF0000, 0x10000},
                        Case{0xFE00, 0xFFFF, 0xFE000000, 0x2000000}}) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Base << "/" << C.Limit);
    RomWindow(C.Base, C.Limit);
    FlashEarlyStartup(nullptr, nullptr);
    EXPECT_EQ(RomWindowBase, C.WindowBase);
    EXPECT_EQ(RomWindowSize, C.WindowSize);
  }
}

TEST_F(FlashEntryTest, ReadyToBootRegisteredAtUefi20) {
  U.SystemTable.Hdr.Revision = 0x20000;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  Uefi::Event *E = ReadyToBootEvent();
  ASSERT_NE(E, nullptr);
  EXPECT_EQ(E->Type, EVT_NOTIFY_SIGNAL);
  EXPECT_EQ(E->Tpl, TPL_CALLBACK);
  EXPECT_EQ(E->Notify, PublishRomSignature);
  EXPECT_EQ(E->Context, nullptr);
}

TEST_F(FlashEntryTest, BelowUefi20NothingIsRegisteredAndEntryStillSucceeds) {
  U.SystemTable.Hdr.Revision = 0x1FFFF;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_TRUE(U.Events.empty());
  EFI_EVENT Event = nullptr;
  EXPECT_EQ(RegisterReadyToBootEvent(&Event), EFI_UNSUPPORTED);
  EXPECT_EQ(Event, nullptr);
  // A successful entry keeps its start-up pools.
  EXPECT_EQ(U.Live.size(), 3u);
}

TEST_F(FlashEntryTest, EverySignalWritesTheSignatureThroughTheOpenedRange) {
  Legacy.Install(true);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  U.SignalGroup(known::EfiEventReadyToBootGuid);
  EXPECT_EQ(SignatureArea(), Signature);
  Legacy.Segment[0xF5F0] = 'x';
  Legacy.Segment[0xF5F8] = 'y';
  U.SignalGroup(known::EfiEventReadyToBootGuid);
  EXPECT_EQ(SignatureArea(), Signature);
  EXPECT_EQ(Legacy.Calls, (std::vector<std::string>{"Open(F0000,10000)", "Close(F0000,10000)", "Open(F0000,10000)",
                                                    "Close(F0000,10000)"}));
  // Nothing outside the nine bytes changes.
  EXPECT_EQ(Legacy.Segment[0xF5EF], 0);
  EXPECT_EQ(Legacy.Segment[0xF5F9], 0);
}

TEST_F(FlashEntryTest, CloseGetsTheRangeTheOpenReported) {
  Legacy.Install(true);
  Legacy.ReportedBase = 0xE0000;
  Legacy.ReportedLength = 0x20000;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  U.SignalGroup(known::EfiEventReadyToBootGuid);
  EXPECT_EQ(Legacy.Calls, (std::vector<std::string>{"Open(F0000,10000)", "Close(E0000,20000)"}));
}

TEST_F(FlashEntryTest, FailedOpenStillClosesTheRequestedRangeAndWritesNothing) {
  Legacy.Install(true);
  Legacy.OpenStatus = EFI_ACCESS_DENIED;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  U.SignalGroup(known::EfiEventReadyToBootGuid);
  EXPECT_EQ(Legacy.Calls, (std::vector<std::string>{"Open(F0000,10000)", "Close(F0000,10000)"}));
  EXPECT_EQ(SignatureArea(), std::string(9, '\0'));  // the segment stayed read-only
}

TEST_F(FlashEntryTest, WithoutLegacyRegionProtocolNothingIsWritten) {
  Legacy.Install(false, true);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  U.LocateCalls.clear();
  U.SignalGroup(known::EfiEventReadyToBootGuid);
  EXPECT_EQ(SignatureArea(), std::string(9, '\0'));
  EXPECT_TRUE(Legacy.Calls.empty());
  ASSERT_EQ(U.LocateCalls.size(), 2u);
  EXPECT_EQ(U.LocateCalls[0], known::LegacyRegionAccessProtocolGuid);
  EXPECT_EQ(U.LocateCalls[1], known::SecondLegacyProtocolGuid);
}

TEST_F(FlashEntryTest, SmallOperations) {
  UINT32 *Sizes = nullptr;
  UINT32 Count = 7;
  EXPECT_FALSE(GetBlockSizes(&Sizes, nullptr));
  EXPECT_FALSE(GetBlockSizes(nullptr, &Count));
  EXPECT_EQ(Count, 7u);
  EXPECT_EQ(BlockSizeEntry, 0u);

  Part.SetJedecId(0x01, 0x20, 0x17);  // "Spansion 25FL(P) Series": 64 KiB sectors
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_TRUE(FlashDeviceOps->GetBlockSizes(&Sizes, &Count));
  EXPECT_EQ(Count, 1u);
  ASSERT_EQ(Sizes, &BlockSizeEntry);
  EXPECT_EQ(*Sizes, 0x10000u);

  FlashDeviceOps->WriteEnable();
  FlashDeviceOps->WriteEnable();
  EXPECT_EQ(WriteEnabled, 1);
  FlashDeviceOps->WriteDisable();
  EXPECT_EQ(WriteEnabled, 0);
  FlashDeviceOps->NoOp();

  EXPECT_EQ(FlashDeviceOps->ConvertRegisterPointer(&U.RuntimeServices, 0, 1, 2), EFI_SUCCESS);
  ASSERT_EQ(U.ConvertedPointers.size(), 1u);
  EXPECT_EQ(U.ConvertedPointers[0].first, reinterpret_cast<VOID **>(&ControllerRegisterBase));
  EXPECT_EQ(reinterpret_cast<uint64_t>(U.ConvertedPointers[0].second), 0xFEC10000u);
}

TEST_F(FlashEntryTest, TableCarriesTheDataOperations) {
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_EQ(FlashDeviceOps->Read, Read);
  EXPECT_EQ(FlashDeviceOps->EraseSector, EraseSector);
  EXPECT_EQ(FlashDeviceOps->Erase, Erase);
  EXPECT_EQ(FlashDeviceOps->Program, Program);
  EXPECT_EQ(FlashDeviceOps->Unprotect, ClearBlockProtection);
}

// On a board without the controller every register reads 0 and every MSR 0: identification
// sends three read-identifier commands, each finishing at its first polls, and finds nothing.
TEST_F(FlashEntryTest, AbsentControllerReadingZeroEndsAtOnceWithNoPart) {
  B.UnmapDevice(&Controller);
  B.UnmapDevice(&Pci);
  B.UnclaimedMmio = 0;
  B.Cpu.Msr.clear();
  B.Cpu.Cpuid[1] = {0x00060FB1, 0, 0, 0};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(OpcodesWritten(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
  // The snapshot's read, then one busy poll per command.
  EXPECT_EQ(B.LogOf(Space::Mmio, 0xFEC1004C, 0xFEC1004C).size(), 1u + 3u);
  EXPECT_EQ(B.LogOf(Space::Mmio, 0xFEC10047, 0xFEC10047).size(), 9u);  // start read, write, one completion poll
  EXPECT_EQ(B.Cpu.Pauses, 0u);
  EXPECT_EQ(FlashDeviceOps, nullptr);
  EXPECT_EQ(PartId, 0u);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(RomWindowBase, 0u);
  EXPECT_EQ(RomWindowSize, 0x10000u);
  EXPECT_EQ(WideWindowEnabled, 0);
  EXPECT_EQ(ReadyToBootEvent() != nullptr, true);
}

TEST_F(FlashEntryTest, AllOnesControllerGetsTheUnknownDeviceTable) {
  Controller.AllOnes = true;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(IdentifyFallbackHook, IdentifyUnknownDevice);
  EXPECT_EQ(OpcodesWritten(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
  // Every command gave up after 255 busy polls and was never started.
  EXPECT_EQ(B.LogOf(Space::Mmio, 0xFEC1004C, 0xFEC1004C).size(), 1u + 3u * 255);
  EXPECT_EQ(CountOf(true, 0xFEC10047), 0u);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(FlashDeviceOps->Name, "Unknown Flash Device");
  EXPECT_EQ(PartId, 0x004B4E55u);
  EXPECT_EQ(PartIdLow, 0);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(FlashDeviceOps->PageSize, 1u);
  EXPECT_EQ(FlashDeviceOps->SectorSize, 4096u);
  const FLASH_COMMAND_SET Zero = {};
  EXPECT_EQ(std::memcmp(&PartCommandSet, &Zero, sizeof Zero), 0);

  UINT8 Source[8] = {1, 2, 3, 4, 5, 6, 7, 8}, Copy[8] = {};
  UINT32 Length = sizeof Copy;
  FlashDeviceOps->Read(reinterpret_cast<uint64_t>(Source), Copy, &Length, TRUE);
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(std::memcmp(Copy, Source, sizeof Copy), 0);
  Length = 4;
  FlashDeviceOps->Read(reinterpret_cast<uint64_t>(Source), Copy, &Length, 2);  // only exactly 1 copies
  EXPECT_EQ(Length, 4u);
  // One byte and no byte: exactly what was asked is copied.
  UINT8 One[2] = {0xAA, 0xBB};
  Length = 1;
  FlashDeviceOps->Read(reinterpret_cast<uint64_t>(Source + 6), One, &Length, TRUE);
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(One[0], 7);
  EXPECT_EQ(One[1], 0xBB);
  Length = 0;
  FlashDeviceOps->Read(reinterpret_cast<uint64_t>(Source), One, &Length, TRUE);
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(One[0], 7);
  EXPECT_EQ(FlashDeviceOps->Erase(0, 0x1000, FALSE), EFI_UNSUPPORTED);
  Length = 8;
  EXPECT_FALSE(FlashDeviceOps->Program(0, Source, &Length, FALSE));
  EXPECT_EQ(Length, 8u);
  B.Log.clear();
  FlashDeviceOps->Unprotect(0, 0, 0x1C);
  EXPECT_TRUE(B.Log.empty());
}

// Every allocation refused in turn, each in a fresh start: the part is still identified, the
// ReadyToBoot notification registered, and it still writes the signature.
// The support library's start-up steps as this image carries them.
TEST_F(FlashEntryTest, StartupClearsItsPoolsAndFillsThePcdBufferOrTellsWhatIsMissing) {
  startup_checks::ExpectHobListAndPcdFields(U, [&] { return Start(); });
  startup_checks::ExpectRuntimePoolsCleared();
  for (bool FirstPresent : {false, true}) startup_checks::ExpectMissingPcdProtocolTold(FirstPresent, [&] { return Start(); });
}

TEST_F(FlashEntryTest, StartupFindsTheSmmMarkerNowOrLater) {
  for (bool PresentAtStart : {true, false}) startup_checks::ExpectSmmMarkerFound(PresentAtStart, [&] { return Start(); });
}

TEST_F(FlashEntryTest, EveryAllocationRefusedInTurn) {
  const unsigned Points = allocation_sweep::Sweep("FlashAccessDxe", [&](const allocation_sweep::Refusal &R) {
    Pcd P;
    P.Install(true, true);
    P.Values[91] = 2;
    P.Pointers[92] = std::vector<uint8_t>(16, 1);
    Legacy.Install(true);
    R.Apply(U, nullptr);
    EXPECT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
    EXPECT_NE(ReadyToBootEvent(), nullptr);
    const allocation_sweep::Calls Made = allocation_sweep::Calls::Of(U, nullptr);
    U.SignalGroup(gEfiEventReadyToBootGuid);
    EXPECT_EQ(SignatureArea(), Signature);
    return Made;
  });
  EXPECT_EQ(Points, 3u);  // the runtime pools
}

// Parts whose identification does not check the address mode rely on the start-up's own
// wide-window check: a legacy-table part and the unknown device.
struct WideWindowAtStartUpTest : FlashEntryTest, ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(LegacyPartOrUnknownDevice, WideWindowAtStartUpTest, ::testing::Bool());

TEST_P(WideWindowAtStartUpTest, IsCheckedForPartsThatDoNotCheckItThemselves) {
  const bool Unknown = GetParam();
  if (Unknown) {
    Controller.AllOnes = true;
  } else {
    Part.SetJedecId(0x12, 0x34, 0x19);
    Part.IdBytes[0x90] = {0xBF, 0x80};
  }
  WideWindow();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_NE(FlashDeviceOps, nullptr);
  EXPECT_STREQ(FlashDeviceOps->Name, Unknown ? "Unknown Flash Device" : "SST 25LF080");
  EXPECT_EQ(WideWindowEnabled, 1);
  EXPECT_EQ(WideWindowSize, 0x4000000u);
  if (!Unknown) {
    EXPECT_EQ(RomWindowBank(0), 1);  // segment 0 shows bank 1, above the first 16 MiB
    return;
  }
  // The controller reads all ones: its wide-window base is the top 64 MiB of the address space,
  // and an address there is shown by the wide window, not folded into the ROM window.
  UINT64 Address = 0xFFFFFFFFFC001000;
  EXPECT_EQ(ClassifyFlashAddress(&Address), FlashAddressWideWindow);
  EXPECT_EQ(Address, 0xFFFFFFFFFC001000u);
}

}  // namespace
}  // namespace flash_test
