// An SPI NOR flash part as it behaves on the bus: identifier bytes per read-identifier opcode,
// a status register whose busy and write-enable bits the commands set and clear, 3- and 4-byte
// address modes, reads, page programs that only clear bits and wrap inside their page, block
// erases, block protection by the status register, and busy times in microseconds of
// simulated time.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "sim_clock.h"
#include "spi_nor_profile.h"

namespace sim {

class SpiNorPart {
 public:
  static constexpr uint8_t StatusBusy = 0x01;
  static constexpr uint8_t StatusWriteEnabled = 0x02;

  struct Command {
    uint8_t Opcode;
    std::vector<uint8_t> Out;  // bytes sent after the opcode
    size_t InCount;
  };

  explicit SpiNorPart(SimClock &Clock, uint32_t Size = 0x1000000) : Clock(Clock) { Resize(Size); }
  void Resize(uint32_t Size) { Memory.assign(Size, 0xFF); }
  uint32_t Size() const { return static_cast<uint32_t>(Memory.size()); }
  std::vector<uint8_t> Memory;

  // Erase opcodes and the block each erases; the 4-byte-address ones carry 4 address bytes in
  // either mode, like 0x13 (read) and 0x12 (program).
  std::map<uint8_t, uint32_t> EraseBlocks = {{0x20, 0x1000},  {0x21, 0x1000}, {0xD8, 0x10000},
                                             {0xDC, 0x10000}, {0xDB, 0x100},  {0xD7, 0x1000}};
  uint64_t ProgramUs = 5, Erase4KUs = 20, Erase64KUs = 50;
  // Injected faults: the next N erase commands are accepted and change nothing; bits that
  // stay 1 whatever is programmed.
  unsigned FailNextErases = 0;
  std::map<uint32_t, uint8_t> StuckBits;

  // Answers to the read-identifier opcodes; the part repeats them for longer reads. An opcode
  // the part does not know leaves the data line high: it reads as 0xFF.
  std::map<uint8_t, std::vector<uint8_t>> IdBytes;
  void SetJedecId(uint8_t Manufacturer, uint8_t MemoryType, uint8_t Capacity) {
    IdBytes[0x9F] = {Manufacturer, MemoryType, Capacity};
  }

  // Status register bits 7:2 (protection bits and the like); bit 1 is the write-enable latch.
  uint8_t Status = 0;
  bool FourByteMode = false;
  std::set<uint8_t> ExitFourByteOpcodes = {0xE9};
  uint8_t WriteStatusEnableOpcode = 0x50;  // enables one status write without the latch
  uint64_t WriteStatusUs = 15;
  bool BusyNeverClears = false;

  bool Record = true;
  std::vector<Command> Commands;
  // What a command does, for traces: "(read identifier)", "(erase 4 KiB)"; empty if unknown.
  static const char *OpcodeName(uint8_t Opcode);
  std::array<uint64_t, 256> CountByOpcode{};  // every command, recorded or not
  std::vector<uint8_t> Opcodes() const;

  // Status bits 4:2 protect the top 1/64 .. all of the part; bit 5 or 6 protects all of it.
  // A part with a profile is protected whole while any of its protection bits is set.
  bool Protected(uint32_t Offset) const;

  // Behaves as the real part from here on: its size, its commands only, its protection bits
  // set as after power-up. The profile must outlive the part.
  void UseProfile(const SpiNorProfile &Real);
  const SpiNorProfile *Profile = nullptr;

  bool Busy() const { return BusyNeverClears || Clock.NowNs() < BusyUntilNs; }
  uint8_t ReadStatus() const { return static_cast<uint8_t>(Status | (Busy() ? StatusBusy : 0)); }

  // One transaction: chip select low, opcode, the bytes sent, In.size() bytes clocked in.
  void Transfer(uint8_t Opcode, const std::vector<uint8_t> &Out, std::vector<uint8_t> &In);

 private:
  void StartBusy(uint64_t Us) { BusyUntilNs = Clock.NowNs() + Us * 1000; }
  bool TakeAddress(uint8_t Opcode, const std::vector<uint8_t> &Out, uint32_t &Address, size_t &DataAt) const;
  bool TakeWriteEnable();
  void Settle();
  using Blocks = SpiNorProfile::Blocks;
  void TransferAsProfile(uint8_t Opcode, const std::vector<uint8_t> &Out, std::vector<uint8_t> &In);
  unsigned ProfileAddressBytes(uint8_t Opcode) const;
  bool ProfileAddress(unsigned Bytes, const std::vector<uint8_t> &Out, uint32_t &Address) const;
  void ProfileErase(const std::vector<Blocks> &Layout, const std::vector<uint8_t> &Out, unsigned AddressBytes);
  uint8_t BankRegisterValue = 0, ExtendedAddress = 0;
  // An erase changes the array when it completes, as the part finds at its next command.
  struct PendingErase {
    uint32_t Start = 0, Size = 0;
  } Pending;
  SimClock &Clock;
  uint64_t BusyUntilNs = 0;
  bool StatusWriteLatched = false;  // set by the enable-write-status opcode
};

}  // namespace sim
