#include <board/ec_board_config/ec_board_config.h>
#include <sim/devices/pci_config_ports.h>
#include <startup/library.h>

#include "board_fixture.h"
#include <tests/common/known_guids.h>

namespace {

using namespace board_test;

struct EcBoardConfigTest : BoardDriverTest {
  PciConfigPorts Pci;
  std::vector<uint8_t> Setup = Pattern();

  void SetUp() override {
    BoardDriverTest::SetUp();
    Pci.Attach(TheBoard());
    Pci.SetWord(0, 1, 1, 0x6A, 0x0041);  // x4
    Setup[139] = 1, Setup[140] = 0x07, Setup[147] = 0x01;
    Switches(0, 1, 2, 0, 1);
    Ec.Reg(1, 0x21) = 0x00, Ec.Reg(1, 0x22) = 0x04, Ec.Reg(1, 0x24) = 0xC0, Ec.Reg(1, 0x27) = 0x00;
    Ec.Reg(1, 0xF0) = 0xAA, Ec.Reg(1, 0xF1) = 0xFF;
  }
  void Switches(uint8_t B141, uint8_t B142, uint8_t B143, uint8_t B144, uint8_t B145) {
    Setup[141] = B141, Setup[142] = B142, Setup[143] = B143, Setup[144] = B144, Setup[145] = B145;
  }
  EFI_STATUS Start() {
    StoreSetup(Setup);
    return EcBoardConfigEntry(U.ImageHandle, &U.SystemTable);
  }
  std::vector<Tx> WritesTo(uint8_t Bank, uint8_t Register) const {
    std::vector<Tx> Out;
    for (const Tx &T : Ec.Transactions)
      if (T.Write && T.Bank == Bank && T.Register == Register) Out.push_back(T);
    return Out;
  }
};

TEST_F(EcBoardConfigTest, StatusBitClearRunsEveryStepInOrder) {
  Ec.Reg(0, 0x45) = 0xFE;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const std::vector<Tx> Expected = {
      Rd(0, 0x45, 0xFE),                     // status report
      Rd(0, 0x45, 0xFE), Wr(0, 0x16, 0x01),  // byte 140 unused while bit 0 is clear
      Rd(1, 0x21, 0x00), Wr(1, 0x21, 0x08),  // byte 139 = 1 into bit 3
      Rd(1, 0x22, 0x04), Wr(1, 0x22, 0x08),  // 141 = 0 clears bit 2, 142 = 1 sets bit 3
      Rd(1, 0x24, 0xC0), Wr(1, 0x24, 0x40),  // 143 = 2 keeps bit 6, 144 = 0 clears bit 7
      Rd(1, 0x27, 0x00), Wr(1, 0x27, 0x01),  // 145 = 1 sets bit 0
      Rd(1, 0x21, 0x08), Wr(1, 0x21, 0x88),  // byte 147 bit 0 into bit 7
      Rd(1, 0xF0, 0xAA), Wr(1, 0xF0, 0x00),  // marker acknowledged
      Rd(1, 0xF1, 0xFF), Wr(1, 0xF1, 0xF3),  // x4 is code 3
      Rd(1, 0xF1, 0xF3), Wr(1, 0xF1, 0x03),  // no second link
  };
  EXPECT_EQ(Ec.Transactions, Expected);
  EXPECT_EQ(Ec.Overruns, 0u);
  ExpectSetup(Setup, {{138, 1}});
  EXPECT_EQ(U.SetVariableCalls, 1u);
}

TEST_F(EcBoardConfigTest, StatusBitSetPassesByte140) {
  Ec.Reg(0, 0x45) = 0x01;
  Ec.Reg(1, 0xF0) = 0xAB;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(WritesTo(0, 0x16), std::vector<Tx>{Wr(0, 0x16, 0x07)});
  EXPECT_TRUE(WritesTo(1, 0xF0).empty());
  ExpectSetup(Setup, {{138, 0}});
}

TEST_F(EcBoardConfigTest, ThreeWaySwitchesClearSetOrKeep) {
  struct Case {
    uint8_t Switch, Initial;
    uint8_t Reg22, Reg24, Reg27;
  };
  const Case Cases[] = {
      {0, 0xFF, 0xF3, 0x3F, 0xFE}, {1, 0x00, 0x0C, 0xC0, 0x01},    {2, 0x00, 0x00, 0x00, 0x00},
      {2, 0xFF, 0xFF, 0xFF, 0xFF}, {0x80, 0x5A, 0x5A, 0x5A, 0x5A},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "switches " << int(C.Switch) << " over " << int(C.Initial));
    Ec.Transactions.clear();
    Switches(C.Switch, C.Switch, C.Switch, C.Switch, C.Switch);
    Ec.Reg(1, 0x22) = Ec.Reg(1, 0x24) = Ec.Reg(1, 0x27) = C.Initial;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    // Written even when nothing changes.
    EXPECT_EQ(WritesTo(1, 0x22), std::vector<Tx>{Wr(1, 0x22, C.Reg22)});
    EXPECT_EQ(WritesTo(1, 0x24), std::vector<Tx>{Wr(1, 0x24, C.Reg24)});
    EXPECT_EQ(WritesTo(1, 0x27), std::vector<Tx>{Wr(1, 0x27, C.Reg27)});
  }
}

