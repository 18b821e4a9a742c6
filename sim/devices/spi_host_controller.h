// The chipset's SPI host controller at 0xFEC10000: a 0x100-byte register block (the 0x00..0x67
// registers the driver snapshots, the command registers 0x45..0x4F) and the FIFO from 0x80,
// driving one SPI NOR part. A command takes its time on a 33 MHz bus; until then the execute
// bit reads 1.
#pragma once
#include <array>
#include <set>

#include "spi_nor.h"

namespace sim {

class SpiHostController : public Device {
 public:
  static constexpr uint64_t Base = 0xFEC10000;
  static constexpr uint64_t Size = 0x100;
  static constexpr uint64_t Fifo = 0x80;
  static constexpr uint64_t CommandOverheadNs = 2000;
  static constexpr uint64_t BusMhz = 33;

  SpiHostController(SpiNorPart &Part, SimClock &Clock) : Part(Part), Clock(Clock) { Regs.fill(0); }
  void Attach(Board &B) { B.MapMmio(Base, Size, this); }

  void SetRegister(uint32_t Offset, uint32_t Value) {
    for (unsigned I = 0; I < 4; ++I) Regs[Offset + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
  uint32_t Register(uint32_t Offset) const {
    uint32_t V = 0;
    for (unsigned I = 0; I < 4; ++I) V |= static_cast<uint32_t>(Regs[Offset + I]) << (8 * I);
    return V;
  }
  uint8_t FifoByte(unsigned I) const { return Regs[Fifo + I]; }

  bool AllOnes = false;             // absent controller: reads give all ones, writes are lost
  bool BusyNeverClears = false;     // register 0x4C bit 31 stays set
  bool ExecuteNeverClears = false;  // register 0x47 bit 7 stays set once started
  // Opcodes the controller will not put on the bus (as a locked opcode menu does): nothing
  // reaches the part, and the command never completes (its execute bit stays set until the
  // next command starts).
  std::set<uint8_t> RefusedOpcodes;
  unsigned Started = 0;             // commands executed
  uint64_t FifoAccesses = 0;        // bytes moved through the FIFO registers

  uint64_t Read(uint64_t Address, unsigned Width) override;
  void Write(uint64_t Address, unsigned Width, uint64_t Value) override;
  // The register, then each command the part has taken since the last description.
  std::string Describe(const Access &A) override;

 private:
  size_t Described = 0;  // the part's commands already named by Describe
  uint8_t ByteAt(uint64_t Offset) const;
  void Execute();
  SpiNorPart &Part;
  SimClock &Clock;
  std::array<uint8_t, Size> Regs;
  std::vector<uint8_t> Out, In;  // kept between commands: no allocation per command
  bool Running = false;
  bool Refused = false;  // the running command was refused
  uint64_t DoneAtNs = 0;
};

}  // namespace sim
