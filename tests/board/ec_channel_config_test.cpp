#include <board/ec_channel_config/ec_channel_config.h>
#include <startup/library.h>

#include "board_fixture.h"

namespace {

using namespace board_test;

struct EcChannelConfigTest : BoardDriverTest {
  std::vector<uint8_t> Setup = Pattern();
  void Selectors(uint8_t S0, uint8_t S1, uint8_t S2, uint8_t S3) {
    Setup[114] = S0, Setup[120] = S1, Setup[126] = S2, Setup[132] = S3;
  }
  EFI_STATUS Start() {
    StoreSetup(Setup);
    return EcChannelConfigEntry(U.ImageHandle, &U.SystemTable);
  }
  uint8_t S(size_t Offset) const { return Setup[Offset]; }
  // The writes a channel gets in table mode and in direct mode, from its "Setup" bytes.
  std::vector<Tx> Table(size_t Channel) const {
    const uint8_t Mode = 0x20 + Channel;
    switch (Channel) {
      case 0:
        return {Wr(2, Mode, 0x80), Wr(2, 0x31, S(116)), Wr(2, 0x30, S(117)), Wr(2, 0x32, S(118))};
      case 1:
        return {Wr(2, Mode, 0x80), Wr(2, 0x35, S(122)), Wr(2, 0x34, S(123)), Wr(2, 0x36, S(124)), Wr(2, 0x37, S(125))};
      case 2:
        return {Wr(2, Mode, 0x80), Wr(2, 0x3D, S(128)), Wr(2, 0x3C, S(129)), Wr(2, 0x3E, S(130)), Wr(2, 0x3F, S(131))};
      default:
        return {Wr(2, Mode, 0x80), Wr(2, 0x4D, S(134)), Wr(2, 0x4C, S(135)), Wr(2, 0x4E, S(136)), Wr(2, 0x4F, S(137))};
    }
  }
  std::vector<Tx> Direct(size_t Channel) const {
    const uint8_t Registers[] = {0x2E, 0x2F, 0x3B, 0x4B};
    return {Wr(2, 0x20 + Channel, 0x00), Wr(2, Registers[Channel], S(115 + 6 * Channel))};
  }
};

std::vector<Tx> Join(std::initializer_list<std::vector<Tx>> Groups) {
  std::vector<Tx> All;
  for (const auto &P : Groups) All.insert(All.end(), P.begin(), P.end());
  return All;
}

TEST_F(EcChannelConfigTest, AllTableModeWritesNineteenRegisters) {
  Selectors(0, 0, 0, 0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Ec.Transactions, Join({Table(0), Table(1), Table(2), Table(3)}));
  EXPECT_EQ(Ec.Transactions.size(), 19u);
  // Channel 0's fourth table value (byte 119) has no register.
  EXPECT_EQ(Ec.Reg(2, 0x33), 0);
  for (const Tx &T : Ec.Transactions) EXPECT_NE(T.Register, 0x33);
  EXPECT_EQ(Ec.Overruns, 0u);
  EXPECT_EQ(U.SetVariableCalls, 0u);
}

TEST_F(EcChannelConfigTest, AnyNonZeroSelectorIsDirectMode) {
  Selectors(1, 0xFF, 0x80, 2);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Ec.Transactions, Join({Direct(0), Direct(1), Direct(2), Direct(3)}));
  EXPECT_EQ(Ec.Transactions.size(), 8u);
}

TEST_F(EcChannelConfigTest, MixedSelectorsKeepChannelOrder) {
  Selectors(1, 0, 7, 0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Ec.Transactions, Join({Direct(0), Table(1), Direct(2), Table(3)}));
  Selectors(0, 9, 0, 9);
  Ec.Transactions.clear();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Ec.Transactions, Join({Table(0), Direct(1), Table(2), Direct(3)}));
}

TEST_F(EcChannelConfigTest, UnreadableSetupMeansNoControllerAccess) {
  const std::pair<const char *, std::vector<uint8_t>> Stored[] = {
      {"missing", {}}, {"200 bytes", Pattern(200)}, {"300 bytes", Pattern(300)}, {"read error", Pattern()}};
  for (const auto &[What, Bytes] : Stored) {
    SCOPED_TRACE(What);
    NextRun();
    if (!Bytes.empty()) StoreSetup(Bytes);
    if (std::string(What) == "read error") U.FailGetVariableCalls[1] = EFI_DEVICE_ERROR;
    EXPECT_EQ(EcChannelConfigEntry(U.ImageHandle, &U.SystemTable), EFI_SUCCESS);
    EXPECT_TRUE(TheBoard().LogOf(Space::Io, 0x68, 0x6C).empty());
    EXPECT_EQ(U.SetVariableCalls, 0u);
  }
}

TEST_F(EcChannelConfigTest, StartupKeepsOnlySystemTableAndRuntimeServices) {
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(DriverSystemTable, &U.SystemTable);
  EXPECT_EQ(DriverRuntimeServices, &U.RuntimeServices);
  EXPECT_EQ(DriverBootServices, nullptr);
  EXPECT_EQ(RuntimePool32, nullptr);  // no runtime pools in this driver
  EXPECT_TRUE(U.Live.empty());        // the record lives on the stack
}

TEST_F(EcChannelConfigTest, StartupKeepsTheHobListAndFillsEachPcdFieldOrTellsWhatIsMissing) {
  ExpectStartupKeepsHobListAndPcdFields([&] { return Start(); });
  for (bool FirstPresent : {false, true}) startup_checks::ExpectMissingPcdProtocolTold(FirstPresent, [&] { return Start(); });
}

// Reads into a record on the stack and carries no pools: there is nothing to refuse, and an
// allocation that appears would show here.
TEST_F(EcChannelConfigTest, EveryAllocationRefusedInTurn) {
  EXPECT_EQ(SweepAllocations("EcChannelConfigDxe", Setup, {}, [&] { return Start(); }), 0u);
}

}  // namespace
