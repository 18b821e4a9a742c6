// How the chipset shows flash to the processor: the controller snapshot taken at start-up, the
// ROM window below 4 GiB and the wide window. Translation reads only this state, never the
// controller.
#pragma once
#include <uefi/base.h>

inline constexpr UINTN CONTROLLER_SNAPSHOT_REGISTERS = 26;  // offsets 0x00 to 0x67

extern UINT32 ControllerSnapshot[CONTROLLER_SNAPSHOT_REGISTERS];
extern UINT32 RomWindowBase;
extern UINT32 RomWindowSize;
extern BOOLEAN WideWindowEnabled;
extern UINT32 WideWindowSize;
extern UINT32 FlashSize;  // the part's capacity; 32 MiB until identification

inline constexpr UINT32 FLASH_16MB = 0x1000000;
inline constexpr UINT32 WIDE_WINDOW_SIZE = 0x4000000;

// The 32-bit controller register at a byte offset, as the snapshot holds it.
inline UINT32 Reg(UINT32 Offset) { return ControllerSnapshot[Offset / 4]; }

BOOLEAN WideWindowCheck();

inline constexpr UINT64 NO_MAPPING = ~0ULL;

enum FLASH_ADDRESS_KIND : UINT8 {
  FlashAddressUnmapped = 0,
  FlashAddressRomWindow = 2,
  FlashAddressWideWindow = 3,
};

UINT8 RomWindowBank(UINT8 Index);
UINT64 ToRomWindow(UINT64 Address);
UINT64 ToWideWindow(UINT64 Address);
UINT8 ClassifyFlashAddress(UINT64 *Address);
BOOLEAN MemoryToFlashOffset(UINT64 Address, UINT64 *Offset);
BOOLEAN FlashToMemory(UINT64 Address, UINT64 *MemoryAddress);
UINT32 ChipAddress(UINT64 Address);
