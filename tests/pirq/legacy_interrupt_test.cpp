#include <tests/common/access_match.h>
#include <sim/devices/index_data_pair.h>
#include <sim/uefi.h>

#include <pirq/legacy_interrupt.h>
#include <startup/library.h>
#include <tests/allocation_sweep.h>
#include <tests/common/known_guids.h>

using namespace sim;

namespace {

struct LegacyInterruptTest : ::testing::Test {
  Uefi U;
  IndexDataPair Router{0xC00, 0xC01};
  int RootBridge = 0;

  void SetUp() override { Router.Attach(TheBoard()); }

  EFI_STATUS Start() {
    EFI_STATUS Status = LegacyInterruptEntry(U.ImageHandle, &U.SystemTable);
    return Status;
  }
  EFI_LEGACY_INTERRUPT_PROTOCOL *Protocol() {
    return static_cast<EFI_LEGACY_INTERRUPT_PROTOCOL *>(U.Find(known::EfiLegacyInterruptProtocolGuid));
  }
  // The index/data pairs written, as (index, value).
  std::vector<Access> Writes() { return WritesOf(TheBoard().Log); }
};

std::vector<Access> Pairs(std::initializer_list<std::pair<uint8_t, uint8_t>> List) {
  std::vector<Access> Out;
  for (auto [Index, Value] : List) {
    Out.push_back(IoWr(0xC00, Index));
    Out.push_back(IoWr(0xC01, Value));
  }
  return Out;
}

TEST_F(LegacyInterruptTest, EntryMarksSecondBankUnroutedAndInstallsProtocol) {
  U.Install(known::EfiPciRootBridgeIoProtocolGuid, &RootBridge);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_ACCESSES(TheBoard().Log, Pairs({{0x80, 0x1F}, {0x81, 0x1F}, {0x82, 0x1F}, {0x83, 0x1F},
                                         {0x84, 0x1F}, {0x85, 0x1F}, {0x86, 0x1F}, {0x87, 0x1F}}));
  ASSERT_EQ(U.CountOf(known::EfiLegacyInterruptProtocolGuid), 1u);
  EXPECT_EQ(Protocol(), &LegacyInterruptProtocol);
  EXPECT_NE(LegacyInterruptHandle, nullptr);
  // The runtime pools stay allocated for the life of the platform.
  EXPECT_EQ(U.Live.size(), 3u);

  UINT8 N = 0, Bus = 9, Dev = 9, Fn = 9;
  EXPECT_EQ(Protocol()->GetNumberPirqs(Protocol(), &N), EFI_SUCCESS);
  EXPECT_EQ(N, 8);
  EXPECT_EQ(Protocol()->GetLocation(Protocol(), &Bus, &Dev, &Fn), EFI_SUCCESS);
  EXPECT_EQ(Bus, 0);
  EXPECT_EQ(Dev, 0x14);
  EXPECT_EQ(Fn, 3);
}

TEST_F(LegacyInterruptTest, EntryWithoutRootBridgeTouchesNoPortAndReleasesPools) {
  EXPECT_EQ(Start(), EFI_NOT_FOUND);
  EXPECT_TRUE(TheBoard().Log.empty());
  EXPECT_EQ(U.CountOf(known::EfiLegacyInterruptProtocolGuid), 0u);
  EXPECT_TRUE(U.Leaks().empty());
  EXPECT_EQ(U.FreedPools.size(), 3u);
}

TEST_F(LegacyInterruptTest, RefusedInstallStillProgramsPortsAndReleasesPools) {
  U.Install(known::EfiPciRootBridgeIoProtocolGuid, &RootBridge);
  U.InstallStatus = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Writes().size(), 16u);
  EXPECT_TRUE(U.Leaks().empty());
}

TEST_F(LegacyInterruptTest, RefusedPoolsAreNotFreed) {
  U.RefusePoolCalls = {1};  // the 32-byte pool: the other two are never asked for
  EXPECT_EQ(Start(), EFI_NOT_FOUND);
  EXPECT_EQ(U.PoolCalls, 1u);
  EXPECT_TRUE(U.FreedPools.empty());
}

