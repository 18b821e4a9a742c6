#include "flash_windows.h"

namespace sim {

namespace {
constexpr uint64_t Segment = 0x1000000;
}

uint32_t FlashWindows::RomBank(uint64_t Address, bool BankSelect) const {
  if (!BankSelect) return 0;
  uint32_t Bank = static_cast<uint32_t>((Address >> 24) + 2) & 3;
  const uint32_t Override = Controller.Register(0x30);
  if (Override & 4) Bank = (Bank & ~1u) | (Override & 1);
  if (Override & 8) Bank = (Bank & ~2u) | (Override & 2);
  return (Bank ^ Controller.Register(0x5C)) & 3;
}

uint32_t FlashWindows::WideBank(unsigned SegmentIndex) const { return (SegmentIndex ^ Controller.Register(0x5C)) & 3; }

void FlashWindows::MapBank(Board &B, uint64_t Address, uint64_t Size, uint32_t Bank, uint64_t OffsetInBank) {
  const uint64_t Offset = (Bank * Segment + OffsetInBank) % Part.Size();
  uint64_t Mapped = std::min<uint64_t>(Size, Part.Size() - Offset);
  // Whatever a window spans, the processor sees the PC's chipset registers there, not flash.
  if (Address < ChipsetRegistersEnd && Address + Mapped > ChipsetRegistersBase) {
    const uint64_t Before = Address < ChipsetRegistersBase ? ChipsetRegistersBase - Address : 0;
    const uint64_t After = Address + Mapped > ChipsetRegistersEnd ? Address + Mapped - ChipsetRegistersEnd : 0;
    if (Before) B.MapMemory(Address, Before, Part.Memory.data() + Offset);
    if (After) B.MapMemory(ChipsetRegistersEnd, After, Part.Memory.data() + Offset + (ChipsetRegistersEnd - Address));
    return;
  }
  B.MapMemory(Address, Mapped, Part.Memory.data() + Offset);
}

void FlashWindows::MapRomWindow(Board &B, uint64_t Base, uint64_t Size, bool BankSelect) {
  for (uint64_t At = Base; At < Base + Size;) {
    const uint64_t Piece = std::min(Base + Size - At, Segment - (At & (Segment - 1)));
    MapBank(B, At, Piece, RomBank(At, BankSelect), At & (Segment - 1));
    At += Piece;
  }
}

void FlashWindows::MapWideWindow(Board &B) {
  const uint64_t Base =
      ((static_cast<uint64_t>(Controller.Register(0x64)) << 32) | Controller.Register(0x60)) & ~(4 * Segment - 1);
  for (unsigned I = 0; I < 4; ++I) MapBank(B, Base + I * Segment, Segment, WideBank(I), 0);
}

}  // namespace sim
