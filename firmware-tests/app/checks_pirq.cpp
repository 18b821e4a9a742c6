// LegacyInterruptDxe on real firmware.
#include "harness.h"
#include "suites.h"

void LegacyInterruptSuite() {
  DRIVER_RUN Run = RunDriver("LegacyInterruptDxe");
  if (!CheckLoadStart(Run, "LegacyInterruptDxe")) return;

  EFI_LEGACY_INTERRUPT_PROTOCOL *Pirq = nullptr;
  EFI_STATUS Status = Bs->LocateProtocol(&gEfiLegacyInterruptProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Pirq));
  if (!CheckStatus(Status, EFI_SUCCESS, "LegacyInterruptDxe: protocol found by GUID")) return;

  UINT8 Count = 0, Bus = 0xEE, Device = 0xEE, Function = 0xEE;
  CheckStatus(Pirq->GetNumberPirqs(Pirq, &Count), EFI_SUCCESS, "GetNumberPirqs: status");
  CheckValue(Count, 8, "GetNumberPirqs: 8 PIRQs");
  CheckStatus(Pirq->GetLocation(Pirq, &Bus, &Device, &Function), EFI_SUCCESS, "GetLocation: status");
  CheckValue(Bus, 0, "GetLocation: bus 0");
  CheckValue(Device, 0x14, "GetLocation: device 0x14");
  CheckValue(Function, 3, "GetLocation: function 3");

  UINT8 Data = 0xEE;
  CheckStatus(Pirq->ReadPirq(Pirq, 8, &Data), EFI_INVALID_PARAMETER, "ReadPirq(8) refused");
  CheckValue(Data, 0xEE, "ReadPirq(8) leaves PirqData alone");
  CheckStatus(Pirq->WritePirq(Pirq, 0, 16), EFI_INVALID_PARAMETER, "WritePirq(0, 16) refused");

  // q35 decodes nothing at 0xC00/0xC01: every read of the data port gives 0xFF, which is not
  // the unrouted marker 0x1F, so it comes back unchanged.
  bool AllFf = true;
  for (UINT8 N = 0; N < 8; ++N) {
    Data = 0;
    AllFf &= !EFI_ERROR(Pirq->ReadPirq(Pirq, N, &Data)) && Data == 0xFF;
  }
  Check(AllFf, "ReadPirq(0..7) returns 0xFF, what q35's undecoded routing ports read");
  Log.End();
  CheckStatus(Pirq->WritePirq(Pirq, 2, 5), EFI_SUCCESS, "WritePirq(2, 5) on undecoded ports");
}
