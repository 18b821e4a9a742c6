#include <cstring>

#include "data_ops_fixture.h"

namespace flash_test {
namespace {

using EraseTest = DataOpsBoard;
using ProgramTest = DataOpsBoard;
using ReadTest = DataOpsBoard;

TEST_F(EraseTest, OneSectorThatErasesAtTheFirstAttempt) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Fill(0, 0x3000, 0x00);
  EXPECT_EQ(Erase(0x1000, 0x1000, FALSE), EFI_SUCCESS);
  const auto S = Sent();
  ASSERT_EQ(S.size(), 2u);
  EXPECT_EQ(S[0].Opcode, 0x06);
  EXPECT_EQ(S[1].Opcode, 0x20);
  EXPECT_EQ(S[1].Out, Address3(0x1000));
  EXPECT_EQ(Part.Memory[0x1FFF], 0xFF);
  EXPECT_EQ(Part.Memory[0x2000], 0x00);
  EXPECT_EQ(Part.Memory[0x0FFF], 0x00);
}

TEST_F(EraseTest, LengthOrAddressOffTheSectorSizeSendsNothing) {
  StartWith({0x01, 0x20, 0x17}, 0x1000000, 0xFF000000, 0x1000000);  // 64 KiB sectors
  EXPECT_EQ(Erase(0x1000, 0x1000, FALSE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Erase(0x10000, 0x1000, FALSE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Erase(0xFF001000, 0x10000, TRUE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Erase(0x10000, 0, FALSE), EFI_SUCCESS);
  EXPECT_TRUE(Part.Commands.empty());
}

TEST_F(EraseTest, LargeBlocksWhereAlignedSmallOnesElsewhere) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Fill(0, 0x100000, 0x00);
  EXPECT_EQ(Erase(0x10000, 0x20000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0xD8, 0x06, 0xD8}));
  EXPECT_EQ(Sent()[3].Out, Address3(0x20000));

  Part.Commands.clear();
  Fill(0, 0x100000, 0x00);
  EXPECT_EQ(Erase(0x11000, 0x20000, FALSE), EFI_SUCCESS);
  const auto S = Sent();
  ASSERT_EQ(S.size(), 2u * 17);
  for (unsigned I = 0; I < 15; ++I) {
    EXPECT_EQ(S[2 * I + 1].Opcode, 0x20);
    EXPECT_EQ(S[2 * I + 1].Out, Address3(0x11000 + I * 0x1000));
  }
  EXPECT_EQ(S[31].Opcode, 0xD8);
  EXPECT_EQ(S[31].Out, Address3(0x20000));
  EXPECT_EQ(S[33].Opcode, 0x20);
  EXPECT_EQ(S[33].Out, Address3(0x30000));
  EXPECT_EQ(Part.Memory[0x10FFF], 0x00);
  EXPECT_EQ(Part.Memory[0x31000], 0x00);

  // Already blank: not a single command.
  Part.Commands.clear();
  EXPECT_EQ(Erase(0x11000, 0x20000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(EraseSector(0xFF020000), TRUE);
  EXPECT_TRUE(Part.Commands.empty());
}

TEST_F(EraseTest, ProcessorAddressIsTurnedIntoTheChipAddress) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  B.Cpu.Cpuid[1] = {0, 0x0800, 0, 1u << 19};  // CLFLUSH, 64-byte lines
  Fill(0x5000, 0x1000, 0x12);
  EXPECT_TRUE(EraseSector(0xFF005000));
  EXPECT_EQ(Sent()[1].Out, Address3(0x5000));
  // The erased range was flushed line by line before it was read back.
  ASSERT_EQ(B.Cpu.FlushedLines.size(), 0x1000u / 64);
  EXPECT_EQ(B.Cpu.FlushedLines.front(), 0xFF005000u);
  EXPECT_EQ(B.Cpu.FlushedLines.back(), 0xFF005FC0u);
  EXPECT_EQ(B.Cpu.Fences, 1u);
}

TEST_F(EraseTest, FailedSmallBlockStopsWithDeviceErrorLeavingTheRestUntouched) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Fill(0xFBE000, 0x4000, 0x00);
  Part.Status = 1 << 2;  // the top 256 KiB, from 0xFC0000, are protected
  EXPECT_EQ(Erase(0xFBE000, 0x4000, FALSE), EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x20, 0x06, 0x20, 0x06, 0x20, 0x20, 0x20}));
  EXPECT_EQ(Part.Memory[0xFBE000], 0xFF);
  EXPECT_EQ(Part.Memory[0xFBFFFF], 0xFF);
  EXPECT_EQ(Part.Memory[0xFC0000], 0x00);
  EXPECT_EQ(Part.Memory[0xFC1000], 0x00);
}

