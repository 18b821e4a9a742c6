// LegacyInterruptDxe: EFI_LEGACY_INTERRUPT_PROTOCOL over the chipset's PIRQ routing registers.
#pragma once
#include <uefi/uefi.h>

inline constexpr UINT16 PIRQ_INDEX_PORT = 0xC00;
inline constexpr UINT16 PIRQ_DATA_PORT = 0xC01;
inline constexpr UINT8 PIRQ_NOT_ROUTED = 0x1F;
inline constexpr UINT8 PIRQ_SECOND_BANK = 0x80;
inline constexpr UINT8 PIRQ_COUNT = 8;

struct PIRQ_MIRROR {
  UINT8 Pirq;   // routing-register index of the PIRQ
  UINT8 Index;  // extra routing register that follows it
};

extern const UINT8 PirqIndexTable[PIRQ_COUNT];
extern const PIRQ_MIRROR PirqMirrorTable[5];
extern EFI_LEGACY_INTERRUPT_PROTOCOL LegacyInterruptProtocol;
extern EFI_HANDLE LegacyInterruptHandle;

EFI_STATUS EFIAPI GetNumberPirqs(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 *NumberPirqs);
EFI_STATUS EFIAPI GetLocation(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 *Bus, UINT8 *Device, UINT8 *Function);
EFI_STATUS EFIAPI ReadPirq(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 PirqNumber, UINT8 *PirqData);
EFI_STATUS EFIAPI WritePirq(EFI_LEGACY_INTERRUPT_PROTOCOL *This, UINT8 PirqNumber, UINT8 PirqData);

extern "C" EFI_STATUS EFIAPI LegacyInterruptEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
