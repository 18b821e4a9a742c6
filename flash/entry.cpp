#include "entry.h"

#include <hw/hw.h>
#include <startup/startup.h>
#include <uefi/legacy_region.h>

#include "device_ops.h"
#include "identify.h"
#include "translation.h"

const CHAR8 RomSignature[ROM_SIGNATURE_SIZE] = {'Q', 'X', 'V', '-', 'T', 'B', 'N', '4', 0};

namespace {

constexpr UINT32 CONTROLLER_ABSENT = 0xFFFFFFFF;

EFI_STATUS FlashEntryWork(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  EFI_EVENT Event = nullptr;
  RegisterReadyToBootEvent(&Event);
  return EFI_SUCCESS;
}

constexpr DRIVER_STARTUP FlashStartup = {
    .CfgPcdBuffer = true,
    .RuntimePools = true,
    .EarlyWork = FlashEarlyStartup,
    .SmmMarker = true,
    .HobList = true,
    .LateWork = FlashLateStartup,
    .ServiceTables = SERVICE_TABLES::All,
    .CleanUp = true,
};

}  // namespace

// Only the boot services are needed: controller presence, register snapshot, ROM window and
// wide-window check.
VOID FlashEarlyStartup(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  if (MmioRead32(ControllerRegisterBase) == CONTROLLER_ABSENT) IdentifyFallbackHook = IdentifyUnknownDevice;
  for (UINT32 I = 0; I < CONTROLLER_SNAPSHOT_REGISTERS; ++I)
    ControllerSnapshot[I] = MmioRead32(ControllerRegisterBase + I * 4);
  const UINT32 Base = static_cast<UINT32>(MmioRead16(ROM_WINDOW_BASE_REGISTER)) << 16;
  const UINT32 Limit = (static_cast<UINT32>(MmioRead16(ROM_WINDOW_LIMIT_REGISTER)) << 16) | 0xFFFF;
  RomWindowBase = Base;
  RomWindowSize = Limit - Base + 1;
  WideWindowCheck();
}

VOID FlashLateStartup(EFI_HANDLE, EFI_SYSTEM_TABLE *) { IdentifyFlashPart(); }

EFI_STATUS RegisterReadyToBootEvent(EFI_EVENT *Event) {
  if (LibSystemTable->Hdr.Revision < 0x20000) return EFI_UNSUPPORTED;
  return LibBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, PublishRomSignature, nullptr,
                                        &gEfiEventReadyToBootGuid, Event);
}

VOID EFIAPI PublishRomSignature(EFI_EVENT, VOID *) {
  CHAR8 Signature[ROM_SIGNATURE_SIZE];
  MemMove(Signature, RomSignature, sizeof Signature);
  LEGACY_REGION_ACCESS_PROTOCOL *LegacyRegion = nullptr;
  if (EFI_ERROR(DriverBootServices->LocateProtocol(&gLegacyRegionAccessProtocolGuid, nullptr,
                                                   reinterpret_cast<VOID **>(&LegacyRegion)))) {
    VOID *Second = nullptr;
    DriverBootServices->LocateProtocol(&gSecondLegacyProtocolGuid, nullptr, &Second);
    return;
  }
  // The close receives whatever the open reported; a failed open then still closes the
  // range that was asked for, not stack garbage.
  UINT32 OpenedBase = LEGACY_F_SEGMENT;
  UINT32 OpenedLength = LEGACY_F_SEGMENT_SIZE;
  LegacyRegion->OpenLegacyRange(LEGACY_F_SEGMENT, LEGACY_F_SEGMENT_SIZE, &OpenedBase, &OpenedLength);
  DriverBootServices->CopyMem(PhysToPtr(ROM_SIGNATURE_ADDRESS), Signature, sizeof Signature);
  LegacyRegion->CloseLegacyRange(OpenedBase, OpenedLength);
}

extern "C" EFI_STATUS EFIAPI FlashAccessEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<FlashStartup>(ImageHandle, SystemTable, FlashEntryWork);
}
