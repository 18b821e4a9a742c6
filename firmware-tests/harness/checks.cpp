#include "checks.h"

#include <hw/hw.h>

EFI_HANDLE AppImage = nullptr;
EFI_SYSTEM_TABLE *St = nullptr;
EFI_BOOT_SERVICES *Bs = nullptr;
EFI_RUNTIME_SERVICES *Rs = nullptr;
UINT64 Passed = 0, Failed = 0;

namespace {

constexpr UINT16 DEBUG_EXIT_PORT = 0xF4;
// QEMU exits with (value << 1) | 1: 33 for a pass, 35 for a failure. A plain reset gives 0.
constexpr UINT32 EXIT_PASS = 0x10;
constexpr UINT32 EXIT_FAIL = 0x11;

}  // namespace

void StartApplication(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  AppImage = ImageHandle;
  St = SystemTable;
  Bs = SystemTable->BootServices;
  Rs = SystemTable->RuntimeServices;
  Bs->SetWatchdogTimer(0, 0, 0, nullptr);
}

EFI_STATUS FinishApplication() {
  Log << "SUMMARY " << Passed << " passed, " << Failed << " failed";
  Log.End();
  IoWrite32(DEBUG_EXIT_PORT, Failed ? EXIT_FAIL : EXIT_PASS);
  return Failed ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

bool Check(bool Ok, const char *Name) {
  ++(Ok ? Passed : Failed);
  Log << (Ok ? "CHECK PASS " : "CHECK FAIL ") << Name;
  return Ok;
}

bool CheckStatus(EFI_STATUS Got, EFI_STATUS Want, const char *Name) {
  if (Check(Got == Want, Name)) return Log.End(), true;
  Log << ": got ";
  Log.Status(Got) << ", expected ";
  Log.Status(Want).End();
  return false;
}

bool CheckValue(UINT64 Got, UINT64 Want, const char *Name) {
  if (Check(Got == Want, Name)) return Log.End(), true;
  Log << ": got ";
  Log.Hex(Got) << ", expected ";
  Log.Hex(Want).End();
  return false;
}

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

void Note(const char *Text) { Log << "NOTE " << Text; Log.End(); }

bool StrEq(const char *A, const char *B) {
  while (*A && *A == *B) ++A, ++B;
  return *A == *B;
}

bool MemEq(const VOID *A, const VOID *B, UINTN Length) {
  const auto *X = static_cast<const volatile UINT8 *>(A);
  const auto *Y = static_cast<const volatile UINT8 *>(B);
  for (UINTN I = 0; I < Length; ++I)
    if (X[I] != Y[I]) return false;
  return true;
}