TEST_F(EcBoardConfigTest, Byte139IsShiftedAndOnlyBitZeroOf147Counts) {
  struct Case {
    uint8_t B139, B147, Initial, First, Second;
  };
  const Case Cases[] = {
      {1, 0x01, 0x00, 0x08, 0x88},
      {2, 0x02, 0x08, 0x10, 0x10},  // 2 sets bit 4 and clears bit 3
      {0, 0x03, 0xFF, 0xF7, 0xF7},
      {0, 0x00, 0x80, 0x80, 0x00},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "139 = " << int(C.B139) << ", 147 = " << int(C.B147));
    Ec.Transactions.clear();
    Setup[139] = C.B139, Setup[147] = C.B147;
    Ec.Reg(1, 0x21) = C.Initial;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(WritesTo(1, 0x21), (std::vector<Tx>{Wr(1, 0x21, C.First), Wr(1, 0x21, C.Second)}));
  }
}

TEST_F(EcBoardConfigTest, LinkWidthCodes) {
  const std::pair<uint16_t, uint8_t> Cases[] = {{0x0011, 1}, {0x0021, 2}, {0x0041, 3}, {0x0081, 4},
                                                {0x0101, 5}, {0x0031, 0}, {0x0000, 0}, {0x3F01, 0}};
  for (auto [Word, Code] : Cases) {
    SCOPED_TRACE(testing::Message() << "link status " << Word);
    TheBoard().Log.clear();
    Pci.SetWord(0, 1, 1, 0x6A, Word);
    Ec.Reg(1, 0xF1) = 0xA5;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(Ec.Reg(1, 0xF1), Code);
    EXPECT_ACCESSES(TheBoard().LogOf(Space::Io, 0xCF8, 0xCFF), {IoWr(0xCF8, 0x80000968, 4), IoRd(0xCFE, Word, 2)});
  }
}

TEST_F(EcBoardConfigTest, NoDeviceBehindTheLinkReportsZero) {
  PciConfigPorts Empty;
  Empty.Attach(TheBoard());
  Ec.Reg(1, 0xF1) = 0x5F;
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_ACCESSES(TheBoard().LogOf(Space::Io, 0xCF8, 0xCFF), {IoWr(0xCF8, 0x80000968, 4), IoRd(0xCFE, 0xFFFF, 2)});
  EXPECT_EQ(WritesTo(1, 0xF1), (std::vector<Tx>{Wr(1, 0xF1, 0x50), Wr(1, 0xF1, 0x00)}));
}

