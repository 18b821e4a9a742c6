#include "sio_setup.h"

#include <board/setup_variable.h>
#include <hw/hw.h>
#include <startup/startup.h>

// In programming order; 0x27 is changed twice.
const SIO_REGISTER_CHANGE SioConfigChanges[8] = {
    {0x27, 0xF6, 0x04},
    {0x2C, 0xDF, 0x00},
    {0x27, 0xFE, 0x0C},
    {0x2A, 0xFB, 0x03},
    {0x07, 0x00, 0x04},  // logical device 4
    {0x30, 0x00, 0x01},  // activate
    {0x60, 0x00, SIO_RUNTIME_BASE >> 8},
    {0x61, 0x00, SIO_RUNTIME_BASE & 0xFF},
};

// Indexed by "Setup" byte 272; other values change nothing.
const SIO_RUNTIME_MODE SioRuntimeModes[3] = {
    {2, {{0x02, 0xBF, 0x00}, {0x03, 0x00, 0x01}}},
    {1, {{0x02, 0xFF, 0x40}}},
    {1, {{0x03, 0x00, 0x01}}},
};

VOID *S3SaveState = nullptr;

namespace {

VOID ChangeConfigRegister(const SIO_REGISTER_CHANGE &Change) {
  IoWrite8(SIO_INDEX_PORT, Change.Register);
  const UINT8 Value = IoRead8(SIO_DATA_PORT);
  IoWrite8(SIO_INDEX_PORT, Change.Register);
  IoWrite8(SIO_DATA_PORT, (Value & Change.KeepMask) | Change.SetBits);
}

VOID ChangeRuntimeRegister(const SIO_REGISTER_CHANGE &Change) {
  IoWrite8(SIO_RUNTIME_INDEX_PORT, Change.Register);
  const UINT8 Value = IoRead8(SIO_RUNTIME_DATA_PORT);
  IoWrite8(SIO_RUNTIME_DATA_PORT, (Value & Change.KeepMask) | Change.SetBits);
}

EFI_STATUS ProgramSuperIo(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  UINT32 Attributes = 0;
  SETUP_DATA *Setup = nullptr;
  if (!ReadSetupAllocating(&Attributes, &Setup)) return EFI_SUCCESS;

  IoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
  IoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
  for (const SIO_REGISTER_CHANGE &Change : SioConfigChanges) ChangeConfigRegister(Change);
  IoWrite8(SIO_INDEX_PORT, SIO_EXIT_KEY);

  const UINT8 Mode = Setup->SioRuntimeMode;
  if (Mode >= sizeof(SioRuntimeModes) / sizeof(SioRuntimeModes[0])) return EFI_SUCCESS;
  for (UINT8 I = 0; I < SioRuntimeModes[Mode].Count; ++I) ChangeRuntimeRegister(SioRuntimeModes[Mode].Changes[I]);
  if (Mode == SIO_MODE_ONE_SHOT) {
    Setup->SioRuntimeMode = SIO_MODE_STANDING;
    WriteSetup(Attributes, Setup);
  }
  return EFI_SUCCESS;
}

VOID LocateS3SaveState(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  if (EFI_ERROR(LibBootServices->LocateProtocol(&gEfiS3SaveStateProtocolGuid, nullptr, &S3SaveState)))
    S3SaveState = nullptr;
}

constexpr DRIVER_STARTUP SioSetupStartup = {.CfgPcdBuffer = true,
                                            .PcdTokenList = true,
                                            .RuntimePools = true,
                                            .SmmMarker = true,
                                            .HobList = true,
                                            .HobListFirst = true,
                                            .LookupWork = LocateS3SaveState,
                                            .ServiceTables = SERVICE_TABLES::All,
                                            .CleanUp = true};

}  // namespace

extern "C" EFI_STATUS EFIAPI SioSetupEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<SioSetupStartup>(ImageHandle, SystemTable, ProgramSuperIo);
}
