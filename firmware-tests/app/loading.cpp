// Loading embedded driver images by hand, and protocol interfaces swapped in for a while.
#include <hw/hw.h>

#include "harness.h"

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
