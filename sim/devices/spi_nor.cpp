#include "spi_nor.h"

namespace sim {

std::vector<uint8_t> SpiNorPart::Opcodes() const {
  std::vector<uint8_t> Out;
  for (const Command &C : Commands) Out.push_back(C.Opcode);
  return Out;
}

namespace {
bool FourByteOpcode(uint8_t Opcode) { return Opcode == 0x13 || Opcode == 0x12 || Opcode == 0x21 || Opcode == 0xDC; }
}  // namespace

bool SpiNorPart::Protected(uint32_t Offset) const {
  if (Profile != nullptr) return (Status & Profile->ProtectBits) != 0;
  if (Status & 0x60) return true;
  const unsigned Level = (Status >> 2) & 7;
  if (Level == 0) return false;
  const uint64_t Span = static_cast<uint64_t>(Size()) >> (7 - Level);
  return Offset >= Size() - Span;
}

bool SpiNorPart::TakeAddress(uint8_t Opcode, const std::vector<uint8_t> &Out, uint32_t &Address, size_t &DataAt) const {
  DataAt = FourByteOpcode(Opcode) || FourByteMode ? 4 : 3;
  if (Out.size() < DataAt) return false;
  Address = 0;
  for (size_t I = 0; I < DataAt; ++I) Address = Address << 8 | Out[I];
  Address %= Size();
  return true;
}

bool SpiNorPart::TakeWriteEnable() {
  if (!(Status & StatusWriteEnabled)) return false;
  Status &= ~StatusWriteEnabled;
  return true;
}

void SpiNorPart::Settle() {
  if (Pending.Size == 0 || Busy()) return;
  for (uint32_t At = Pending.Start; At < Pending.Start + Pending.Size && At < Size(); ++At)
    if (!Protected(At)) Memory[At] = 0xFF;
  Pending = {};
}

void SpiNorPart::Transfer(uint8_t Opcode, const std::vector<uint8_t> &Out, std::vector<uint8_t> &In) {
  ++CountByOpcode[Opcode];
  Settle();
  if (Record) Commands.push_back({Opcode, Out, In.size()});
  std::fill(In.begin(), In.end(), 0xFF);
  if (Profile != nullptr) return TransferAsProfile(Opcode, Out, In);
  // While an internal operation runs, only the status register answers.
  if (Busy() && Opcode != 0x05) return;
  switch (Opcode) {
    case 0x05:
      for (auto &B : In) B = ReadStatus();
      return;
    case 0x06:
      Status |= StatusWriteEnabled;
      return;
    case 0x04:
      Status &= ~StatusWriteEnabled;
      return;
    case 0x01:
      if (Out.empty() || !((Status & StatusWriteEnabled) || StatusWriteLatched)) return;
      Status = static_cast<uint8_t>(Out[0] & ~(StatusBusy | StatusWriteEnabled));
      StatusWriteLatched = false;
      StartBusy(WriteStatusUs);
      return;
    case 0xB7:
      FourByteMode = true;
      return;
    case 0x03:
    case 0x13: {
      uint32_t Address = 0;
      size_t DataAt = 0;
      if (!TakeAddress(Opcode, Out, Address, DataAt)) return;
      for (size_t I = 0; I < In.size(); ++I) In[I] = Memory[(Address + I) % Size()];
      return;
    }
    case 0x02:
    case 0x12: {
      uint32_t Address = 0;
      size_t DataAt = 0;
      if (!TakeAddress(Opcode, Out, Address, DataAt) || !TakeWriteEnable()) return;
      const uint32_t Page = Address & ~0xFFu;
      for (size_t I = DataAt; I < Out.size(); ++I) {
        const uint32_t At = Page | ((Address + (I - DataAt)) & 0xFF);  // wraps inside the page
        if (Protected(At)) continue;
        uint8_t Stuck = 0;
        if (!StuckBits.empty())
          if (auto It = StuckBits.find(At); It != StuckBits.end()) Stuck = It->second;
        Memory[At] &= Out[I] | Stuck;
      }
      StartBusy(ProgramUs);
      return;
    }
    default:
      break;
  }
  if (auto Erase = EraseBlocks.find(Opcode); Erase != EraseBlocks.end()) {
    uint32_t Address = 0;
    size_t DataAt = 0;
    if (!TakeAddress(Opcode, Out, Address, DataAt) || !TakeWriteEnable()) return;
    const uint32_t Block = Erase->second;
    StartBusy(Block >= 0x10000 ? Erase64KUs : Erase4KUs);
    if (FailNextErases > 0) {
      --FailNextErases;
      return;
    }
    Pending = {Address / Block * Block, Block};
    return;
  }
  if (Opcode == WriteStatusEnableOpcode) {
    StatusWriteLatched = true;
    return;
  }
  if (ExitFourByteOpcodes.count(Opcode)) {
    FourByteMode = false;
    return;
  }
  if (auto It = IdBytes.find(Opcode); It != IdBytes.end() && !It->second.empty())
    for (size_t I = 0; I < In.size(); ++I) In[I] = It->second[I % It->second.size()];
}

const char *SpiNorPart::OpcodeName(uint8_t Op) {
  switch (Op) {
    case 0x9F: return "(read identifier)";
    case 0x90: case 0xAB: return "(read identifier, legacy)";
    case 0xB7: return "(enter 4-byte address mode)";
    case 0xE9: case 0x29: return "(exit 4-byte address mode)";
    case 0x06: return "(write enable)";
    case 0x04: return "(write disable)";
    case 0x05: return "(read status)";
    case 0x01: return "(write status)";
    case 0x03: case 0x13: return "(read)";
    case 0x02: case 0x12: return "(program)";
    case 0x20: case 0x21: return "(erase 4 KiB)";
    case 0xD8: case 0xDC: return "(erase 64 KiB)";
    default: return "";
  }
}

}  // namespace sim