TEST_F(EraseTest, LargeEraseThatFailsIsGivenUpForTheBoot) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Fill(0x10000, 0x20000, 0x00);
  Part.FailNextErases = 1;
  EXPECT_EQ(Erase(0x10000, 0x10000, FALSE), EFI_SUCCESS);
  auto Ops = UpdateOpcodes();
  ASSERT_EQ(Ops.size(), 4u + 2 * 16);
  EXPECT_EQ(std::vector<uint8_t>(Ops.begin(), Ops.begin() + 4), (std::vector<uint8_t>{0x06, 0xD8, 0xD8, 0xD8}));
  EXPECT_EQ(CountSent(0x20), 16u);
  EXPECT_EQ(Use64KErase, 0);
  Part.Commands.clear();
  EXPECT_EQ(Erase(0x20000, 0x10000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(CountSent(0x20), 16u);
  EXPECT_EQ(CountSent(0xD8), 0u);
  EXPECT_EQ(std::count(Part.Memory.begin() + 0x10000, Part.Memory.begin() + 0x30000, 0xFF), 0x20000);
}

// An erase slower than the ready wait: the first verify finds the block not yet erased; the
// retry, sent while the part is still busy, is ignored by it, and its ready wait sees the
// erase complete.
TEST_F(EraseTest, EraseOutlastingTheReadyWaitIsRetried) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  B.Logging = false;
  Part.Erase4KUs = 400000;
  Fill(0x3000, 0x1000, 0x00);
  const uint64_t StartUs = Clock.NowUs();
  EXPECT_EQ(Erase(0x3000, 0x1000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x20, 0x20}));
  EXPECT_GT(CountSent(0x05), 65535u);
  EXPECT_GE(Clock.NowUs() - StartUs, 400000u);
  EXPECT_EQ(Part.Memory[0x3000], 0xFF);
}

