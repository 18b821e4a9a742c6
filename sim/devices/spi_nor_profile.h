// What a real SPI NOR part does on the bus, as its datasheet gives it: the commands it knows
// (everything else it ignores), its capacity and program page, the block layout of each erase
// opcode (uneven where it has boot sectors), how it reaches addresses above 16 MiB, how it
// answers identification, and which status bits protect it.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct SpiNorProfile {
  std::string Name;
  uint32_t Size = 0;
  uint32_t PageSize = 256;  // a page program wraps inside its page
  enum class Programming : uint8_t { Page, Byte, AutoIncrement } Program = Programming::Page;

  struct Blocks {
    uint32_t Size, Count;
  };
  // Each erase opcode with its blocks in address order; one block spanning the part is a
  // chip erase, which takes no address.
  std::map<uint8_t, std::vector<Blocks>> Erases;

  enum class AddressModeEntry : uint8_t {
    None,               // 0xB7 and 0xE9 are not commands of the part
    EnterExit,          // 0xB7 / 0xE9
    EnterExitAfterWriteEnable,  // ignored unless the write-enable latch is set
  } FourByteEntry = AddressModeEntry::None;
  bool BankRegister = false;             // 0x17 writes, 0x16 reads; bit 7 selects 4-byte addresses
  bool ExtendedAddressRegister = false;  // 0xC5 writes, 0xC8 reads: address bits 31:24 in 3-byte mode
  bool NativeRead = false;               // 0x13
  bool NativeProgram = false;            // 0x12

  // The identification command, the dummy bytes it takes before it answers (0x90 and 0xAB
  // take three), and the bytes it answers with; a byte the sources leave open is given.
  uint8_t IdOpcode = 0x9F;
  unsigned IdDummyBytes = 0;
  std::vector<uint8_t> Id;

  uint8_t ProtectBits = 0;  // any of them set: erases and programs are refused
  bool StatusTakesWriteEnable = true;
  bool StatusTakesEnableWriteStatus = false;  // 0x50
};

}  // namespace sim
