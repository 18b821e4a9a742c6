#include "capsule_fixture.h"

namespace capsule_test {
namespace {

struct ProtocolTest : CapsuleTest {
  std::vector<uint8_t> Source = std::vector<uint8_t>(0x2000);
  void SetUp() override {
    ASSERT_EQ(Start(), EFI_SUCCESS);
    for (size_t I = 0; I < Source.size(); ++I) Source[I] = static_cast<uint8_t>(I * 7 + 1);
  }
  uint8_t *Staging() { return reinterpret_cast<uint8_t *>(StagingBuffer); }
  EFI_STATUS Stage(UINT64 From, UINT32 Offset, UINT32 Length) {
    STAGE_BLOCK_REQUEST R{From, Offset, Length};
    return Protocol()->StageBlock(&R);
  }
  UINT64 Src(size_t At = 0) { return reinterpret_cast<UINT64>(Source.data() + At); }
};

TEST_F(ProtocolTest, StageBlockBoundsAndRunningSize) {
  EXPECT_EQ(Stage(Src(), 0, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(Stage(Src(0x1000), 0x1000, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0x2000u);
  EXPECT_EQ(std::memcmp(Staging(), Source.data(), 0x2000), 0);
  EXPECT_EQ(Stage(Src(), 0, 0x10), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0x10u);
  EXPECT_EQ(Stage(Src(), 0, 0), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0u);

  // Ends exactly at 32 MiB; one byte more does not fit and changes nothing.
  EXPECT_EQ(Stage(Src(), 0x2000000 - 0x100, 0x100), EFI_SUCCESS);
  EXPECT_EQ(Staging()[0x2000000 - 1], Source[0xFF]);
  EXPECT_EQ(StagedSize, 0x100u);
  EXPECT_EQ(Stage(Src(), 0x2000000 - 0x100, 0x101), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Stage(Src(), 0, 0x2000001), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Stage(Src(), 0xFFFFFFFF, 2), EFI_BUFFER_TOO_SMALL);  // no 32-bit wrap-around
  EXPECT_EQ(StagedSize, 0x100u);
  // Offset 32 MiB with nothing to copy is accepted.
  EXPECT_EQ(Stage(Src(), 0x2000000, 0), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0x100u);
  EXPECT_EQ(Stage(Src(), 0x2000001, 0), EFI_BUFFER_TOO_SMALL);
}

TEST_F(ProtocolTest, StageBlockFromTheStagingBufferItselfIsCountedWithoutACopy) {
  Staging()[0x40] = 0x11;
  S.Validate = [&](const VOID *, UINTN) {
    Staging()[0x40] = 0x22;  // a copy would bring the source's bytes back over this
    return EFI_SUCCESS;
  };
  EXPECT_EQ(Stage(StagingBuffer + 0x40, 0x40, 0x80), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0x80u);
  EXPECT_EQ(Staging()[0x40], 0x22);
  // The running sum stops at its largest value instead of wrapping back below the capacity.
  for (int I = 0; I < 130; ++I) ASSERT_EQ(Stage(StagingBuffer + 1, 1, 0x1FFFFFF), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0xFFFFFFFFu);
  // The member a caller can overwrite is not where the driver copies to.
  MediaCapsuleProtocol.StagingBuffer = 0;
  S.Validate = nullptr;
  EXPECT_EQ(Stage(Src(), 0, 0x10), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(Staging(), Source.data(), 0x10), 0);
}

TEST_F(ProtocolTest, StageBlockValidatesTheSourceFirst) {
  S.Validate = [](const VOID *, UINTN) { return EFI_SECURITY_VIOLATION; };
  const uint8_t Before = Staging()[0];
  EXPECT_EQ(Stage(Src(), 0, 0x10), EFI_SECURITY_VIOLATION);
  // Checked before the bounds, so even a block that does not fit gets the validator's answer.
  EXPECT_EQ(Stage(Src(), 0x2000000, 1), EFI_SECURITY_VIOLATION);
  ASSERT_EQ(S.ValidateCalls.size(), 2u);
  EXPECT_EQ(S.ValidateCalls[0], (std::pair<const VOID *, UINTN>{Source.data(), 0x10}));
  EXPECT_EQ(Staging()[0], Before);
  EXPECT_EQ(StagedSize, 0u);

  // Without the validation protocol every block is refused, a null one included.
  BufferValidation = nullptr;
  EXPECT_EQ(Stage(Src(), 0, 0x10), EFI_ACCESS_DENIED);
  EXPECT_EQ(Protocol()->StageBlock(nullptr), EFI_ACCESS_DENIED);
}

TEST_F(ProtocolTest, NullRequestsAreRefused) {
  EXPECT_EQ(Protocol()->StageBlock(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Protocol()->GetInfo(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Protocol()->Command(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(S.ValidateCalls.empty());
}

TEST_F(ProtocolTest, StageBlockReadsTheRequestOnce) {
  // The caller's record grows while the driver validates the 0x10 bytes it asked for.
  STAGE_BLOCK_REQUEST R{Src(), 0, 0x10};
  S.Validate = [&](const VOID *, UINTN) {
    R.Length = 0x1000000;
    R.Offset = 0x1FFFFFF;
    return EFI_SUCCESS;
  };
  std::memset(Staging(), 0, 0x20);
  EXPECT_EQ(Protocol()->StageBlock(&R), EFI_SUCCESS);
  EXPECT_EQ(StagedSize, 0x10u);
  EXPECT_EQ(std::memcmp(Staging(), Source.data(), 0x10), 0);
  EXPECT_EQ(Staging()[0x10], 0);
}

TEST_F(ProtocolTest, GetInfoWritesOnlyItsTwoFields) {
  MEDIA_CAPSULE_INFO Info;
  std::memset(&Info, 0xEE, sizeof Info);
  EXPECT_EQ(Protocol()->GetInfo(&Info), EFI_SUCCESS);
  EXPECT_EQ(Info.InfoCode, 0x0707);
  EXPECT_EQ(Info.InfoFlag, 0);
  EXPECT_EQ(std::vector<uint8_t>(Info.CallerBytes, Info.CallerBytes + 256), std::vector<uint8_t>(256, 0xEE));
}

TEST_F(ProtocolTest, CommandDispatch) {
  CAPSULE_COMMAND_REQUEST R{};
  const size_t VariablesBefore = U.Variables.size();
  for (UINT8 Code : {0, 3, 5, 0xFF}) {
    R.Command = Code;
    EXPECT_EQ(Protocol()->Command(&R), EFI_INVALID_PARAMETER) << int(Code);
  }
  R.Command = 4;
  EXPECT_EQ(Protocol()->Command(&R), EFI_SUCCESS);
  EXPECT_EQ(U.Variables.size(), VariablesBefore);
  EXPECT_EQ(CapsulePending, 0);
  EXPECT_EQ(Protocol()->NoOperation(), EFI_SUCCESS);
}

}  // namespace
}  // namespace capsule_test
