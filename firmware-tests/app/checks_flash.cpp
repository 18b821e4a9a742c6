// FlashAccessDxe on real firmware: start-up on q35 (no SPI controller, no flash windows), and
// the ROM signature written at ReadyToBoot through the legacy-region protocol.
#include "platform.h"
#include "suites.h"

namespace {

constexpr UINT64 SIGNATURE_ADDRESS = 0xFF5F0;
constexpr UINT8 Expected[9] = {'Q', 'X', 'V', '-', 'T', 'B', 'N', '4', 0};

volatile UINT8 *Signature() { return reinterpret_cast<volatile UINT8 *>(SIGNATURE_ADDRESS); }

// The F-segment as writable RAM with a known pattern where the signature goes.
void PrepareFSegment(UINT8 Fill) {
  SetFSegmentWritable(true);
  for (UINTN I = 0; I < 9; ++I) Signature()[I] = Fill;
}

bool SignatureIs(UINT8 Fill) {
  for (UINTN I = 0; I < 9; ++I)
    if (Signature()[I] != Fill) return false;
  return true;
}

}  // namespace

void FlashAccessSuite() {
  TestPlatform Platform;
  Platform.Enter();
  DRIVER_RUN Run = RunDriver("FlashAccessDxe");
  Platform.Leave();
  Log << "NOTE FlashAccessDxe started in " << RunMilliseconds(Run) << " ms";
  Log.End();
  if (!CheckLoadStart(Run, "FlashAccessDxe")) return;

  // Without the legacy-region protocol the callback writes nothing, even into writable RAM.
  PrepareFSegment(0xAA);
  SignalReadyToBoot();
  Check(SignatureIs(0xAA), "ReadyToBoot without legacy-region protocol leaves 0xFF5F0 alone");
  Log.End();

  EFI_HANDLE Handle = nullptr;
  Bs->InstallProtocolInterface(&Handle, &gLegacyRegionProtocolGuid, EFI_NATIVE_INTERFACE, &TestLegacyRegion);
  PrepareFSegment(0x55);
  SetFSegmentWritable(false);  // the driver must open the range itself
  LegacyOpenCalls = LegacyCloseCalls = 0;
  SignalReadyToBoot();
  Check(MemEq(const_cast<UINT8 *>(Signature()), Expected, sizeof Expected),
        "ReadyToBoot writes \"QXV-TBN4\" and a zero byte at 0xFF5F0");
  Log.End();
  CheckValue(LegacyOpenCalls, 1, "OpenLegacyRange called once");
  CheckValue(LegacyCloseCalls, 1, "CloseLegacyRange called once");
  CheckValue(LegacyClosedBase, 0xF0000, "CloseLegacyRange gets the opened base");
  CheckValue(LegacyClosedLength, 0x10000, "CloseLegacyRange gets the opened length");

  // The event stays registered: a second signal writes the same bytes again.
  PrepareFSegment(0x11);
  SetFSegmentWritable(false);
  SignalReadyToBoot();
  Check(MemEq(const_cast<UINT8 *>(Signature()), Expected, sizeof Expected), "a second ReadyToBoot writes it again");
  Log.End();
  Bs->UninstallProtocolInterface(Handle, &gLegacyRegionProtocolGuid, &TestLegacyRegion);
}
