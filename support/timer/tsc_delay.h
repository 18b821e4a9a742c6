// Time-stamp-counter delay: the counter's rate from the processor's P-state registers, and a
// busy-wait of about one microsecond. Shared by the flash transport and the SMM driver.
#pragma once
#include <uefi/base.h>

extern UINT64 TscFrequency;  // Hz; 0 until known

inline constexpr UINT32 MSR_PSTATE_0 = 0xC0010064;
inline constexpr UINT32 PSTATE_COUNT = 8;
inline constexpr UINT64 TSC_FREQUENCY_UNKNOWN = 256;  // no enabled P-state; not cached

UINT64 GetTscFrequency();
UINTN MicroDelay();
