#include "tsc_delay.h"

#include <hw/hw.h>
#include <startup/library.h>

UINT64 TscFrequency = 0;

namespace {

constexpr UINT64 PSTATE_ENABLED = 1ULL << 63;

// Family 0xF with extended family 0x0B or above encodes the frequency in 5 MHz units.
bool UsesFiveMhzEncoding(UINT32 Signature) {
  return (Signature & 0xF00) == 0xF00 && (Signature & 0x0FF00000) >= 0x00B00000;
}

UINT32 PStateMhz(UINT64 Value, bool FiveMhzUnits) {
  if (FiveMhzUnits) return static_cast<UINT32>(Value & 0xFFF) * 5;
  const UINT32 Divisor = (Value >> 8) & 0x3F;
  const UINT32 Multiplier = Value & 0xFF;
  if (Divisor == 0) return 0;
  if (Divisor < 8 || Divisor > 60) return Multiplier * 25;
  return Multiplier * 200 / Divisor;
}

}  // namespace

UINT64 GetTscFrequency() {
  if (TscFrequency != 0) return TscFrequency;
  UINT32 Signature = 0;
  CpuId(0x80000001, &Signature, nullptr, nullptr, nullptr);
  for (UINT32 I = 0; I < PSTATE_COUNT; ++I) {
    const UINT64 Value = AsmReadMsr64(MSR_PSTATE_0 + I);
    if ((Value & PSTATE_ENABLED) == 0) continue;
    // A zero result is stored too, which leaves the cache empty for the next call.
    TscFrequency = static_cast<UINT64>(PStateMhz(Value, UsesFiveMhzEncoding(Signature))) * 1000000;
    return TscFrequency;
  }
  return TSC_FREQUENCY_UNKNOWN;
}

UINTN MicroDelay() {
  const UINT64 Ticks = GetTscFrequency() / 1000000;
  const UINT64 End = ReadTimeStampCounter() + Ticks;
  while (ReadTimeStampCounter() <= End) CpuPause();
  return 1;
}
