// The image runner is as strict as the machine: a small image built here, whose functions each
// do one thing a processor or a protecting firmware refuses, must stop the run with the fault
// named; what the machine allows must still run.
#include <gtest/gtest.h>
#include <sim/board.h>
#include <sim/image/emulator.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Functions of the test image, by offset in .text (at RVA 0x1000).
struct Code {
  uint32_t Rva;
  std::vector<uint8_t> Bytes;
};
const Code Functions[] = {
    {0x1000, {0xC6, 0x05, 0xF9, 0x0F, 0x00, 0x00, 0x01, 0xC3}},  // mov byte [.rdata], 1; ret
    {0x1010, {0xC6, 0x05, 0xE9, 0x1F, 0x00, 0x00, 0x01, 0xC3}},  // mov byte [.data], 1; ret
    {0x1020, {0x0F, 0xB6, 0x01, 0xC3}},                          // movzx eax, byte [rcx]; ret
    {0x1030, {0xC6, 0x01, 0x5A, 0xC3}},                          // mov byte [rcx], 0x5A; ret
    {0x1040, {0xFF, 0xE1}},                                      // jmp rcx
    {0x1050, {0x0F, 0x32, 0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3}},  // rdmsr; rax |= rdx << 32; ret
    {0x1060, {0x48, 0x89, 0xD0, 0x48, 0xC1, 0xEA, 0x20, 0x0F, 0x30, 0xC3}},  // rax = rdx; rdx >>= 32; wrmsr; ret
    {0x1070, {0xFA, 0xF4, 0xC3}},                                // cli; hlt; ret
    {0x1080, {0x0F, 0x29, 0x01, 0xC3}},                          // movaps [rcx], xmm0; ret
    {0x1090, {0x0F, 0x31, 0xEB, 0xFC}},                          // rdtsc; jmp back
    {0x10A0, {0xF3, 0x90, 0xEB, 0xFC}},                          // pause; jmp back
    {0x10B0, {0x0F, 0xAE, 0x39, 0xC3}},                          // clflush [rcx]; ret
    {0x10C0, {0x48, 0x8B, 0x01, 0xC3}},                          // mov rax, [rcx]; ret
    {0x10D0, {0x48, 0x89, 0x11, 0xC3}},                          // mov [rcx], rdx; ret
    {0x10E0, {0xEB, 0xFE}},                                      // jmp $
};
enum : uint32_t {
  WriteConstant = 0x1000, WriteData = 0x1010, ReadArg = 0x1020, WriteArg = 0x1030, JumpTo = 0x1040,
  ReadMsr = 0x1050, WriteMsr = 0x1060, HaltWithInterruptsOff = 0x1070, StoreAligned = 0x1080,
  CounterLoop = 0x1090, PauseLoop = 0x10A0, FlushLine = 0x10B0, ReadQword = 0x10C0, WriteQword = 0x10D0,
  Spin = 0x10E0,
};
constexpr uint32_t DataRva = 0x3000, ReturnInData = 0x3010;

template <typename T>
void Put(std::vector<uint8_t> &F, size_t At, T V) {
  std::memcpy(&F[At], &V, sizeof V);
}

// A PE32+ file: headers, .text (code, execute/read), .rdata (read), .data (read/write).
std::string BuildImage() {
  std::vector<uint8_t> F(0x400 + 3 * 0x200, 0);
  Put<uint16_t>(F, 0, 0x5A4D);
  Put<uint32_t>(F, 0x3C, 0x40);
  Put<uint32_t>(F, 0x40, 0x4550);
  Put<uint16_t>(F, 0x44, 0x8664);
  Put<uint16_t>(F, 0x46, 3);     // sections
  Put<uint16_t>(F, 0x54, 112);   // optional header, no directories
  Put<uint16_t>(F, 0x56, 0x22);  // executable, large address aware
  const size_t Opt = 0x58;
  Put<uint16_t>(F, Opt, 0x20B);
  Put<uint32_t>(F, Opt + 16, 0x1000);
  Put<uint32_t>(F, Opt + 32, 0x1000);
  Put<uint32_t>(F, Opt + 36, 0x200);
  Put<uint32_t>(F, Opt + 56, 0x4000);
  Put<uint32_t>(F, Opt + 60, 0x400);
  Put<uint16_t>(F, Opt + 68, 11);
  struct {
    const char *Name;
    uint32_t Rva, Characteristics;
  } Sections[] = {{".text", 0x1000, 0x60000020}, {".rdata", 0x2000, 0x40000040}, {".data", DataRva, 0xC0000040}};
  for (unsigned I = 0; I < 3; ++I) {
    const size_t H = Opt + 112 + I * 40;
    std::memcpy(&F[H], Sections[I].Name, std::strlen(Sections[I].Name));
    Put<uint32_t>(F, H + 8, 0x200);
    Put<uint32_t>(F, H + 12, Sections[I].Rva);
    Put<uint32_t>(F, H + 16, 0x200);
    Put<uint32_t>(F, H + 20, 0x400 + I * 0x200);
    Put<uint32_t>(F, H + 36, Sections[I].Characteristics);
  }
  std::memset(&F[0x400], 0xCC, 0x200);
  for (const Code &C : Functions) std::memcpy(&F[0x400 + C.Rva - 0x1000], C.Bytes.data(), C.Bytes.size());
  F[0x800 + ReturnInData - DataRva] = 0xC3;  // a ret in .data, which must not run
  const std::string Path = "/tmp/image-runner-test-" + std::to_string(getpid()) + ".efi";
  std::ofstream(Path, std::ios::binary).write(reinterpret_cast<const char *>(F.data()), F.size());
  return Path;
}

