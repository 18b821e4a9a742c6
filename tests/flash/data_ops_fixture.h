// A board whose part is identified at start-up and shown through the chipset's windows.
#pragma once
#include <sim/devices/flash_windows.h>

#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/translation.h>

#include "flash_board.h"

namespace flash_test {

struct DataOpsBoard : FlashBoard {
  FlashWindows Windows{Part, Controller};

  // Identifies the part and maps the ROM window [Base, Base + Size).
  void StartWith(std::array<uint8_t, 3> Id, uint32_t PartSize, uint32_t WindowBase, uint32_t WindowSize,
                 bool Wide = false) {
    Part.Resize(PartSize);
    Part.SetJedecId(Id[0], Id[1], Id[2]);
    RomWindow(static_cast<uint16_t>(WindowBase >> 16), static_cast<uint16_t>((WindowBase + WindowSize - 1) >> 16));
    if (Wide) WideWindow();
    Windows.MapRomWindow(B, WindowBase, WindowSize, Wide);
    ASSERT_EQ(Start(), EFI_SUCCESS);
    ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
    Part.Commands.clear();
    B.Log.clear();
  }
  // Commands other than the ready wait's status reads.
  std::vector<SpiNorPart::Command> Sent() const {
    std::vector<SpiNorPart::Command> Out;
    for (const auto &C : Part.Commands)
      if (C.Opcode != 0x05) Out.push_back(C);
    return Out;
  }
  // Opcodes of the commands that change the part: reads (the verify's, where no window shows
  // the flash) and status reads left out.
  std::vector<uint8_t> UpdateOpcodes() const {
    std::vector<uint8_t> Out;
    for (const auto &C : Sent())
      if (C.Opcode != 0x03 && C.Opcode != 0x13) Out.push_back(C.Opcode);
    return Out;
  }
  size_t CountSent(uint8_t Opcode) const {
    size_t N = 0;
    for (const auto &C : Part.Commands) N += C.Opcode == Opcode;
    return N;
  }
  void Fill(uint32_t Offset, uint32_t Length, uint8_t Value) {
    std::fill(Part.Memory.begin() + Offset, Part.Memory.begin() + Offset + Length, Value);
  }
  static std::vector<uint8_t> Address3(uint32_t A) { return {uint8_t(A >> 16), uint8_t(A >> 8), uint8_t(A)}; }
  static std::vector<uint8_t> Address4(uint32_t A) {
    return {uint8_t(A >> 24), uint8_t(A >> 16), uint8_t(A >> 8), uint8_t(A)};
  }
};

// Winbond 25Q: 16 MiB, 4 KiB sectors, 64 KiB erase, 256-byte pages; or 32 MiB with code 0x19.
inline constexpr std::array<uint8_t, 3> Winbond16MB = {0xEF, 0x40, 0x18};
inline constexpr std::array<uint8_t, 3> Winbond32MB = {0xEF, 0x40, 0x19};

}  // namespace flash_test
