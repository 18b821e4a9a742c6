// The CMOS real-time clock behind index port 0x70 (bit 7 the NMI mask) and data port 0x71:
// 128 byte registers; status A shows update-in-progress for a set number of reads, and a
// read of status C clears the pending flags.
#pragma once
#include <array>

#include "../board.h"

namespace sim {

class CmosRtc : public Device {
 public:
  CmosRtc() { Registers.fill(0); }
  void Attach(Board &B) { B.MapIo(0x70, 2, this); }
  uint64_t Read(uint64_t Address, unsigned) override {
    if (Address == 0x70) return Index;
    const uint8_t R = Index & 0x7F;
    if (R == 0x0A) return Registers[R] | (UpdateReads > 0 && UpdateReads-- ? 0x80 : 0);
    const uint8_t V = Registers[R];
    if (R == 0x0C) Registers[R] = 0;
    return V;
  }
  void Write(uint64_t Address, unsigned, uint64_t Value) override {
    if (Address == 0x70)
      Index = static_cast<uint8_t>(Value);
    else
      Registers[Index & 0x7F] = static_cast<uint8_t>(Value);
  }
  std::string Describe(const Access &A) override {
    return A.Address == 0x70 ? "RTC index" : Format("RTC register 0x%02X", Index & 0x7F);
  }
  void SetTime(uint8_t Hours, uint8_t Minutes, uint8_t Seconds) {  // BCD, as the clock holds them
    Registers[4] = Hours;
    Registers[2] = Minutes;
    Registers[0] = Seconds;
  }
  std::array<uint8_t, 128> Registers;
  uint8_t Index = 0;
  unsigned UpdateReads = 0;  // reads of status A that still show an update in progress
};

// Registers that hold what was last written to them, at any width: the PM1 block and the
// platform power-management bytes.
class RegisterFile : public Device {
 public:
  uint64_t Read(uint64_t Address, unsigned) override { return Values[Address]; }
  void Write(uint64_t Address, unsigned, uint64_t Value) override { Values[Address] = Value; }
  std::map<uint64_t, uint64_t> Values;
};

}  // namespace sim