struct RunnerTest : ::testing::Test {
  static image::PeImage &Image() {
    static image::PeImage &Img = [] () -> image::PeImage & {
      const std::string Path = BuildImage();
      image::PeImage &I = image::Emulator::Get().Load(Path);
      std::remove(Path.c_str());
      return I;
    }();
    return Img;
  }
  static uint64_t Run(uint32_t Rva, uint64_t A = 0, uint64_t B = 0) {
    const uint64_t Args[] = {A, B};
    return image::Emulator::Get().Call(Image().Base() + Rva, Args, 2);
  }
  void SetUp() override {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    sim::TheBoard().Budget.Touches = 100000;
    sim::TheBoard().StartRun();
  }
};

TEST_F(RunnerTest, ImageSectionsKeepTheirPermissions) {
  Run(WriteData);
  EXPECT_EQ(*reinterpret_cast<uint8_t *>(Image().Base() + DataRva), 1);
  EXPECT_DEATH(Run(WriteConstant), "write of 1 bytes at 0x[0-9a-f]+ \\(a read-only section of the image, \\.rdata");
  EXPECT_DEATH(Run(WriteArg, Image().Base() + 0x1000), "read-only section of the image, \\.text");
  EXPECT_DEATH(Run(WriteArg, Image().Base() + 0x10), "the image's headers");
  EXPECT_DEATH(Run(JumpTo, Image().Base() + ReturnInData), "instruction fetch at 0x[0-9a-f]+ \\(section \\.data, not executable");
}

TEST_F(RunnerTest, HostMemoryOnlyWhereItIsLive) {
  auto Buffer = std::make_unique<uint8_t[]>(16);
  Buffer[15] = 0x77;
  const auto At = reinterpret_cast<uint64_t>(Buffer.get());
  EXPECT_EQ(Run(ReadArg, At + 15), 0x77u);
  Run(WriteArg, At);
  EXPECT_EQ(Buffer[0], 0x5A);
  EXPECT_DEATH(Run(ReadArg, At + 16), "read of 1 bytes at 0x[0-9a-f]+: host memory nobody allocated");
  EXPECT_DEATH(Run(WriteArg, At + 16), "write of 1 bytes .*: host memory nobody allocated");
  uint8_t *Freed = new uint8_t[32];
  delete[] Freed;
  EXPECT_DEATH(Run(ReadArg, reinterpret_cast<uint64_t>(Freed)), "already freed");
  EXPECT_DEATH(Run(WriteArg, 0x100000000000ull), "the sanitizer's shadow");
}

TEST_F(RunnerTest, MsrsTheProcessorLacksRaiseGeneralProtection) {
  sim::CpuModel &Cpu = sim::TheBoard().Cpu;
  Cpu.Msr[0x1B] = 0xFEE00900;
  EXPECT_EQ(Run(ReadMsr, 0x1B), 0xFEE00900u);
  EXPECT_EQ(Run(ReadMsr, 0xC001006B), 0u);  // a P-state register with no value given
  Run(WriteMsr, 0xC0010064, 0x8000000000000878ull);
  EXPECT_EQ(Cpu.Msr[0xC0010064], 0x8000000000000878ull);
  EXPECT_DEATH(Run(ReadMsr, 0x10), "#GP\\(0\\): RDMSR of MSR 0x10, which this processor does not have");
  EXPECT_DEATH(Run(WriteMsr, 0xC0010070, 1), "#GP\\(0\\): WRMSR of MSR 0xC0010070");
}

