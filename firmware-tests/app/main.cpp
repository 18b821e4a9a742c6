// The real-firmware test application, with every driver image embedded. Its load options say
// which boot it is in:
//   store, checks      the platform image's first and second boot (platform_checks.cpp)
//   hand-loaded        Debian's OVMF: the cases that dispatch cannot reach, drivers loaded by hand
//   report             the same firmware: what each image does when it starts
//   debug IMAGE        the same firmware: IMAGE started once, held for a debugger after loading
//                      (tools/debug-image.sh)
//   seed-bins [staging], none: tools/boot-option-resets.sh (boot_option.cpp)
// It reports on the debug console port and ends QEMU through its isa-debug-exit device.
#include "boot_option.h"
#include "hand_loaded.h"
#include "loading.h"
#include "platform_checks.h"
#include "report.h"

namespace {

void Begin(const char *Boot) {
  Log << "BEGIN " << Boot;
  Log.End();
}

}  // namespace

extern "C" EFI_STATUS EFIAPI TestAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  StartApplication(ImageHandle, SystemTable);
  ReadDebugOption();
  if (OptionGiven("debug ")) {
    Begin("debug");
    DebugStart();
  } else if (OptionGiven("store")) {
    Begin("store");
    StorePlatformSetup();
  } else if (OptionGiven("checks")) {
    Begin("checks");
    PlatformChecks();
  } else if (OptionGiven("hand-loaded")) {
    Begin("hand-loaded");
    HandLoadedChecks();
  } else if (OptionGiven("report")) {
    Begin("report");
    ReportAllImages();
  } else if (OptionGiven("seed-bins")) {
    Begin("seed-bins");
    SeedMemoryTypes(OptionGiven("staging") ? STAGING_BUFFER_PAGES : 0);
  } else {
    // Started from a boot option, with no load options.
    Begin("boot-option");
    ReportMemoryTypes();
  }
  return FinishApplication();
}
