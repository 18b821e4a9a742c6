// PCI configuration mechanism #1: a dword address at 0xCF8 (bit 31 enable, bus 23:16,
// device 15:11, function 10:8, register 7:2) and a 4-byte data window at 0xCFC..0xCFF.
// Functions not added, or a disabled address, read all ones.
#pragma once
#include <array>
#include <cstring>
#include <map>

#include "../board.h"

namespace sim {

class PciConfigPorts : public Device {
 public:
  static constexpr uint16_t AddressPort = 0xCF8, DataPort = 0xCFC;
  using Space256 = std::array<uint8_t, 256>;

  void Attach(Board &B) {
    B.MapIo(AddressPort, 4, this);
    B.MapIo(DataPort, 4, this);
  }
  Space256 &Function(uint8_t Bus, uint8_t Dev, uint8_t Fn) {
    auto [It, New] = Functions.try_emplace(Key(Bus, Dev, Fn));
    if (New) It->second.fill(0);
    return It->second;
  }
  void SetWord(uint8_t Bus, uint8_t Dev, uint8_t Fn, uint8_t Offset, uint16_t Value) {
    std::memcpy(&Function(Bus, Dev, Fn)[Offset], &Value, 2);
  }

  uint64_t Read(uint64_t Address, unsigned Width) override {
    if (Address < DataPort) return Address == AddressPort && Width == 4 ? Latched : ~0ull;
    Space256 *F = Selected();
    if (F == nullptr) return ~0ull;
    uint64_t Value = 0;
    std::memcpy(&Value, &(*F)[Offset(Address)], Width);
    return Value;
  }
  void Write(uint64_t Address, unsigned Width, uint64_t Value) override {
    if (Address < DataPort) {
      if (Address == AddressPort && Width == 4) Latched = static_cast<uint32_t>(Value);
      return;
    }
    if (Space256 *F = Selected()) std::memcpy(&(*F)[Offset(Address)], &Value, Width);
  }

  uint32_t Latched = 0;

 private:
  static uint32_t Key(uint8_t Bus, uint8_t Dev, uint8_t Fn) { return Bus << 8 | (Dev & 0x1F) << 3 | (Fn & 7); }
  unsigned Offset(uint64_t Port) const { return (Latched & 0xFC) + static_cast<unsigned>(Port - DataPort); }
  Space256 *Selected() {
    if ((Latched & 0x80000000u) == 0) return nullptr;
    auto It = Functions.find((Latched >> 8) & 0xFFFF);
    return It == Functions.end() ? nullptr : &It->second;
  }
  std::map<uint32_t, Space256> Functions;
};

}  // namespace sim
