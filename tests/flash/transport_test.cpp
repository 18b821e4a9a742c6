#include <flash/transport.h>

#include "flash_board.h"

namespace flash_test {
namespace {

struct TransportTest : FlashBoard {
  std::vector<uint8_t> FifoWrites() const {
    std::vector<uint8_t> Out;
    for (const Access &A : B.Log)
      if (A.Write && A.Address >= 0xFEC10080 && A.Address < 0xFEC10100) Out.push_back(static_cast<uint8_t>(A.Value));
    return Out;
  }
};

TEST_F(TransportTest, RegisterOrderOfOneCommand) {
  UINT8 Data[2] = {0xA1, 0xA2};
  SpiSendCommand(0x02, 5, 0, 3, 0x123456, Data, FALSE);
  EXPECT_ACCESSES(B.Log, {MmioWr(0xFEC10045, 0x02, 1), MmioWr(0xFEC10048, 5, 1), MmioWr(0xFEC1004B, 0, 1),
                          MmioWr(0xFEC10080, 0x12, 1), MmioWr(0xFEC10081, 0x34, 1), MmioWr(0xFEC10082, 0x56, 1),
                          MmioWr(0xFEC10083, 0xA1, 1), MmioWr(0xFEC10084, 0xA2, 1), MmioRd(0xFEC1004C, 0),
                          MmioRd(0xFEC10047, 0, 1), MmioWr(0xFEC10047, 0x80, 1),
                          // 2 us of overhead and 48 bits at 33 MHz: the first polls still see it running
                          MmioRd(0xFEC10047, 0x80, 1), MmioRd(0xFEC10047, 0x80, 1), MmioRd(0xFEC10047, 0x80, 1),
                          MmioRd(0xFEC10047, 0, 1)});
  ASSERT_EQ(Part.Commands.size(), 1u);
  EXPECT_EQ(Part.Commands[0].Out, (std::vector<uint8_t>{0x12, 0x34, 0x56, 0xA1, 0xA2}));
}

TEST_F(TransportTest, AddressBytesMostSignificantFirst) {
  SpiSendCommand(0x03, 3, 0, 3, 0xFF123456, nullptr, FALSE);  // bits above the three bytes are dropped
  EXPECT_EQ(FifoWrites(), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  B.Log.clear();
  SpiSendCommand(0x13, 4, 0, 4, 0x01ABCDEF, nullptr, FALSE);
  EXPECT_EQ(FifoWrites(), (std::vector<uint8_t>{0x01, 0xAB, 0xCD, 0xEF}));
  B.Log.clear();
  SpiSendCommand(0x06, 0, 0, 0, 0x01ABCDEF, nullptr, FALSE);
  EXPECT_TRUE(FifoWrites().empty());
}

TEST_F(TransportTest, DataBytesFollowTheAddressOnlyWhenTxCountExceedsIt) {
  UINT8 Data[16];
  for (int I = 0; I < 16; ++I) Data[I] = static_cast<UINT8>(0xC0 + I);
  SpiSendCommand(0x02, 3 + 16, 0, 3, 0x000100, Data, FALSE);
  EXPECT_EQ(Controller.Read(0xFEC10048, 1), 19u);
  for (unsigned I = 0; I < 16; ++I) EXPECT_EQ(Controller.FifoByte(3 + I), 0xC0 + I);

  B.Log.clear();
  SpiSendCommand(0x02, 3, 0, 3, 0x000100, Data, FALSE);  // TxCount equal to AddressBytes
  EXPECT_EQ(FifoWrites().size(), 3u);
  B.Log.clear();
  SpiSendCommand(0x02, 2, 0, 3, 0x000100, Data, FALSE);  // below it: the difference is negative
  EXPECT_EQ(FifoWrites().size(), 3u);
}

TEST_F(TransportTest, ReceivedBytesStandBehindTheSentOnes) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  UINT8 Id[3] = {};
  SpiSendCommand(0x9F, 0, 3, 0, 0, Id, FALSE);
  EXPECT_EQ(Id[0], 0xEF);
  EXPECT_EQ(Id[1], 0x40);
  EXPECT_EQ(Id[2], 0x18);
  EXPECT_ACCESSES(B.LogOf(Space::Mmio, 0xFEC10080, 0xFEC100FF),
                  {MmioRd(0xFEC10080, 0xEF, 1), MmioRd(0xFEC10081, 0x40, 1), MmioRd(0xFEC10082, 0x18, 1)});

  B.Log.clear();
  SpiSendCommand(0x9F, 0, 3, 0, 0, nullptr, FALSE);  // nowhere to put them: the command still runs
  EXPECT_EQ(Controller.Started, 2u);
  EXPECT_TRUE(B.LogOf(Space::Mmio, 0xFEC10080, 0xFEC100FF).empty());
}

TEST_F(TransportTest, BusyControllerIsNeverStarted) {
  Controller.BusyNeverClears = true;
  Part.SetJedecId(0xEF, 0x40, 0x18);
  UINT8 Id[3] = {0x55, 0x55, 0x55};
  EXPECT_EQ(SpiSendCommand(0x9F, 0, 3, 0, 0, Id, FALSE), EFI_SUCCESS);
  EXPECT_EQ(CountOf(false, 0xFEC1004C), 255u);
  EXPECT_EQ(CountOf(true, 0xFEC10047), 0u);
  EXPECT_EQ(CountOf(true, 0xFEC10045), 1u);
  EXPECT_EQ(Controller.Read(0xFEC1004B, 1), 3u);
  EXPECT_EQ(Controller.Started, 0u);
  EXPECT_EQ(Id[0], 0x55);
  // One delay after every poll, the last included: about 255 us of simulated time.
  EXPECT_GE(Clock.NowUs(), 255u);
  EXPECT_LT(Clock.NowUs(), 2 * 255u);
}

TEST_F(TransportTest, CommandThatNeverFinishesReceivesNothing) {
  Controller.ExecuteNeverClears = true;
  Part.SetJedecId(0xEF, 0x40, 0x18);
  UINT8 Id[3] = {0x55, 0x55, 0x55};
  EXPECT_EQ(SpiSendCommand(0x9F, 0, 3, 0, 0, Id, FALSE), EFI_SUCCESS);
  EXPECT_EQ(CountOf(false, 0xFEC10047), 1u + 255u);  // the start's read, then the polls
  EXPECT_EQ(Controller.Started, 1u);
  EXPECT_EQ(Id[0], 0x55);
  EXPECT_TRUE(B.LogOf(Space::Mmio, 0xFEC10080, 0xFEC100FF).empty());
}

TEST_F(TransportTest, ReadyWaitPollsStatusWithFixedOpcodeUntilThePartIsReady) {
  Part.WriteStatusUs = 100;
  std::vector<uint8_t> None;
  Part.Transfer(0x06, {}, None);
  Part.Commands.clear();
  UINT8 Status = 0;
  SpiSendCommand(0x01, 1, 0, 0, 0, &Status, TRUE);
  ASSERT_GT(Part.Commands.size(), 10u);
  EXPECT_EQ(Part.Commands[0].Opcode, 0x01);
  for (size_t I = 1; I < Part.Commands.size(); ++I) {
    EXPECT_EQ(Part.Commands[I].Opcode, 0x05);
    EXPECT_EQ(Part.Commands[I].InCount, 1u);
  }
  // It stops at the first status read that finds the part ready, about 100 us on.
  EXPECT_FALSE(Part.Busy());
  EXPECT_GE(Clock.NowUs(), 100u);
  EXPECT_LT(Clock.NowUs(), 115u);
}

TEST_F(TransportTest, ReadyWaitGivesUpAfter65535StatusReads) {
  B.Logging = false;
  Part.BusyNeverClears = true;
  UINT8 Data[4] = {0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(SpiSendCommand(0x9F, 0, 3, 0, 0, Data, TRUE), EFI_SUCCESS);
  ASSERT_EQ(Part.Commands.size(), 1u + 65535u);
  EXPECT_EQ(Part.Commands.back().Opcode, 0x05);
  EXPECT_EQ(Data[0], 0x55);  // nothing received
}

// A status read that the transport itself gives up on leaves the status byte as it started,
// 0, so the wait ends instead of deciding on an undefined byte.
TEST_F(TransportTest, ReadyWaitStatusByteStartsReady) {
  Part.BusyNeverClears = true;
  B.OnAccess = [this](const Access &A) {
    if (A.Write && A.Address == 0xFEC10045 && A.Value == 0x05) Controller.BusyNeverClears = true;
  };
  SpiSendCommand(0x06, 0, 0, 0, 0, nullptr, TRUE);
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x06}));  // the status read was never started
  EXPECT_EQ(OpcodesWritten(), (std::vector<uint8_t>{0x06, 0x05}));
}

}  // namespace
}  // namespace flash_test
