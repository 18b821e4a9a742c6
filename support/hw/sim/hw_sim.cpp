// sim instance of the hardware access layer: every access goes to the simulated board.
#include <hw/hw.h>

#include <sim/board.h>

using sim::Space;
using sim::TheBoard;

UINT8 IoRead8(UINT16 Port) { return static_cast<UINT8>(TheBoard().Read(Space::Io, Port, 1)); }
UINT16 IoRead16(UINT16 Port) { return static_cast<UINT16>(TheBoard().Read(Space::Io, Port, 2)); }
UINT32 IoRead32(UINT16 Port) { return static_cast<UINT32>(TheBoard().Read(Space::Io, Port, 4)); }
VOID IoWrite8(UINT16 Port, UINT8 Value) { TheBoard().Write(Space::Io, Port, 1, Value); }
VOID IoWrite16(UINT16 Port, UINT16 Value) { TheBoard().Write(Space::Io, Port, 2, Value); }
VOID IoWrite32(UINT16 Port, UINT32 Value) { TheBoard().Write(Space::Io, Port, 4, Value); }

UINT8 MmioRead8(UINT64 Address) { return static_cast<UINT8>(TheBoard().Read(Space::Mmio, Address, 1)); }
UINT16 MmioRead16(UINT64 Address) { return static_cast<UINT16>(TheBoard().Read(Space::Mmio, Address, 2)); }
UINT32 MmioRead32(UINT64 Address) { return static_cast<UINT32>(TheBoard().Read(Space::Mmio, Address, 4)); }
VOID MmioWrite8(UINT64 Address, UINT8 Value) { TheBoard().Write(Space::Mmio, Address, 1, Value); }
VOID MmioWrite16(UINT64 Address, UINT16 Value) { TheBoard().Write(Space::Mmio, Address, 2, Value); }
VOID MmioWrite32(UINT64 Address, UINT32 Value) { TheBoard().Write(Space::Mmio, Address, 4, Value); }

VOID AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  auto &Cpu = TheBoard().Cpu;
  std::array<uint32_t, 4> R{};
  if (auto It = Cpu.Cpuid.find(Leaf); It != Cpu.Cpuid.end()) R = It->second;
  if (Eax) *Eax = R[0];
  if (Ebx) *Ebx = R[1];
  if (Ecx) *Ecx = R[2];
  if (Edx) *Edx = R[3];
}

UINT16 AsmCpuidEbxSi(UINT32 Leaf, UINT32 Ebx) {
  auto &Answers = TheBoard().Cpu.CpuidSi;
  auto It = Answers.find({Leaf, Ebx});
  return It == Answers.end() ? 0 : It->second;  // a leaf nobody answers leaves SI at 0
}

UINT64 AsmReadMsr64(UINT32 Index) {
  auto &Msr = TheBoard().Cpu.Msr;
  auto It = Msr.find(Index);
  return It == Msr.end() ? 0 : It->second;
}

UINT64 AsmReadTsc() {
  auto &Cpu = TheBoard().Cpu;
  const UINT64 Now = Cpu.Tsc;
  Cpu.Tsc += Cpu.TscStep;
  TheBoard().CountTouch("the time-stamp counter");
  return Now;
}

VOID AsmPause() {
  ++TheBoard().Cpu.Pauses;
  TheBoard().CountTouch("PAUSE");
}
VOID AsmMemoryFence() { ++TheBoard().Cpu.Fences; }
VOID AsmWbinvd() { ++TheBoard().Cpu.Wbinvds; }
VOID AsmFlushCacheLine(const volatile VOID *Address) {
  TheBoard().Cpu.FlushedLines.push_back(reinterpret_cast<uint64_t>(Address));
}
UINT64 AsmReadCr4() { return TheBoard().Cpu.Cr4; }
VOID AsmWriteCr4(UINT64 Value) { TheBoard().Cpu.Cr4 = Value; }

VOID *PhysToPtr(UINT64 Address) { return TheBoard().PhysToPtr(Address); }
