#include "pci_config_window.h"

namespace sim {

void PciConfigWindow::Set16(unsigned Bus, unsigned Dev, unsigned Fn, unsigned Offset, uint16_t Value) {
  auto [It, New] = Functions.try_emplace((Bus << 8) | (Dev << 3) | Fn);
  if (New) It->second.fill(0);
  It->second[Offset] = static_cast<uint8_t>(Value);
  It->second[Offset + 1] = static_cast<uint8_t>(Value >> 8);
}

uint64_t PciConfigWindow::Read(uint64_t Address, unsigned Width) {
  const uint64_t Offset = Address - Base;
  auto It = Functions.find(Offset >> 12);
  if (It == Functions.end()) return ~0ull;
  uint64_t Value = 0;
  for (unsigned I = 0; I < Width; ++I) Value |= static_cast<uint64_t>(It->second[(Offset + I) & 0xFFF]) << (8 * I);
  return Value;
}

void PciConfigWindow::Write(uint64_t Address, unsigned Width, uint64_t Value) {
  const uint64_t Offset = Address - Base;
  auto It = Functions.find(Offset >> 12);
  if (It == Functions.end()) return;
  for (unsigned I = 0; I < Width; ++I) It->second[(Offset + I) & 0xFFF] = static_cast<uint8_t>(Value >> (8 * I));
}

}  // namespace sim
