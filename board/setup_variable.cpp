#include "setup_variable.h"

#include <startup/library.h>

namespace {

EFI_STATUS GetSetup(UINT32 *Attributes, UINTN *DataSize, VOID *Data, const EFI_GUID *VendorGuid = &gSetupVariableGuid) {
  return DriverRuntimeServices->GetVariable(gSetupVariableName, VendorGuid, Attributes, DataSize, Data);
}

// Only a plain success with a record of the expected size in a buffer counts as read: a
// warning, or a success that filled nothing, is reported as a failure.
EFI_STATUS CheckSetupRead(EFI_STATUS Status, UINTN DataSize, const VOID *Data) {
  if (EFI_ERROR(Status)) return Status;
  if (Status != EFI_SUCCESS || Data == nullptr) return EFI_NOT_FOUND;
  if (DataSize != SETUP_DATA_SIZE) return EFI_BAD_BUFFER_SIZE;
  return EFI_SUCCESS;
}

}  // namespace

BOOLEAN ReadSetupAllocating(UINT32 *Attributes, SETUP_DATA **Setup) {
  UINTN DataSize = 0;
  VOID *Buffer;  // written by a granted pool, not read otherwise
  // A size query that answers anything else has filled nothing.
  if (GetSetup(Attributes, &DataSize, nullptr) != EFI_BUFFER_TOO_SMALL) return FALSE;
  if (EFI_ERROR(LibBootServices->AllocatePool(EfiBootServicesData, DataSize, &Buffer))) return FALSE;
  if (GetSetup(Attributes, &DataSize, Buffer) != EFI_SUCCESS || DataSize != SETUP_DATA_SIZE) return FALSE;
  *Setup = static_cast<SETUP_DATA *>(Buffer);
  return TRUE;
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
  return CheckSetupRead(Status, *DataSize, *Buffer);
}

EFI_STATUS ReadSetupFixed(SETUP_DATA *Setup) {
  UINTN DataSize = SETUP_DATA_SIZE;
  const EFI_STATUS Status = GetSetup(nullptr, &DataSize, Setup);
  return CheckSetupRead(Status, DataSize, Setup);
}

VOID WriteSetup(UINT32 Attributes, const SETUP_DATA *Setup) {
  DriverRuntimeServices->SetVariable(gSetupVariableName, &gSetupVariableGuid, Attributes, SETUP_DATA_SIZE, Setup);
}
