// Non-local jump with the processor state the UEFI calling convention preserves. One assembly
// source serves both builds; the host build reaches it through the same EFIAPI declaration,
// which is what makes RDI, RSI and XMM6-XMM15 callee-saved there too.
#pragma once
#include <uefi/base.h>

struct JUMP_BUFFER {
  UINT64 Rbx, Rsp, Rbp, Rdi, Rsi, R12, R13, R14, R15;
  UINT64 Rip;
  UINT64 Mxcsr;  // 32 bits used
  UINT8 Xmm[10][16];  // XMM6 to XMM15
  UINT64 Ssp;  // shadow-stack pointer, 0 when not in use
};
static_assert(sizeof(JUMP_BUFFER) == 256 && OFFSET_OF(JUMP_BUFFER, Rip) == 72 &&
              OFFSET_OF(JUMP_BUFFER, Mxcsr) == 80 && OFFSET_OF(JUMP_BUFFER, Xmm) == 88 &&
              OFFSET_OF(JUMP_BUFFER, Ssp) == 248);

extern "C" {
extern const UINT32 ShadowStackSwitch;
UINTN EFIAPI SetJump(JUMP_BUFFER *JumpBuffer) __attribute__((returns_twice));
[[noreturn]] VOID EFIAPI LongJump(JUMP_BUFFER *JumpBuffer, UINTN Value);
}
