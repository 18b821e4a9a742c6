// The stop-and-show path for a fatal start-up failure: the code on the POST-code port, shown
// for ever unless the display is switched off or the platform is a simulation.
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <hw/hw.h>
#include <startup/library.h>
#include <timer/tsc_delay.h>

#include "smm_memory.h"

namespace {

constexpr UINT16 POST_CODE_PORT = 0x80;
constexpr UINT16 FATAL_MARK_PORT = 0xE0;
constexpr UINT16 FATAL_MARK = 0xDEAD;
constexpr UINT32 DISPLAY_STEPS = 6;
constexpr UINT64 DISPLAY_MICROSECONDS = 2500000;

UINT64 RotateLeft8(UINT64 Value) { return (Value << 8) | (Value >> 56); }

}  // namespace

BOOLEAN IsSimulationPlatform() { return AsmCpuidEbxSi(SIMULATION_CPUID_LEAF, 2) != 0; }

VOID WaitFatalDisplay() {
  const UINT64 Ticks = GetTscFrequency() * DISPLAY_MICROSECONDS / 1000000;
  const UINT64 Start = ReadTimeStampCounter();
  while (ReadTimeStampCounter() <= Start + Ticks) CpuPause();
}

VOID ReportFatalCode(UINT32 Code) {
  if (CfgPcdBuffer.Field4 == 0) return;
  IoWrite16(FATAL_MARK_PORT, FATAL_MARK);
  IoWrite32(POST_CODE_PORT, Code);
  if (IsSimulationPlatform()) return;
  const UINT64 Initial = (static_cast<UINT64>(FATAL_MARK) << 48) | (static_cast<UINT64>(Code) << 16);
  for (;;) {
    UINT64 Value = Initial;
    for (UINT32 Step = 0; Step < DISPLAY_STEPS; ++Step) {
      Value = RotateLeft8(Value);
      IoWrite32(POST_CODE_PORT, static_cast<UINT32>(Value));
      WaitFatalDisplay();
    }
  }
}
