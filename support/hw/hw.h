// Hardware access layer. Driver code reaches ports, registers and processor instructions only
// through these calls. Two instances exist: x64 (inline instructions, firmware build) and sim
// (host build, every access goes to the simulated board), chosen by the build.
#pragma once
#include <uefi/base.h>

#if defined(UEFI_FIRMWARE)
#define HW_API static inline __attribute__((always_inline))
#else
#define HW_API
#endif

HW_API UINT8 IoRead8(UINT16 Port);
HW_API UINT16 IoRead16(UINT16 Port);
HW_API UINT32 IoRead32(UINT16 Port);
HW_API VOID IoWrite8(UINT16 Port, UINT8 Value);
HW_API VOID IoWrite16(UINT16 Port, UINT16 Value);
HW_API VOID IoWrite32(UINT16 Port, UINT32 Value);

HW_API UINT8 MmioRead8(UINT64 Address);
HW_API UINT16 MmioRead16(UINT64 Address);
HW_API UINT32 MmioRead32(UINT64 Address);
HW_API VOID MmioWrite8(UINT64 Address, UINT8 Value);
HW_API VOID MmioWrite16(UINT64 Address, UINT16 Value);
HW_API VOID MmioWrite32(UINT64 Address, UINT32 Value);

// CPUID with EAX = Leaf and ECX = 0.
HW_API VOID AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);
// CPUID with EAX = Leaf, EBX = Ebx and SI = 0, for leaves that answer in SI; returns SI.
HW_API UINT16 AsmCpuidEbxSi(UINT32 Leaf, UINT32 Ebx);
HW_API UINT64 AsmReadMsr64(UINT32 Index);
HW_API UINT64 AsmReadTsc();
HW_API VOID AsmPause();
HW_API VOID AsmMemoryFence();
HW_API VOID AsmWbinvd();
HW_API VOID AsmFlushCacheLine(const volatile VOID *Address);
HW_API UINT64 AsmReadCr4();
HW_API VOID AsmWriteCr4(UINT64 Value);

// A physical address as a pointer the processor can dereference (flash windows, legacy
// segments, fixed memory regions).
HW_API VOID *PhysToPtr(UINT64 Address);

#if defined(UEFI_FIRMWARE)
#include "x64/hw_x64.inl"
#endif
