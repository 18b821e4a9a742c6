#include "capsule_fixture.h"

#include <sys/mman.h>
#include <tests/common/known_guids.h>

// Found by argument lookup, so it lives beside the type.
inline bool operator==(const EFI_CAPSULE_BLOCK_DESCRIPTOR &A, const EFI_CAPSULE_BLOCK_DESCRIPTOR &B) {
  return A.Length == B.Length && A.Union.DataBlock == B.Union.DataBlock;
}

namespace capsule_test {
namespace {

std::u16string Name(const char *S) { return std::u16string(S, S + std::strlen(S)); }

struct VariablesTest : CapsuleTest {
  std::vector<uint8_t> Image = std::vector<uint8_t>(0x1000, 0x42);
  void SetUp() override { ASSERT_EQ(Start(), EFI_SUCCESS); }

  void StageImage() {
    STAGE_BLOCK_REQUEST R{reinterpret_cast<uintptr_t>(Image.data()), 0, static_cast<UINT32>(Image.size())};
    ASSERT_EQ(StageBlock(&R), EFI_SUCCESS);
  }
  EFI_STATUS Run(UINT8 Code, UINT64 Address, UINT64 Size, UINT32 Value) {
    CAPSULE_COMMAND_REQUEST R{};
    R.Command = Code;
    std::memcpy(R.Data, &Address, 8);
    std::memcpy(R.Data + 8, &Size, 8);
    R.Value = Value;
    return Command(&R);
  }
  EFI_STATUS Schedule(UINT32 Value, UINT64 Address = 0, UINT64 Size = 0) { return Run(2, Address, Size, Value); }
  const Uefi::Variable *Capsule(const char *N = "CapsuleUpdateData") { return U.GetVar(Name(N), known::CapsuleVendorGuid); }
  UINT64 Held(const Uefi::Variable *V) {
    UINT64 A = 0;
    std::memcpy(&A, V->Data.data(), 8);
    return A;
  }
  uint8_t *Pool() { return static_cast<uint8_t *>(DescriptorPool); }
  std::vector<uint8_t> PoolBytes() { return {Pool(), Pool() + DESCRIPTOR_POOL_SIZE}; }
  std::vector<EFI_CAPSULE_BLOCK_DESCRIPTOR> Descriptors(UINT64 At) {
    std::vector<EFI_CAPSULE_BLOCK_DESCRIPTOR> Out;
    auto *D = reinterpret_cast<EFI_CAPSULE_BLOCK_DESCRIPTOR *>(At);
    do Out.push_back(*D); while ((D++)->Length != 0);
    return Out;
  }
};

using Blocks = std::vector<EFI_CAPSULE_BLOCK_DESCRIPTOR>;

TEST_F(VariablesTest, StagedBareImageGetsAHeaderAndThreeDescriptors) {
  StageImage();
  const auto Before = PoolBytes();
  EXPECT_EQ(Schedule(0x0FFF), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Capsule(), nullptr);
  EXPECT_EQ(PoolBytes(), Before);
  EXPECT_EQ(CapsulePending, 0);

  ASSERT_EQ(Schedule(0x1000), EFI_SUCCESS);
  EFI_CAPSULE_HEADER H;
  std::memcpy(&H, Pool(), sizeof H);
  EXPECT_TRUE(H.CapsuleGuid == known::FirmwareCapsuleGuid);
  EXPECT_EQ(H.HeaderSize, 28u);
  EXPECT_EQ(H.Flags, 0x00010000u);
  EXPECT_EQ(H.CapsuleImageSize, 0x101Cu);
  const UINT64 First = reinterpret_cast<UINT64>(Pool()) + 32;
  EXPECT_EQ(Descriptors(First), (Blocks{{28, {reinterpret_cast<UINT64>(Pool())}}, {0x1000, {StagingBuffer}}, {0, {0}}}));
  ASSERT_NE(Capsule(), nullptr);
  EXPECT_EQ(Capsule()->Attributes, 7u);
  ASSERT_EQ(Capsule()->Data.size(), 8u);
  EXPECT_EQ(Held(Capsule()), First);
  EXPECT_EQ(CapsulePending, 1);
}

TEST_F(VariablesTest, ImagesWithTheirOwnHeaderGetOneDescriptor) {
  std::memcpy(Image.data(), &known::FirmwareCapsuleGuid, 16);
  StageImage();
  ASSERT_EQ(Schedule(0x12345), EFI_SUCCESS);  // the value plays no part
  EXPECT_EQ(Descriptors(Held(Capsule())), (Blocks{{0x1000, {StagingBuffer}}, {0, {0}}}));
  EXPECT_EQ(Held(Capsule()), reinterpret_cast<UINT64>(Pool()));

  // A caller's image beginning with the all-zero GUID, described with its own size.
  std::vector<uint8_t> Caller(64, 0);
  ASSERT_EQ(Schedule(7, reinterpret_cast<uintptr_t>(Caller.data()), 0x777), EFI_SUCCESS);
  EXPECT_EQ(Descriptors(Held(Capsule("CapsuleUpdateData1"))),
            (Blocks{{0x777, {reinterpret_cast<uintptr_t>(Caller.data())}}, {0, {0}}}));
  ASSERT_EQ(S.ValidateCalls.size(), 2u);  // the staged block, then the 16 bytes of the caller's image
  EXPECT_EQ(S.ValidateCalls[1], (std::pair<const VOID *, UINTN>{Caller.data(), 16}));
}

TEST_F(VariablesTest, CallersBareImageIsMeasuredByTheStagedSize) {
  Image.resize(0x20);
  StageImage();
  std::vector<uint8_t> Caller(64, 0x33);
  const auto At = reinterpret_cast<uintptr_t>(Caller.data());
  EXPECT_EQ(Schedule(0x999, At, 0x999), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Schedule(0x20, At, 0x999), EFI_SUCCESS);
  EXPECT_EQ(Descriptors(Held(Capsule()))[1], (EFI_CAPSULE_BLOCK_DESCRIPTOR{0x20, {At}}));
}

TEST_F(VariablesTest, NumberedNamesAndTheMissingProtocol) {
  U.SetVar(u"CapsuleUpdateData", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  U.SetVar(u"CapsuleUpdateData1", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  StageImage();
  ASSERT_EQ(Schedule(0x1000), EFI_SUCCESS);
  EXPECT_NE(Capsule("CapsuleUpdateData2"), nullptr);
  EXPECT_EQ(U.Variables.size(), 3u);

  // A refused write leaves the capsule as pending as it was.
  CapsulePending = 0;
  U.SetVariableStatus = EFI_WRITE_PROTECTED;
  EXPECT_EQ(Schedule(0x1000), EFI_WRITE_PROTECTED);
  EXPECT_EQ(CapsulePending, 0);
}

// The variables already written point into the one pool: a schedule refused at its variable
// write must leave the pool describing the capsule they scheduled, not the refused one.
TEST_F(VariablesTest, RefusedScheduleKeepsTheScheduledCapsule) {
  StageImage();
  ASSERT_EQ(Schedule(0x1000), EFI_SUCCESS);
  const UINT64 First = Held(Capsule());
  const auto Scheduled = PoolBytes();

  std::vector<uint8_t> Caller(0x800, 0x55);
  std::memcpy(Caller.data(), &known::FirmwareCapsuleGuid, 16);
  U.SetVariableStatus = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(Schedule(0, reinterpret_cast<uintptr_t>(Caller.data()), Caller.size()), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Schedule(0x1000), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(PoolBytes(), Scheduled);
  EXPECT_EQ(Descriptors(First), (Blocks{{28, {reinterpret_cast<UINT64>(Pool())}}, {0x1000, {StagingBuffer}}, {0, {0}}}));
  EXPECT_EQ(Capsule("CapsuleUpdateData1"), nullptr);
  EXPECT_EQ(CapsulePending, 1);

  // Once the store takes writes again, the next schedule describes its own image.
  U.SetVariableStatus = EFI_SUCCESS;
  ASSERT_EQ(Schedule(0, reinterpret_cast<uintptr_t>(Caller.data()), Caller.size()), EFI_SUCCESS);
  EXPECT_EQ(Descriptors(Held(Capsule("CapsuleUpdateData1"))),
            (Blocks{{0x800, {reinterpret_cast<uintptr_t>(Caller.data())}}, {0, {0}}}));
}

TEST_F(VariablesTest, MissingVariableProtocolWritesNothing) {
  S.Base.Protocols.erase(std::remove_if(S.Base.Protocols.begin(), S.Base.Protocols.end(),
                                        [](auto &P) { return P.Guid == known::EfiSmmVariableProtocolGuid; }),
                         S.Base.Protocols.end());
  StageImage();
  EXPECT_EQ(Schedule(0x1000), EFI_NOT_FOUND);
  EXPECT_EQ(Run(1, 0, 0, 0), EFI_NOT_FOUND);
  EXPECT_TRUE(U.Variables.empty());
  CHAR16 Buffer[30];
  EXPECT_EQ(FindFreeCapsuleVariableName(Buffer), EFI_INVALID_PARAMETER);
  // Nor can a scheduled capsule be seen without it.
  U.SetVar(u"CapsuleUpdateData", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  EXPECT_FALSE(CapsuleVariablePresent());
}

// A caller's name buffer below the image's constants (an SMM stack can lie there) serves as
// well as one above them.
TEST_F(VariablesTest, NameBufferBelowTheImageIsAccepted) {
  void *Low = mmap(reinterpret_cast<void *>(0x1000000), 4096, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_NE(Low, MAP_FAILED);
  ASSERT_LT(reinterpret_cast<uintptr_t>(Low), reinterpret_cast<uintptr_t>(&Command));
  StageImage();
  ASSERT_EQ(Schedule(0x1000), EFI_SUCCESS);
  auto *Name = static_cast<CHAR16 *>(Low);
  EXPECT_EQ(FindFreeCapsuleVariableName(Name), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Name), u"CapsuleUpdateData1");
  munmap(Low, 4096);
}

TEST_F(VariablesTest, MediaRecordLayout) {
  CAPSULE_COMMAND_REQUEST R{};
  R.Command = 1;
  for (int I = 0; I < 16; ++I) R.Data[I] = static_cast<UINT8>('A' + I);
  R.Data[3] = 0xE9;
  R.Data[4] = 0x00;  // converted like any other byte
  R.Value = 5;
  ASSERT_EQ(Command(&R), EFI_SUCCESS);
  auto *V = U.GetVar(u"OruMediaCapsuleVariableName", known::MediaCapsuleVariableGuid);
  ASSERT_NE(V, nullptr);
  EXPECT_EQ(V->Attributes, 7u);
  ASSERT_EQ(V->Data.size(), 560u);
  std::vector<uint8_t> Expected(560, 0);
  for (int I = 0; I < 16; ++I) {
    const uint16_t C = I == 3 ? 0xFFE9 : I == 4 ? 0 : 'A' + I;
    std::memcpy(&Expected[42 + 2 * I], &C, 2);
  }
  Expected[556] = 5;
  EXPECT_EQ(V->Data, Expected);
  EXPECT_EQ(CapsulePending, 0);
}

TEST_F(VariablesTest, DecimalSuffixFitsTwelveDigits) {
  CHAR16 Buffer[13];
  ASSERT_EQ(WriteDecimalSuffix(Buffer, 26, 999999999999ull), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Buffer), u"999999999999");
  EXPECT_EQ(WriteDecimalSuffix(Buffer, 26, 1000000000000ull), EFI_BUFFER_TOO_SMALL);
  ASSERT_EQ(WriteDecimalSuffix(Buffer, 26, 10), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Buffer), u"10");
}

TEST_F(VariablesTest, PresenceAsksOnlyTheUnnumberedNameThroughSmmServices) {
  // The boot-time runtime services must never be called from SMM.
  static bool BootTimeCalled = false;
  U.RuntimeServices.GetVariable = [](const CHAR16 *, const EFI_GUID *, UINT32 *, UINTN *, VOID *) EFIAPI {
    BootTimeCalled = true;
    return EFI_DEVICE_ERROR;
  };
  U.SetVar(u"CapsuleUpdateData1", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  EXPECT_FALSE(CapsuleVariablePresent());
  U.SetVar(u"CapsuleUpdateData", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  EXPECT_TRUE(CapsuleVariablePresent());
  EXPECT_FALSE(BootTimeCalled);
  EXPECT_EQ(std::count(U.Trace.begin(), U.Trace.end(), "SmmGetVariable(CapsuleUpdateData)"), 2);

  // With the SMM runtime-services table, that table answers.
  static unsigned TableCalls = 0;
  static EFI_RUNTIME_SERVICES Table{};
  Table.GetVariable = [](const CHAR16 *N, const EFI_GUID *G, UINT32 *A, UINTN *S, VOID *D) EFIAPI {
    ++TableCalls;
    return TheSmm().StoreGetVariable(N, G, A, S, D);
  };
  SmmRuntimeServices = &Table;
  SmmRuntimeServicesFound = TRUE;
  EXPECT_TRUE(CapsuleVariablePresent());
  EXPECT_EQ(TableCalls, 1u);
}

TEST_F(VariablesTest, CallersImageIsValidatedBeforeItIsRead) {
  const auto Before = PoolBytes();
  S.Validate = [](const VOID *, UINTN) { return EFI_SECURITY_VIOLATION; };
  EXPECT_EQ(Schedule(0x10, 0x10, 0x10), EFI_SECURITY_VIOLATION);  // 0x10 is never dereferenced
  BufferValidation = nullptr;
  EXPECT_EQ(Schedule(0x10, 0x10, 0x10), EFI_ACCESS_DENIED);
  EXPECT_EQ(PoolBytes(), Before);
  EXPECT_TRUE(U.Variables.empty());
}

TEST_F(VariablesTest, UnsoundDescriptionsAreRefusedBeforeThePoolIsWritten) {
  const auto Before = PoolBytes();
  std::vector<uint8_t> Bare(64, 0x33), Headed(64, 0);
  const auto BareAt = reinterpret_cast<uintptr_t>(Bare.data()), HeadedAt = reinterpret_cast<uintptr_t>(Headed.data());
  EXPECT_EQ(Schedule(0, 0, 0), EFI_INVALID_PARAMETER);                         // nothing staged
  EXPECT_EQ(Schedule(0xFFFFFFF0, BareAt, 0xFFFFFFF0), EFI_INVALID_PARAMETER);  // Value + 28 wraps
  EXPECT_EQ(Schedule(0, BareAt, 0), EFI_INVALID_PARAMETER);                    // a zero-length block
  EXPECT_EQ(Schedule(0, HeadedAt, 0), EFI_INVALID_PARAMETER);
  StagedSize = 0x2000000 + 1;  // a running sum beyond the 32 MiB buffer
  EXPECT_EQ(Schedule(0x2000000 + 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(PoolBytes(), Before);
  EXPECT_TRUE(U.Variables.empty());
  // The largest bare image whose header size still fits is accepted.
  StagedSize = 0;
  EXPECT_EQ(Schedule(0xFFFFFFFF - 28, BareAt, 0xFFFFFFFF - 28), EFI_SUCCESS);
}

}  // namespace
}  // namespace capsule_test