TEST_F(EraseTest, SixteenMegabyteBoundaryOnALargerPart) {
  // No wide window: the part stays in 3-byte mode, so only the 4-byte opcode carries 4 bytes.
  StartWith(Winbond32MB, 0x2000000, 0xFF000000, 0x1000000);
  ASSERT_EQ(FlashSize, 0x2000000u);
  Fill(0xFFF000, 0x2000, 0x00);
  EXPECT_EQ(Erase(0xFFF000, 0x1000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(Erase(0x1000000, 0x1000, FALSE), EFI_SUCCESS);
  std::vector<SpiNorPart::Command> Erases;
  for (const auto &C : Sent())
    if (C.Opcode == 0x20 || C.Opcode == 0x21) Erases.push_back(C);
  ASSERT_EQ(Erases.size(), 2u);
  EXPECT_EQ(Erases[0].Opcode, 0x20);
  EXPECT_EQ(Erases[0].Out, Address3(0xFFF000));
  EXPECT_EQ(Erases[1].Opcode, 0x21);
  EXPECT_EQ(Erases[1].Out, Address4(0x1000000));
  EXPECT_EQ(Part.Memory[0xFFF000], 0xFF);
  EXPECT_EQ(Part.Memory[0x1000FFF], 0xFF);
}

TEST_F(EraseTest, InFourByteModeEveryCommandCarriesFourAddressBytes) {
  StartWith(Winbond32MB, 0x2000000, 0xFE000000, 0x2000000, true);
  ASSERT_TRUE(Part.FourByteMode);
  Fill(0xFFF000, 0x1000, 0x00);
  EXPECT_EQ(Erase(0xFFF000, 0x1000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x20}));
  // 0xFEFFF000 lies over the chipset's registers: the verify reads go by command too.
  for (const auto &C : Sent()) {
    if (C.Opcode == 0x20) EXPECT_EQ(C.Out, Address4(0xFFF000));
    if (C.Opcode != 0x06) EXPECT_EQ(C.Out.size(), 4u) << std::hex << int(C.Opcode);
  }
  EXPECT_EQ(Part.Memory[0xFFF000], 0xFF);
}

// A part whose sector erase is 0xD8 (256 KiB sectors, no 64 KiB erase) gets its 4-byte twin
// 0xDC above 16 MiB, not the 4 KiB erase 0x21 it does not have.
TEST_F(EraseTest, AboveSixteenMegabytesTheOpcodeGetsItsFourByteTwin) {
  Part.EraseBlocks[0xD8] = Part.EraseBlocks[0xDC] = 0x40000;
  StartWith({0x01, 0x02, 0x20}, 0x4000000, 0xFF000000, 0x1000000);
  ASSERT_STREQ(DeviceName, "Cypress 25FS-S Series");
  Fill(0x1000000, 0x40000, 0x00);
  EXPECT_EQ(Erase(0x1000000, 0x40000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0xDC}));
  EXPECT_EQ(std::count(Part.Memory.begin() + 0x1000000, Part.Memory.begin() + 0x1040000, 0xFF), 0x40000);
}

// Sectors below 4 KiB (256-byte pages here) are erased one by one: nothing outside the range.
TEST_F(EraseTest, SmallSectorsEraseOnlyTheRange) {
  StartWith({0x20, 0x80, 0x14}, 0x100000, 0xFFF00000, 0x100000);
  ASSERT_EQ(FlashDeviceOps->SectorSize, 0x100u);
  Part.EraseBlocks[0xDB] = 0x100;
  Fill(0, 0x1000, 0x00);
  EXPECT_EQ(Erase(0x100, 0x200, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0xDB, 0x06, 0xDB}));
  EXPECT_EQ(Part.Memory[0x0FF], 0x00);
  EXPECT_EQ(Part.Memory[0x100], 0xFF);
  EXPECT_EQ(Part.Memory[0x2FF], 0xFF);
  EXPECT_EQ(Part.Memory[0x300], 0x00);
}

TEST_F(ProgramTest, ChunksEndAtPageBoundariesAndAtSixtyFourBytes) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  UINT8 Data[100];
  for (int I = 0; I < 100; ++I) Data[I] = static_cast<UINT8>(I);
  UINT32 Length = 100;
  EXPECT_TRUE(Program(0x1F0, Data, &Length, FALSE));
  EXPECT_EQ(Length, 84u);
  ASSERT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x02}));
  std::vector<uint8_t> Out = Address3(0x1F0);
  Out.insert(Out.end(), Data, Data + 16);
  EXPECT_EQ(Sent()[1].Out, Out);
  EXPECT_EQ(std::memcmp(&Part.Memory[0x1F0], Data, 16), 0);

  Part.Commands.clear();
  Length = 100;
  EXPECT_TRUE(Program(0xFF000200, Data, &Length, TRUE));
  EXPECT_EQ(Length, 36u);
  EXPECT_EQ(Sent()[1].Out.size(), 3u + 64);
  EXPECT_EQ(std::memcmp(&Part.Memory[0x200], Data, 64), 0);

  // Nothing to write: all 0xFF, or no bytes at all.
  Part.Commands.clear();
  UINT8 Blank[64];
  std::memset(Blank, 0xFF, sizeof Blank);
  Length = 64;
  EXPECT_TRUE(Program(0x400, Blank, &Length, FALSE));
  EXPECT_EQ(Length, 0u);
  EXPECT_TRUE(Program(0x400, Data, &Length, FALSE));
  EXPECT_EQ(Length, 0u);
  EXPECT_TRUE(Part.Commands.empty());

  // One byte short of a full chunk: written and read back as 63, from a buffer that ends there.
  std::vector<UINT8> Short(63);
  for (size_t I = 0; I < Short.size(); ++I) Short[I] = static_cast<UINT8>(0x40 + I);
  Length = 63;
  EXPECT_TRUE(Program(0x600, Short.data(), &Length, FALSE));
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(std::memcmp(&Part.Memory[0x600], Short.data(), Short.size()), 0);
}

