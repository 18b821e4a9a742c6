#include <cstring>

#include "data_ops_fixture.h"

namespace flash_test {
namespace {

// Erase, program and read back a whole 32 MiB part through the operations table.
TEST_F(DataOpsBoard, WholeThirtyTwoMegabytePartThroughTheTable) {
  Part.ProgramUs = 1;
  Part.Erase4KUs = Part.Erase64KUs = 2;
  uint64_t Seed = 4;
  auto Random = [&Seed] {  // splitmix64: cheap enough for 64 MiB of bytes
    uint64_t Z = (Seed += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
  };
  StartWith(Winbond32MB, 0x2000000, 0xFE000000, 0x2000000, true);
  std::generate(Part.Memory.begin(), Part.Memory.end(), [&] { return static_cast<uint8_t>(Random()); });
  B.Logging = false;
  Part.Record = false;
  B.Cpu.TscStep = 1000;  // coarser delays: fewer counter reads per microsecond
  B.Budget.Touches = 200'000'000;  // a whole part is some 71 million touches, far more than one wait

  ASSERT_EQ(FlashDeviceOps->Erase(0, 0x2000000, FALSE), EFI_SUCCESS);
  ASSERT_EQ(std::count(Part.Memory.begin(), Part.Memory.end(), 0xFF), 0x2000000);

  std::vector<UINT8> Image(0x2000000);
  std::generate(Image.begin(), Image.end(), [&] { return static_cast<uint8_t>(Random()); });
  for (UINT32 Offset = 0; Offset < Image.size();) {
    UINT32 Left = static_cast<UINT32>(Image.size()) - Offset;
    const UINT32 Before = Left;
    ASSERT_TRUE(FlashDeviceOps->Program(Offset, Image.data() + Offset, &Left, FALSE)) << Offset;
    Offset += Before - Left;
  }

  std::vector<UINT8> Back(Image.size());
  UINT32 Length = static_cast<UINT32>(Back.size());
  FlashDeviceOps->Read(0, Back.data(), &Length, FALSE);
  EXPECT_EQ(Length, 0u);
  EXPECT_TRUE(Back == Image);
  EXPECT_TRUE(Part.Memory == Image);
}

}  // namespace
}  // namespace flash_test