TEST_F(LegacyInterruptTest, ReadPirqReadsFirstBankAndMapsUnroutedToZero) {
  Router.Registers[0x07] = 11;
  Router.Registers[0x03] = 0x1F;
  UINT8 Data = 0xEE;
  EXPECT_EQ(ReadPirq(nullptr, 7, &Data), EFI_SUCCESS);
  EXPECT_EQ(Data, 11);
  EXPECT_EQ(ReadPirq(nullptr, 3, &Data), EFI_SUCCESS);
  EXPECT_EQ(Data, 0);
  EXPECT_ACCESSES(TheBoard().Log, {IoWr(0xC00, 0x07), IoRd(0xC01, 11), IoWr(0xC00, 0x03), IoRd(0xC01, 0x1F)});
}

TEST_F(LegacyInterruptTest, OutOfRangeArgumentsTouchNoPort) {
  UINT8 Data = 0xEE;
  EXPECT_EQ(ReadPirq(nullptr, 8, &Data), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Data, 0xEE);
  EXPECT_EQ(ReadPirq(nullptr, 0, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(WritePirq(nullptr, 0, 16), EFI_INVALID_PARAMETER);
  EXPECT_EQ(WritePirq(nullptr, 8, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetNumberPirqs(nullptr, nullptr), EFI_INVALID_PARAMETER);
  UINT8 B, D;
  UINT8 F;
  EXPECT_EQ(GetLocation(nullptr, nullptr, &D, &F), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetLocation(nullptr, &B, nullptr, &F), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetLocation(nullptr, &B, &D, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(TheBoard().Log.empty());
}

TEST_F(LegacyInterruptTest, WritePirqProgramsMirrorsInTableOrder) {
  struct Case {
    UINT8 Pirq, Value;
    std::vector<Access> Expected;
  };
  const Case Cases[] = {
      {0, 11, Pairs({{0x13, 11}, {0x93, 0x10}, {0x17, 11}, {0x97, 0x10}, {0x00, 11}})},
      {2, 5, Pairs({{0x30, 5}, {0xB0, 0x12}, {0x34, 5}, {0xB4, 0x12}, {0x02, 5}})},
      {3, 9, Pairs({{0x41, 9}, {0xC1, 0x13}, {0x03, 9}})},
      {1, 4, Pairs({{0x01, 4}})},
      {4, 15, Pairs({{0x04, 15}})},
      {5, 0, Pairs({{0x05, 0}})},
      {6, 3, Pairs({{0x06, 3}})},
      {7, 7, Pairs({{0x07, 7}})},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "PIRQ " << int(C.Pirq) << " value " << int(C.Value));
    TheBoard().Log.clear();
    EXPECT_EQ(WritePirq(nullptr, C.Pirq, C.Value), EFI_SUCCESS);
    EXPECT_ACCESSES(TheBoard().Log, C.Expected);
  }
  // The PIRQ's own second-bank register is never written.
  EXPECT_EQ(Router.Registers[0x80], 0);
  EXPECT_EQ(Router.Registers[0x82], 0);
}

// Every allocation refused in turn, each in a fresh start: with the root bridge the protocol is
// installed whatever pool is refused; without it the entry fails and frees every pool it got.
TEST_F(LegacyInterruptTest, EveryAllocationRefusedInTurn) {
  for (bool RootBridgePresent : {true, false}) {
    SCOPED_TRACE(RootBridgePresent ? "root bridge present" : "no root bridge");
    const unsigned Points = allocation_sweep::Sweep("LegacyInterruptDxe", [&](const allocation_sweep::Refusal &R) {
      if (RootBridgePresent) U.Install(gEfiPciRootBridgeIoProtocolGuid, &RootBridge);
      R.Apply(U, nullptr);
      if (RootBridgePresent) {
        EXPECT_EQ(Start(), EFI_SUCCESS);
        EXPECT_EQ(U.CountOf(gEfiLegacyInterruptProtocolGuid), 1u);
      } else {
        EXPECT_EQ(Start(), EFI_NOT_FOUND);
        EXPECT_EQ(U.CountOf(gEfiLegacyInterruptProtocolGuid), 0u);
        EXPECT_TRUE(U.Leaks().empty());
      }
      return allocation_sweep::Calls::Of(U, nullptr);
    });
    EXPECT_EQ(Points, 3u);  // the three runtime pools
  }
}

}  // namespace
