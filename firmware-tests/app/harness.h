// Drivers loaded by hand: the embedded driver images, LoadImage and StartImage, and protocol
// interfaces put in place while a driver starts.
#pragma once
#include "checks.h"

struct EMBEDDED_IMAGE {
  const char *Name;
  const UINT8 *Start;
  const UINT8 *End;
};
extern const EMBEDDED_IMAGE EmbeddedImages[];
extern const UINTN EmbeddedImageCount;
const EMBEDDED_IMAGE *FindImage(const char *Name);

// LoadImage and StartImage of an embedded driver; each load is a fresh copy with fresh globals.
struct DRIVER_RUN {
  EFI_STATUS LoadStatus = EFI_NOT_STARTED;
  EFI_STATUS StartStatus = EFI_NOT_STARTED;
  EFI_HANDLE Handle = nullptr;
  UINT64 StartTicks = 0;  // time-stamp-counter ticks spent in StartImage
};
DRIVER_RUN RunDriver(const char *Name);
UINT64 RunMilliseconds(const DRIVER_RUN &Run);
// "<Driver>: LoadImage" and "<Driver>: StartImage" checks (EFI_SUCCESS expected); true when both passed.
bool CheckLoadStart(const DRIVER_RUN &Run, const char *Driver);  // StartImage time, from a counter calibrated by Stall

// A protocol interface put in place for a while: installed on a new handle, or, when the
// platform already has one, swapped in with ReinstallProtocolInterface; Restore() undoes it.
class ProtocolOverride {
 public:
  void Apply(const EFI_GUID &Guid, VOID *Interface);
  void Restore();

 private:
  const EFI_GUID *Guid = nullptr;
  EFI_HANDLE Handle = nullptr;
  VOID *Original = nullptr;
  VOID *Mine = nullptr;
  bool Installed = false;
};

// Debug mode (debug_hold.cpp): "debug <Image>" on the command line.
void ReadDebugOption();
bool SuiteChosen(const char *Driver);                  // every suite outside debug mode
void HoldForDebugger(const char *Name, EFI_HANDLE Image);  // between LoadImage and StartImage

// Suites, one per driver.
using SUITE_FN = void (*)();
struct SUITE {
  const char *Driver;
  SUITE_FN Run;
};
extern const SUITE Suites[];
extern const UINTN SuiteCount;
