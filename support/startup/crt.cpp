// The few C runtime symbols the compiler may call on its own for block copies and clears in
// freestanding firmware code. Written as string instructions so that they cannot be turned
// back into calls to themselves.
#include <uefi/base.h>

extern "C" {

VOID *memcpy(VOID *Destination, const VOID *Source, UINTN Length) {
  VOID *Result = Destination;
  __asm__ __volatile__("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Length) : : "memory");
  return Result;
}

VOID *memset(VOID *Buffer, int Value, UINTN Length) {
  VOID *Result = Buffer;
  __asm__ __volatile__("rep stosb" : "+D"(Buffer), "+c"(Length) : "a"(Value) : "memory");
  return Result;
}

VOID *memmove(VOID *Destination, const VOID *Source, UINTN Length) {
  auto *Dst = static_cast<UINT8 *>(Destination);
  const auto *Src = static_cast<const UINT8 *>(Source);
  if (Dst <= Src || Dst >= Src + Length) return memcpy(Destination, Source, Length);
  // Overlapping with the destination above: copy backwards.
  const UINT8 *SrcEnd = Src + Length - 1;
  UINT8 *DstEnd = Dst + Length - 1;
  __asm__ __volatile__("std; rep movsb; cld" : "+D"(DstEnd), "+S"(SrcEnd), "+c"(Length) : : "memory");
  return Destination;
}

int memcmp(const VOID *A, const VOID *B, UINTN Length) {
  const auto *X = static_cast<const volatile UINT8 *>(A);
  const auto *Y = static_cast<const volatile UINT8 *>(B);
  for (UINTN I = 0; I < Length; ++I)
    if (X[I] != Y[I]) return X[I] < Y[I] ? -1 : 1;
  return 0;
}
}
