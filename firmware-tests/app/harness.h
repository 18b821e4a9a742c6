// Test harness of the real-firmware suite: checks, embedded driver images, and the platform
// protocols that OVMF lacks, installed while a driver starts.
#pragma once
#include <uefi/uefi.h>

#include "out.h"

extern EFI_HANDLE AppImage;
extern EFI_SYSTEM_TABLE *St;
extern EFI_BOOT_SERVICES *Bs;
extern EFI_RUNTIME_SERVICES *Rs;

// Keeps the application's image handle and service tables, and stops the watchdog.
void StartApplication(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// Prints "SUMMARY N passed, N failed" and ends QEMU with the verdict.
EFI_STATUS FinishApplication();

// One line per check: "CHECK PASS <name>" or "CHECK FAIL <name>: <detail>".
bool Check(bool Ok, const char *Name);
bool CheckStatus(EFI_STATUS Got, EFI_STATUS Want, const char *Name);
bool CheckValue(UINT64 Got, UINT64 Want, const char *Name);
void Note(const char *Text);  // an informational line, not a check
bool OptionGiven(const char *Word);  // Word appears in the application's load options
extern UINT64 Passed, Failed;

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

bool StrEq(const char *A, const char *B);
bool MemEq(const VOID *A, const VOID *B, UINTN Length);

// Suites, one per driver.
using SUITE_FN = void (*)();
struct SUITE {
  const char *Driver;
  SUITE_FN Run;
};
extern const SUITE Suites[];
extern const UINTN SuiteCount;
