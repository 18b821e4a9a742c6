// Drivers loaded by hand: the embedded driver images, LoadImage and StartImage, and the
// platform protocols that OVMF lacks, put in place while a driver starts.
#pragma once
#include "checks.h"
#include "stand_ins.h"

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
};
DRIVER_RUN RunDriver(const char *Name);

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

// Puts PCD_PROTOCOL and EFI_PCD_PROTOCOL in place, answering the board's PCD values as the
// platform run's test platform does (platform_run.h), and installs the debug print protocol;
// Leave() restores the platform's own.
class TestPlatform {
 public:
  void Enter();
  void Leave();

 private:
  ProtocolOverride Pcd, EfiPcd, Print;
};

// Signals the ReadyToBoot event group, as the boot manager does before booting.
void SignalReadyToBoot();

// Debug mode (debug.cpp): "debug <Image>" on the command line.
void ReadDebugOption();
void HoldForDebugger(const char *Name, EFI_HANDLE Image);  // between LoadImage and StartImage
void DebugStart();  // the chosen image started once, held for the debugger

// The board's "Setup" variable.
inline constexpr EFI_GUID gSetupVariableGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr UINTN SETUP_SIZE = 273;
