// The start-up steps that every driver's sequence is built from (startup.h orders them).
#include "library.h"

EFI_SYSTEM_TABLE *LibSystemTable = nullptr;
EFI_BOOT_SERVICES *LibBootServices = nullptr;
EFI_SYSTEM_TABLE *DriverSystemTable = nullptr;
EFI_BOOT_SERVICES *DriverBootServices = nullptr;
EFI_RUNTIME_SERVICES *DriverRuntimeServices = nullptr;
VOID *RuntimePool32 = nullptr;
VOID *RuntimePool100 = nullptr;
VOID *RuntimePool8 = nullptr;
BOOLEAN SmmMarkerFound = 0;
VOID *SmmMarkerRegistration = nullptr;

VOID StoreLibraryTables(EFI_SYSTEM_TABLE *SystemTable) {
  LibSystemTable = SystemTable;
  LibBootServices = SystemTable->BootServices;
}

// A refused allocation leaves its pointer null, so it is neither cleared nor freed later.
static EFI_STATUS AllocateRuntimePool(UINTN Size, VOID **Pool) {
  EFI_STATUS Status = LibBootServices->AllocatePool(EfiRuntimeServicesData, Size, Pool);
  if (EFI_ERROR(Status)) *Pool = nullptr;
  return Status;
}

VOID AllocateRuntimePools() {
  if (EFI_ERROR(AllocateRuntimePool(32, &RuntimePool32)) || RuntimePool100 != nullptr) return;
  if (!EFI_ERROR(AllocateRuntimePool(100, &RuntimePool100))) MemZero(RuntimePool100, 100);
  if (!EFI_ERROR(AllocateRuntimePool(8, &RuntimePool8))) MemZero(RuntimePool8, 8);
}

EFI_STATUS EFIAPI SmmMarkerNotify(const EFI_GUID *, VOID *, EFI_HANDLE) {
  SmmMarkerFound = 1;
  return EFI_SUCCESS;
}

VOID DetectSmmMarker() {
  EFI_SMM_BASE2_PROTOCOL *SmmBase2 = nullptr;
  if (EFI_ERROR(LibBootServices->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr,
                                                reinterpret_cast<VOID **>(&SmmBase2))))
    return;
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  if (EFI_ERROR(SmmBase2->GetSmstLocation(SmmBase2, &Smst))) return;
  VOID *Interface = nullptr;
  if (!EFI_ERROR(Smst->SmmLocateProtocol(&gSmmMarkerProtocolGuid, nullptr, &Interface)) && Interface != nullptr) {
    SmmMarkerFound = 1;
    return;
  }
  if (SmmMarkerRegistration == nullptr)
    Smst->SmmRegisterProtocolNotify(&gSmmMarkerProtocolGuid, SmmMarkerNotify, &SmmMarkerRegistration);
}

VOID StoreDriverServiceTables(EFI_SYSTEM_TABLE *SystemTable, BOOLEAN KeepBootServices) {
  if (DriverSystemTable != nullptr) return;
  DriverSystemTable = SystemTable;
  if (KeepBootServices) DriverBootServices = SystemTable->BootServices;
  DriverRuntimeServices = SystemTable->RuntimeServices;
}

static VOID FreeIfSet(VOID *&Pool) {
  if (Pool != nullptr) LibBootServices->FreePool(Pool);
  Pool = nullptr;
}

VOID FreeStartupPools() {
  FreeIfSet(RuntimePool32);
  FreeIfSet(RuntimePool100);
  FreeIfSet(RuntimePool8);
}
