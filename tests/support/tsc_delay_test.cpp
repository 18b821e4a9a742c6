#include <sim/board.h>
#include <gtest/gtest.h>

#include <timer/tsc_delay.h>

namespace {

constexpr uint64_t Enabled = 1ull << 63;
uint64_t OldEncoding(uint64_t M, uint64_t D) { return Enabled | (D << 8) | M; }

struct TscDelayTest : ::testing::Test {
  sim::CpuModel &Cpu = sim::TheBoard().Cpu;
  void Family(uint32_t Eax) { Cpu.Cpuid[0x80000001] = {Eax, 0, 0, 0}; }
};

TEST_F(TscDelayTest, OlderEncodingExamples) {
  struct Case {
    uint64_t M, D, Hz;
  };
  for (const Case &C : {Case{0x78, 8, 3000000000ull}, Case{100, 16, 1250000000ull}, Case{0x20, 4, 800000000ull},
                        Case{40, 61, 1000000000ull}, Case{0x78, 60, 400000000ull}}) {
    SCOPED_TRACE(testing::Message() << "M " << C.M << " D " << C.D);
    TscFrequency = 0;
    Cpu.Msr[0xC0010064] = OldEncoding(C.M, C.D);
    EXPECT_EQ(GetTscFrequency(), C.Hz);
    EXPECT_EQ(TscFrequency, C.Hz);
  }
}

TEST_F(TscDelayTest, NewerEncodingNeedsFamily0FWithExtendedFamily0B) {
  Cpu.Msr[0xC0010064] = Enabled | 700;
  Family(0x00B00F00);
  EXPECT_EQ(GetTscFrequency(), 3500000000ull);
  TscFrequency = 0;
  Family(0x00A00F00);  // extended family below 0x0B: older encoding, D = 2 gives M x 25
  EXPECT_EQ(GetTscFrequency(), 0xBCull * 25 * 1000000);
}

TEST_F(TscDelayTest, FirstEnabledPStateWinsAndTheResultIsCached) {
  Cpu.Msr[0xC0010064 + 3] = OldEncoding(0x78, 8);
  Cpu.Msr[0xC0010064 + 5] = OldEncoding(100, 16);
  EXPECT_EQ(GetTscFrequency(), 3000000000ull);
  Cpu.Msr.clear();
  EXPECT_EQ(GetTscFrequency(), 3000000000ull);
}

TEST_F(TscDelayTest, UnknownAndZeroResultsAreNotCached) {
  EXPECT_EQ(GetTscFrequency(), 256u);
  EXPECT_EQ(TscFrequency, 0u);
  Cpu.Msr[0xC0010064] = OldEncoding(0x78, 0);  // divisor 0
  EXPECT_EQ(GetTscFrequency(), 0u);
  Cpu.Msr[0xC0010064] = OldEncoding(0x78, 8);  // read again next time
  EXPECT_EQ(GetTscFrequency(), 3000000000ull);
}

TEST_F(TscDelayTest, MicroDelayWaitsOneMicrosecondOfTicks) {
  Cpu.Msr[0xC0010064] = OldEncoding(0x78, 8);
  Cpu.Tsc = 1000;
  Cpu.TscStep = 1;
  EXPECT_EQ(MicroDelay(), 1u);
  // Start read at 1000, end 4000: it spins until a read returns 4001.
  EXPECT_EQ(Cpu.Tsc, 4002u);
  EXPECT_EQ(Cpu.Pauses, 3000u);

  TscFrequency = 0;
  Cpu.Msr.clear();  // 256 Hz: zero ticks, returns once the counter has moved
  Cpu.Pauses = 0;
  MicroDelay();
  EXPECT_EQ(Cpu.Pauses, 0u);
}

}  // namespace
