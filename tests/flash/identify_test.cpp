#include <flash/address_mode.h>
#include <flash/identify.h>
#include <flash/translation.h>

#include <cstring>

#include "flash_board.h"

namespace flash_test {
namespace {

struct Expected {
  std::array<uint8_t, 3> Id;
  const char *Name;
  uint32_t Capacity;
  uint32_t PageSize, SectorSize;
  uint8_t Erase4K, Erase64K, WriteStatusEnable;
  std::vector<uint8_t> ReadIdOpcodes;  // until the part was recognised
};

void PrintTo(const Expected &E, std::ostream *Os) {
  *Os << std::hex << int(E.Id[0]) << " " << int(E.Id[1]) << " " << int(E.Id[2]);
}

struct IdentifyTest : FlashBoard, ::testing::WithParamInterface<Expected> {};

// Rows from each table, each capacity rule and each kind of template change.
const Expected Parts[] = {
    {{0xEF, 0x40, 0x18}, "Winbond 25X/Q Series", 0x1000000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xEF, 0x80, 0x15}, "Winbond 25X/Q Series", 0x200000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xC2, 0x20, 0x19}, "MXIC 25L/U Series", 0x2000000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xC2, 0x5E, 0x22}, "MXIC 25L/U Series", 0x10000000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x1C, 0x78, 0x39}, "EON 25F/Q/S/QH/SX Series", 0x2000000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x1C, 0x20, 0x16}, "EON 25P Series", 0x400000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xBF, 0x25, 0x4B}, "SST 25VF Series", 0x800000, 256, 4096, 0x20, 0xD8, 0x50, {0x9F}},
    {{0xBF, 0x25, 0x8E}, "SST 25VF Series", 0x100000, 1, 4096, 0x20, 0xD8, 0x50, {0x9F}},
    {{0x8C, 0x20, 0x3A}, "ESMT 25L T Series", 0x4000000, 1, 4096, 0x20, 0xD8, 0x50, {0x9F}},
    {{0x8C, 0x21, 0x16}, "ESMT 25L B Series", 0x400000, 1, 4096, 0x20, 0xD8, 0x00, {0x9F}},
    {{0x8C, 0x41, 0x17}, "ESMT 25L QA/PA Series", 0x800000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xBF, 0x26, 0x43}, "SST 26VF Series", 0x800000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x01, 0x02, 0x20}, "Cypress 25FS-S Series", 0x4000000, 256, 0x40000, 0xD8, 0xFF, 0x00, {0x9F, 0x9F}},
    {{0x01, 0x02, 0x17}, "Spansion 25FL Series", 0x1000000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x01, 0x02, 0x18}, "Spansion 25FL Series", 0x2000000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x20, 0x20, 0x18}, "STM/Micron/Numonyx 25P Series", 0x1000000, 256, 0x40000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x20, 0x20, 0x17}, "STM/Micron/Numonyx 25P Series", 0x800000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x20, 0x80, 0x14}, "STM/Numonyx 25PE Series", 0x100000, 256, 0x100, 0xDB, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x89, 0x89, 0x16}, "Intel/Numonyx 25F160/320", 0x400000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x89, 0x89, 0x14}, "Intel/Numonyx 25F160/320", 0x2000000, 256, 0x10000, 0xD8, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x1F, 0x44, 0x01}, "ATMEL 26DF041/25DF041", 0x80000, 256, 4096, 0x20, 0xFF, 0x39, {0x9F, 0x9F}},
    {{0x1F, 0x44, 0x18}, "ATMEL 26DF041/25DF041", 0x80000, 256, 4096, 0x20, 0xFF, 0x39, {0x9F, 0x9F}},
    {{0x1F, 0x86, 0x00}, "ATMEL 26DF161/25DQ161", 0x200000, 256, 4096, 0x20, 0xD8, 0x39, {0x9F, 0x9F}},
    {{0x1F, 0x42, 0x17}, "ADESTO AT25SL128A", 0x1000000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x7F, 0x9D, 0x46}, "PMC 25LV/LQ Series", 0x400000, 256, 4096, 0xD7, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0x7F, 0x37, 0x12}, "AMIC 25L Series", 0x80000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
    {{0xF8, 0x43, 0x16}, "FIDELIX 25M Series", 0x400000, 256, 4096, 0x20, 0xD8, 0x00, {0x9F, 0x9F}},
};

INSTANTIATE_TEST_SUITE_P(Parts, IdentifyTest, ::testing::ValuesIn(Parts));

