// A Super I/O on ports 0x2E (index) and 0x2F (data). Configuration registers answer only
// after the entry key (0x87 twice) and until the exit key (0xAA). Registers below 0x30 are
// chip-level (0x07 selects the logical device); 0x30 and up belong to the selected logical
// device. Logical device 4, once activated, decodes a runtime block of 16 ports at the base
// in its registers 0x60/0x61, with an index port at base + 5 and a data port at base + 6.
#pragma once
#include <array>

#include "../board.h"

namespace sim {

class SuperIo : public Device {
 public:
  static constexpr uint16_t IndexPort = 0x2E, DataPort = 0x2F;
  static constexpr uint8_t RuntimeDevice = 4;

  SuperIo() {
    Global.fill(0);
    for (auto &D : Devices) D.fill(0);
    Runtime.fill(0);
  }
  void Attach(Board &B) {
    Bus = &B;
    B.MapIo(IndexPort, 2, this);
    UpdateRuntimeDecode();
  }

  uint64_t Read(uint64_t Address, unsigned) override {
    if (Address == IndexPort || !ConfigMode) return 0xFF;
    return Config(Index);
  }
  void Write(uint64_t Address, unsigned, uint64_t Value) override {
    const uint8_t Byte = static_cast<uint8_t>(Value);
    if (Address == IndexPort) {
      if (!ConfigMode) {
        KeysSeen = Byte == 0x87 ? KeysSeen + 1 : 0;
        ConfigMode = KeysSeen == 2;
      } else if (Byte == 0xAA) {
        ConfigMode = false;
        KeysSeen = 0;
      } else {
        Index = Byte;
      }
      return;
    }
    if (!ConfigMode) return;
    Config(Index) = Byte;
    if (Index == 0x30 || Index == 0x60 || Index == 0x61) UpdateRuntimeDecode();
  }

  // Chip-level register (below 0x30) or register of the selected logical device.
  uint8_t &Config(uint8_t Register) {
    return Register < 0x30 ? Global[Register] : Devices[Global[0x07] & 0x0F][Register];
  }
  uint8_t &DeviceReg(uint8_t Ldn, uint8_t Register) { return Devices.at(Ldn)[Register]; }
  uint16_t RuntimeBase() const {
    return static_cast<uint16_t>(Devices[RuntimeDevice][0x60] << 8 | Devices[RuntimeDevice][0x61]);
  }
  bool InConfigMode() const { return ConfigMode; }
  std::string Describe(const Access &A) override {
    if (A.Address == DataPort) return Format("Super I/O register 0x%02X", Index);
    return Format("Super I/O index%s", A.Value == 0x87 ? " (enter key)" : A.Value == 0xAA ? " (exit key)" : "");
  }

  std::array<uint8_t, 0x30> Global;
  std::array<std::array<uint8_t, 256>, 16> Devices;
  std::array<uint8_t, 256> Runtime;  // runtime registers of logical device 4

 private:
  class RuntimeBlock : public Device {
   public:
    explicit RuntimeBlock(SuperIo &Chip) : Chip(Chip) {}
    uint64_t Read(uint64_t Address, unsigned) override {
      switch (Address - Chip.RuntimeBase()) {
        case 5:
          return RuntimeIndex;
        case 6:
          return Chip.Runtime[RuntimeIndex];
        default:
          return 0xFF;
      }
    }
    void Write(uint64_t Address, unsigned, uint64_t Value) override {
      const auto Offset = Address - Chip.RuntimeBase();
      if (Offset == 5) RuntimeIndex = static_cast<uint8_t>(Value);
      if (Offset == 6) Chip.Runtime[RuntimeIndex] = static_cast<uint8_t>(Value);
    }
    std::string Describe(const Access &A) override {
      const auto Offset = A.Address - Chip.RuntimeBase();
      if (Offset == 5) return "Super I/O runtime index";
      if (Offset == 6) return Format("Super I/O runtime register 0x%02X", RuntimeIndex);
      return "";
    }
    SuperIo &Chip;
    uint8_t RuntimeIndex = 0;
  };

  void UpdateRuntimeDecode() {
    Bus->UnmapDevice(&Block);
    if (Devices[RuntimeDevice][0x30] & 0x01) Bus->MapIo(RuntimeBase(), 16, &Block);
  }

  Board *Bus = nullptr;
  RuntimeBlock Block{*this};
  bool ConfigMode = false;
  unsigned KeysSeen = 0;
  uint8_t Index = 0;
};

}  // namespace sim
