#include "out.h"

#include <capsule/media_capsule.h>
#include <hw/hw.h>

constinit Out Log;

namespace {

constexpr UINT16 DEBUG_CONSOLE_PORT = 0x402;

VOID Put(char C) { IoWrite8(DEBUG_CONSOLE_PORT, static_cast<UINT8>(C)); }

struct STATUS_NAME {
  EFI_STATUS Status;
  const char *Name;
};
constexpr STATUS_NAME StatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
    {EFI_WARN_INTERRUPT_SOURCE_QUIESCED, "EFI_WARN_INTERRUPT_SOURCE_QUIESCED"},
};

}  // namespace

const char *StatusText(EFI_STATUS Status) {
  for (const auto &N : StatusNames)
    if (N.Status == Status) return N.Name;
  return nullptr;
}

Out &Out::operator<<(const char *Text) {
  while (Text && *Text) Put(*Text++);
  return *this;
}

Out &Out::operator<<(const CHAR16 *Text) {
  while (Text && *Text) Put(*Text < 0x80 ? static_cast<char>(*Text++) : (++Text, '?'));
  return *this;
}

Out &Out::operator<<(UINT64 Value) {
  char Digits[24];
  int N = 0;
  do Digits[N++] = static_cast<char>('0' + Value % 10);
  while ((Value /= 10) != 0);
  while (N) Put(Digits[--N]);
  return *this;
}

Out &Out::Hex(UINT64 Value, int Digits) {
  *this << "0x";
  int N = 16;
  while (N > 1 && ((Value >> ((N - 1) * 4)) & 0xF) == 0 && N > Digits) --N;
  while (N--) Put("0123456789ABCDEF"[(Value >> (N * 4)) & 0xF]);
  return *this;
}

Out &Out::Status(EFI_STATUS Status) {
  if (const char *Name = StatusText(Status)) return *this << Name;
  return Hex(Status);
}

Out &Out::operator<<(const EFI_GUID &G) {
  if (const char *Name = GuidLabel(G)) return *this << Name;
  auto HexN = [](UINT64 V, int Digits) {
    while (Digits--) Put("0123456789ABCDEF"[(V >> (Digits * 4)) & 0xF]);
  };
  HexN(G.Data1, 8);
  Put('-');
  HexN(G.Data2, 4);
  Put('-');
  HexN(G.Data3, 4);
  Put('-');
  for (int I = 0; I < 8; ++I) {
    if (I == 2) Put('-');
    HexN(G.Data4[I], 2);
  }
  return *this;
}

Out &Out::End() {
  Put('\n');
  return *this;
}

const char *GuidLabel(const EFI_GUID &G) {
  struct LABEL {
    const EFI_GUID *Guid;
    const char *Name;
  };
  static const LABEL Labels[] = {
      {&gEfiLegacyInterruptProtocolGuid, "EFI_LEGACY_INTERRUPT_PROTOCOL"},
      {&gEfiLoadedImageProtocolGuid, "EFI_LOADED_IMAGE_PROTOCOL"},
      {&gPcdProtocolGuid, "PCD_PROTOCOL"},
      {&gEfiPcdProtocolGuid, "EFI_PCD_PROTOCOL"},
      {&gDebugPrintProtocolGuid, "DEBUG_PRINT_PROTOCOL"},
      {&gMediaCapsuleSmmProtocolGuid, "MEDIA_CAPSULE_SMM_PROTOCOL"},
      {&gHeapRecordListProtocolGuid, "HEAP_RECORD_LIST_PROTOCOL"},
  };
  for (const LABEL &L : Labels)
    if (*L.Guid == G) return L.Name;
  return nullptr;
}
