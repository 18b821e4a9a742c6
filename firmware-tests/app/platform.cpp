#include "platform.h"

#include <hw/hw.h>

namespace {

const TEST_PCD_TOKEN *PcdTokens = nullptr;
UINTN PcdTokenCount = 0;

const TEST_PCD_TOKEN *FindToken(UINTN Token) {
  for (UINTN I = 0; I < PcdTokenCount; ++I)
    if (PcdTokens[I].Token == Token) return &PcdTokens[I];
  return nullptr;
}
UINT64 TokenValue(UINTN Token) {
  const TEST_PCD_TOKEN *T = FindToken(Token);
  return T ? T->Value : 0;
}

UINT8 EFIAPI PcdGet8(UINTN T) { return static_cast<UINT8>(TokenValue(T)); }
UINT16 EFIAPI PcdGet16(UINTN T) { return static_cast<UINT16>(TokenValue(T)); }
UINT32 EFIAPI PcdGet32(UINTN T) { return static_cast<UINT32>(TokenValue(T)); }
UINT64 EFIAPI PcdGet64(UINTN T) { return TokenValue(T); }
BOOLEAN EFIAPI PcdGetBool(UINTN T) { return TokenValue(T) ? 1 : 0; }
VOID *EFIAPI PcdGetPtr(UINTN T) {
  const TEST_PCD_TOKEN *Tok = FindToken(T);
  return Tok ? const_cast<VOID *>(Tok->Pointer) : nullptr;
}
UINTN EFIAPI PcdGetSize(UINTN) { return 0; }

constinit PCD_PROTOCOL TestPcdProtocol = {nullptr, PcdGet8, PcdGet16, PcdGet32, PcdGet64, PcdGetPtr, PcdGetBool, PcdGetSize, {}};
constinit struct { VOID *Members[32]; } TestEfiPcdProtocol = {};

EFI_STATUS EFIAPI TestPrint(UINTN Level, const CHAR8 *Format, VA_LIST Args) {
  ++DebugPrintCalls;
  Log << "NOTE driver print (level ";
  Log.Hex(Level) << "): ";
  for (const CHAR8 *F = Format; *F; ++F) {
    if (*F == '\n') continue;
    if (*F != '%' || F[1] == 0) {
      char C[2] = {*F, 0};
      Log << C;
      continue;
    }
    ++F;
    if (*F == 'a')
      Log << VA_ARG(Args, const char *);
    else if (*F == 'r')
      Log.Status(VA_ARG(Args, EFI_STATUS));
    else if (*F == 'x')
      Log.Hex(VA_ARG(Args, UINTN));
    else if (*F == 'd')
      Log << static_cast<UINT64>(VA_ARG(Args, UINTN));
  }
  Log.End();
  return EFI_SUCCESS;
}
constinit DEBUG_PRINT_PROTOCOL TestPrintProtocol = {TestPrint};

// q35 MCH at 00:00.0, PAM0 at configuration offset 0x90, bits 5:4 for 0xF0000-0xFFFFF.
constexpr UINT32 PAM0_ADDRESS = 0x80000000u | 0x90;
constexpr UINT8 PAM_READ_WRITE = 0x30, PAM_READ_ONLY = 0x10;

EFI_STATUS EFIAPI OpenLegacyRange(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength) {
  ++LegacyOpenCalls;
  SetFSegmentWritable(true);
  if (OpenedBase) *OpenedBase = Base;
  if (OpenedLength) *OpenedLength = Length;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseLegacyRange(UINT32 Base, UINT32 Length) {
  ++LegacyCloseCalls;
  LegacyClosedBase = Base;
  LegacyClosedLength = Length;
  SetFSegmentWritable(false);
  return EFI_SUCCESS;
}

}  // namespace

UINTN DebugPrintCalls = 0;
UINTN LegacyOpenCalls = 0, LegacyCloseCalls = 0;
UINT32 LegacyClosedBase = 0, LegacyClosedLength = 0;
constinit TEST_LEGACY_REGION TestLegacyRegion = {{}, OpenLegacyRange, CloseLegacyRange};

VOID SetFSegmentWritable(bool Writable) {
  IoWrite32(0xCF8, PAM0_ADDRESS);
  const UINT8 Pam = IoRead8(0xCFC);
  IoWrite32(0xCF8, PAM0_ADDRESS);
  IoWrite8(0xCFC, static_cast<UINT8>((Pam & ~0x30) | (Writable ? PAM_READ_WRITE : PAM_READ_ONLY)));
}

static VOID EFIAPI Nothing(EFI_EVENT, VOID *) {}

void SignalReadyToBoot() {
  static constexpr EFI_GUID ReadyToBoot = {0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
  EFI_EVENT Event = nullptr;
  Bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &ReadyToBoot, &Event);
  Bs->SignalEvent(Event);
  Bs->CloseEvent(Event);
}

void SetPcdTokens(const TEST_PCD_TOKEN *Tokens, UINTN Count) {
  PcdTokens = Tokens;
  PcdTokenCount = Count;
}

void TestPlatform::Enter() {
  Pcd.Apply(gPcdProtocolGuid, &TestPcdProtocol);
  EfiPcd.Apply(gEfiPcdProtocolGuid, &TestEfiPcdProtocol);
  Print.Apply(gDebugPrintProtocolGuid, &TestPrintProtocol);
}

void TestPlatform::Leave() {
  Print.Restore();
  EfiPcd.Restore();
  Pcd.Restore();
}
