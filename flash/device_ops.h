// The flash operations table, the one way in to the driver's flash operations. It stays inside
// the image: no protocol is installed for it.
#pragma once
#include <uefi/uefi.h>

struct FLASH_DEVICE_OPS {
  VOID(EFIAPI *Read)(UINT64 Address, UINT8 *Buffer, UINT32 *Length, BOOLEAN AddressIsMemory);
  BOOLEAN(EFIAPI *EraseSector)(UINT64 Address);
  EFI_STATUS(EFIAPI *Erase)(UINT64 Address, UINT32 Length, BOOLEAN AddressIsMemory);
  BOOLEAN(EFIAPI *Program)(UINT64 Address, UINT8 *Data, UINT32 *Length, BOOLEAN AddressIsMemory);
  VOID(EFIAPI *Unprotect)(UINT8 A, UINT8 B, UINT8 Seed);
  VOID(EFIAPI *NoOp)();
  VOID(EFIAPI *WriteEnable)();
  VOID(EFIAPI *WriteDisable)();
  BOOLEAN(EFIAPI *GetBlockSizes)(UINT32 **Sizes, UINT32 *Count);
  EFI_STATUS(EFIAPI *ConvertRegisterPointer)(EFI_RUNTIME_SERVICES *RuntimeServices, UINTN Ignored, UINTN A, UINTN B);
  UINT32 PageSize;    // 1: byte programming; otherwise page programming
  UINT32 SectorSize;  // erase granularity
  const CHAR8 *Name;
};
static_assert(OFFSET_OF(FLASH_DEVICE_OPS, ConvertRegisterPointer) == 72 &&
              OFFSET_OF(FLASH_DEVICE_OPS, PageSize) == 80 && OFFSET_OF(FLASH_DEVICE_OPS, SectorSize) == 84 &&
              OFFSET_OF(FLASH_DEVICE_OPS, Name) == 88);

using IDENTIFY_FUNCTION = BOOLEAN (*)(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);

inline constexpr UINT64 SPI_CONTROLLER_BASE = 0xFEC10000;
inline constexpr UINTN DEVICE_NAME_SIZE = 48;

extern FLASH_DEVICE_OPS FlashDeviceOpsTable;  // the one instance
extern FLASH_DEVICE_OPS *FlashDeviceOps;      // null until a part is identified
extern UINT64 ControllerRegisterBase;
extern IDENTIFY_FUNCTION IdentifyFallbackHook;
extern BOOLEAN WriteEnabled;
extern UINT32 BlockSizeEntry;
extern CHAR8 DeviceName[DEVICE_NAME_SIZE];

VOID EFIAPI NoOp();
// NoOp in Unprotect's calling form, for tables that have nothing to unprotect.
VOID EFIAPI NoOpUnprotect(UINT8 A, UINT8 B, UINT8 Seed);
VOID EFIAPI WriteEnable();
VOID EFIAPI WriteDisable();
BOOLEAN EFIAPI GetBlockSizes(UINT32 **Sizes, UINT32 *Count);
EFI_STATUS EFIAPI ConvertRegisterPointer(EFI_RUNTIME_SERVICES *RuntimeServices, UINTN Ignored, UINTN A, UINTN B);