TEST_P(IdentifyTest, RecognisesThePartAndFillsTheTable) {
  const Expected &E = GetParam();
  Part.SetJedecId(E.Id[0], E.Id[1], E.Id[2]);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(DeviceName, E.Name);
  EXPECT_EQ(FlashDeviceOps->Name, DeviceName);
  EXPECT_EQ(FlashSize, E.Capacity);
  EXPECT_EQ(PartId, E.Id[0] | E.Id[1] << 8 | E.Id[2] << 16);
  EXPECT_EQ(PartIdLow, E.Id[0] | E.Id[1] << 8);
  EXPECT_EQ(FlashDeviceOps->PageSize, E.PageSize);
  EXPECT_EQ(FlashDeviceOps->SectorSize, E.SectorSize);
  // Packed fields: copied out before comparing.
  EXPECT_EQ(UINT32{PartCommandSet.PageSize}, E.PageSize);
  EXPECT_EQ(UINT32{PartCommandSet.SectorSize}, E.SectorSize);
  EXPECT_EQ(PartCommandSet.Erase4KOp.Opcode, E.Erase4K);
  EXPECT_EQ(PartCommandSet.Erase64KOp.Opcode, E.Erase64K);
  EXPECT_EQ(PartCommandSet.WriteStatusEnableOp.Opcode, E.WriteStatusEnable);
  // The entries no row changes keep the template's opcodes.
  EXPECT_EQ(PartCommandSet.ProgramOp.Opcode, 0x02);
  EXPECT_EQ(PartCommandSet.ReadOp.Opcode, 0x03);
  EXPECT_EQ(PartCommandSet.ReadStatusOp.Opcode, 0x05);
  EXPECT_EQ(PartCommandSet.WriteStatusOp.Opcode, 0x01);
  EXPECT_EQ(PartCommandSet.WriteEnableOp.Opcode, 0x06);
  std::vector<uint8_t> ReadIds;
  for (uint8_t Op : Part.Opcodes())
    if (Op == 0x9F || Op == 0x90) ReadIds.push_back(Op);
  EXPECT_EQ(ReadIds, E.ReadIdOpcodes);
}

using IdentifyChainTest = FlashBoard;

TEST_F(IdentifyChainTest, JedecPartGetsTheWholeJedecTemplate) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const uint8_t Expected[26] = {0x02, 3,    0x03, 2,    0x20, 3,    0xD8, 3, 0x05, 0,    0x9F, 0, 0x01,
                                1,    0x00, 0,    0x06, 0,    0x00, 0x01, 0, 0,    0x00, 0x10, 0, 0};
  EXPECT_EQ(std::memcmp(&PartCommandSet, Expected, sizeof Expected), 0);
  EXPECT_EQ(PartId, 0x1840EFu);
  EXPECT_EQ(PartIdLow, 0x40EF);
  // Each read-identifier command: no bytes sent, three received, no ready wait.
  ASSERT_EQ(Part.Commands.size(), 2u);
  EXPECT_TRUE(Part.Commands[0].Out.empty());
  EXPECT_EQ(Part.Commands[0].InCount, 3u);
}

TEST_F(IdentifyChainTest, LegacyIdentifierAfterTwoUnknownJedecAnswers) {
  Part.SetJedecId(0x12, 0x34, 0x19);
  Part.IdBytes[0x90] = {0xBF, 0x80};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(DeviceName, "SST 25LF080");
  EXPECT_EQ(FlashSize, 0x100000u);
  EXPECT_EQ(FlashDeviceOps->PageSize, 1u);
  EXPECT_EQ(FlashDeviceOps->SectorSize, 4096u);
  EXPECT_EQ(PartCommandSet.ReadIdOp.Opcode, 0x90);
  EXPECT_EQ(PartCommandSet.WriteStatusEnableOp.Opcode, 0x50);
  EXPECT_EQ(PartId, 0x00BF80BFu);  // the part repeats its two bytes
  // The legacy table never touches the address mode.
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
}

TEST_F(IdentifyChainTest, UnknownPartOnAnsweringControllerLeavesNoTable) {
  Part.SetJedecId(0x12, 0x34, 0x56);
  Part.IdBytes[0x90] = {0x12, 0x34};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
  EXPECT_EQ(FlashDeviceOps, nullptr);
  EXPECT_EQ(PartId, 0u);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(DeviceName[0], 0);
}

// A read identifier that the transport gives up on yields identifier 0, not stack contents.
TEST_F(IdentifyChainTest, GivenUpIdentifierReadsAsZero) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  Controller.ExecuteNeverClears = true;
  UINT32 Id = 0xDEADBEEF;
  EXPECT_TRUE(SpiReadId(&JedecCommandSet, &Id));
  EXPECT_EQ(Id, 0u);
}

TEST(CapacityRules, CodesAndDefaults) {
  struct Case {
    UINT32 (*Rule)(UINT32);
    uint8_t Code;
    uint32_t Capacity;
  };
  const Case Cases[] = {
      {DecodeCapacityA, 0x10, 0x10000},   {DecodeCapacityA, 0x15, 0x200000},  {DecodeCapacityA, 0x36, 0x400000},
      {DecodeCapacityA, 0x38, 0x1000000}, {DecodeCapacityA, 0x19, 0x2000000}, {DecodeCapacityA, 0x39, 0x2000000},
      {DecodeCapacityA, 0x20, 0x4000000}, {DecodeCapacityA, 0x3B, 0x8000000}, {DecodeCapacityA, 0x22, 0x10000000},
      {DecodeCapacityB, 0x12, 0x80000},   {DecodeCapacityB, 0x46, 0x400000},  {DecodeCapacityB, 0x17, 0x1000000},
      {DecodeCapacityB, 0x20, 0x4000000}, {DecodeCapacityB, 0x18, 0x2000000}, {DecodeCapacityC, 0x41, 0x200000},
      {DecodeCapacityC, 0x4A, 0x400000},  {DecodeCapacityC, 0x8C, 0x40000},   {DecodeCapacityC, 0x8E, 0x100000},
      {DecodeCapacityC, 0x10, 0x2000000},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "code " << int(C.Code));
    // Only bits 23:16 count.
    EXPECT_EQ(C.Rule(0xAB00CDEFu | C.Code << 16), C.Capacity);
  }
}

}  // namespace
}  // namespace flash_test
