// PCI configuration space as the chipset decodes it.
#pragma once
#include <array>
#include <map>

#include "../board.h"

namespace sim {

// PCI configuration space through the memory-mapped window at 0xE0000000 (4 KiB per function,
// bus/device/function in address bits 27:12). An absent function reads all ones.
class PciConfigWindow : public Device {
 public:
  static constexpr uint64_t Base = 0xE0000000;
  static constexpr uint64_t Size = 0x10000000;
  void Attach(Board &B) { B.MapMmio(Base, Size, this); }
  void Set16(unsigned Bus, unsigned Dev, unsigned Fn, unsigned Offset, uint16_t Value);
  uint64_t Read(uint64_t Address, unsigned Width) override;
  void Write(uint64_t Address, unsigned Width, uint64_t Value) override;
  std::string Describe(const Access &A) override {
    const uint64_t O = A.Address - Base;
    return Format("PCI %02X:%02X.%u offset 0x%03X", unsigned(O >> 20), unsigned(O >> 15) & 31, unsigned(O >> 12) & 7,
                  unsigned(O & 0xFFF));
  }

 private:
  std::map<uint64_t, std::array<uint8_t, 4096>> Functions;
};

}  // namespace sim
