#include "harness.h"

#include <capsule/media_capsule.h>

#include <hw/hw.h>

EFI_HANDLE AppImage = nullptr;
EFI_SYSTEM_TABLE *St = nullptr;
EFI_BOOT_SERVICES *Bs = nullptr;
EFI_RUNTIME_SERVICES *Rs = nullptr;
UINT64 Passed = 0, Failed = 0;

bool Check(bool Ok, const char *Name) {
  ++(Ok ? Passed : Failed);
  Log << (Ok ? "CHECK PASS " : "CHECK FAIL ") << Name;
  return Ok;
}

bool CheckStatus(EFI_STATUS Got, EFI_STATUS Want, const char *Name) {
  if (Check(Got == Want, Name)) return Log.End(), true;
  Log << ": got ";
  Log.Status(Got) << ", expected ";
  Log.Status(Want).End();
  return false;
}

bool CheckLoadStart(const DRIVER_RUN &Run, const char *Driver) {
  bool Ok = true;
  const EFI_STATUS Got[2] = {Run.LoadStatus, Run.StartStatus};
  const char *What[2] = {": LoadImage", ": StartImage"};
  for (int I = 0; I < 2; ++I) {
    const bool Pass = Got[I] == EFI_SUCCESS;
    ++(Pass ? Passed : Failed);
    Log << (Pass ? "CHECK PASS " : "CHECK FAIL ") << Driver << What[I] << " returns ";
    Log.Status(Got[I]).End();
    Ok &= Pass;
  }
  return Ok;
}

bool CheckValue(UINT64 Got, UINT64 Want, const char *Name) {
  if (Check(Got == Want, Name)) return Log.End(), true;
  Log << ": got ";
  Log.Hex(Got) << ", expected ";
  Log.Hex(Want).End();
  return false;
}

void Note(const char *Text) { Log << "NOTE " << Text; Log.End(); }

bool StrEq(const char *A, const char *B) {
  while (*A && *A == *B) ++A, ++B;
  return *A == *B;
}

bool MemEq(const VOID *A, const VOID *B, UINTN Length) {
  const auto *X = static_cast<const volatile UINT8 *>(A);
  const auto *Y = static_cast<const volatile UINT8 *>(B);
  for (UINTN I = 0; I < Length; ++I)
    if (X[I] != Y[I]) return false;
  return true;
}

const EMBEDDED_IMAGE *FindImage(const char *Name) {
  for (UINTN I = 0; I < EmbeddedImageCount; ++I)
    if (StrEq(EmbeddedImages[I].Name, Name)) return &EmbeddedImages[I];
  return nullptr;
}

DRIVER_RUN RunDriver(const char *Name) {
  DRIVER_RUN Run;
  const EMBEDDED_IMAGE *Image = FindImage(Name);
  if (Image == nullptr) {
    Run.LoadStatus = EFI_NOT_FOUND;
    return Run;
  }
  Run.LoadStatus = Bs->LoadImage(FALSE, AppImage, nullptr, const_cast<UINT8 *>(Image->Start),
                                 static_cast<UINTN>(Image->End - Image->Start), &Run.Handle);
  if (EFI_ERROR(Run.LoadStatus)) return Run;
  HoldForDebugger(Name, Run.Handle);
  const UINT64 Before = AsmReadTsc();
  Run.StartStatus = Bs->StartImage(Run.Handle, nullptr, nullptr);
  Run.StartTicks = AsmReadTsc() - Before;
  return Run;
}

UINT64 RunMilliseconds(const DRIVER_RUN &Run) {
  static UINT64 TicksPerMs = 0;
  if (TicksPerMs == 0) {
    const UINT64 Before = AsmReadTsc();
    Bs->Stall(20000);
    TicksPerMs = (AsmReadTsc() - Before) / 20;
    if (TicksPerMs == 0) TicksPerMs = 1;
  }
  return Run.StartTicks / TicksPerMs;
}

void ProtocolOverride::Apply(const EFI_GUID &G, VOID *Interface) {
  Guid = &G;
  Mine = Interface;
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (!EFI_ERROR(Bs->LocateHandleBuffer(ByProtocol, &G, nullptr, &Count, &Handles)) && Count > 0) {
    Handle = Handles[0];
    Bs->HandleProtocol(Handle, &G, &Original);
    Bs->ReinstallProtocolInterface(Handle, &G, Original, Mine);
    Installed = false;
  } else {
    Handle = nullptr;
    Bs->InstallProtocolInterface(&Handle, &G, EFI_NATIVE_INTERFACE, Mine);
    Installed = true;
  }
  if (Handles) Bs->FreePool(Handles);
}

void ProtocolOverride::Restore() {
  if (Guid == nullptr) return;
  if (Installed)
    Bs->UninstallProtocolInterface(Handle, Guid, Mine);
  else
    Bs->ReinstallProtocolInterface(Handle, Guid, Mine, Original);
  Guid = nullptr;
}

const char *GuidLabel(const EFI_GUID &G) {
  struct LABEL {
    const EFI_GUID *Guid;
    const char *Name;
  };
  static const LABEL Labels[] = {
      {&gEfiLegacyInterruptProtocolGuid, "EFI_LEGACY_INTERRUPT_PROTOCOL"},
      {&gEfiLoadedImageProtocolGuid, "EFI_LOADED_IMAGE_PROTOCOL"},
      {&gPcdProtocolGuid, "PCD_PROTOCOL"},
      {&gEfiPcdProtocolGuid, "EFI_PCD_PROTOCOL"},
      {&gDebugPrintProtocolGuid, "DEBUG_PRINT_PROTOCOL"},
      {&gMediaCapsuleSmmProtocolGuid, "MEDIA_CAPSULE_SMM_PROTOCOL"},
      {&gHeapRecordListProtocolGuid, "HEAP_RECORD_LIST_PROTOCOL"},
  };
  for (const LABEL &L : Labels)
    if (*L.Guid == G) return L.Name;
  return nullptr;
}