TEST_F(ProgramTest, BytePartProgramsOneBytePerCall) {
  StartWith({0xBF, 0x25, 0x8E}, 0x100000, 0xFFF00000, 0x100000);
  ASSERT_EQ(FlashDeviceOps->PageSize, 1u);
  UINT8 Data[3] = {0x11, 0x22, 0x33};
  UINT32 Length = 3;
  for (UINT32 Done = 0; Length != 0; ++Done) {
    const UINT32 Before = Length;
    ASSERT_TRUE(Program(0x10 + Done, Data + Done, &Length, FALSE));
    EXPECT_EQ(Length, Before - 1);
  }
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x02, 0x06, 0x02, 0x06, 0x02}));
  EXPECT_EQ(Part.Memory[0x12], 0x33);
}

TEST_F(ProgramTest, ChunkThatDoesNotReadBackFailsAfterThreeAttempts) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Part.StuckBits[0x1005] = 0x01;
  UINT8 Data[16] = {};
  UINT32 Length = 16;
  EXPECT_FALSE(Program(0x1000, Data, &Length, FALSE));
  EXPECT_EQ(Length, 16u);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x02, 0x06, 0x02, 0x06, 0x02}));
}

// With no window over the range the verify reads back by command; when the transport gives
// up, nothing is read back, and zeros must not pass for a buffer that was never filled.
TEST_F(ProgramTest, ReadBackThatNeverHappenedFailsTheVerify) {
  for (int Fault = 0; Fault < 2; ++Fault) {
    SCOPED_TRACE(Fault == 0 ? "controller stays busy" : "command never completes");
    StartWith(Winbond16MB, 0x1000000, 0xFFFF0000, 0x10000);
    Controller.BusyNeverClears = Fault == 0;
    Controller.ExecuteNeverClears = Fault == 1;
    UINT8 Zeros[16] = {};
    UINT32 Length = 16;
    EXPECT_FALSE(Program(0x400, Zeros, &Length, FALSE));
    EXPECT_EQ(Length, 16u);
    if (Fault == 0) EXPECT_EQ(Part.Memory[0x400], 0xFF);  // nothing was sent
    Controller.BusyNeverClears = Controller.ExecuteNeverClears = false;
  }
}

TEST_F(ReadTest, WindowReadSendsNoCommand) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  for (uint32_t I = 0; I < 0x3000; ++I) Part.Memory[0x7000 + I] = static_cast<uint8_t>(I * 7);
  std::vector<UINT8> Buffer(0x3000);
  UINT32 Length = 0x3000;
  Read(0x7000, Buffer.data(), &Length, FALSE);
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(std::memcmp(Buffer.data(), &Part.Memory[0x7000], 0x3000), 0);
  EXPECT_TRUE(Part.Commands.empty());
}

