// Line output to the debug console port, where the runner reads it.
#pragma once
#include <uefi/uefi.h>

class Out {
 public:
  Out &operator<<(const char *Text);
  Out &operator<<(const CHAR16 *Text);
  Out &operator<<(UINT64 Value);  // decimal
  Out &operator<<(const EFI_GUID &Guid);
  Out &Hex(UINT64 Value, int Digits = 0);
  Out &Status(EFI_STATUS Status);
  Out &End();  // newline
};

extern Out Log;
const char *StatusText(EFI_STATUS Status);
const char *GuidLabel(const EFI_GUID &Guid);  // a known protocol's name, or null
