// An SPI NOR flash part as it behaves on the bus: identifier bytes per read-identifier opcode,
// a status register whose busy and write-enable bits the commands set and clear, 3- and 4-byte
// address modes, and busy times in microseconds of simulated time.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "sim_clock.h"

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

  explicit SpiNorPart(SimClock &Clock) : Clock(Clock) {}

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
  std::vector<uint8_t> Opcodes() const;

  bool Busy() const { return BusyNeverClears || Clock.NowNs() < BusyUntilNs; }
  uint8_t ReadStatus() const { return static_cast<uint8_t>(Status | (Busy() ? StatusBusy : 0)); }

  // One transaction: chip select low, opcode, the bytes sent, InCount bytes clocked in.
  std::vector<uint8_t> Transfer(uint8_t Opcode, const std::vector<uint8_t> &Out, size_t InCount);

 private:
  void StartBusy(uint64_t Us) { BusyUntilNs = Clock.NowNs() + Us * 1000; }
  SimClock &Clock;
  uint64_t BusyUntilNs = 0;
  bool StatusWriteLatched = false;  // set by the enable-write-status opcode
};

}  // namespace sim
