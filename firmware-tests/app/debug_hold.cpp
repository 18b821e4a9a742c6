// Debug mode: "debug <Image>" on the command line runs only that image's suite and, when the
// image has been loaded the first time, waits before starting it, so that a debugger attached
// to the machine can load its symbols at the load address, set breakpoints and clear DebugHold
// (tools/debug-image.sh). The wait is bounded: without a debugger the suite still runs to its end.
#include "harness.h"

namespace {

constexpr UINTN HOLD_SECONDS = 120;
constexpr UINTN NAME_LENGTH = 64;
CHAR8 DebugImage[NAME_LENGTH];  // empty: not in debug mode

}  // namespace

// Cleared by the debugger. C linkage, so that it is one plain name in every symbol file.
extern "C" volatile UINT8 DebugHold = 1;

void ReadDebugOption() {
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  if (EFI_ERROR(Bs->HandleProtocol(AppImage, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded))) ||
      Loaded->LoadOptions == nullptr)
    return;
  const auto *Options = static_cast<const CHAR16 *>(Loaded->LoadOptions);
  const UINTN Length = Loaded->LoadOptionsSize / sizeof(CHAR16);
  static constexpr char Word[] = "debug ";
  for (UINTN I = 0; I + sizeof Word - 1 <= Length; ++I) {
    UINTN J = 0;
    while (Word[J] && Options[I + J] == static_cast<CHAR16>(Word[J])) ++J;
    if (Word[J] != 0) continue;
    UINTN N = 0;
    for (I += J; I < Length && N + 1 < NAME_LENGTH && Options[I] > u' '; ++I)
      DebugImage[N++] = static_cast<CHAR8>(Options[I]);
    DebugImage[N] = 0;
    return;
  }
}

bool SuiteChosen(const char *Driver) { return DebugImage[0] == 0 || StrEq(Driver, DebugImage); }

void HoldForDebugger(const char *Name, EFI_HANDLE Image) {
  if (DebugImage[0] == 0 || !StrEq(Name, DebugImage) || DebugHold == 0) return;
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  Bs->HandleProtocol(Image, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded));
  Log << "NOTE debug: " << Name << " loaded at ";
  Log.Hex(Loaded ? reinterpret_cast<UINT64>(Loaded->ImageBase) : 0) << ", waiting for a debugger to clear DebugHold";
  Log.End();
  for (UINTN Ms = 0; DebugHold != 0 && Ms < HOLD_SECONDS * 1000; Ms += 10) Bs->Stall(10000);
  if (DebugHold != 0) Note("debug: no debugger came; starting the image");
  DebugHold = 0;  // only the first load is held
}
