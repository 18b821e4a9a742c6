#include "spi_nor.h"

namespace sim {

std::vector<uint8_t> SpiNorPart::Opcodes() const {
  std::vector<uint8_t> Out;
  for (const Command &C : Commands) Out.push_back(C.Opcode);
  return Out;
}

std::vector<uint8_t> SpiNorPart::Transfer(uint8_t Opcode, const std::vector<uint8_t> &Out, size_t InCount) {
  if (Record) Commands.push_back({Opcode, Out, InCount});
  std::vector<uint8_t> In(InCount, 0xFF);
  // While an internal operation runs, only the status register answers.
  if (Busy() && Opcode != 0x05) return In;
  switch (Opcode) {
    case 0x05:
      for (auto &B : In) B = ReadStatus();
      return In;
    case 0x06:
      Status |= StatusWriteEnabled;
      return In;
    case 0x04:
      Status &= ~StatusWriteEnabled;
      return In;
    case 0x01:
      if (Out.empty() || !((Status & StatusWriteEnabled) || StatusWriteLatched)) return In;
      Status = static_cast<uint8_t>(Out[0] & ~(StatusBusy | StatusWriteEnabled));
      StatusWriteLatched = false;
      StartBusy(WriteStatusUs);
      return In;
    case 0xB7:
      FourByteMode = true;
      return In;
    default:
      break;
  }
  if (Opcode == WriteStatusEnableOpcode) {
    StatusWriteLatched = true;
    return In;
  }
  if (ExitFourByteOpcodes.count(Opcode)) {
    FourByteMode = false;
    return In;
  }
  if (auto It = IdBytes.find(Opcode); It != IdBytes.end() && !It->second.empty())
    for (size_t I = 0; I < In.size(); ++I) In[I] = It->second[I % It->second.size()];
  return In;
}

}  // namespace sim
