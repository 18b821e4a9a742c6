#include "translation.h"

#include <startup/library.h>

UINT32 ControllerSnapshot[CONTROLLER_SNAPSHOT_REGISTERS] = {};
UINT32 RomWindowBase = 0;
UINT32 RomWindowSize = 0;
BOOLEAN WideWindowEnabled = 0;
UINT32 WideWindowSize = FLASH_16MB;
UINT32 FlashSize = 0x2000000;

namespace {
// Family, extended family and extended model fields of the processor signature; processors
// from this signature on can decode the wide window.
constexpr UINT32 SIGNATURE_FIELDS = 0x0FFF0F00;
constexpr UINT32 WIDE_WINDOW_SIGNATURE = 0x00830F00;
constexpr UINT32 REG_WIDE_WINDOW_ENABLE = 0x50;
}  // namespace

BOOLEAN WideWindowCheck() {
  UINT32 Signature = 0;
  CpuId(1, &Signature, nullptr, nullptr, nullptr);
  if ((Signature & SIGNATURE_FIELDS) < WIDE_WINDOW_SIGNATURE) return FALSE;
  if ((Reg(REG_WIDE_WINDOW_ENABLE) & 1) == 0) return FALSE;
  WideWindowEnabled = 1;
  WideWindowSize = WIDE_WINDOW_SIZE;
  return TRUE;
}

namespace {
constexpr UINT32 REG_BANK_OVERRIDE = 0x30;
constexpr UINT32 REG_BANK_SELECT = 0x5C;
constexpr UINT32 REG_WIDE_WINDOW_BASE_LOW = 0x60;
constexpr UINT32 REG_WIDE_WINDOW_BASE_HIGH = 0x64;
constexpr UINT64 WIDE_WINDOW_ALIGNMENT_MASK = 0xFFFFFFFFFC000000ULL;
constexpr UINT64 SEGMENT_OFFSET_MASK = 0xFFFFFF;
constexpr UINT64 CHIP_OFFSET_LIMIT = 0x8000000;  // below it, an address is a flash offset
constexpr UINT32 BELOW_4GB_FLASH = 0x2000000;    // 0xFE000000 up stands for offset 0 up
constexpr UINT64 CHIPSET_REGISTERS_BASE = 0xFEC00000;
constexpr UINT64 CHIPSET_REGISTERS_END = 0xFF000000;

UINT8 BankSelect() { return static_cast<UINT8>(Reg(REG_BANK_SELECT) & 0xFF); }
UINT64 WideWindowBase() {
  return ((static_cast<UINT64>(Reg(REG_WIDE_WINDOW_BASE_HIGH)) << 32) | Reg(REG_WIDE_WINDOW_BASE_LOW)) &
         WIDE_WINDOW_ALIGNMENT_MASK;
}
}  // namespace

UINT8 RomWindowBank(UINT8 Index) {
  if (WideWindowEnabled == 0) return 0;
  UINT8 X = static_cast<UINT8>(Index + (RomWindowBase >> 24) + 2);
  const UINT32 Override = Reg(REG_BANK_OVERRIDE);
  if (Override & 0x4) X = static_cast<UINT8>((X & ~1u) | (Override & 1));
  if (Override & 0x8) X = static_cast<UINT8>((X & ~2u) | (Override & 2));
  X ^= BankSelect();
  return static_cast<UINT8>(X & ((WideWindowSize - 1) >> 24));
}

UINT64 ToRomWindow(UINT64 Address) {
  if (RomWindowBase <= Address && Address < static_cast<UINT64>(RomWindowBase) + RomWindowSize) return Address;
  const UINT32 Segments = RomWindowSize >> 24;
  for (UINT32 I = 0; I < Segments; ++I)
    if ((RomWindowBank(static_cast<UINT8>(I)) & ((FlashSize - 1) >> 24)) == ((Address >> 24) & 0xFF))
      return (RomWindowBase + I * static_cast<UINT64>(FLASH_16MB)) | (Address & SEGMENT_OFFSET_MASK);
  return NO_MAPPING;
}

UINT64 ToWideWindow(UINT64 Address) {
  if (WideWindowEnabled == 0) return NO_MAPPING;
  const UINT64 W = WideWindowBase();
  if ((Address & WIDE_WINDOW_ALIGNMENT_MASK) == W && (Address & (WIDE_WINDOW_SIZE - 1)) < WideWindowSize)
    return Address;
  for (UINT32 I = 0; I < 4; ++I)
    if ((((WideWindowSize - 1) >> 24) & ((FlashSize - 1) >> 24) & (BankSelect() ^ I)) == ((Address >> 24) & 0xFF))
      return (static_cast<UINT64>(I) << 24) | (Address & SEGMENT_OFFSET_MASK) | W;
  return NO_MAPPING;
}

UINT8 ClassifyFlashAddress(UINT64 *Address) {
  UINT64 X = *Address;
  if (X >= FlashSize) {
    if (ToRomWindow(X) != NO_MAPPING) return FlashAddressRomWindow;
    const UINT64 Wide = ToWideWindow(X);
    if (Wide != NO_MAPPING) {
      *Address = Wide;
      return FlashAddressWideWindow;
    }
    X = (X & 0xFFFFFFFF) & (FlashSize - 1);
    *Address = X;
  }
  const UINT64 Rom = ToRomWindow(X);
  if (Rom == NO_MAPPING) return FlashAddressUnmapped;
  *Address = Rom;
  return FlashAddressRomWindow;
}

BOOLEAN MemoryToFlashOffset(UINT64 Address, UINT64 *Offset) {
  UINT64 Y = Address;
  const UINT8 Kind = ClassifyFlashAddress(&Y);
  if (Kind == FlashAddressRomWindow) {
    const UINT8 Index = static_cast<UINT8>((static_cast<UINT32>(Y) - RomWindowBase) >> 24);
    *Offset = ((static_cast<UINT64>(RomWindowBank(Index)) << 24) | (Y & SEGMENT_OFFSET_MASK)) & (FlashSize - 1);
    return TRUE;
  }
  if (Kind == FlashAddressWideWindow) {
    const UINT32 Bank = (static_cast<UINT32>(Y) >> 24) ^ BankSelect();
    *Offset = ((Bank << 24) & (WideWindowSize - 1)) | (Y & SEGMENT_OFFSET_MASK);
    return TRUE;
  }
  return FALSE;
}

BOOLEAN FlashToMemory(UINT64 Address, UINT64 *MemoryAddress) {
  UINT64 Y = Address;
  const UINT8 Kind = ClassifyFlashAddress(&Y);
  if (Kind != FlashAddressRomWindow && Kind != FlashAddressWideWindow) return FALSE;
  // The processor sees the I/O APIC, HPET, local APIC and chipset registers there, never the
  // flash, however large the window: such a range is read by SPI command.
  if (CHIPSET_REGISTERS_BASE <= Y && Y < CHIPSET_REGISTERS_END) return FALSE;
  *MemoryAddress = Y;
  return TRUE;
}

UINT32 ChipAddress(UINT64 Address) {
  if (Address < CHIP_OFFSET_LIMIT) return static_cast<UINT32>(Address);
  UINT64 Offset = 0;
  if (MemoryToFlashOffset(Address, &Offset)) return static_cast<UINT32>(Offset);
  return static_cast<UINT32>(Address + BELOW_4GB_FLASH);
}
