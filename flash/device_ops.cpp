// The operations table with its defaults, and its small operations.
#include "device_ops.h"

#include "data_ops.h"
#include "protection.h"

constinit FLASH_DEVICE_OPS FlashDeviceOpsTable = {
    Read, EraseSector, Erase,        Program,       ClearBlockProtection,
    NoOp, WriteEnable, WriteDisable, GetBlockSizes, ConvertRegisterPointer,
    1,    4096,        nullptr,
};

FLASH_DEVICE_OPS *FlashDeviceOps = nullptr;
UINT64 ControllerRegisterBase = SPI_CONTROLLER_BASE;
IDENTIFY_FUNCTION IdentifyFallbackHook = nullptr;
BOOLEAN WriteEnabled = 0;
UINT32 BlockSizeEntry = 0;
CHAR8 DeviceName[DEVICE_NAME_SIZE] = {};

VOID EFIAPI NoOp() {}
VOID EFIAPI NoOpUnprotect(UINT8, UINT8, UINT8) {}

VOID EFIAPI WriteEnable() {
  if (WriteEnabled == 0) WriteEnabled = 1;
}

VOID EFIAPI WriteDisable() {
  if (WriteEnabled == 1) WriteEnabled = 0;
}

BOOLEAN EFIAPI GetBlockSizes(UINT32 **Sizes, UINT32 *Count) {
  if (Sizes == nullptr || Count == nullptr) return FALSE;
  *Count = 1;
  BlockSizeEntry = FlashDeviceOpsTable.SectorSize;
  *Sizes = &BlockSizeEntry;
  return TRUE;
}

// A and B have no use here; the runtime service takes only the disposition and the pointer.
EFI_STATUS EFIAPI ConvertRegisterPointer(EFI_RUNTIME_SERVICES *RuntimeServices, UINTN, UINTN, UINTN) {
  return RuntimeServices->ConvertPointer(0, reinterpret_cast<VOID **>(&ControllerRegisterBase));
}
