// The test platform's DXE driver: the platform protocols that the board's firmware would carry
// and OVMF does not. The debug print back end and the legacy-region access protocol over
// q35's PAM register are installed as they are; the PCD protocol answers the board's token
// numbers for the board's images and passes every other call to OVMF's own PCD driver, which
// holds none of the board's tokens (asked for one, it returns whatever lies past the end of its
// tables, and the same small numbers are tokens of its own). It also leaves runtime-services pages for the
// check application's SMM communication. Placed ahead of the board's files in the volume with
// a dependency of TRUE, it is dispatched before any of them.
#include "board_files.h"
#include "platform.h"
#include "test_platform.h"

namespace {

EFI_BOOT_SERVICES *Boot = nullptr;
PCD_PROTOCOL *OvmfPcd = nullptr;
PCD_PROTOCOL BoardPcd = {};
UINTN BoardPcdReads = 0;

// True when Caller lies in an image loaded from one of the board's firmware files (the SMM
// core also lists its images in the boot-services database).
bool CalledFromBoardImage(const VOID *Caller) {
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (EFI_ERROR(Boot->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &Count, &Handles)))
    return false;
  bool Found = false;
  const auto At = reinterpret_cast<UINT64>(Caller);
  for (UINTN I = 0; I < Count && !Found; ++I) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    if (EFI_ERROR(Boot->HandleProtocol(Handles[I], &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Image))))
      continue;
    const auto Base = reinterpret_cast<UINT64>(Image->ImageBase);
    if (At < Base || At - Base >= Image->ImageSize) continue;
    for (const BOARD_FIRMWARE_FILE &F : BoardFirmwareFiles) Found |= PathNamesFile(Image->FilePath, F.FileGuid);
  }
  Boot->FreePool(Handles);
  return Found;
}

bool IsBoardToken(UINTN Token) {
  for (UINTN T : BoardPcdTokens)
    if (T == Token) return true;
  return false;
}

UINT64 BoardValue(UINTN Token) {
  ++BoardPcdReads;
  for (const TEST_PCD_VALUE &V : BoardPcdValues)
    if (V.Token == Token) return V.Value;
  return 0;
}

// Without a PCD driver of OVMF's, every caller gets the board's values.
#define FOR_BOARD(Token) \
  (OvmfPcd == nullptr || (IsBoardToken(Token) && CalledFromBoardImage(__builtin_return_address(0))))
UINT8 EFIAPI Get8(UINTN T) { return FOR_BOARD(T) ? static_cast<UINT8>(BoardValue(T)) : OvmfPcd->Get8(T); }
UINT16 EFIAPI Get16(UINTN T) { return FOR_BOARD(T) ? static_cast<UINT16>(BoardValue(T)) : OvmfPcd->Get16(T); }
UINT32 EFIAPI Get32(UINTN T) { return FOR_BOARD(T) ? static_cast<UINT32>(BoardValue(T)) : OvmfPcd->Get32(T); }
UINT64 EFIAPI Get64(UINTN T) { return FOR_BOARD(T) ? BoardValue(T) : OvmfPcd->Get64(T); }
BOOLEAN EFIAPI GetBool(UINTN T) { return FOR_BOARD(T) ? BoardValue(T) != 0 : OvmfPcd->GetBool(T); }
// The board's pointer tokens are all empty.
VOID *EFIAPI GetPtr(UINTN T) { return FOR_BOARD(T) ? (BoardValue(T), nullptr) : OvmfPcd->GetPtr(T); }
UINTN EFIAPI GetSize(UINTN T) { return FOR_BOARD(T) ? 0 : OvmfPcd->GetSize(T); }
#undef FOR_BOARD

constinit struct { VOID *Members[32]; } EfiPcdPresence = {};

TEST_PLATFORM_PROTOCOL Record = {0, 0, &LegacyOpenCalls, &LegacyCloseCalls, &DebugPrintCalls, &BoardPcdReads};

VOID Install(const EFI_GUID &Guid, VOID *Interface) {
  EFI_HANDLE Handle = nullptr;
  Boot->InstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, Interface);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI TestPlatformDxeEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  Boot = SystemTable->BootServices;
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (!EFI_ERROR(Boot->LocateHandleBuffer(ByProtocol, &gPcdProtocolGuid, nullptr, &Count, &Handles)) && Count) {
    Boot->HandleProtocol(Handles[0], &gPcdProtocolGuid, reinterpret_cast<VOID **>(&OvmfPcd));
    BoardPcd = *OvmfPcd;  // the members not overridden below stay OVMF's
  }
  BoardPcd.Get8 = Get8;
  BoardPcd.Get16 = Get16;
  BoardPcd.Get32 = Get32;
  BoardPcd.Get64 = Get64;
  BoardPcd.GetPtr = GetPtr;
  BoardPcd.GetBool = GetBool;
  BoardPcd.GetSize = GetSize;
  if (OvmfPcd)
    Boot->ReinstallProtocolInterface(Handles[0], &gPcdProtocolGuid, OvmfPcd, &BoardPcd);
  else
    Install(gPcdProtocolGuid, &BoardPcd);
  if (Handles) Boot->FreePool(Handles);
  VOID *EfiPcd = nullptr;
  if (EFI_ERROR(Boot->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, &EfiPcd))) Install(gEfiPcdProtocolGuid, &EfiPcdPresence);

  Install(gDebugPrintProtocolGuid, &TestPrintProtocol);
  Install(gLegacyRegionProtocolGuid, &TestLegacyRegion);

  constexpr UINTN COMM_PAGES = 4;
  EFI_PHYSICAL_ADDRESS Comm = 0;
  if (!EFI_ERROR(Boot->AllocatePages(AllocateAnyPages, EfiRuntimeServicesData, COMM_PAGES, &Comm))) {
    Record.CommBuffer = Comm;
    Record.CommBufferSize = COMM_PAGES * 4096;
  }
  Install(gTestPlatformProtocolGuid, &Record);
  return EFI_SUCCESS;
}
