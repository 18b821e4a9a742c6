#include "ec_setup_sync.h"

#include <board/ec_access.h>
#include <board/setup_variable.h>
#include <startup/startup.h>

namespace {

constexpr const EC_VARIANT &Ec = EC_VARIANT_A;
constexpr UINT8 EC_BANK = 0;

UINT8 ReadEc(UINT8 Register) { return EcReadRegister<Ec>(EC_BANK, Register); }
VOID WriteEc(UINT8 Register, UINT8 Value) { EcWriteRegister<Ec>(EC_BANK, Register, Value); }

EFI_STATUS SyncEcToSetup(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  UINT32 Attributes = 0;
  SETUP_DATA *Setup = nullptr;
  const BOOLEAN SetupRead = ReadSetupAllocating(&Attributes, &Setup);

  const UINT8 Request = ReadEc(EC_SYNC_REQUEST);
  const UINT8 Control = ReadEc(EC_SYNC_CONTROL);
  const UINT8 High = ReadEc(EC_SYNC_HIGH);
  const UINT8 Low = ReadEc(EC_SYNC_LOW);
  const UINT8 Byte = ReadEc(EC_SYNC_BYTE);
  UINT8 Counter = ReadEc(EC_SYNC_COUNTER);

  if (SetupRead) {
    Setup->EcControlBit4 = (Control >> 4) & 1;
    const UINT16 Word = static_cast<UINT16>((High << 8) | Low);
    if (Word != 0) Setup->EcValue8485 = Word;  // little-endian: low byte first
    if (Byte != 0) Setup->EcValue86 = Byte;
    WriteSetup(Attributes, Setup);
  }

  if ((Control & 0x10) == 0) return EFI_SUCCESS;

  if ((Request & 0x01) != 0) {
    WriteEc(EC_SYNC_REQUEST, Request & 0xFE);
    if (Counter != 0) --Counter;
    WriteEc(EC_SYNC_COUNTER, Counter);
  }
  if (Counter == 0) WriteEc(EC_SYNC_FLAGS, ReadEc(EC_SYNC_FLAGS) | 0x04);
  return EFI_SUCCESS;
}

constexpr DRIVER_STARTUP EcSetupSyncStartup = {.CfgPcdBuffer = true,
                                               .PcdTokenList = true,
                                               .RuntimePools = true,
                                               .SmmMarker = true,
                                               .HobList = true,
                                               .HobListFirst = true,
                                               .ServiceTables = SERVICE_TABLES::All,
                                               .CleanUp = true};

}  // namespace

extern "C" EFI_STATUS EFIAPI EcSetupSyncEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<EcSetupSyncStartup>(ImageHandle, SystemTable, SyncEcToSetup);
}
