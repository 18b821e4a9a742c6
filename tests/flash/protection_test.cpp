#include <flash/identify.h>
#include <flash/protection.h>

#include "data_ops_fixture.h"

namespace flash_test {
namespace {

struct ProtectionTest : DataOpsBoard {
  // Status writes (opcode 0x01) with the byte they carried.
  std::vector<uint8_t> StatusWrites() const {
    std::vector<uint8_t> Out;
    for (const auto &C : Part.Commands)
      if (C.Opcode == 0x01) Out.push_back(C.Out.at(0));
    return Out;
  }
  void Unprotect(uint8_t Status, uint8_t Seed = 0) {
    Part.Status = Status;
    FlashDeviceOps->Unprotect(0x12, 0x34, Seed);
  }
};

TEST_F(ProtectionTest, ClearsOnlyTheMaskBitsAfterWriteEnable) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Unprotect(0x1C);
  const auto S = Sent();
  ASSERT_EQ(S.size(), 2u);
  EXPECT_EQ(S[0].Opcode, 0x06);
  EXPECT_EQ(S[1].Opcode, 0x01);
  EXPECT_EQ(StatusWrites(), (std::vector<uint8_t>{0x00}));
  // Two status reads before the write; the ready wait's reads after it.
  EXPECT_EQ(Part.Commands[0].Opcode, 0x05);
  EXPECT_EQ(Part.Commands[1].Opcode, 0x05);
  EXPECT_GT(Part.Commands.size(), 5u);
  EXPECT_EQ(Part.Status, 0x00);

  // Nothing protected by the mask: one status read and nothing written.
  Part.Commands.clear();
  Unprotect(0x20);
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x05}));

  // Bits outside the mask are written back as read; the latch and busy bits are the part's.
  Part.Commands.clear();
  Unprotect(0x80 | 0x1C | 0x02);
  EXPECT_EQ(StatusWrites(), (std::vector<uint8_t>{0x82}));
  EXPECT_EQ(Part.Status, 0x80);
}

TEST_F(ProtectionTest, WiderMaskFromThirtyTwoMegabytes) {
  StartWith(Winbond32MB, 0x2000000, 0xFF000000, 0x1000000);
  Unprotect(0x3C);
  EXPECT_EQ(StatusWrites(), (std::vector<uint8_t>{0x00}));
}

TEST_F(ProtectionTest, ProtectedAreaTakesEraseAgainAfterUnprotect) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Fill(0xFFF000, 0x1000, 0x00);
  Part.Status = 0x1C;
  EXPECT_EQ(Erase(0xFFF000, 0x1000, FALSE), EFI_DEVICE_ERROR);
  FlashDeviceOps->Unprotect(0, 0, 0);
  EXPECT_EQ(Erase(0xFFF000, 0x1000, FALSE), EFI_SUCCESS);
  EXPECT_EQ(Part.Memory[0xFFF000], 0xFF);
}

TEST_F(ProtectionTest, SstPartsEnableTheStatusWriteWithTheirTemplatesOpcode) {
  StartWith({0xBF, 0x25, 0x4B}, 0x800000, 0xFF000000, 0x1000000);
  Unprotect(0x1C);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x50, 0x01}));
  EXPECT_EQ(Part.Status, 0x00);
}

TEST_F(ProtectionTest, Sst26ThroughTheJedecTemplateSendsEnableOpcodeZero) {
  StartWith({0xBF, 0x26, 0x43}, 0x800000, 0xFF000000, 0x1000000);
  Unprotect(0x1C);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x00, 0x01}));
}

TEST_F(ProtectionTest, SstLegacyPartUsesItsEnableOpcode) {
  Part.IdBytes[0x90] = {0xBF, 0x44};
  StartWith({0x12, 0x34, 0x56}, 0x80000, 0xFFF80000, 0x80000);
  ASSERT_STREQ(DeviceName, "SST 25LF040");
  Unprotect(0x0C);
  EXPECT_EQ(UpdateOpcodes(), (std::vector<uint8_t>{0x50, 0x01}));
}

TEST_F(ProtectionTest, StatusReadThatDoesNotCompleteDecidesOnTheSeed) {
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  Controller.ExecuteNeverClears = true;
  Unprotect(0x1C, 0x00);
  EXPECT_EQ(OpcodesWritten(), (std::vector<uint8_t>{0x05}));
  B.Log.clear();
  Unprotect(0x1C, 0x1C);
  EXPECT_EQ(OpcodesWritten(), (std::vector<uint8_t>{0x05, 0x05, 0x06, 0x01}));
}

TEST(ProtectMaskTable, MaskPerPartAndSize) {
  struct Case {
    uint32_t Id16, Size;
    uint8_t Mask;
  };
  const Case Cases[] = {
      {0x401F, 0x80000, 0x0C},   {0x3820, 0x1000000, 0x3C}, {0x7020, 0x100000, 0x3C},  {0x5020, 0x800000, 0x3C},
      {0x5020, 0x400000, 0x1C},  {0xBA20, 0x2000000, 0x1C}, {0x609D, 0x100000, 0x3C},  {0x409D, 0x100000, 0x1C},
      {0x20C2, 0x400000, 0x3C},  {0x20C2, 0x200000, 0x1C},  {0x75C2, 0x100000, 0x3C},  {0x5EC2, 0x4000000, 0x1C},
      {0x67C8, 0x100000, 0x7C},  {0x47C8, 0x100000, 0x1C},  {0x40EF, 0x2000000, 0x3C}, {0x80EF, 0x1000000, 0x1C},
      {0x90EF, 0x4000000, 0x1C}, {0x26BF, 0x800000, 0x1C},  {0x4001, 0x1000000, 0x1C},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Id16 << " " << C.Size);
    PartId = 0x180000 | C.Id16;
    FlashSize = C.Size;
    EXPECT_EQ(ProtectMask().Mask, C.Mask);
  }
}

TEST_F(ProtectionTest, ManufacturerMasksOnTheirParts) {
  struct Case {
    std::array<uint8_t, 3> Id;
    uint8_t Status, Written;
  };
  // Run in one start-up each would need a process per row; the mask depends only on the
  // identifier and size, so these rows set both directly on one identified table.
  StartWith(Winbond16MB, 0x1000000, 0xFF000000, 0x1000000);
  for (const Case &C : {Case{{0x1F, 0x45, 0}, 0x1C, 0x10}, Case{{0xC8, 0x40, 0x18}, 0x7C, 0x00},
                        Case{{0xC8, 0x47, 0x18}, 0x7C, 0x60}}) {
    SCOPED_TRACE(testing::Message() << std::hex << int(C.Id[0]) << " " << int(C.Id[1]));
    PartId = C.Id[0] | C.Id[1] << 8 | C.Id[2] << 16;
    Part.Commands.clear();
    Unprotect(C.Status);
    EXPECT_EQ(StatusWrites(), (std::vector<uint8_t>{C.Written}));
  }
}

}  // namespace
}  // namespace flash_test
