// Simulated time is the processor's time-stamp counter: the driver's delays advance it by
// reading it, and device models turn it into nanoseconds at the rate the test gave the CPU.
#pragma once
#include "../board.h"

namespace sim {

struct SimClock {
  uint64_t TscMhz = 1000;
  uint64_t NowNs() const { return TheBoard().Cpu.Tsc * 1000 / TscMhz; }
  uint64_t NowUs() const { return NowNs() / 1000; }
};

}  // namespace sim
