// SetJump / LongJump for both builds (COFF for the image, ELF for the host), always with the
// UEFI calling convention: the jump buffer in RCX, the value in RDX.
//
// JUMP_BUFFER: RBX 0, RSP 8, RBP 16, RDI 24, RSI 32, R12-R15 40-64, resume address 72,
// MXCSR 80, XMM6-XMM15 88-247, shadow-stack pointer 248.

#if defined(__ELF__)
#define FUNCTION(Name) .globl Name; .type Name, @function; Name:
#define READONLY .section .rodata
#else
#define FUNCTION(Name) .globl Name; .def Name; .scl 2; .type 32; .endef; Name:
#define READONLY .section .rdata, "dr"
#endif

#define CR4_CET (1 << 23)

  READONLY
  .p2align 2
  .globl ShadowStackSwitch
// Shadow-stack handling is built in but switched off in this build.
ShadowStackSwitch:
  .long 0

  .text
  .p2align 4
FUNCTION(SetJump)
  xorl %eax, %eax
  movq %rax, 248(%rcx)
  cmpl $0, ShadowStackSwitch(%rip)
  je 1f
  movq %cr4, %rax
  testl $CR4_CET, %eax
  jz 1f
  // The pointer one entry on: the caller's, once this call has returned.
  movl $1, %eax
  incsspq %rax
  rdsspq %rax
  movq %rax, 248(%rcx)
1:
  movq %rbx, 0(%rcx)
  leaq 8(%rsp), %rax
  movq %rax, 8(%rcx)
  movq %rbp, 16(%rcx)
  movq %rdi, 24(%rcx)
  movq %rsi, 32(%rcx)
  movq %r12, 40(%rcx)
  movq %r13, 48(%rcx)
  movq %r14, 56(%rcx)
  movq %r15, 64(%rcx)
  movq (%rsp), %rax
  movq %rax, 72(%rcx)
  stmxcsr 80(%rcx)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu %xmm\N, (88 + 16 * (\N - 6))(%rcx)
  .endr
  xorl %eax, %eax
  ret

  .p2align 4
FUNCTION(LongJump)
#if defined(__ELF__)
  // The sanitizer must forget the frames being abandoned; the hook is absent without it.
  .weak __asan_handle_no_return
  movq __asan_handle_no_return@GOTPCREL(%rip), %rax
  testq %rax, %rax
  jz 2f
  pushq %rcx
  pushq %rdx
  subq $8, %rsp
  call *%rax
  addq $8, %rsp
  popq %rdx
  popq %rcx
2:
#endif
  cmpl $0, ShadowStackSwitch(%rip)
  je 1f
  movq %cr4, %rax
  testl $CR4_CET, %eax
  jz 1f
  // Unwind the shadow stack to the saved pointer, at most 255 entries per INCSSP.
  xorl %eax, %eax
  rdsspq %rax
  movq 248(%rcx), %r8
  subq %rax, %r8
  shrq $3, %r8
3:
  testq %r8, %r8
  jz 1f
  movq $255, %rax
  cmpq %rax, %r8
  cmovbq %r8, %rax
  incsspq %rax
  subq %rax, %r8
  jmp 3b
1:
  movq 0(%rcx), %rbx
  movq 16(%rcx), %rbp
  movq 24(%rcx), %rdi
  movq 32(%rcx), %rsi
  movq 40(%rcx), %r12
  movq 48(%rcx), %r13
  movq 56(%rcx), %r14
  movq 64(%rcx), %r15
  ldmxcsr 80(%rcx)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu (88 + 16 * (\N - 6))(%rcx), %xmm\N
  .endr
  movq %rdx, %rax
  movq 8(%rcx), %rsp
  jmpq *72(%rcx)

#if defined(__ELF__)
  .section .note.GNU-stack, "", @progbits
#endif
