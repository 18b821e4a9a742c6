#include <board/setup_variable.h>
#include <startup/library.h>

#include "board_fixture.h"
#include <tests/common/known_guids.h>

namespace {

using namespace board_test;

struct SetupVariableTest : BoardDriverTest {
  void SetUp() override {
    StoreLibraryTables(&U.SystemTable);
    StoreDriverServiceTables(&U.SystemTable, TRUE);
  }
};

TEST_F(SetupVariableTest, GetSetupVariableReplacesATooSmallBuffer) {
  StoreSetup(Pattern());
  VOID *Buffer = nullptr;
  LibBootServices->AllocatePool(EfiBootServicesData, 16, &Buffer);
  VOID *Old = Buffer;
  UINTN Size = 16;
  UINT32 Attributes = 0;
  ASSERT_EQ(GetSetupVariable(&known::SetupVariableGuid, &Attributes, &Size, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(U.FreedPools, std::vector<VOID *>{Old});
  EXPECT_EQ(Size, 273u);
  EXPECT_EQ(Attributes, SETUP_ATTRIBUTES);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(Buffer), static_cast<uint8_t *>(Buffer) + Size), Pattern());

  // A refused pool leaves the caller without a buffer, not with the freed one.
  Size = 1;
  U.RefusePoolCalls = {U.PoolCalls + 1};
  EXPECT_EQ(GetSetupVariable(&known::SetupVariableGuid, nullptr, &Size, &Buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Buffer, nullptr);
}

// A caller's buffer that is already there and large enough is read in place.
TEST_F(SetupVariableTest, GetSetupVariableReadsIntoABufferThatFits) {
  StoreSetup(Pattern());
  std::vector<uint8_t> Mine(273, 0xEE);
  VOID *Buffer = Mine.data();
  UINTN Size = Mine.size();
  UINT32 Attributes = 0;
  const unsigned PoolCalls = U.PoolCalls;
  ASSERT_EQ(GetSetupVariable(&known::SetupVariableGuid, &Attributes, &Size, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(Buffer, Mine.data());
  EXPECT_EQ(Size, 273u);
  EXPECT_EQ(Attributes, SETUP_ATTRIBUTES);
  EXPECT_EQ(Mine, Pattern());
  EXPECT_TRUE(U.FreedPools.empty());
  EXPECT_EQ(U.PoolCalls, PoolCalls);
  EXPECT_EQ(U.GetVariableCalls, 1u);
}

TEST_F(SetupVariableTest, EveryReadRejectsARecordOfAnotherSize) {
  for (size_t Size : {200u, 272u, 274u, 300u}) {
    SCOPED_TRACE(Size);
    StoreSetup(Pattern(Size));
    UINT32 Attributes = 0;
    SETUP_DATA *Allocated = nullptr;
    EXPECT_FALSE(ReadSetupAllocating(&Attributes, &Allocated));
    EXPECT_EQ(Allocated, nullptr);
    VOID *Buffer = nullptr;
    UINTN DataSize = 0;
    EXPECT_TRUE(EFI_ERROR(GetSetupVariable(&known::SetupVariableGuid, nullptr, &DataSize, &Buffer)));
    SETUP_DATA Fixed;
    EXPECT_TRUE(EFI_ERROR(ReadSetupFixed(&Fixed)));
  }
}

// A variable service that answers a success or a warning without filling anything: no read
// may report a record, and the allocating reads must not hand out a null one.
TEST_F(SetupVariableTest, EveryReadRejectsAnAnswerThatFilledNothing) {
  StoreSetup(Pattern());
  for (EFI_STATUS Answer : {EFI_SUCCESS, WARN_BUFFER_TOO_SMALL}) {
    SCOPED_TRACE(Answer);
    U.FailGetVariableCalls = {{U.GetVariableCalls + 1, Answer}};
    UINT32 Attributes = 0;
    SETUP_DATA *Allocated = nullptr;
    EXPECT_FALSE(ReadSetupAllocating(&Attributes, &Allocated));
    EXPECT_EQ(Allocated, nullptr);

    U.FailGetVariableCalls = {{U.GetVariableCalls + 1, Answer}};
    VOID *Buffer = nullptr;
    UINTN DataSize = SETUP_DATA_SIZE;
    EXPECT_TRUE(EFI_ERROR(GetSetupVariable(&gSetupVariableGuid, nullptr, &DataSize, &Buffer)));

    // A success of a call that was handed a buffer is a read; a warning is not.
    if (Answer == EFI_SUCCESS) continue;
    U.FailGetVariableCalls = {{U.GetVariableCalls + 2, Answer}};
    Buffer = nullptr;
    EXPECT_TRUE(EFI_ERROR(GetSetupVariable(&gSetupVariableGuid, nullptr, &DataSize, &Buffer)));
    LibBootServices->FreePool(Buffer);

    U.FailGetVariableCalls = {{U.GetVariableCalls + 1, Answer}};
    SETUP_DATA Fixed;
    EXPECT_TRUE(EFI_ERROR(ReadSetupFixed(&Fixed)));
  }
}

}  // namespace
