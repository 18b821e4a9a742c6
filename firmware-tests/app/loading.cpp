#include "loading.h"

#include "platform_run.h"

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
  Run.StartStatus = Bs->StartImage(Run.Handle, nullptr, nullptr);
  return Run;
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

namespace {

UINT64 TokenValue(UINTN Token) {
  for (const TEST_PCD_VALUE &V : BoardPcdValues)
    if (V.Token == Token) return V.Value;
  return 0;
}

UINT8 EFIAPI PcdGet8(UINTN T) { return static_cast<UINT8>(TokenValue(T)); }
UINT16 EFIAPI PcdGet16(UINTN T) { return static_cast<UINT16>(TokenValue(T)); }
UINT32 EFIAPI PcdGet32(UINTN T) { return static_cast<UINT32>(TokenValue(T)); }
UINT64 EFIAPI PcdGet64(UINTN T) { return TokenValue(T); }
BOOLEAN EFIAPI PcdGetBool(UINTN T) { return TokenValue(T) ? 1 : 0; }
// The board's pointer tokens are all empty.
VOID *EFIAPI PcdGetPtr(UINTN) { return nullptr; }
UINTN EFIAPI PcdGetSize(UINTN) { return 0; }

constinit PCD_PROTOCOL TestPcdProtocol = {nullptr, PcdGet8, PcdGet16, PcdGet32, PcdGet64, PcdGetPtr, PcdGetBool, PcdGetSize, {}};
constinit struct { VOID *Members[32]; } TestEfiPcdProtocol = {};

VOID EFIAPI Nothing(EFI_EVENT, VOID *) {}

}  // namespace

void TestPlatform::Enter() {
  Pcd.Apply(gPcdProtocolGuid, &TestPcdProtocol);
  EfiPcd.Apply(gEfiPcdProtocolGuid, &TestEfiPcdProtocol);
  Print.Apply(gDebugPrintProtocolGuid, &TestPrintProtocol);
}

void TestPlatform::Leave() {
  Print.Restore();
  EfiPcd.Restore();
  Pcd.Restore();
}

void SignalReadyToBoot() {
  static constexpr EFI_GUID ReadyToBoot = {0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
  EFI_EVENT Event = nullptr;
  Bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &ReadyToBoot, &Event);
  Bs->SignalEvent(Event);
  Bs->CloseEvent(Event);
}
