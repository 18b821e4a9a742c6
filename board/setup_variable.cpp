#include "setup_variable.h"

#include <startup/library.h>

namespace {

EFI_STATUS GetSetup(UINT32 *Attributes, UINTN *DataSize, VOID *Data, const EFI_GUID *VendorGuid = &gSetupVariableGuid) {
  return DriverRuntimeServices->GetVariable(gSetupVariableName, VendorGuid, Attributes, DataSize, Data);
}

EFI_STATUS CheckSetupSize(EFI_STATUS Status, UINTN DataSize) {
  if (!EFI_ERROR(Status) && DataSize != SETUP_DATA_SIZE) return EFI_BAD_BUFFER_SIZE;
  return Status;
}

}  // namespace

EFI_STATUS ReadSetupAllocating(UINT32 *Attributes, SETUP_DATA **Setup) {
  UINTN DataSize = 0;
  EFI_STATUS Status = GetSetup(Attributes, &DataSize, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return Status;
  VOID *Buffer = nullptr;
  Status = LibBootServices->AllocatePool(EfiBootServicesData, DataSize, &Buffer);
  if (EFI_ERROR(Status)) return Status;
  Status = GetSetup(Attributes, &DataSize, Buffer);
  Status = CheckSetupSize(Status, DataSize);
  if (!EFI_ERROR(Status)) *Setup = static_cast<SETUP_DATA *>(Buffer);
  return Status;
}

EFI_STATUS GetSetupVariable(const EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize, VOID **Buffer) {
  if (*Buffer == nullptr) *DataSize = 0;
  EFI_STATUS Status = GetSetup(Attributes, DataSize, *Buffer, VendorGuid);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    if (*Buffer != nullptr) LibBootServices->FreePool(*Buffer);
    *Buffer = nullptr;
    if (EFI_ERROR(LibBootServices->AllocatePool(EfiBootServicesData, *DataSize, Buffer))) {
      *Buffer = nullptr;
      return EFI_OUT_OF_RESOURCES;
    }
    Status = GetSetup(Attributes, DataSize, *Buffer, VendorGuid);
  }
  return CheckSetupSize(Status, *DataSize);
}

EFI_STATUS ReadSetupFixed(SETUP_DATA *Setup) {
  UINTN DataSize = SETUP_DATA_SIZE;
  const EFI_STATUS Status = GetSetup(nullptr, &DataSize, Setup);
  return CheckSetupSize(Status, DataSize);
}

VOID WriteSetup(UINT32 Attributes, const SETUP_DATA *Setup) {
  DriverRuntimeServices->SetVariable(gSetupVariableName, &gSetupVariableGuid, Attributes, SETUP_DATA_SIZE, Setup);
}
