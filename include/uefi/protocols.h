// Protocols of the platform that the drivers locate, wait for or provide: PCD services, the
// debug print back end, the PCI root bridge (presence only), the variable architectural
// protocols and the Framework legacy interrupt protocol.
#pragma once
#include "system_table.h"

// PCD_PROTOCOL: the dynamic PCD services addressed by token number in the default token space.
struct PCD_PROTOCOL {
  VOID(EFIAPI *SetSku)(UINTN SkuId);
  UINT8(EFIAPI *Get8)(UINTN TokenNumber);
  UINT16(EFIAPI *Get16)(UINTN TokenNumber);
  UINT32(EFIAPI *Get32)(UINTN TokenNumber);
  UINT64(EFIAPI *Get64)(UINTN TokenNumber);
  VOID *(EFIAPI *GetPtr)(UINTN TokenNumber);
  BOOLEAN(EFIAPI *GetBool)(UINTN TokenNumber);
  UINTN(EFIAPI *GetSize)(UINTN TokenNumber);
  VOID *Reserved[24];  // the Ex, Set and callback members, never called here
};
static_assert(OFFSET_OF(PCD_PROTOCOL, Get8) == 8 && OFFSET_OF(PCD_PROTOCOL, Get32) == 24 &&
              OFFSET_OF(PCD_PROTOCOL, GetPtr) == 40 && OFFSET_OF(PCD_PROTOCOL, GetBool) == 48);

inline constexpr EFI_GUID gPcdProtocolGuid = {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
inline constexpr EFI_GUID gEfiPcdProtocolGuid = {0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};

// The platform's print back end; only its first member is part of the contract.
struct DEBUG_PRINT_PROTOCOL {
  EFI_STATUS(EFIAPI *Print)(UINTN ErrorLevel, const CHAR8 *Format, VA_LIST Marker);
};
inline constexpr EFI_GUID gDebugPrintProtocolGuid = {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

inline constexpr UINTN DEBUG_ERROR = 0x80000000;

inline constexpr EFI_GUID gEfiPciRootBridgeIoProtocolGuid = {0x2F707EBB, 0x4A1A, 0x11D4, {0x9A, 0x38, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

// The architectural protocols that say the variable services can read, and write, variables:
// the board drivers' dependency expressions wait for them (no driver calls them).
inline constexpr EFI_GUID gEfiVariableArchProtocolGuid = {0x1E5668E2, 0x8481, 0x11D4, {0xBC, 0xF1, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
inline constexpr EFI_GUID gEfiVariableWriteArchProtocolGuid = {0x6441F818, 0x6362, 0x4E44, {0xB5, 0x70, 0x7D, 0xBA, 0x31, 0xDD, 0x24, 0x53}};

struct EFI_LEGACY_INTERRUPT_PROTOCOL {
  EFI_STATUS(EFIAPI *GetNumberPirqs)(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 *NumberPirqs);
  EFI_STATUS(EFIAPI *GetLocation)(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 *Bus, UINT8 *Device, UINT8 *Function);
  EFI_STATUS(EFIAPI *ReadPirq)(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 PirqNumber, UINT8 *PirqData);
  EFI_STATUS(EFIAPI *WritePirq)(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 PirqNumber, UINT8 PirqData);
};
static_assert(sizeof(EFI_LEGACY_INTERRUPT_PROTOCOL) == 32 && OFFSET_OF(EFI_LEGACY_INTERRUPT_PROTOCOL, WritePirq) == 24);

inline constexpr EFI_GUID gEfiLegacyInterruptProtocolGuid = {0x31CE593D, 0x108A, 0x485D, {0xAD, 0xB2, 0x78, 0xF2, 0x1F, 0x29, 0x66, 0xBE}};

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_STATUS(EFIAPI *Unload)(EFI_HANDLE ImageHandle);
};
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48 &&
              OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64 &&
              OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80 && sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);

inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
