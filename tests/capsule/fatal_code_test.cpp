#include "capsule_fixture.h"

#include <timer/tsc_delay.h>

namespace capsule_test {
namespace {

struct FatalCodeTest : ::testing::Test {
  CpuModel &Cpu = TheBoard().Cpu;
  static inline JUMP_BUFFER Escape;
  std::vector<uint32_t> Shown;        // every 32-bit write to port 0x80
  std::vector<uint64_t> PausesAtShow;  // pause count at each of them
  void SetUp() override { CfgPcdBuffer.Field4 = 1; }

  // Runs the endless display until the Nth 32-bit write to port 0x80, then jumps back here.
  void ShowUntil(uint32_t Code, size_t Writes) {
    TheBoard().OnAccess = [this, Writes](const Access &A) {
      if (!A.Write || A.Address != 0x80 || A.Width != 4) return;
      Shown.push_back(static_cast<uint32_t>(A.Value));
      PausesAtShow.push_back(Cpu.Pauses);
      if (Shown.size() == Writes) LongJump(&Escape, 1);
    };
    if (SetJump(&Escape) == 0) {
      ReportFatalCode(Code);
      ADD_FAILURE() << "the display returned";
    }
    TheBoard().OnAccess = nullptr;
  }
};

TEST_F(FatalCodeTest, SwitchedOffWritesNothing) {
  CfgPcdBuffer.Field4 = 0;
  ReportFatalCode(0x80225);
  EXPECT_TRUE(TheBoard().Log.empty());
}

TEST_F(FatalCodeTest, SimulationPlatformShowsTheCodeOnceAndReturns) {
  Cpu.CpuidSi[{0xBACCD00B, 2}] = 0x0001;
  ReportFatalCode(0x80137);
  EXPECT_ACCESSES(TheBoard().Log, {IoWr(0xE0, 0xDEAD, 2), IoWr(0x80, 0x80137, 4)});
  // Only EBX = 2 asks the question.
  Cpu.CpuidSi = {{{0xBACCD00B, 1}, 1}};
  EXPECT_FALSE(IsSimulationPlatform());
}

TEST_F(FatalCodeTest, DisplayRotatesSixValuesForEverWithTwoAndAHalfSecondWaits) {
  // No enabled P-state: 256 Hz, so each wait is 640 ticks; one tick per read gives one pause each.
  ShowUntil(0x80225, 1 + 12);
  const std::vector<uint32_t> Cycle = {0x250000DE, 0x0000DEAD, 0x00DEAD00, 0xDEAD0008, 0xAD000802, 0x00080225};
  std::vector<uint32_t> Expected = {0x80225};
  Expected.insert(Expected.end(), Cycle.begin(), Cycle.end());
  Expected.insert(Expected.end(), Cycle.begin(), Cycle.end());
  EXPECT_EQ(Shown, Expected);
  EXPECT_EQ(WritesOf(TheBoard().Log).front(), IoWr(0xE0, 0xDEAD, 2));
  for (size_t I = 2; I < PausesAtShow.size(); ++I) EXPECT_EQ(PausesAtShow[I] - PausesAtShow[I - 1], 640u) << I;
}

TEST_F(FatalCodeTest, WaitFollowsTheMeasuredFrequency) {
  Cpu.Msr[0xC0010064] = (1ull << 63) | (8 << 8) | 0x78;  // 3 GHz: 7.5e9 ticks
  Cpu.TscStep = 1000000000;
  ShowUntil(0x1234, 3);
  EXPECT_EQ(PausesAtShow[2] - PausesAtShow[1], 7u);  // reads at +1e9 .. +7e9 stay within the wait
}

struct UartStatus : Device {
  std::vector<bool> Ready;  // answer per read; afterwards not ready
  size_t Reads = 0;
  uint64_t Read(uint64_t, unsigned) override { return Reads < Ready.size() && Ready[Reads++] ? 0x60 : 0x20; }
  void Write(uint64_t, unsigned, uint64_t) override {}
};

TEST_F(FatalCodeTest, DebugChannelsAreAllDormant) {
  MemoryLogRegion Log;
  Cpu.Msr[0x1B] = 0x100;
  StartDebugChannels();
  EXPECT_TRUE(TheBoard().Log.empty());
  EXPECT_EQ(Log.Bytes[0], 0);  // the memory log was not initialised
  ASSERT_EQ(DebugChannels[3], nullptr);
  EXPECT_EQ(DebugChannels[0], &Port80Channel);
  EXPECT_EQ(DebugChannels[1], &SerialChannel);
  EXPECT_EQ(DebugChannels[2], &MemoryLogChannel);
  for (int I = 0; I < 3; ++I) {
    EXPECT_FALSE(DebugChannels[I]->IsSupported());
    EXPECT_EQ(DebugChannels[I]->IsSupportedAgain, DebugChannels[I]->IsSupported);
  }
}

TEST_F(FatalCodeTest, Port80ChannelFramesTheBytes) {
  const UINT8 Bytes[] = {0x41, 0x42};
  Port80Channel.Write(Bytes, 2);
  EXPECT_ACCESSES(TheBoard().Log, {IoWr(0x80, 0x5F535452, 4), IoWr(0x80, 0x41), IoWr(0x80, 0x42),
                                   IoWr(0x80, 0x5F454E44, 4)});
}

TEST_F(FatalCodeTest, SerialChannelDropsAByteWhenThePortStaysBusy) {
  UartStatus Lsr;
  Lsr.Ready.assign(3, false);
  Lsr.Ready.push_back(true);                          // 'a' after three busy reads
  Lsr.Ready.insert(Lsr.Ready.end(), 2000, false);     // 'b' never gets a ready port
  Lsr.Ready.push_back(true);                          // 'c' at once
  TheBoard().MapIo(0x3FD, 1, &Lsr);
  const UINT8 Bytes[] = {'a', 'b', 'c'};
  SerialChannel.Write(Bytes, 3);
  EXPECT_EQ(Lsr.Reads, 4u + 2000u + 1u);
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0x3F8, 'a'), IoWr(0x3F8, 'c')});
  // Ready on the very last read of the budget still sends.
  Lsr.Reads = 0;
  Lsr.Ready.assign(1999, false);
  Lsr.Ready.push_back(true);
  TheBoard().Log.clear();
  SerialChannel.Write(Bytes, 1);
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0x3F8, 'a')});
}

