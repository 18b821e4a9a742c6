// Platform protocols that OVMF lacks or knows differently, provided by the test: PCD protocols
// with this board's token numbers, the debug print back end, and the legacy-region access
// protocol over q35's PAM register.
#pragma once
#include "harness.h"

// PCD tokens as the test sets them; unset tokens read 0, unset pointers null.
struct TEST_PCD_TOKEN {
  UINTN Token;
  UINT64 Value;
  const VOID *Pointer;
};
void SetPcdTokens(const TEST_PCD_TOKEN *Tokens, UINTN Count);

// Puts the test's PCD_PROTOCOL and EFI_PCD_PROTOCOL in place and installs the debug print
// protocol; Leave() restores the platform's own.
class TestPlatform {
 public:
  void Enter();
  void Leave();

 private:
  ProtocolOverride Pcd, EfiPcd, Print;
};

extern DEBUG_PRINT_PROTOCOL TestPrintProtocol;  // prints on the debug console as "NOTE driver print"
extern UINTN DebugPrintCalls;  // lines the drivers printed through the test's print protocol

// Legacy-region access protocol: opening 0xF0000 makes the F-segment writable RAM (PAM0 = 0x30),
// closing makes it read-only RAM again (PAM0 = 0x10).
inline constexpr EFI_GUID gLegacyRegionProtocolGuid = {0x8E008510, 0x9BB1, 0x457D, {0x9F, 0x70, 0x89, 0x7A, 0xBA, 0x86, 0x5D, 0xB9}};
struct TEST_LEGACY_REGION {
  VOID *Members[5];
  EFI_STATUS(EFIAPI *OpenLegacyRange)(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength);
  EFI_STATUS(EFIAPI *CloseLegacyRange)(UINT32 Base, UINT32 Length);
};
static_assert(OFFSET_OF(TEST_LEGACY_REGION, OpenLegacyRange) == 40 && OFFSET_OF(TEST_LEGACY_REGION, CloseLegacyRange) == 48);
extern TEST_LEGACY_REGION TestLegacyRegion;
extern UINTN LegacyOpenCalls, LegacyCloseCalls;
extern UINT32 LegacyClosedBase, LegacyClosedLength;
VOID SetFSegmentWritable(bool Writable);

// Signals the ReadyToBoot event group, as the boot manager does before booting.
void SignalReadyToBoot();

// "Setup" helpers.
inline constexpr EFI_GUID gSetupVariableGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr UINTN SETUP_SIZE = 273;
