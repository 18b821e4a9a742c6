#include <sim/board.h>
#include <gtest/gtest.h>

#include <numeric>

#include <startup/library.h>

namespace {

std::vector<uint8_t> Ramp(size_t N) {
  std::vector<uint8_t> V(N);
  std::iota(V.begin(), V.end(), 1);
  return V;
}

TEST(MemMove, OverlapInBothDirectionsAndEmpty) {
  for (size_t Shift : {1, 3, 8, 13}) {
    SCOPED_TRACE(Shift);
    // Destination inside the source and above it: backwards copy keeps the source bytes.
    auto Buf = Ramp(40);
    const auto Before = Buf;
    EXPECT_EQ(MemMove(Buf.data() + Shift, Buf.data(), 20), Buf.data() + Shift);
    EXPECT_TRUE(std::equal(Before.begin(), Before.begin() + 20, Buf.begin() + Shift));
    // Destination below the source: forwards.
    Buf = Before;
    MemMove(Buf.data(), Buf.data() + Shift, 21);
    EXPECT_TRUE(std::equal(Before.begin() + Shift, Before.begin() + Shift + 21, Buf.begin()));
  }
  auto Buf = Ramp(8);
  const auto Before = Buf;
  MemMove(Buf.data() + 1, Buf.data(), 0);
  MemMove(Buf.data(), Buf.data() + 1, 0);
  EXPECT_EQ(Buf, Before);
}

TEST(MemFillAndZero, ExactLengths) {
  for (size_t N : {0, 1, 7, 8, 9, 17}) {
    std::vector<uint8_t> Buf(N + 2, 0x55);
    MemZero(Buf.data() + 1, N);
    EXPECT_EQ(Buf.front(), 0x55);
    EXPECT_EQ(Buf.back(), 0x55);
    EXPECT_EQ(std::count(Buf.begin(), Buf.end(), 0), static_cast<long>(N));
    MemFill(Buf.data() + 1, N, 0xC3);
    EXPECT_EQ(std::count(Buf.begin(), Buf.end(), 0xC3), static_cast<long>(N));
    EXPECT_EQ(Buf.back(), 0x55);
  }
}

TEST(ProcessorHelpers, CpuIdStoresOnlyWhereAsked) {
  sim::TheBoard().Cpu.Cpuid[1] = {0x00060FB1, 0x11, 0x22, 0x33};
  EXPECT_EQ(CpuId(1, nullptr, nullptr, nullptr, nullptr), 1u);
  UINT32 Eax = 0, Edx = 0;
  EXPECT_EQ(CpuId(1, &Eax, nullptr, nullptr, &Edx), 1u);
  EXPECT_EQ(Eax, 0x00060FB1u);
  EXPECT_EQ(Edx, 0x33u);

  auto &Cpu = sim::TheBoard().Cpu;
  Cpu.Tsc = 100;
  Cpu.TscStep = 7;
  EXPECT_EQ(ReadTimeStampCounter(), 100u);
  EXPECT_EQ(ReadTimeStampCounter(), 107u);
  int Line = 0;
  EXPECT_EQ(FlushCacheLine(&Line), &Line);
  EXPECT_EQ(Cpu.FlushedLines, std::vector<uint64_t>{reinterpret_cast<uint64_t>(&Line)});
  WriteBackInvalidateCaches();
  MemoryFence();
  CpuPause();
  EXPECT_EQ(Cpu.Wbinvds + Cpu.Fences + Cpu.Pauses, 3u);
}

}  // namespace
