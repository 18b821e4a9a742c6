// Capsule header and scatter-gather block descriptor (UEFI 2.x, section 8.5.3).
#pragma once
#include "base.h"

struct EFI_CAPSULE_HEADER {
  EFI_GUID CapsuleGuid;
  UINT32 HeaderSize;
  UINT32 Flags;
  UINT32 CapsuleImageSize;
};
static_assert(sizeof(EFI_CAPSULE_HEADER) == 28 && OFFSET_OF(EFI_CAPSULE_HEADER, HeaderSize) == 16 &&
              OFFSET_OF(EFI_CAPSULE_HEADER, Flags) == 20 && OFFSET_OF(EFI_CAPSULE_HEADER, CapsuleImageSize) == 24);

inline constexpr UINT32 CAPSULE_FLAGS_PERSIST_ACROSS_RESET = 0x00010000;
inline constexpr UINT32 CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE = 0x00020000;
inline constexpr UINT32 CAPSULE_FLAGS_INITIATE_RESET = 0x00040000;

struct EFI_CAPSULE_BLOCK_DESCRIPTOR {
  UINT64 Length;
  union {
    EFI_PHYSICAL_ADDRESS DataBlock;
    EFI_PHYSICAL_ADDRESS ContinuationPointer;
  } Union;
};
static_assert(sizeof(EFI_CAPSULE_BLOCK_DESCRIPTOR) == 16 && OFFSET_OF(EFI_CAPSULE_BLOCK_DESCRIPTOR, Union) == 8);
