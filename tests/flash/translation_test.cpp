#include <flash/translation.h>

#include "flash_board.h"

namespace flash_test {
namespace {

// Translation reads only the snapshot and the globals: every case sets them directly and
// checks that the controller was never touched.
struct TranslationTest : FlashBoard {
  void Window(uint32_t Base, uint32_t Size, uint32_t Flash, bool Wide) {
    RomWindowBase = Base;
    RomWindowSize = Size;
    FlashSize = Flash;
    WideWindowEnabled = Wide;
    WideWindowSize = Wide ? 0x4000000 : 0x1000000;
  }
  void TearDown() override { EXPECT_TRUE(B.Log.empty()); }
  struct Classified {
    uint8_t Kind;
    uint64_t Address;
  };
  static Classified Classify(UINT64 Address) {
    const uint8_t Kind = ClassifyFlashAddress(&Address);
    return {Kind, Address};
  }
  static uint64_t Offset(uint64_t Address) {
    UINT64 O = 0xBAD;
    EXPECT_TRUE(MemoryToFlashOffset(Address, &O));
    return O;
  }
};

TEST_F(TranslationTest, RomWindowWithoutWideWindowShowsBankZero) {
  Window(0xFF000000, 0x1000000, 0x1000000, false);
  EXPECT_EQ(RomWindowBank(0), 0);
  EXPECT_EQ(Classify(0x123456).Kind, FlashAddressRomWindow);
  EXPECT_EQ(Classify(0x123456).Address, 0xFF123456u);
  EXPECT_EQ(Classify(0xFF123456).Address, 0xFF123456u);  // already in the window
  EXPECT_EQ(Offset(0xFF123456), 0x123456u);
  UINT64 M = 0;
  EXPECT_TRUE(FlashToMemory(0x123456, &M));
  EXPECT_EQ(M, 0xFF123456u);
  EXPECT_EQ(ToWideWindow(0xFF123456), ~0ull);

  Window(0xFF000000, 0x1000000, 0x2000000, false);
  EXPECT_EQ(Classify(0x1800000).Kind, FlashAddressUnmapped);
  M = 0x77;
  EXPECT_FALSE(FlashToMemory(0x1800000, &M));
  EXPECT_EQ(M, 0x77u);
  EXPECT_EQ(ChipAddress(0x1800000), 0x1800000u);
  UINT64 O = 0x55;
  EXPECT_FALSE(MemoryToFlashOffset(0x1800000, &O));
  EXPECT_EQ(O, 0x55u);
  // A processor address outside every window stands for the flash offset in its low bits.
  EXPECT_EQ(Classify(0xFE123456).Kind, FlashAddressRomWindow);
  EXPECT_EQ(Classify(0xFE123456).Address, 0xFF123456u);
}

TEST_F(TranslationTest, WideWindowSelectsBanksInTheRomWindow) {
  Window(0xFF000000, 0x1000000, 0x4000000, true);
  EXPECT_EQ(RomWindowBank(0), 1);
  EXPECT_EQ(Classify(0x1234567).Address, 0xFF234567u);
  EXPECT_EQ(Classify(0x0234567).Kind, FlashAddressUnmapped);
  EXPECT_EQ(Offset(0xFF234567), 0x1234567u);

  ControllerSnapshot[0x5C / 4] = 1;  // XOR: segment 0 shows bank 0
  EXPECT_EQ(RomWindowBank(0), 0);
  EXPECT_EQ(Classify(0x0234567).Address, 0xFF234567u);
  EXPECT_EQ(Classify(0x1234567).Kind, FlashAddressUnmapped);

  ControllerSnapshot[0x5C / 4] = 0;
  ControllerSnapshot[0x30 / 4] = 0x4;  // override bank bit 0 with 0
  EXPECT_EQ(RomWindowBank(0), 0);
  ControllerSnapshot[0x30 / 4] = 0x8 | 0x2;  // override bank bit 1 with 1
  EXPECT_EQ(RomWindowBank(0), 3);
  ControllerSnapshot[0x30 / 4] = 0x2;  // value without its enable: no effect
  EXPECT_EQ(RomWindowBank(0), 1);

  // A 32 MiB window below 4 GiB: segment 0 (0xFE000000) shows bank 0, segment 1 bank 1.
  Window(0xFE000000, 0x2000000, 0x2000000, true);
  ControllerSnapshot[0x30 / 4] = 0;
  EXPECT_EQ(Classify(0x0000010).Address, 0xFE000010u);
  EXPECT_EQ(Classify(0x1000010).Address, 0xFF000010u);
  EXPECT_EQ(Offset(0xFF000010), 0x1000010u);

  // The chipset's registers at 0xFEC00000 up stay classified and give their chip address, so
  // commands reach the right bank, but offer no memory view.
  ControllerSnapshot[0x5C / 4] = 1;  // segment 0 shows bank 1
  UINT64 M = 0;
  EXPECT_EQ(Classify(0x1C10000).Address, 0xFEC10000u);
  EXPECT_EQ(ChipAddress(0xFEC10000), 0x1C10000u);
  EXPECT_FALSE(FlashToMemory(0x1C10000, &M));
  EXPECT_FALSE(FlashToMemory(0xFEFFFFFF, &M));
  EXPECT_TRUE(FlashToMemory(0x1BFFFFF, &M));
  EXPECT_EQ(M, 0xFEBFFFFFu);
  EXPECT_TRUE(FlashToMemory(0x0000000, &M));
  EXPECT_EQ(M, 0xFF000000u);
}

TEST_F(TranslationTest, WindowSmallerThanOneSegmentMapsNoOffset) {
  Window(0xFFFF0000, 0x10000, 0x1000000, false);
  EXPECT_EQ(Classify(0x1000).Kind, FlashAddressUnmapped);
  EXPECT_EQ(Classify(0xFFFF1000).Kind, FlashAddressRomWindow);
  EXPECT_EQ(Classify(0xFFFF1000).Address, 0xFFFF1000u);
  // The window ends at 4 GiB: its last byte is inside.
  EXPECT_EQ(ToRomWindow(0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST_F(TranslationTest, AddressInTheWideWindowStaysAndGivesItsOffset) {
  Window(0xFF000000, 0x1000000, 0x4000000, true);
  ControllerSnapshot[0x64 / 4] = 1;
  ControllerSnapshot[0x60 / 4] = 0x0123;  // low bits below 64 MiB are not part of the base
  const Classified C = Classify(0x103A00000);
  EXPECT_EQ(C.Kind, FlashAddressWideWindow);
  EXPECT_EQ(C.Address, 0x103A00000u);
  EXPECT_EQ(Offset(0x103A00000), 0x3A00000u);
  EXPECT_EQ(ChipAddress(0x103A00000), 0x3A00000u);
  EXPECT_EQ(ToWideWindow(0x104000000), ~0ull);
}

TEST_F(TranslationTest, ChipAddresses) {
  Window(0xFFFF0000, 0x10000, 0x2000000, false);
  EXPECT_EQ(ChipAddress(0xFE000000), 0u);  // no mapping: 0xFE000000 up stand for offset 0 up
  EXPECT_EQ(ChipAddress(0x7FFFFFF), 0x7FFFFFFu);
  EXPECT_EQ(ChipAddress(0x8000000), 0xA000000u);  // the first that is no offset, unmapped: as from 0xFE000000
  Window(0xFF000000, 0x1000000, 0x1000000, false);
  EXPECT_EQ(ChipAddress(0xFF001000), 0x1000u);
}

}  // namespace
}  // namespace flash_test
