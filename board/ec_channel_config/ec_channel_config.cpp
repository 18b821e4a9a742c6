#include "ec_channel_config.h"

#include <board/ec_access.h>
#include <board/setup_variable.h>
#include <startup/startup.h>

// Channel 0 has three table registers; its fourth table value goes nowhere.
const EC_CHANNEL_REGISTERS EcChannelRegisters[4] = {
    {0x20, 0x2E, 3, {0x31, 0x30, 0x32}},
    {0x21, 0x2F, 4, {0x35, 0x34, 0x36, 0x37}},
    {0x22, 0x3B, 4, {0x3D, 0x3C, 0x3E, 0x3F}},
    {0x23, 0x4B, 4, {0x4D, 0x4C, 0x4E, 0x4F}},
};

namespace {

constexpr UINT8 EC_CHANNEL_BANK = 2;

VOID WriteEc(UINT8 Register, UINT8 Value) { EcWriteRegister<EC_VARIANT_C>(EC_CHANNEL_BANK, Register, Value); }

EFI_STATUS ConfigureChannels(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  SETUP_DATA Setup;
  if (EFI_ERROR(ReadSetupFixed(&Setup))) return EFI_SUCCESS;
  for (UINT8 Channel = 0; Channel < 4; ++Channel) {
    const EC_CHANNEL_SETUP &Choice = Setup.EcChannel[Channel];
    const EC_CHANNEL_REGISTERS &Regs = EcChannelRegisters[Channel];
    if (Choice.Selector != 0) {
      WriteEc(Regs.Mode, EC_CHANNEL_DIRECT_MODE);
      WriteEc(Regs.Direct, Choice.DirectValue);
    } else {
      WriteEc(Regs.Mode, EC_CHANNEL_TABLE_MODE);
      for (UINT8 I = 0; I < Regs.TableCount; ++I) WriteEc(Regs.TableRegisters[I], Choice.TableValue[I]);
    }
  }
  return EFI_SUCCESS;
}

constexpr DRIVER_STARTUP EcChannelConfigStartup = {
    .CfgPcdBuffer = true, .HobList = true, .ServiceTables = SERVICE_TABLES::SystemAndRuntime};

}  // namespace

extern "C" EFI_STATUS EFIAPI EcChannelConfigEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<EcChannelConfigStartup>(ImageHandle, SystemTable, ConfigureChannels);
}
