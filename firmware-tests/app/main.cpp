// Real-firmware test application: loads and starts the driver images on the firmware it runs
// on, checks what they did through UEFI services, reports on the debug console port and ends
// QEMU through its isa-debug-exit device. "report" on the command line shows what each image
// did instead of checking it.
#include "harness.h"
#include "report.h"

extern "C" EFI_STATUS EFIAPI TestAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  StartApplication(ImageHandle, SystemTable);
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
  return FinishApplication();
}
