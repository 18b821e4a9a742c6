#include <board/ec_setup_sync/ec_setup_sync.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>

#include <optional>

#include "board_fixture.h"
#include <tests/common/known_guids.h>

namespace {

using namespace board_test;

struct EcSetupSyncTest : BoardDriverTest {
  std::vector<uint8_t> Setup = Pattern();
  void Registers(uint8_t Request, uint8_t Control, uint8_t High, uint8_t Low, uint8_t Byte, uint8_t Counter,
                 uint8_t Flags = 0x41) {
    Ec.Reg(0, 0x80) = Request, Ec.Reg(0, 0x81) = Control, Ec.Reg(0, 0x84) = High, Ec.Reg(0, 0x85) = Low;
    Ec.Reg(0, 0x86) = Byte, Ec.Reg(0, 0x87) = Counter, Ec.Reg(0, 0x88) = Flags;
  }
  EFI_STATUS Start() { return EcSetupSyncEntry(U.ImageHandle, &U.SystemTable); }
  std::vector<Tx> SixReads() const {
    std::vector<Tx> Reads;
    for (uint8_t R : {0x80, 0x81, 0x84, 0x85, 0x86, 0x87}) Reads.push_back(Rd(0, R, Ec.Banks[0][R]));
    return Reads;
  }
};

TEST_F(EcSetupSyncTest, CopiesControllerStateAndKeepsEveryOtherByte) {
  StoreSetup(Setup);
  Registers(0x00, 0x10, 0x12, 0x34, 0x56, 5);
  const auto Reads = SixReads();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ExpectSetup(Setup, {{55, 1}, {57, 0x34}, {58, 0x12}, {59, 0x56}});
  EXPECT_EQ(U.SetVariableCalls, 1u);
  // Countdown enabled, nothing requested, counter 5: no write at all.
  EXPECT_EQ(Ec.Transactions, Reads);
  EXPECT_EQ(Ec.Overruns, 0u);
}

TEST_F(EcSetupSyncTest, ZeroValuesLeaveTheirBytesAndControlBitFourClearIsReported) {
  StoreSetup(Setup);
  Registers(0x01, 0xEF, 0x00, 0x00, 0x00, 0);
  const auto Reads = SixReads();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ExpectSetup(Setup, {{55, 0}});
  // Countdown disabled: the controller sees only the six reads, even with a request pending.
  EXPECT_EQ(Ec.Transactions, Reads);

  // A high byte alone still counts as a non-zero value.
  Ec.Transactions.clear();
  Registers(0x00, 0x00, 0x01, 0x00, 0x00, 0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ExpectSetup(Setup, {{55, 0}, {57, 0x00}, {58, 0x01}});
}

TEST_F(EcSetupSyncTest, CountdownServesRequestsInOrder) {
  struct Case {
    uint8_t Request, Counter;
    std::vector<Tx> After;  // the transactions after the six reads
  };
  const Case Cases[] = {
      {0x03, 5, {Wr(0, 0x80, 0x02), Wr(0, 0x87, 4)}},
      {0x01, 1, {Wr(0, 0x80, 0x00), Wr(0, 0x87, 0), Rd(0, 0x88, 0x41), Wr(0, 0x88, 0x45)}},
      {0x81, 0, {Wr(0, 0x80, 0x80), Wr(0, 0x87, 0), Rd(0, 0x88, 0x41), Wr(0, 0x88, 0x45)}},  // no wrap to 255
      {0x02, 0, {Rd(0, 0x88, 0x41), Wr(0, 0x88, 0x45)}},
      {0x00, 5, {}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "request " << int(C.Request) << " counter " << int(C.Counter));
    Ec.Transactions.clear();
    Registers(C.Request, 0x10, 0, 0, 0, C.Counter);
    std::vector<Tx> Expected = SixReads();
    Expected.insert(Expected.end(), C.After.begin(), C.After.end());
    ASSERT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(Ec.Transactions, Expected);
  }
}

TEST_F(EcSetupSyncTest, SetupWriteComesBetweenTheReadsAndTheCountdown) {
  StoreSetup(Setup);
  Registers(0x01, 0x10, 0, 0, 0, 1);
  std::optional<size_t> TransactionsAtWrite;
  U.SetVariableStatus = EFI_WRITE_PROTECTED;  // ignored by the driver
  TheBoard().OnAccess = [&](const Access &) {
    if (U.SetVariableCalls == 1 && !TransactionsAtWrite) TransactionsAtWrite = Ec.Transactions.size();
  };
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(TransactionsAtWrite, 6u);
  EXPECT_EQ(Ec.Transactions.size(), 10u);
  EXPECT_EQ(StoredSetup(), Setup);
}

TEST_F(EcSetupSyncTest, UnreadableSetupIsNotWrittenButTheControllerIsServed) {
  for (SetupFault Fault : AllSetupFaults) {
    SCOPED_TRACE(Name(Fault));
    NextRun();
    // The runtime pools come first: three calls on the first start, one on later ones.
    const auto Stored = InjectSetupFault(Fault, RuntimePool100 == nullptr ? 4 : 2, 2);
    Registers(0x01, 0x10, 0x12, 0x34, 0x56, 1);
    ASSERT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(U.SetVariableCalls, 0u);
    EXPECT_EQ(StoredSetup(), Stored);
    EXPECT_EQ(Ec.Transactions.size(), 10u);  // six reads, 0x80, 0x87, and 0x88 read and written
  }
}

// As on a machine without the controller: every port reads all ones.
TEST_F(EcSetupSyncTest, AbsentControllerGivesAllOnes) {
  StoreSetup(Setup);
  Ec.State = EmbeddedController::Mode::Absent;
  TheBoard().Logging = false;
  std::vector<Access> Writes;
  size_t StatusReads = 0;
  TheBoard().OnAccess = [&](const Access &A) {
    if (A.Write) Writes.push_back(A);
    StatusReads += !A.Write && A.Address == 0x6C;
  };
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ExpectSetup(Setup, {{55, 1}, {57, 0xFF}, {58, 0xFF}, {59, 0xFF}});
  // Request 0xFF and counter 0xFF: 0x80 gets 0xFE, the counter 0xFE, 0x88 is left alone.
  std::vector<uint8_t> DataBytes;
  for (const Access &A : Writes)
    if (A.Address == 0x68) DataBytes.push_back(static_cast<uint8_t>(A.Value));
  const std::vector<uint8_t> Expected = {0x00, 0x80, 0x00, 0x81, 0x00, 0x84, 0x00, 0x85, 0x00,
                                         0x86, 0x00, 0x87, 0x80, 0x80, 0xFE, 0x80, 0x87, 0xFE};
  EXPECT_EQ(DataBytes, Expected);
  // Each byte's two waits run to the budget; each answer's wait ends at once (OBF reads set).
  EXPECT_EQ(StatusReads, 6 * (6 * 65521 + 1) + 2 * 8 * 65521u);
}

TEST_F(EcSetupSyncTest, StartupCarriesPoolsTokenListHobListThenSmmMarker) {
  Pcd P;
  P.Install(true, true);
  P.Values[91] = 1;
  P.Pointers[92] = {1, 0, 0, 0, 0, 0, 0, 0};
  HobBuilder Hobs;
  U.AddConfigurationTable(known::EfiHobListGuid, Hobs.Finish());
  bool HobKnownAtSmmStep = false;
  U.OnLocate = [&](const std::string &Name) {
    if (Name == "SmmBase2") HobKnownAtSmmStep = HobList != nullptr;
  };
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_TRUE(HobKnownAtSmmStep);
  EXPECT_NE(PcdTokenList, nullptr);
  startup_checks::ExpectRuntimePoolsCleared();
  EXPECT_EQ(DriverBootServices, &U.BootServices);
  EXPECT_EQ(+CfgPcdBuffer.Field1, 0x0101);
}

TEST_F(EcSetupSyncTest, StartupTellsAMissingPcdProtocolAndFindsTheSmmMarkerNowOrLater) {
  for (bool FirstPresent : {false, true}) startup_checks::ExpectMissingPcdProtocolTold(FirstPresent, [&] { return Start(); });
  for (bool PresentAtStart : {true, false}) startup_checks::ExpectSmmMarkerFound(PresentAtStart, [&] { return Start(); });
}

// Every allocation refused in turn, each in a fresh start.
TEST_F(EcSetupSyncTest, EveryAllocationRefusedInTurn) {
  StoreSetup(Setup);
  Registers(0x01, 0x10, 0x12, 0x34, 0x56, 1);
  EXPECT_EQ(SweepAllocations("EcSetupSyncDxe", Setup, {55, 57, 58, 59}, [&] { return Start(); }), 5u);  // runtime pools, token list, record
}

}  // namespace
