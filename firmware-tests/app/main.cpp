// Real-firmware test application: loads and starts the driver images on the firmware it runs
// on, checks what they did through UEFI services, reports on the debug console port and ends
// QEMU through its isa-debug-exit device. "report" on the command line shows what each image
// did instead of checking it.
#include <hw/hw.h>

#include "harness.h"
#include "report.h"

namespace {

constexpr UINT16 DEBUG_EXIT_PORT = 0xF4;
// QEMU exits with (value << 1) | 1: 33 for a pass, 35 for a failure. A plain reset gives 0.
constexpr UINT32 EXIT_PASS = 0x10;
constexpr UINT32 EXIT_FAIL = 0x11;

bool OptionGiven(const char *Word) {
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  if (EFI_ERROR(Bs->HandleProtocol(AppImage, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded))) ||
      Loaded->LoadOptions == nullptr)
    return false;
  const auto *Options = static_cast<const CHAR16 *>(Loaded->LoadOptions);
  const UINTN Length = Loaded->LoadOptionsSize / sizeof(CHAR16);
  for (UINTN I = 0; I < Length; ++I) {
    UINTN J = 0;
    while (Word[J] && I + J < Length && Options[I + J] == static_cast<CHAR16>(Word[J])) ++J;
    if (Word[J] == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI TestAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  AppImage = ImageHandle;
  St = SystemTable;
  Bs = SystemTable->BootServices;
  Rs = SystemTable->RuntimeServices;
  Bs->SetWatchdogTimer(0, 0, 0, nullptr);
  ReadDebugOption();
  if (OptionGiven("report")) {
    Log << "BEGIN report";
    Log.End();
    ReportAllImages();
  } else {
    Log << "BEGIN checks";
    Log.End();
    for (UINTN I = 0; I < SuiteCount; ++I) {
      if (!SuiteChosen(Suites[I].Driver)) continue;
      Log << "SUITE " << Suites[I].Driver;
      Log.End();
      if (FindImage(Suites[I].Driver) == nullptr) {
        Note("image not in this build: suite skipped");
        continue;
      }
      Suites[I].Run();
    }
  }
  Log << "SUMMARY " << Passed << " passed, " << Failed << " failed";
  Log.End();
  IoWrite32(DEBUG_EXIT_PORT, Failed ? EXIT_FAIL : EXIT_PASS);
  return Failed ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}
