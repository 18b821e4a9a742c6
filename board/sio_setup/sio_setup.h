// SioSetupDxe: programs the Super I/O's chip-level registers, enables logical device 4 at
// 0x2B0 and sets its runtime registers from "Setup".
#pragma once
#include <uefi/uefi.h>

inline constexpr UINT16 SIO_INDEX_PORT = 0x2E;
inline constexpr UINT16 SIO_DATA_PORT = 0x2F;
inline constexpr UINT8 SIO_ENTER_KEY = 0x87;  // written twice
inline constexpr UINT8 SIO_EXIT_KEY = 0xAA;
inline constexpr UINT16 SIO_RUNTIME_BASE = 0x2B0;
inline constexpr UINT16 SIO_RUNTIME_INDEX_PORT = SIO_RUNTIME_BASE + 5;
inline constexpr UINT16 SIO_RUNTIME_DATA_PORT = SIO_RUNTIME_BASE + 6;

// A register changed by read-modify-write: (value AND KeepMask) OR SetBits.
struct SIO_REGISTER_CHANGE {
  UINT8 Register;
  UINT8 KeepMask;
  UINT8 SetBits;
};

// What one value of "Setup" byte 272 does to the runtime registers.
struct SIO_RUNTIME_MODE {
  UINT8 Count;
  SIO_REGISTER_CHANGE Changes[2];
};

inline constexpr UINT8 SIO_MODE_ONE_SHOT = 2;  // applied once, then stored as 1
inline constexpr UINT8 SIO_MODE_STANDING = 1;

inline constexpr EFI_GUID gEfiS3SaveStateProtocolGuid = {
    0xE857CAF6, 0xC046, 0x45DC, {0xBE, 0x3F, 0xEE, 0x07, 0x65, 0xFB, 0xA8, 0x87}};

extern const SIO_REGISTER_CHANGE SioConfigChanges[8];
extern const SIO_RUNTIME_MODE SioRuntimeModes[3];
extern VOID *S3SaveState;  // kept for the life of the image; no boot-script entry is recorded

extern "C" EFI_STATUS EFIAPI SioSetupEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
