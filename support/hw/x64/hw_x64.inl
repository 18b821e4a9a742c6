// x64 instance of the hardware access layer: one instruction per access, identity mapping.
#pragma once

HW_API UINT8 IoRead8(UINT16 Port) {
  UINT8 V;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(V) : "Nd"(Port));
  return V;
}
HW_API UINT16 IoRead16(UINT16 Port) {
  UINT16 V;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(V) : "Nd"(Port));
  return V;
}
HW_API UINT32 IoRead32(UINT16 Port) {
  UINT32 V;
  __asm__ __volatile__("inl %w1, %0" : "=a"(V) : "Nd"(Port));
  return V;
}
HW_API VOID IoWrite8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }
HW_API VOID IoWrite16(UINT16 Port, UINT16 Value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port)); }
HW_API VOID IoWrite32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

HW_API UINT8 MmioRead8(UINT64 Address) { return *reinterpret_cast<volatile UINT8 *>(Address); }
HW_API UINT16 MmioRead16(UINT64 Address) { return *reinterpret_cast<volatile UINT16 *>(Address); }
HW_API UINT32 MmioRead32(UINT64 Address) { return *reinterpret_cast<volatile UINT32 *>(Address); }
HW_API VOID MmioWrite8(UINT64 Address, UINT8 Value) { *reinterpret_cast<volatile UINT8 *>(Address) = Value; }
HW_API VOID MmioWrite16(UINT64 Address, UINT16 Value) { *reinterpret_cast<volatile UINT16 *>(Address) = Value; }
HW_API VOID MmioWrite32(UINT64 Address, UINT32 Value) { *reinterpret_cast<volatile UINT32 *>(Address) = Value; }

HW_API VOID AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  UINT32 A, B, C, D;
  __asm__ __volatile__("cpuid" : "=a"(A), "=b"(B), "=c"(C), "=d"(D) : "a"(Leaf), "c"(0));
  if (Eax) *Eax = A;
  if (Ebx) *Ebx = B;
  if (Ecx) *Ecx = C;
  if (Edx) *Edx = D;
}
HW_API UINT16 AsmCpuidEbxSi(UINT32 Leaf, UINT32 Ebx) {
  UINT32 A = Leaf, B = Ebx, C, D;
  UINT64 Si = 0;
  __asm__ __volatile__("pushfq\n\tcpuid\n\tpopfq" : "+a"(A), "+b"(B), "=c"(C), "=d"(D), "+S"(Si) : : "memory");
  return static_cast<UINT16>(Si);
}
HW_API UINT64 AsmReadMsr64(UINT32 Index) {
  UINT32 Lo, Hi;
  __asm__ __volatile__("rdmsr" : "=a"(Lo), "=d"(Hi) : "c"(Index));
  return (static_cast<UINT64>(Hi) << 32) | Lo;
}
HW_API UINT64 AsmReadTsc() {
  UINT32 Lo, Hi;
  __asm__ __volatile__("rdtsc" : "=a"(Lo), "=d"(Hi));
  return (static_cast<UINT64>(Hi) << 32) | Lo;
}
HW_API VOID AsmPause() { __asm__ __volatile__("pause"); }
HW_API VOID AsmMemoryFence() { __asm__ __volatile__("mfence" : : : "memory"); }
HW_API VOID AsmWbinvd() { __asm__ __volatile__("wbinvd" : : : "memory"); }
HW_API VOID AsmFlushCacheLine(const volatile VOID *Address) {
  __asm__ __volatile__("clflush (%0)" : : "r"(Address) : "memory");
}
HW_API UINT64 AsmReadCr4() {
  UINT64 V;
  __asm__ __volatile__("mov %%cr4, %0" : "=r"(V));
  return V;
}
HW_API VOID AsmWriteCr4(UINT64 Value) { __asm__ __volatile__("mov %0, %%cr4" : : "r"(Value) : "memory"); }

HW_API VOID *PhysToPtr(UINT64 Address) { return reinterpret_cast<VOID *>(Address); }
