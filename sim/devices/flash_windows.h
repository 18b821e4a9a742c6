// The chipset's views of the flash part in the processor's address space: the ROM window
// below 4 GiB and the 64 MiB wide window. Each 16 MiB segment of a view shows one 16 MiB bank
// of the part, so reads through a view see programs and erases at once.
//
// Below 4 GiB the top 32 MiB show banks 0 and 1 (0xFE000000 is flash offset 0); with bank
// selection on (the wide window decoded) the processor address picks the bank from its bits
// 25:24 plus 2, bits of register 0x30 override bank bits 0 and 1 (enables in bits 2 and 3), and
// register 0x5C is XORed in. Without it the ROM window shows bank 0 in every segment. The wide
// window at the base in registers 0x60/0x64 shows bank (segment XOR register 0x5C).
#pragma once
#include "spi_host_controller.h"

namespace sim {

// I/O APIC, HPET, local APIC and chipset registers on every PC: no window shows flash there.
inline constexpr uint64_t ChipsetRegistersBase = 0xFEC00000, ChipsetRegistersEnd = 0xFF000000;

class FlashWindows {
 public:
  FlashWindows(SpiNorPart &Part, SpiHostController &Controller) : Part(Part), Controller(Controller) {}
  // Maps the views with the controller's registers as they stand; call after setting them.
  void MapRomWindow(Board &B, uint64_t Base, uint64_t Size, bool BankSelect);
  void MapWideWindow(Board &B);

  uint32_t RomBank(uint64_t Address, bool BankSelect) const;
  uint32_t WideBank(unsigned Segment) const;

 private:
  void MapBank(Board &B, uint64_t Address, uint64_t Size, uint32_t Bank, uint64_t OffsetInBank);
  SpiNorPart &Part;
  SpiHostController &Controller;
};

}  // namespace sim
