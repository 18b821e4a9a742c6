// LegacyInterruptDxe's functions and globals, taken from the image.
#pragma once
#include <tests/image/driver_image.h>
#include <pirq/legacy_interrupt.h>

#define LegacyInterruptEntry IMAGE_FUNCTION(LegacyInterruptEntry)
#define LegacyInterruptProtocol IMAGE_VARIABLE(LegacyInterruptProtocol)
#define LegacyInterruptHandle IMAGE_VARIABLE(LegacyInterruptHandle)

#ifdef IMAGE_DEFINE_THUNKS
IMAGE_THUNK(EFI_STATUS, GetNumberPirqs, (EFI_LEGACY_INTERRUPT_PROTOCOL * This, UINT8 *N), (This, N))
IMAGE_THUNK(EFI_STATUS, GetLocation, (EFI_LEGACY_INTERRUPT_PROTOCOL * This, UINT8 *B, UINT8 *D, UINT8 *F), (This, B, D, F))
IMAGE_THUNK(EFI_STATUS, ReadPirq, (EFI_LEGACY_INTERRUPT_PROTOCOL * This, UINT8 P, UINT8 *Data), (This, P, Data))
IMAGE_THUNK(EFI_STATUS, WritePirq, (EFI_LEGACY_INTERRUPT_PROTOCOL * This, UINT8 P, UINT8 Data), (This, P, Data))
#endif
