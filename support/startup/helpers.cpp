// Memory and processor helpers.
#include <hw/hw.h>

#include "library.h"

VOID *MemFill(VOID *Buffer, UINTN Length, UINT8 Value) {
  auto *Bytes = static_cast<volatile UINT8 *>(Buffer);
  for (UINTN I = 0; I < Length; ++I) Bytes[I] = Value;
  return Buffer;
}

VOID *MemZero(VOID *Buffer, UINTN Length) {
  auto *Bytes = static_cast<UINT8 *>(Buffer);
  const UINT64 Zero = 0;
  UINTN I = 0;
  for (; I < Length / 8; ++I) __builtin_memcpy(Bytes + I * 8, &Zero, 8);
  for (I *= 8; I < Length; ++I) Bytes[I] = 0;
  return Buffer;
}

VOID *MemMove(VOID *Destination, const VOID *Source, UINTN Length) {
  auto *Dst = static_cast<UINT8 *>(Destination);
  const auto *Src = static_cast<const UINT8 *>(Source);
  const auto DstAddr = reinterpret_cast<UINTN>(Dst);
  const auto SrcAddr = reinterpret_cast<UINTN>(Src);
  if (SrcAddr >= DstAddr || SrcAddr + Length - 1 < DstAddr) {
    UINTN I = 0;
    for (; I < Length / 8; ++I) {
      UINT64 Word;
      __builtin_memcpy(&Word, Src + I * 8, 8);
      __builtin_memcpy(Dst + I * 8, &Word, 8);
    }
    for (I *= 8; I < Length; ++I) Dst[I] = Src[I];
  } else {
    // The source starts below the destination and runs into it: copy from the end.
    for (UINTN I = Length; I-- > 0;) Dst[I] = Src[I];
  }
  return Destination;
}

UINT32 CpuId(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  AsmCpuid(Leaf, Eax, Ebx, Ecx, Edx);
  return Leaf;
}

VOID CpuPause() { AsmPause(); }
VOID MemoryFence() { AsmMemoryFence(); }
UINT64 ReadTimeStampCounter() { return AsmReadTsc(); }
VOID WriteBackInvalidateCaches() { AsmWbinvd(); }

VOID *FlushCacheLine(VOID *Address) {
  AsmFlushCacheLine(Address);
  return Address;
}
