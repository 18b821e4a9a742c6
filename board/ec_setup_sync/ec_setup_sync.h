// EcSetupSyncDxe: copies EC bank 0 state into "Setup" and serves the EC's boot countdown.
#pragma once
#include <uefi/uefi.h>

inline constexpr UINT8 EC_SYNC_REQUEST = 0x80;  // bit 0: a decrement is requested
inline constexpr UINT8 EC_SYNC_CONTROL = 0x81;  // bit 4: countdown enabled, mirrored to "Setup"
inline constexpr UINT8 EC_SYNC_HIGH = 0x84;
inline constexpr UINT8 EC_SYNC_LOW = 0x85;
inline constexpr UINT8 EC_SYNC_BYTE = 0x86;
inline constexpr UINT8 EC_SYNC_COUNTER = 0x87;
inline constexpr UINT8 EC_SYNC_FLAGS = 0x88;  // bit 2: set once the counter is zero

extern "C" EFI_STATUS EFIAPI EcSetupSyncEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