struct MemoryLogTest : FatalCodeTest {
  MemoryLogRegion Region;
  MEMORY_LOG_HEADER &Header() { return *reinterpret_cast<MEMORY_LOG_HEADER *>(Region.Bytes.data()); }
  uint8_t *Data() { return Region.Bytes.data() + 16; }
  void SetUp() override {
    FatalCodeTest::SetUp();
    Cpu.Msr[0x1B] = 0xFEE00900;  // bootstrap processor
  }
};

TEST_F(MemoryLogTest, InitialiseAndAppend) {
  Data()[5] = 0x77;
  EXPECT_FALSE(MemoryLogValid());
  MemoryLogChannel.Initialise();
  EXPECT_EQ(Header().Signature, 0x4D454D44u);
  EXPECT_EQ(Header().Marker1, 0x55AA55AAu);
  EXPECT_EQ(Header().Marker2, 0xBB66BB66u);
  EXPECT_EQ(Header().WriteOffset, 0u);
  EXPECT_EQ(Data()[5], 0);
  EXPECT_TRUE(MemoryLogValid());
  MemoryLogChannel.Write(reinterpret_cast<const UINT8 *>("abc"), 3);
  MemoryLogChannel.Write(reinterpret_cast<const UINT8 *>("de"), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(Data()), 6), std::string("abcde\0", 6));
  EXPECT_EQ(Header().WriteOffset, 5u);
  // A valid log is left alone by a second Initialise.
  MemoryLogChannel.Initialise();
  EXPECT_EQ(Header().WriteOffset, 5u);
}

TEST_F(MemoryLogTest, InvalidLogIsNotWritten) {
  MemoryLogChannel.Initialise();
  Cpu.Msr[0x1B] = 0xFEE00800;  // an application processor
  MemoryLogChannel.Write(reinterpret_cast<const UINT8 *>("x"), 1);
  EXPECT_EQ(Header().WriteOffset, 0u);
  Cpu.Msr[0x1B] = 0x100;
  Header().WriteOffset = 0xFFFFF1;  // beyond the data: appending there would leave the area
  EXPECT_FALSE(MemoryLogValid());
  MemoryLogChannel.Write(reinterpret_cast<const UINT8 *>("x"), 1);
  EXPECT_EQ(Header().WriteOffset, 0xFFFFF1u);
  Header().WriteOffset = 0xFFFFF0;
  EXPECT_TRUE(MemoryLogValid());
}

TEST_F(MemoryLogTest, FullLogDropsTheOldestFourMegabytes) {
  MemoryLogChannel.Initialise();
  Header().WriteOffset = 0xFFFFF0 - 2;
  Data()[0x400000] = 0x11;
  Data()[0xFFFFF0 - 3] = 0x22;
  MemoryLogChannel.Write(reinterpret_cast<const UINT8 *>("xyz"), 3);
  EXPECT_EQ(Header().WriteOffset, 0xFFFFF0u - 2 - 0x400000 + 3);
  EXPECT_EQ(Data()[0], 0x11);
  EXPECT_EQ(Data()[0xFFFFF0 - 3 - 0x400000], 0x22);
  EXPECT_EQ(Data()[0xFFFFF0 - 2 - 0x400000], 'x');
  EXPECT_EQ(Data()[0xFFFFF0 - 1], 0);  // the freed tail is zeroed
}

TEST_F(MemoryLogTest, WriteThatTheDropCannotFitResetsTheLog) {
  MemoryLogChannel.Initialise();
  Header().WriteOffset = 0x300000;  // below 4 MiB: nothing to drop
  Data()[0] = 0x33;
  std::vector<UINT8> Big(0xD00000, 0xAB);
  MemoryLogChannel.Write(Big.data(), Big.size());
  EXPECT_EQ(Header().WriteOffset, 0xD00000u);
  EXPECT_EQ(Data()[0], 0xAB);
  EXPECT_EQ(Data()[0xD00000], 0);
}

TEST_F(MemoryLogTest, OverlongWriteIsReportedAndNotWritten) {
  MemoryLogChannel.Initialise();
  Cpu.CpuidSi[{0xBACCD00B, 2}] = 1;
  std::vector<UINT8> Big(0xFFFFF1, 0xAB);
  MemoryLogChannel.Write(Big.data(), Big.size());
  EXPECT_ACCESSES(WritesOf(TheBoard().Log), {IoWr(0xE0, 0xDEAD, 2), IoWr(0x80, 0x20850309, 4)});
  EXPECT_EQ(Header().WriteOffset, 0u);
  EXPECT_EQ(Data()[0], 0);
}

}  // namespace
}  // namespace capsule_test