TEST_F(ReadTest, UnmappedReadGoesBySpiInChunksOfSixtyFour) {
  StartWith(Winbond16MB, 0x1000000, 0xFFFF0000, 0x10000);  // no offset is shown
  for (uint32_t I = 0; I < 130; ++I) Part.Memory[0x100 + I] = static_cast<uint8_t>(I + 1);
  UINT8 Buffer[130] = {};
  UINT32 Length = 130;
  Read(0x100, Buffer, &Length, FALSE);
  EXPECT_EQ(Length, 0u);
  const auto S = Sent();
  ASSERT_EQ(S.size(), 3u);
  EXPECT_EQ(S[0].InCount, 64u);
  EXPECT_EQ(S[1].InCount, 64u);
  EXPECT_EQ(S[2].InCount, 2u);
  EXPECT_EQ(S[2].Out, Address3(0x180));
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0x100], 130), 0);
}

// The start of this range is shown by the window but its end is not: the whole read goes by
// command, and ending above 16 MiB, both chunks use 0x13 with 4 address bytes.
TEST_F(ReadTest, RangeRunningOutOfTheWindowIsReadByCommand) {
  StartWith(Winbond32MB, 0x2000000, 0xFF000000, 0x1000000);
  for (uint32_t I = 0; I < 0x80; ++I) Part.Memory[0xFFFFC0 + I] = static_cast<uint8_t>(0x80 + I);
  UINT8 Buffer[0x80] = {};
  UINT32 Length = 0x80;
  Read(0xFFFFC0, Buffer, &Length, FALSE);
  const auto S = Sent();
  ASSERT_EQ(S.size(), 2u);
  EXPECT_EQ(S[0].Opcode, 0x13);
  EXPECT_EQ(S[0].Out, Address4(0xFFFFC0));
  EXPECT_EQ(S[1].Opcode, 0x13);
  EXPECT_EQ(S[1].Out, Address4(0x1000000));
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xFFFFC0], 0x80), 0);
}

// On a 32 MiB part outside 4-byte mode, a command read that ends at 16 MiB exactly takes the
// part's 3-byte read; one byte further and the whole read takes 0x13 with 4 address bytes.
TEST_F(ReadTest, ReadEndingAtSixteenMegabytesKeepsThreeAddressBytes) {
  StartWith(Winbond32MB, 0x2000000, 0xFFFF0000, 0x10000);  // no offset below 16 MiB is shown
  for (uint32_t I = 0; I < 0x41; ++I) Part.Memory[0xFFFFC0 + I] = static_cast<uint8_t>(0x30 + I);
  UINT8 Buffer[0x41] = {};
  UINT32 Length = 0x40;
  Read(0xFFFFC0, Buffer, &Length, FALSE);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].Opcode, 0x03);
  EXPECT_EQ(Sent()[0].Out, Address3(0xFFFFC0));
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xFFFFC0], 0x40), 0);

  Part.Commands.clear();
  Length = 0x41;
  Read(0xFFFFC0, Buffer, &Length, FALSE);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0].Opcode, 0x13);
  EXPECT_EQ(Sent()[0].Out, Address4(0xFFFFC0));
  EXPECT_EQ(Sent()[1].Out, Address4(0x1000000));
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xFFFFC0], 0x41), 0);
}

