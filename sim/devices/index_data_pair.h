// A register file behind an 8-bit index port and a data port, as the chipset's PIRQ routing
// registers are reached.
#pragma once
#include <array>

#include "../board.h"

namespace sim {

class IndexDataPair : public Device {
 public:
  // The names say what the pair is in traces: "PIRQ index", "PIRQ routing register 0x02".
  IndexDataPair(uint16_t IndexPort, uint16_t DataPort, const char *IndexName = "index",
                const char *RegisterName = "register")
      : IndexPort(IndexPort), DataPort(DataPort), IndexName(IndexName), RegisterName(RegisterName) {
    Registers.fill(0);
  }
  void Attach(Board &B) {
    B.MapIo(IndexPort, 1, this);
    B.MapIo(DataPort, 1, this);
  }
  uint64_t Read(uint64_t Address, unsigned) override { return Address == IndexPort ? Index : Registers[Index]; }
  void Write(uint64_t Address, unsigned, uint64_t Value) override {
    if (Address == IndexPort)
      Index = static_cast<uint8_t>(Value);
    else
      Registers[Index] = static_cast<uint8_t>(Value);
  }
  std::string Describe(const Access &A) override {
    return A.Address == IndexPort ? IndexName : Format("%s 0x%02X", RegisterName, Index);
  }
  std::array<uint8_t, 256> Registers;
  uint8_t Index = 0;

 private:
  uint16_t IndexPort, DataPort;
  const char *IndexName, *RegisterName;
};

}  // namespace sim
