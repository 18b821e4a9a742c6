// Block protection: Unprotect clears the status-register bits that protect blocks, with a mask
// that depends on the part.
#pragma once
#include <uefi/base.h>

struct PROTECT_RULE {
  UINT8 Manufacturer;
  UINT8 MemoryTypes[4];  // zero-terminated when shorter; none listed: every type
  UINT8 Mask;
  UINT8 LargeMask;  // instead of Mask from 1 << LargeShift bytes on (LargeShift 0: never)
  UINT8 LargeShift;
  BOOLEAN UsesWriteStatusEnable;  // enable the status write with its own opcode, not write enable
};

inline constexpr UINT8 DEFAULT_PROTECT_MASK = 0x1C;

struct PROTECTION {
  UINT8 Mask;
  UINT8 EnableOpcode;
};

// The identified part's mask and enable opcode, from PartId and FlashSize.
PROTECTION ProtectMask();
VOID EFIAPI ClearBlockProtection(UINT8 A, UINT8 B, UINT8 Seed);
