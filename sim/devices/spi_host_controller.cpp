#include "spi_host_controller.h"

namespace sim {

namespace {
constexpr uint64_t RegExecute = 0x47;
constexpr uint64_t RegOpcode = 0x45;
constexpr uint64_t RegTxCount = 0x48;
constexpr uint64_t RegRxCount = 0x4B;
constexpr uint64_t RegStatus = 0x4C;
constexpr uint8_t ExecuteBit = 0x80;
}  // namespace

uint8_t SpiHostController::ByteAt(uint64_t Offset) const {
  uint8_t B = Regs[Offset];
  if (Offset == RegExecute && (Running && (ExecuteNeverClears || Refused || Clock.NowNs() < DoneAtNs))) B |= ExecuteBit;
  if (Offset == RegStatus + 3 && BusyNeverClears) B |= 0x80;
  return B;
}

uint64_t SpiHostController::Read(uint64_t Address, unsigned Width) {
  if (AllOnes) return ~0ull;
  const uint64_t Offset = Address - Base;
  if (Offset >= Fifo) FifoAccesses += Width;
  uint64_t Value = 0;
  for (unsigned I = 0; I < Width && Offset + I < Size; ++I)
    Value |= static_cast<uint64_t>(ByteAt(Offset + I)) << (8 * I);
  return Value;
}

void SpiHostController::Write(uint64_t Address, unsigned Width, uint64_t Value) {
  if (AllOnes) return;
  const uint64_t Offset = Address - Base;
  if (Offset >= Fifo) FifoAccesses += Width;
  bool Start = false;
  for (unsigned I = 0; I < Width && Offset + I < Size; ++I) {
    uint8_t B = static_cast<uint8_t>(Value >> (8 * I));
    if (Offset + I == RegExecute) {
      Start = (B & ExecuteBit) != 0;
      B &= ~ExecuteBit;  // the running state is the controller's own
    }
    Regs[Offset + I] = B;
  }
  if (Start) Execute();
}

void SpiHostController::Execute() {
  const uint8_t Tx = Regs[RegTxCount], Rx = Regs[RegRxCount];
  Out.assign(Regs.begin() + Fifo, Regs.begin() + Fifo + std::min<unsigned>(Tx, Size - Fifo));
  In.resize(Rx);
  Refused = RefusedOpcodes.count(Regs[RegOpcode]) != 0;
  if (!Refused) {
    Part.Transfer(Regs[RegOpcode], Out, In);
    for (unsigned I = 0; I < Rx && Fifo + Tx + I < Size; ++I) Regs[Fifo + Tx + I] = In[I];
  }
  ++Started;
  Running = true;
  DoneAtNs = Clock.NowNs() + CommandOverheadNs + (1 + Tx + Rx) * 8 * 1000 / BusMhz;
}

std::string SpiHostController::Describe(const Access &A) {
  const unsigned R = static_cast<unsigned>(A.Address - Base);
  const char *Name = R == 0x45 ? "opcode" : R == 0x47 ? "execute" : R == 0x48 ? "transmit count"
                   : R == 0x4B ? "receive count" : R == 0x4C ? "busy" : R >= Fifo ? "FIFO" : "register";
  std::string Out = Format("SPI 0x%02X %s", R, Name);
  for (; Described < Part.Commands.size(); ++Described) {
    const auto &C = Part.Commands[Described];
    Out += Format("\n      SPI command 0x%02X %s", C.Opcode, SpiNorPart::OpcodeName(C.Opcode));
    if (!C.Out.empty()) {
      Out += " out";
      for (uint8_t Byte : C.Out) Out += Format(" %02X", Byte);
    }
    if (C.InCount) Out += " in " + std::to_string(C.InCount) + " bytes";
  }
  return Out;
}

}  // namespace sim
