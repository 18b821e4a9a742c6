#include <board/ec_access.h>

#include "board_fixture.h"

namespace {

using namespace board_test;

constexpr uint16_t DATA = 0x68, CMD = 0x6C;

struct EcAccessTest : ::testing::Test {
  EmbeddedController Ec;
  void SetUp() override { Ec.Attach(TheBoard()); }
};

// Status reads a wait sees from the model after a byte: IBF for two polls, then clear.
std::vector<Access> Busy() { return {IoRd(CMD, 0x02), IoRd(CMD, 0x02), IoRd(CMD, 0x00)}; }
std::vector<Access> Idle() { return {IoRd(CMD, 0x00)}; }
std::vector<Access> operator+(std::vector<Access> A, const std::vector<Access> &B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}
std::vector<Access> Out(uint16_t Port, uint8_t Value) { return {IoWr(Port, Value)}; }
std::vector<Access> In(uint16_t Port, uint8_t Value) { return {IoRd(Port, Value)}; }
size_t ReadsOf(uint16_t Port) {
  const auto Log = TheBoard().LogOf(Space::Io, Port, Port);
  return Log.size() - WritesOf(Log).size();
}

TEST_F(EcAccessTest, VariantAWaitsBeforeAndAfterEveryByte) {
  Ec.Reg(0, 0x81) = 0x5A;
  EXPECT_EQ(EcReadRegister<EC_VARIANT_A>(0, 0x81), 0x5A);
  // The answer comes one poll after the register byte is taken.
  auto Read = Idle() + Out(CMD, 0x88) + Busy() + Idle() + Out(DATA, 0x00) + Busy() + Idle() + Out(DATA, 0x81) + Busy() +
              In(CMD, 0x00) + In(CMD, 0x01) + In(DATA, 0x5A);
  EXPECT_ACCESSES(TheBoard().Log, Read);

  TheBoard().Log.clear();
  EXPECT_EQ(EcWriteRegister<EC_VARIANT_A>(0, 0x87, 0x04), 0x00);
  auto Write = Idle() + Out(CMD, 0x88) + Busy() + Idle() + Out(DATA, 0x80) + Busy() + Idle() + Out(DATA, 0x87) +
               Busy() + Idle() + Out(DATA, 0x04) + Busy();
  EXPECT_ACCESSES(TheBoard().Log, Write);
  EXPECT_EQ(Ec.Reg(0, 0x87), 0x04);
  EXPECT_EQ(Ec.Overruns, 0u);
}

TEST_F(EcAccessTest, VariantBDiscardsADataReadAndAnswersWithTheSecondRead) {
  Ec.Reg(1, 0x22) = 0x5A;
  Ec.Output = 0x33;  // left over from an earlier answer
  // The controller changes its output register between the two reads: the second one counts.
  int DataReadsAfterAnswer = 0;
  TheBoard().OnAccess = [&](const Access &A) {
    if (!A.Write && A.Address == DATA && A.Value == 0x5A && ++DataReadsAfterAnswer == 1) Ec.Output = 0x77;
  };
  EXPECT_EQ(EcReadRegister<EC_VARIANT_B>(1, 0x22), 0x77);
  auto Read = In(DATA, 0x33) + Idle() + Out(CMD, 0x88) + Busy() + Out(DATA, 0x01) + Busy() + Out(DATA, 0x22) + Busy() +
              In(CMD, 0x00) + In(CMD, 0x01) + In(DATA, 0x5A) + In(DATA, 0x77);
  EXPECT_ACCESSES(TheBoard().Log, Read);
  TheBoard().OnAccess = nullptr;

  for (auto [Bank, Selector] : {std::pair<uint8_t, uint8_t>{0, 0x80}, {1, 0x81}}) {
    TheBoard().Log.clear();
    EcWriteRegister<EC_VARIANT_B>(Bank, 0x16, 0x07);
    auto Write = In(DATA, 0x77) + Idle() + Out(CMD, 0x88) + Busy() + Out(DATA, Selector) + Busy() + Out(DATA, 0x16) +
                 Busy() + Out(DATA, 0x07) + Busy();
    EXPECT_ACCESSES(TheBoard().Log, Write);
    EXPECT_EQ(Ec.Reg(Bank, 0x16), 0x07);
  }
  EXPECT_EQ(Ec.Overruns, 0u);
}

TEST_F(EcAccessTest, VariantCWritesBankTwoWithSelector82) {
  Ec.Output = 0x33;
  EcWriteRegister<EC_VARIANT_C>(2, 0x31, 0x44);
  auto Write = In(DATA, 0x33) + Idle() + Out(CMD, 0x88) + Busy() + Out(DATA, 0x82) + Busy() + Out(DATA, 0x31) + Busy() +
               Out(DATA, 0x44) + Busy();
  EXPECT_ACCESSES(TheBoard().Log, Write);
  EXPECT_EQ(Ec.Reg(2, 0x31), 0x44);
  EXPECT_EQ(Ec.Transactions, (std::vector<Tx>{Wr(2, 0x31, 0x44)}));
}

// A stuck controller: every wait spends its budget, every byte still goes out in order, and
// the read gives whatever the data port holds.
TEST_F(EcAccessTest, StuckControllerRunsEveryWaitToItsBudget) {
  Ec.State = EmbeddedController::Mode::Stuck;
  Ec.Output = 0x3C;
  struct Case {
    const char *What;
    std::function<uint8_t()> Run;
    size_t StatusReads;
    std::vector<Access> Writes;
    size_t DataReads;
  };
  const Case Cases[] = {
      {"A read",
       [] { return EcReadRegister<EC_VARIANT_A>(0, 0x81); },
       7 * 65521,
       {IoWr(CMD, 0x88), IoWr(DATA, 0x00), IoWr(DATA, 0x81)},
       1},
      {"A write",
       [] { return EcWriteRegister<EC_VARIANT_A>(0, 0x87, 4); },
       8 * 65521,
       {IoWr(CMD, 0x88), IoWr(DATA, 0x80), IoWr(DATA, 0x87), IoWr(DATA, 0x04)},
       0},
      {"B read",
       [] { return EcReadRegister<EC_VARIANT_B>(1, 0x24); },
       5 * 5000,
       {IoWr(CMD, 0x88), IoWr(DATA, 0x01), IoWr(DATA, 0x24)},
       3},
      {"B write",
       [] { return EcWriteRegister<EC_VARIANT_B>(1, 0x24, 0x40); },
       5 * 5000,
       {IoWr(CMD, 0x88), IoWr(DATA, 0x81), IoWr(DATA, 0x24), IoWr(DATA, 0x40)},
       1},
      {"C write",
       [] { return EcWriteRegister<EC_VARIANT_C>(2, 0x4F, 0x11); },
       5 * 5000,
       {IoWr(CMD, 0x88), IoWr(DATA, 0x82), IoWr(DATA, 0x4F), IoWr(DATA, 0x11)},
       1},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    TheBoard().Log.clear();
    const uint8_t Result = C.Run();
    EXPECT_EQ(ReadsOf(CMD), C.StatusReads);
    EXPECT_ACCESSES(WritesOf(TheBoard().Log), C.Writes);
    EXPECT_EQ(ReadsOf(DATA), C.DataReads);
    if (C.Writes.size() == 3) {
      EXPECT_EQ(Result, 0x3C);  // a read: the data port's byte
    }
  }
  EXPECT_TRUE(Ec.Transactions.empty());
}

// An absent controller reads all ones: IBF never clears but OBF shows at once.
TEST_F(EcAccessTest, AbsentControllerReadsAllOnes) {
  Ec.State = EmbeddedController::Mode::Absent;
  EXPECT_EQ(EcReadRegister<EC_VARIANT_B>(0, 0x45), 0xFF);
  EXPECT_EQ(ReadsOf(CMD), 4 * 5000 + 1u);
  TheBoard().Log.clear();
  EXPECT_EQ(EcReadRegister<EC_VARIANT_A>(0, 0x80), 0xFF);
  EXPECT_EQ(ReadsOf(CMD), 6 * 65521 + 1u);
}

}  // namespace
