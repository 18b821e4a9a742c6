// Debug print, PCD protocol cache and HOB list lookup.
#include "library.h"

DEBUG_PRINT_PROTOCOL *DebugPrintProtocol = nullptr;
PCD_PROTOCOL *PcdProtocol = nullptr;
VOID *HobList = nullptr;

EFI_STATUS EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...) {
  if (DebugPrintProtocol == nullptr) {
    EFI_STATUS Status = LibBootServices->LocateProtocol(&gDebugPrintProtocolGuid, nullptr,
                                                         reinterpret_cast<VOID **>(&DebugPrintProtocol));
    if (EFI_ERROR(Status)) {
      DebugPrintProtocol = nullptr;  // looked up again at the next call
      return Status;
    }
  }
  VA_LIST Marker;
  VA_START(Marker, Format);
  EFI_STATUS Status = DebugPrintProtocol->Print(ErrorLevel, Format, Marker);
  VA_END(Marker);
  return Status;
}

PCD_PROTOCOL *GetPcdProtocol() {
  if (PcdProtocol == nullptr)
    LibBootServices->LocateProtocol(&gPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&PcdProtocol));
  return PcdProtocol;
}

EFI_STATUS GetHobList() {
  HobList = nullptr;
  if (LibSystemTable->NumberOfTableEntries == 0) return EFI_NOT_FOUND;
  for (UINTN I = 0; I < LibSystemTable->NumberOfTableEntries; ++I) {
    const EFI_CONFIGURATION_TABLE &Entry = LibSystemTable->ConfigurationTable[I];
    if (Entry.VendorGuid == EFI_HOB_LIST_GUID) {
      HobList = Entry.VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}
