// The test platform's DXE driver: the platform protocols that the board's firmware would carry
// and OVMF does not. The debug print back end and the legacy-region access protocol over
// q35's PAM register are installed as they are; the PCD protocol answers the board's token
// numbers for the board's images, keeping each image's reads in order, and passes every other
// call to OVMF's own PCD driver, which holds none of the board's tokens (asked for one, it
// returns whatever lies past the end of its tables, and the same small numbers are tokens of
// its own). A board image that locates EFI_S3_SAVE_STATE_PROTOCOL gets one that counts its
// boot-script calls (LocateProtocol in the boot-services table is the test platform's). It
// also leaves runtime-services pages for the test application's SMM communication. Placed
// ahead of the board's files in the volume with a dependency of TRUE, it is dispatched before
// any of them.
#include "board_files.h"
#include "stand_ins.h"
#include "test_platform.h"

namespace {

EFI_BOOT_SERVICES *Boot = nullptr;
PCD_PROTOCOL *OvmfPcd = nullptr;
PCD_PROTOCOL BoardPcd = {};
TEST_PCD_LOG BoardPcdReads[sizeof BoardFirmwareFiles / sizeof BoardFirmwareFiles[0]] = {};

// The board image that Caller lies in, as an index of BoardFirmwareFiles, or -1 (the SMM core
// also lists its images in the boot-services database).
INTN BoardImageAt(const VOID *Caller) {
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (EFI_ERROR(Boot->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &Count, &Handles)))
    return -1;
  INTN Found = -1;
  const auto At = reinterpret_cast<UINT64>(Caller);
  for (UINTN I = 0; I < Count && Found < 0; ++I) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    if (EFI_ERROR(Boot->HandleProtocol(Handles[I], &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Image))))
      continue;
    const auto Base = reinterpret_cast<UINT64>(Image->ImageBase);
    if (At < Base || At - Base >= Image->ImageSize) continue;
    for (UINTN F = 0; F < sizeof BoardFirmwareFiles / sizeof BoardFirmwareFiles[0]; ++F)
      if (PathNamesFile(Image->FilePath, BoardFirmwareFiles[F].FileGuid)) Found = static_cast<INTN>(F);
  }
  Boot->FreePool(Handles);
  return Found;
}

bool IsBoardToken(UINTN Token) {
  for (UINTN T : BoardPcdTokens)
    if (T == Token) return true;
  return false;
}

// A read of a board token from a board image gets the board's value and is logged for that
// image; without a PCD driver of OVMF's, every read gets the board's value. False: the read
// goes to OVMF's driver.
bool BoardRead(TEST_PCD_MEMBER Member, UINTN Token, const VOID *Caller, UINT64 &Value) {
  const INTN Image = IsBoardToken(Token) ? BoardImageAt(Caller) : -1;
  if (Image < 0 && OvmfPcd != nullptr) return false;
  if (Image >= 0) {
    TEST_PCD_LOG &Reads = BoardPcdReads[Image];
    if (Reads.Count < sizeof Reads.Reads / sizeof Reads.Reads[0])
      Reads.Reads[Reads.Count] = {static_cast<UINT16>(Token), Member};
    ++Reads.Count;
  }
  Value = 0;
  for (const TEST_PCD_VALUE &V : BoardPcdValues)
    if (V.Token == Token) Value = V.Value;
  return true;
}

#define BOARD_READ(Member, Token) BoardRead(Member, Token, __builtin_return_address(0), Value)
UINT8 EFIAPI Get8(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGet8, T) ? static_cast<UINT8>(Value) : OvmfPcd->Get8(T);
}
UINT16 EFIAPI Get16(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGet16, T) ? static_cast<UINT16>(Value) : OvmfPcd->Get16(T);
}
UINT32 EFIAPI Get32(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGet32, T) ? static_cast<UINT32>(Value) : OvmfPcd->Get32(T);
}
UINT64 EFIAPI Get64(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGet64, T) ? Value : OvmfPcd->Get64(T);
}
BOOLEAN EFIAPI GetBool(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGetBool, T) ? Value != 0 : OvmfPcd->GetBool(T);
}
// The board's pointer tokens are all empty.
VOID *EFIAPI GetPtr(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGetPtr, T) ? nullptr : OvmfPcd->GetPtr(T);
}
UINTN EFIAPI GetSize(UINTN T) {
  UINT64 Value;
  return BOARD_READ(PcdGetSize, T) ? 0 : OvmfPcd->GetSize(T);
}
#undef BOARD_READ

constinit struct { VOID *Members[32]; } EfiPcdPresence = {};

// EFI_S3_SAVE_STATE_PROTOCOL for the board images, whichever the platform has: a board image
// that locates it gets this one, whose members count the calls. No board image may record a
// boot-script entry, so none of them needs to do more.
TEST_S3_LOG BoardS3SaveState[sizeof BoardFirmwareFiles / sizeof BoardFirmwareFiles[0]] = {};
EFI_STATUS EFIAPI BootScriptCall() {
  const INTN Image = BoardImageAt(__builtin_return_address(0));
  if (Image >= 0) ++BoardS3SaveState[Image].BootScriptCalls;
  return EFI_SUCCESS;
}
constinit struct {
  EFI_STATUS(EFIAPI *Members[4])();  // Write, Insert, Label, Compare
} S3SaveState = {{BootScriptCall, BootScriptCall, BootScriptCall, BootScriptCall}};

decltype(EFI_BOOT_SERVICES::LocateProtocol) FirmwareLocateProtocol = nullptr;
EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  if (Protocol && Interface && *Protocol == S3SaveStateProtocolGuid) {
    const INTN Image = BoardImageAt(__builtin_return_address(0));
    if (Image >= 0) {
      ++BoardS3SaveState[Image].Located;
      *Interface = &S3SaveState;
      return EFI_SUCCESS;
    }
  }
  return FirmwareLocateProtocol(Protocol, Registration, Interface);
}

TEST_PLATFORM_PROTOCOL Record = {0, 0, &LegacyOpenCalls, &LegacyCloseCalls, &DebugPrintCalls, BoardPcdReads, BoardS3SaveState};

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

  // Every later caller of LocateProtocol goes through the table, the board images included.
  FirmwareLocateProtocol = Boot->LocateProtocol;
  Boot->LocateProtocol = LocateProtocol;
  Boot->Hdr.CRC32 = 0;
  UINT32 Crc = 0;
  Boot->CalculateCrc32(Boot, Boot->Hdr.HeaderSize, &Crc);
  Boot->Hdr.CRC32 = Crc;

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