// Each read of the record fails on its own; numbers are GetVariable calls (two per
// GetSetupVariable, one for the last read) and pool calls (one per GetSetupVariable).
TEST_F(EcBoardConfigTest, EachFailedReadSkipsOnlyItsStep) {
  struct Case {
    const char *What;
    unsigned FailCall, RefusePool;
    uint8_t Status45;
    std::vector<std::pair<uint8_t, size_t>> Bank1Writes;  // register, count
    size_t Reg16Writes;
    bool SetupWritten;
  };
  const Case Cases[] = {
      {"status report", 2, 0, 0x01, {{0x21, 2}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 1, false},
      {"register 0x16, bit set", 4, 0, 0x01, {{0x21, 2}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 0, true},
      {"register 0x16, bit clear", 0, 2, 0x00, {{0x21, 2}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 1, true},
      {"bit 3 of 0x21", 6, 0, 0x01, {{0x21, 1}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 1, true},
      {"bit 3 of 0x21, pool", 0, 3, 0x01, {{0x21, 1}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 1, true},
      {"switches", 8, 0, 0x01, {{0x21, 2}, {0x22, 0}, {0x24, 0}, {0x27, 0}}, 1, true},
      {"bit 7 of 0x21", 9, 0, 0x01, {{0x21, 1}, {0x22, 1}, {0x24, 1}, {0x27, 1}}, 1, true},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    NextRun();
    if (C.FailCall) U.FailGetVariableCalls[C.FailCall] = EFI_DEVICE_ERROR;
    if (C.RefusePool) U.RefusePoolCalls = {C.RefusePool};
    Ec.Reg(0, 0x45) = C.Status45;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    for (auto [Register, Count] : C.Bank1Writes) EXPECT_EQ(WritesTo(1, Register).size(), Count) << Register;
    EXPECT_EQ(WritesTo(0, 0x16).size(), C.Reg16Writes);
    EXPECT_EQ(U.SetVariableCalls, C.SetupWritten ? 1u : 0u);
    EXPECT_EQ(Ec.Transactions.front(), Rd(0, 0x45, C.Status45));  // read whether or not the record was
    EXPECT_EQ(WritesTo(1, 0xF1).size(), 2u);
  }
}

TEST_F(EcBoardConfigTest, RecordOfAnotherSizeIsNeverUsed) {
  for (SetupFault Fault : {SetupFault::Missing, SetupFault::Short, SetupFault::Long}) {
    for (uint8_t Status45 : {0x00, 0x01}) {
      SCOPED_TRACE(testing::Message() << Name(Fault) << ", 0x45 = " << int(Status45));
      NextRun();
      const auto Stored = InjectSetupFault(Fault, 0, 0);
      Ec.Reg(0, 0x45) = Status45;
      ASSERT_EQ(EcBoardConfigEntry(U.ImageHandle, &U.SystemTable), EFI_SUCCESS);
      EXPECT_EQ(U.SetVariableCalls, 0u);
      EXPECT_EQ(StoredSetup(), Stored);
      // Only what needs no record: register 0x16's default, the marker and the link width.
      std::vector<Tx> Writes;
      for (const Tx &T : Ec.Transactions)
        if (T.Write) Writes.push_back(T);
      std::vector<Tx> Expected = {Wr(1, 0xF0, 0x00), Wr(1, 0xF1, 0xF3), Wr(1, 0xF1, 0x03)};
      if (Status45 == 0) Expected.insert(Expected.begin(), Wr(0, 0x16, 0x01));
      EXPECT_EQ(Writes, Expected);
      Ec.Reg(1, 0xF0) = 0xAA, Ec.Reg(1, 0xF1) = 0xFF;
    }
  }
}

// As on a machine without the controller and without a device at 00:01.1.
TEST_F(EcBoardConfigTest, AbsentControllerSpendsEachWaitOnce) {
  Ec.State = EmbeddedController::Mode::Absent;
  TheBoard().UnmapDevice(&Pci);
  TheBoard().Logging = false;
  size_t StatusReads = 0;
  TheBoard().OnAccess = [&](const Access &A) { StatusReads += !A.Write && A.Address == 0x6C; };
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ExpectSetup(Setup, {{138, 0}});
  // Ten reads (four full waits, OBF at once) and eight writes (five full waits); 0xF0 reads
  // 0xFF, so it is not written.
  EXPECT_EQ(StatusReads, 10 * (4 * 5000 + 1) + 8 * 5 * 5000u);
}

TEST_F(EcBoardConfigTest, StartupHasNoPoolsAndNoSmmStep) {
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(RuntimePool32, nullptr);
  EXPECT_EQ(DriverBootServices, &U.BootServices);
  for (const EFI_GUID &G : U.LocateCalls) EXPECT_NE(G, known::EfiSmmBase2ProtocolGuid);
  EXPECT_EQ(U.PoolRequests.size(), 4u);  // one fresh record per GetSetupVariable, none released
  EXPECT_TRUE(U.FreedPools.empty());
}

TEST_F(EcBoardConfigTest, StartupKeepsTheHobListAndFillsEachPcdFieldOrTellsWhatIsMissing) {
  ExpectStartupKeepsHobListAndPcdFields([&] { return Start(); });
  for (bool FirstPresent : {false, true}) startup_checks::ExpectMissingPcdProtocolTold(FirstPresent, [&] { return Start(); });
}

// Every allocation refused in turn, each in a fresh start.
TEST_F(EcBoardConfigTest, EveryAllocationRefusedInTurn) {
  EXPECT_EQ(SweepAllocations("EcBoardConfigDxe", Setup, {138}, [&] { return Start(); }), 4u);  // one record per reallocating read
}

}  // namespace
