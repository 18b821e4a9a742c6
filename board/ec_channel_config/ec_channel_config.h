// EcChannelConfigDxe: carries the four channel settings of "Setup" into EC bank 2.
#pragma once
#include <board/setup_data.h>

inline constexpr UINT8 EC_CHANNEL_TABLE_MODE = 0x80;
inline constexpr UINT8 EC_CHANNEL_DIRECT_MODE = 0x00;

// EC bank 2 registers of one channel. TableRegisters[i] receives TableValue[i]; they are
// listed, and written, in that order.
struct EC_CHANNEL_REGISTERS {
  UINT8 Mode;
  UINT8 Direct;
  UINT8 TableCount;
  UINT8 TableRegisters[4];
};

extern const EC_CHANNEL_REGISTERS EcChannelRegisters[4];

extern "C" EFI_STATUS EFIAPI EcChannelConfigEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