TEST_F(RunnerTest, HaltAndMisalignedOperandsStopTheRun) {
  alignas(16) uint8_t Block[32] = {};
  Run(StoreAligned, reinterpret_cast<uint64_t>(Block));
  EXPECT_DEATH(Run(StoreAligned, reinterpret_cast<uint64_t>(Block) + 8), "16-byte operand at 0x[0-9a-f]+ is not aligned");
  EXPECT_DEATH(Run(HaltWithInterruptsOff), "HLT with interrupts off");
}

TEST_F(RunnerTest, CounterAndPauseLoopsSpendTheRunBudget) {
  EXPECT_DEATH(Run(CounterLoop), "run budget of hardware touches spent .* on the time-stamp counter");
  EXPECT_DEATH(Run(PauseLoop), "run budget of hardware touches spent .* on PAUSE");
}

TEST_F(RunnerTest, FlushedLinesAreTheOperandAddresses) {
  auto &Lines = sim::TheBoard().Cpu.FlushedLines;
  Lines.clear();
  Run(FlushLine, 0xFF005040);
  EXPECT_EQ(Lines, std::vector<uint64_t>{0xFF005040});
}

// For many runs from one state: guest writes undone exactly, a budget of instructions, and
// a policy over what the guest may touch.
TEST_F(RunnerTest, SnapshotUndoesTheGuestsWritesAndOnlyThose) {
  auto Buffer = std::make_unique<uint64_t[]>(4);
  Buffer[0] = 1;
  Buffer[1] = 2;
  auto *Data = reinterpret_cast<uint8_t *>(Image().Base() + DataRva);
  *Data = 7;
  image::Emulator::Get().TakeSnapshot();
  Run(WriteData);  // mov byte [.data], 1
  Run(WriteQword, reinterpret_cast<uint64_t>(&Buffer[0]), 0x1111);
  Run(WriteQword, reinterpret_cast<uint64_t>(&Buffer[0]), 0x2222);
  Buffer[1] = 3;  // the host's own write, beside the guest's
  ASSERT_EQ(Buffer[0], 0x2222u);
  ASSERT_EQ(*Data, 1);
  image::Emulator::Get().RestoreSnapshot();
  EXPECT_EQ(Buffer[0], 1u);
  EXPECT_EQ(Buffer[1], 3u);
  EXPECT_EQ(*Data, 7);
  EXPECT_EQ(image::Emulator::Get().WritesUndone(), 2u);
}

TEST_F(RunnerTest, InstructionBudgetEndsAnEndlessLoop) {
  image::Emulator::Get().SetInstructionBudget(10000);
  image::Emulator::Get().TakeSnapshot();
  for (int I = 0; I < 3000; ++I) Run(WriteData);  // two instructions each
  image::Emulator::Get().RestoreSnapshot();        // the budget counts from here again
  for (int I = 0; I < 3000; ++I) Run(WriteData);
  EXPECT_DEATH(Run(Spin), "instruction budget of 10000 spent \\(an endless loop\\?\\), in the block at 0x[0-9a-f]+");
}

uint64_t AllowedStart, AllowedEnd;
const char *OnlyTheAllowedRange(uint64_t A, uint64_t Size, bool) {
  return A >= AllowedStart && A + Size <= AllowedEnd ? nullptr : "not in the allowed range";
}

TEST_F(RunnerTest, PolicyJudgesWhatTheGuestItselfReads) {
  // Two pages; the allowed range straddles their boundary by 4 bytes each way.
  auto *Pages = static_cast<uint8_t *>(std::aligned_alloc(0x1000, 0x2000));
  std::memset(Pages, 0xAB, 0x2000);
  AllowedStart = reinterpret_cast<uint64_t>(Pages) + 0x1000 - 4;
  AllowedEnd = AllowedStart + 8;
  image::Emulator::Get().LimitAccesses(OnlyTheAllowedRange);
  // A read that crosses a page, which the emulator carries out as two aligned reads that reach
  // past both ends, is judged as the one read the guest made.
  EXPECT_EQ(Run(ReadQword, AllowedStart), 0xABABABABABABABABull);
  EXPECT_DEATH(Run(ReadQword, AllowedStart + 1), "read of 8 bytes at 0x[0-9a-f]+: not in the allowed range, by 0x[0-9a-f]+");
  EXPECT_DEATH(Run(WriteQword, AllowedStart - 8, 0), "write of 8 bytes at 0x[0-9a-f]+: not in the allowed range");
  image::Emulator::Get().LimitAccesses(nullptr);
  std::free(Pages);
}

}  // namespace
