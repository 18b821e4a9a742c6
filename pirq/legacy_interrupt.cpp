#include "legacy_interrupt.h"

#include <hw/hw.h>
#include <startup/startup.h>

const UINT8 PirqIndexTable[PIRQ_COUNT] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

// Extra routing registers that carry the same interrupt as a PIRQ.
const PIRQ_MIRROR PirqMirrorTable[5] = {
    {0x00, 0x13}, {0x00, 0x17}, {0x02, 0x30}, {0x02, 0x34}, {0x03, 0x41},
};

constinit EFI_LEGACY_INTERRUPT_PROTOCOL LegacyInterruptProtocol = {GetNumberPirqs, GetLocation, ReadPirq, WritePirq};
EFI_HANDLE LegacyInterruptHandle = nullptr;

namespace {

VOID WriteRoutingRegister(UINT8 Index, UINT8 Value) {
  IoWrite8(PIRQ_INDEX_PORT, Index);
  IoWrite8(PIRQ_DATA_PORT, Value);
}

EFI_STATUS InstallLegacyInterrupt(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  VOID *RootBridge = nullptr;
  EFI_STATUS Status = LibBootServices->LocateProtocol(&gEfiPciRootBridgeIoProtocolGuid, nullptr, &RootBridge);
  if (EFI_ERROR(Status)) return Status;
  for (UINT8 Pirq = 0; Pirq < PIRQ_COUNT; ++Pirq)
    WriteRoutingRegister(PirqIndexTable[Pirq] | PIRQ_SECOND_BANK, PIRQ_NOT_ROUTED);
  return LibBootServices->InstallMultipleProtocolInterfaces(&LegacyInterruptHandle, &gEfiLegacyInterruptProtocolGuid,
                                                            &LegacyInterruptProtocol, nullptr);
}

constexpr DRIVER_STARTUP LegacyInterruptStartup = {.RuntimePools = true, .CleanUp = true};

}  // namespace

EFI_STATUS EFIAPI GetNumberPirqs(EFI_LEGACY_INTERRUPT_PROTOCOL *, UINT8 *NumberPirqs) {
  if (NumberPirqs == nullptr) return EFI_INVALID_PARAMETER;
  *NumberPirqs = PIRQ_COUNT;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetLocation(EFI_LEGACY_INTERRUPT_PROTOCOL *, UINT8 *Bus, UINT8 *Device, UINT8 *Function) {
  if (Bus == nullptr || Device == nullptr || Function == nullptr) return EFI_INVALID_PARAMETER;
  *Bus = 0;
  *Device = 0x14;
  *Function = 3;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadPirq(EFI_LEGACY_INTERRUPT_PROTOCOL *, UINT8 PirqNumber, UINT8 *PirqData) {
  if (PirqNumber >= PIRQ_COUNT || PirqData == nullptr) return EFI_INVALID_PARAMETER;
  IoWrite8(PIRQ_INDEX_PORT, PirqIndexTable[PirqNumber]);
  const UINT8 Value = IoRead8(PIRQ_DATA_PORT);
  *PirqData = Value == PIRQ_NOT_ROUTED ? 0 : Value;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WritePirq(EFI_LEGACY_INTERRUPT_PROTOCOL *, UINT8 PirqNumber, UINT8 PirqData) {
  if (PirqNumber >= PIRQ_COUNT || PirqData > 15) return EFI_INVALID_PARAMETER;
  const UINT8 Index = PirqIndexTable[PirqNumber];
  const UINT8 Value = PirqData & 0x0F;
  if (Index < 4) {
    for (const PIRQ_MIRROR &Mirror : PirqMirrorTable) {
      if (Mirror.Pirq != Index) continue;
      WriteRoutingRegister(Mirror.Index, Value);
      WriteRoutingRegister(Mirror.Index | PIRQ_SECOND_BANK, Index + 0x10);
    }
  }
  WriteRoutingRegister(Index, Value);
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI LegacyInterruptEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<LegacyInterruptStartup>(ImageHandle, SystemTable, InstallLegacyInterrupt);
}
