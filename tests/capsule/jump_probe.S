// JumpProbe(JumpBuffer, Out), UEFI calling convention: loads a pattern into every register
// SetJump saves, calls SetJump, clobbers them all, and LongJumps from a nested frame with the
// value all-ones; after the second return it stores what the registers hold into Out:
// RAX, RBX, RBP, RDI, RSI, R12-R15, RSP, MXCSR (8-byte slot), XMM6-XMM15.
  .text
  .globl JumpProbe
  .type JumpProbe, @function
JumpProbe:
  pushq %rbx
  pushq %rbp
  pushq %rdi
  pushq %rsi
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $232, %rsp
  movq %rcx, 32(%rsp)
  movq %rdx, 40(%rsp)
  stmxcsr 48(%rsp)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu %xmm\N, (56 + 16 * (\N - 6))(%rsp)
  .endr

  movabsq $0x1111111111111111, %rbx
  movabsq $0x2222222222222222, %rbp
  movabsq $0x3333333333333333, %rdi
  movabsq $0x4444444444444444, %rsi
  movabsq $0x5555555555555555, %r12
  movabsq $0x6666666666666666, %r13
  movabsq $0x7777777777777777, %r14
  movabsq $0x8888888888888888, %r15
  ldmxcsr ProbeMxcsr(%rip)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu ProbeXmm + 16 * (\N - 6)(%rip), %xmm\N
  .endr
  movq 32(%rsp), %rcx
  call SetJump
  testq %rax, %rax
  jnz 2f

  xorl %ebx, %ebx
  xorl %ebp, %ebp
  xorl %edi, %edi
  xorl %esi, %esi
  xorl %r12d, %r12d
  xorl %r13d, %r13d
  xorl %r14d, %r14d
  xorl %r15d, %r15d
  ldmxcsr DefaultMxcsr(%rip)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  pxor %xmm\N, %xmm\N
  .endr
  movq 32(%rsp), %rcx
  movq $-1, %rdx
  call Nested
  ud2

2:
  movq 40(%rsp), %rcx
  movq %rax, 0(%rcx)
  movq %rbx, 8(%rcx)
  movq %rbp, 16(%rcx)
  movq %rdi, 24(%rcx)
  movq %rsi, 32(%rcx)
  movq %r12, 40(%rcx)
  movq %r13, 48(%rcx)
  movq %r14, 56(%rcx)
  movq %r15, 64(%rcx)
  movq %rsp, 72(%rcx)
  movq $0, 80(%rcx)
  stmxcsr 80(%rcx)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu %xmm\N, (88 + 16 * (\N - 6))(%rcx)
  .endr

  ldmxcsr 48(%rsp)
  .irp N, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
  movdqu (56 + 16 * (\N - 6))(%rsp), %xmm\N
  .endr
  addq $232, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rsi
  popq %rdi
  popq %rbp
  popq %rbx
  ret

// A frame of its own, with a different stack depth, from which the jump starts.
Nested:
  subq $88, %rsp
  movq $0xBADBADBAD, %rax
  movq %rax, 40(%rsp)
  call LongJump
  ud2

  .section .rodata
  .p2align 4
  .globl ProbeXmm
ProbeXmm:
  .quad 0x0606060606060606, 0x6060606060606060
  .quad 0x0707070707070707, 0x7070707070707070
  .quad 0x0808080808080808, 0x8080808080808080
  .quad 0x0909090909090909, 0x9090909090909090
  .quad 0x0A0A0A0A0A0A0A0A, 0xA0A0A0A0A0A0A0A0
  .quad 0x0B0B0B0B0B0B0B0B, 0xB0B0B0B0B0B0B0B0
  .quad 0x0C0C0C0C0C0C0C0C, 0xC0C0C0C0C0C0C0C0
  .quad 0x0D0D0D0D0D0D0D0D, 0xD0D0D0D0D0D0D0D0
  .quad 0x0E0E0E0E0E0E0E0E, 0xE0E0E0E0E0E0E0E0
  .quad 0x0F0F0F0F0F0F0F0F, 0xF0F0F0F0F0F0F0F0
  .globl ProbeMxcsr
ProbeMxcsr:
  .long 0x7FC0  // round toward zero, denormals are zero, all exceptions masked
DefaultMxcsr:
  .long 0x1F80

  .section .note.GNU-stack, "", @progbits
