// FlashAccessDxe entry: start-up with the controller snapshot, the ROM window, the wide-window
// check and identification, then the ReadyToBoot registration for the ROM signature.
#pragma once
#include <uefi/uefi.h>

inline constexpr EFI_GUID gEfiEventReadyToBootGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

// The ROM window's base and limit registers of PCI 00:14.3, through the memory-mapped
// configuration space.
inline constexpr UINT64 ROM_WINDOW_BASE_REGISTER = 0xE00A306C;
inline constexpr UINT64 ROM_WINDOW_LIMIT_REGISTER = 0xE00A306E;

inline constexpr UINT64 ROM_SIGNATURE_ADDRESS = 0xFF5F0;
inline constexpr UINT32 LEGACY_F_SEGMENT = 0xF0000;
inline constexpr UINT32 LEGACY_F_SEGMENT_SIZE = 0x10000;
inline constexpr UINTN ROM_SIGNATURE_SIZE = 9;
extern const CHAR8 RomSignature[ROM_SIGNATURE_SIZE];

VOID FlashEarlyStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID FlashLateStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS RegisterReadyToBootEvent(EFI_EVENT *Event);
VOID EFIAPI PublishRomSignature(EFI_EVENT Event, VOID *Context);

extern "C" EFI_STATUS EFIAPI FlashAccessEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
