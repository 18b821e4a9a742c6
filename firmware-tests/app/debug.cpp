// Debug mode: "debug <Image>" on the command line starts that image once and, when it has been
// loaded, waits before starting it, so that a debugger attached to the machine can load its
// symbols at the load address, set breakpoints and clear DebugHold (tools/debug-image.sh). The
// wait is bounded: without a debugger the image is started all the same.
#include <capsule/media_capsule.h>

#include "loading.h"
#include "platform_run.h"
#include "smm_env.h"

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

// The image starts as the platform run's drivers do: with the "Setup" that its first boot
// stores and the board's PCD values; MediaCapsuleSmm in the application's SMM environment,
// whose "SMRAM" a debugger can read. Then one call that a debugger may want to stop in:
// MediaCapsuleSmm gets a 4 KiB block staged at offset 0, FlashAccessDxe its ReadyToBoot
// callback with the legacy-region protocol there.
void DebugStart() {
  UINT8 Setup[PLATFORM_SETUP_SIZE];
  for (UINTN I = 0; I < PLATFORM_SETUP_SIZE; ++I) Setup[I] = StoredSetup(I);
  Rs->SetVariable(u"Setup", &gSetupVariableGuid, PLATFORM_SETUP_ATTRIBUTES, sizeof Setup, Setup);
  const bool Smm = StrEq(DebugImage, "MediaCapsuleSmm");
  SmmEnvironment Env;
  if (Smm) Env.Enter();
  TestPlatform Platform;
  Platform.Enter();
  const DRIVER_RUN Run = RunDriver(DebugImage);
  Platform.Leave();
  Log << "NOTE debug: " << DebugImage << ": LoadImage ";
  Log.Status(Run.LoadStatus) << ", StartImage ";
  Log.Status(Run.StartStatus).End();
  if (Smm) {
    auto *Protocol = static_cast<MEDIA_CAPSULE_SMM_PROTOCOL *>(Env.FindSmmProtocol(gMediaCapsuleSmmProtocolGuid));
    static UINT8 Block[0x1000];
    const STAGE_BLOCK_REQUEST Request = {reinterpret_cast<UINT64>(Block), 0, sizeof Block};
    if (Protocol) Protocol->StageBlock(&Request);
    Env.Leave();
  } else if (StrEq(DebugImage, "FlashAccessDxe")) {
    EFI_HANDLE Handle = nullptr;
    Bs->InstallProtocolInterface(&Handle, &gLegacyRegionProtocolGuid, EFI_NATIVE_INTERFACE, &TestLegacyRegion);
    SignalReadyToBoot();
    Bs->UninstallProtocolInterface(Handle, &gLegacyRegionProtocolGuid, &TestLegacyRegion);
  }
}
