// Platform protocols that OVMF lacks, as the test platform's DXE driver installs them for the
// dispatched drivers and the test application for the drivers it loads by hand: the debug
// print back end and the legacy-region access protocol over q35's PAM register.
#pragma once
#include <uefi/uefi.h>

extern DEBUG_PRINT_PROTOCOL TestPrintProtocol;  // prints on the debug console as "NOTE driver print"
extern UINTN DebugPrintCalls;  // lines the drivers printed through it

// Opening 0xF0000 makes the F-segment writable RAM (PAM0 = 0x30), closing makes it read-only
// RAM again (PAM0 = 0x10).
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
