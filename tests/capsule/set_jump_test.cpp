#include <gtest/gtest.h>

#include <cstring>

#include <capsule/set_jump.h>

extern "C" {
struct PROBE_REGISTERS {
  UINT64 Rax, Rbx, Rbp, Rdi, Rsi, R12, R13, R14, R15, Rsp, Mxcsr;
  UINT8 Xmm[10][16];
};
VOID EFIAPI JumpProbe(JUMP_BUFFER *JumpBuffer, PROBE_REGISTERS *Out);
extern const UINT8 ProbeXmm[10][16];
extern const UINT32 ProbeMxcsr;
}

namespace {

TEST(SetJumpTest, SavesAndRestoresEveryPreservedRegister) {
  JUMP_BUFFER Jb;
  std::memset(&Jb, 0xCC, sizeof Jb);
  PROBE_REGISTERS Out{};
  JumpProbe(&Jb, &Out);

  // What SetJump stored, slot by slot.
  const UINT64 Gpr[] = {0x1111111111111111, 0x2222222222222222, 0x3333333333333333, 0x4444444444444444,
                        0x5555555555555555, 0x6666666666666666, 0x7777777777777777, 0x8888888888888888};
  EXPECT_EQ(Jb.Rbx, Gpr[0]);
  EXPECT_EQ(Jb.Rbp, Gpr[1]);
  EXPECT_EQ(Jb.Rdi, Gpr[2]);
  EXPECT_EQ(Jb.Rsi, Gpr[3]);
  EXPECT_EQ(Jb.R12, Gpr[4]);
  EXPECT_EQ(Jb.R13, Gpr[5]);
  EXPECT_EQ(Jb.R14, Gpr[6]);
  EXPECT_EQ(Jb.R15, Gpr[7]);
  EXPECT_EQ(static_cast<UINT32>(Jb.Mxcsr), ProbeMxcsr);
  EXPECT_EQ(std::memcmp(Jb.Xmm, ProbeXmm, sizeof Jb.Xmm), 0);
  EXPECT_EQ(Jb.Ssp, 0u);  // shadow stacks are switched off in this build
  EXPECT_EQ(ShadowStackSwitch, 0u);
  EXPECT_NE(Jb.Rip, 0xCCCCCCCCCCCCCCCCull);

  // What the registers held after the jump back from the nested frame.
  EXPECT_EQ(Out.Rax, ~0ull);
  const UINT64 Restored[] = {Out.Rbx, Out.Rbp, Out.Rdi, Out.Rsi, Out.R12, Out.R13, Out.R14, Out.R15};
  for (int I = 0; I < 8; ++I) EXPECT_EQ(Restored[I], Gpr[I]) << "register " << I;
  EXPECT_EQ(Out.Rsp, Jb.Rsp);  // the stack pointer of SetJump's caller after the call
  EXPECT_EQ(static_cast<UINT32>(Out.Mxcsr), ProbeMxcsr);
  EXPECT_EQ(std::memcmp(Out.Xmm, ProbeXmm, sizeof Out.Xmm), 0);
}

// A C++ caller through the EFIAPI declaration: locals changed before the jump survive in
// memory, and the value arrives as SetJump's result.
int Depth = 0;
[[noreturn]] void JumpFrom(JUMP_BUFFER *Jb, int Levels, UINTN Value) {
  volatile char Frame[64];
  Frame[0] = static_cast<char>(Levels);
  ++Depth;
  if (Levels == 0) LongJump(Jb, Value);
  JumpFrom(Jb, Levels - 1, Value + Frame[0] * 0);
}

void JumpOutOfNestedFrames(UINTN Value) {
  static JUMP_BUFFER Jb;
  volatile int Returns = 0;
  Depth = 0;
  const UINTN Result = SetJump(&Jb);
  Returns = Returns + 1;
  if (Result == 0) JumpFrom(&Jb, 5, Value);
  EXPECT_EQ(Result, Value);
  EXPECT_EQ(Returns, 2);
  EXPECT_EQ(Depth, 6);
}

TEST(SetJumpTest, JumpsOutOfNestedCppFrames) {
  for (UINTN Value : {UINTN{1}, UINTN{0x8000000000000000ull}, ~UINTN{0}}) JumpOutOfNestedFrames(Value);
}

}  // namespace