// A 32 MiB window at 0xFE000000 spans the PC's chipset registers at 0xFEC00000 to 0xFEFFFFFF
// (the SPI controller among them): the flash offsets behind them are read and verified by
// command, at the same chip addresses, and nothing there is flushed.
TEST_F(ReadTest, ChipsetRegistersInsideTheWindowAreNeverReadAsFlash) {
  StartWith(Winbond32MB, 0x2000000, 0xFE000000, 0x2000000, true);
  for (uint32_t I = 0; I < 64; ++I) Part.Memory[0xC10000 + I] = static_cast<uint8_t>(0xA0 + I);
  UINT8 Buffer[64] = {};
  UINT32 Length = 64;
  Read(0xC10000, Buffer, &Length, FALSE);
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xC10000], 64), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].Out, Address4(0xC10000));

  // Through the processor address the same range is the same chip address.
  Part.Commands.clear();
  std::memset(Buffer, 0, sizeof Buffer);
  Length = 64;
  Read(0xFEC10000, Buffer, &Length, TRUE);
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xC10000], 64), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].Out, Address4(0xC10000));

  // A read that ends in them goes wholly by command.
  Part.Commands.clear();
  Length = 64;
  Read(0xBFFFE0, Buffer, &Length, FALSE);
  EXPECT_EQ(std::memcmp(Buffer, &Part.Memory[0xBFFFE0], 64), 0);
  EXPECT_EQ(Sent().size(), 1u);

  auto &Flushed = sim::TheBoard().Cpu.FlushedLines;
  Flushed.clear();
  Part.Commands.clear();
  Fill(0xC10000, 0x1000, 0x00);
  EXPECT_EQ(Erase(0xC10000, 0x1000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x20}));
  for (const auto &C : Sent())
    if (C.Opcode == 0x20) EXPECT_EQ(C.Out, Address4(0xC10000));
  EXPECT_EQ(std::count(Part.Memory.begin() + 0xC10000, Part.Memory.begin() + 0xC11000, 0xFF), 0x1000);

  Part.Commands.clear();
  UINT8 Data[16];
  for (UINT8 I = 0; I < 16; ++I) Data[I] = static_cast<UINT8>(0x10 + I);
  Length = 16;
  EXPECT_TRUE(Program(0xC10020, Data, &Length, FALSE));
  EXPECT_EQ(Length, 0u);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x06, 0x02}));
  EXPECT_EQ(std::memcmp(&Part.Memory[0xC10020], Data, 16), 0);
  EXPECT_TRUE(Flushed.empty());

  // Below them the window still serves.
  Part.Commands.clear();
  Length = 64;
  Read(0xBFFF00, Buffer, &Length, FALSE);
  EXPECT_TRUE(Part.Commands.empty());
}

// Read clears the length it is handed; the verify keeps its own count and checks every chunk.
TEST_F(ReadTest, VerifyComparesEveryChunkOfTheRange) {
  StartWith(Winbond16MB, 0x1000000, 0xFFFF0000, 0x10000);  // by command: 64, 64, 2
  EXPECT_TRUE(VerifyFlashRange(0x1000, nullptr, 130, TRUE, FALSE));
  EXPECT_EQ(Sent().size(), 3u);
  Part.Memory[0x1000 + 129] = 0xFE;
  EXPECT_FALSE(VerifyFlashRange(0x1000, nullptr, 130, TRUE, FALSE));
  EXPECT_TRUE(VerifyFlashRange(0x1000, nullptr, 0, TRUE, FALSE));
}

TEST(CacheFlush, LineByLineOrWholeCache) {
  auto &Cpu = sim::TheBoard().Cpu;
  Cpu.Cpuid[1] = {0, 0x0800, 0, 1u << 19};
  EXPECT_EQ(FlushDataCacheRange(0x1030, 0x20), 0x1030u);
  EXPECT_EQ(Cpu.FlushedLines, (std::vector<uint64_t>{0x1000, 0x1040}));
  FlushDataCacheRange(0x1030, 0);
  EXPECT_EQ(Cpu.FlushedLines.size(), 2u);
  Cpu.Cpuid[1] = {0, 0x0800, 0, 0};  // no CLFLUSH
  FlushDataCacheRange(0x1030, 0x20);
  EXPECT_EQ(Cpu.Wbinvds, 1u);
  Cpu.Cpuid[1] = {0, 0, 0, 1u << 19};  // CLFLUSH with no line size: nothing to step by
  FlushDataCacheRange(0x1030, 0x20);
  EXPECT_EQ(Cpu.Wbinvds, 2u);
  EXPECT_EQ(Cpu.FlushedLines.size(), 2u);
}

}  // namespace
}  // namespace flash_test
