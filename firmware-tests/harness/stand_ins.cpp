#include "stand_ins.h"

#include <hw/hw.h>

#include "out.h"

namespace {

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
constinit DEBUG_PRINT_PROTOCOL TestPrintProtocol = {TestPrint};
constinit TEST_LEGACY_REGION TestLegacyRegion = {{}, OpenLegacyRange, CloseLegacyRange};

VOID SetFSegmentWritable(bool Writable) {
  IoWrite32(0xCF8, PAM0_ADDRESS);
  const UINT8 Pam = IoRead8(0xCFC);
  IoWrite32(0xCF8, PAM0_ADDRESS);
  IoWrite8(0xCFC, static_cast<UINT8>((Pam & ~0x30) | (Writable ? PAM_READ_WRITE : PAM_READ_ONLY)));
}
