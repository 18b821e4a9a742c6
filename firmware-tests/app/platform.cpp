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

}  // namespace

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
