// sim instance of the hardware access layer: every access goes to the simulated board.
#include <hw/hw.h>

#include <sanitizer/common_interface_defs.h>
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
  const std::array<uint32_t, 4> R = TheBoard().Cpuid(Leaf);
  if (Eax) *Eax = R[0];
  if (Ebx) *Ebx = R[1];
  if (Ecx) *Ecx = R[2];
  if (Edx) *Edx = R[3];
}

UINT16 AsmCpuidEbxSi(UINT32 Leaf, UINT32 Ebx) { return TheBoard().CpuidSi(Leaf, Ebx); }

UINT64 AsmReadMsr64(UINT32 Index) {
  if (!TheBoard().Cpu.Implements(Index)) {
    __sanitizer_print_stack_trace();  // names the caller
    TheBoard().GeneralProtection("RDMSR", Index, "AsmReadMsr64");
  }
  return TheBoard().Rdmsr(Index);
}

UINT64 AsmReadTsc() { return TheBoard().Rdtsc(); }
VOID AsmPause() { TheBoard().Pause(); }
VOID AsmMemoryFence() { ++TheBoard().Cpu.Fences; }
VOID AsmWbinvd() { ++TheBoard().Cpu.Wbinvds; }
VOID AsmFlushCacheLine(const volatile VOID *Address) { TheBoard().Clflush(reinterpret_cast<uint64_t>(Address)); }
UINT64 AsmReadCr4() { return TheBoard().Cpu.Cr4; }
VOID AsmWriteCr4(UINT64 Value) { TheBoard().Cpu.Cr4 = Value; }

VOID *PhysToPtr(UINT64 Address) { return TheBoard().PhysToPtr(Address); }
