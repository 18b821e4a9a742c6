#include <board/sio_setup/sio_setup.h>
#include <sim/devices/super_io.h>
#include <startup/library.h>

#include "board_fixture.h"
#include <tests/common/known_guids.h>

namespace {

using namespace board_test;

constexpr uint16_t IDX = 0x2E, DAT = 0x2F, RT_IDX = 0x2B5, RT_DAT = 0x2B6;

struct SioSetupTest : BoardDriverTest {
  SuperIo Sio;
  std::vector<uint8_t> Setup = Pattern();

  void SetUp() override {
    BoardDriverTest::SetUp();
    Sio.Attach(TheBoard());
    Reset();
  }
  void Reset() {
    Sio.Global[0x27] = 0x09;
    Sio.Global[0x2C] = 0xFF;
    Sio.Global[0x2A] = 0x04;
    Sio.Global[0x07] = 0x02;
    Sio.DeviceReg(4, 0x30) = 0x00;
    Sio.DeviceReg(4, 0x60) = 0x12;
    Sio.DeviceReg(4, 0x61) = 0x34;
    Sio.Runtime[0x02] = 0xFF;
    Sio.Runtime[0x03] = 0x77;
  }
  EFI_STATUS Start(uint8_t Mode) {
    Setup[272] = Mode;
    StoreSetup(Setup);
    return SioSetupEntry(U.ImageHandle, &U.SystemTable);
  }
  std::vector<Access> SioLog() const {
    std::vector<Access> Out;
    for (const Access &A : TheBoard().Log)
      if (A.Address == IDX || A.Address == DAT || A.Address == RT_IDX || A.Address == RT_DAT) Out.push_back(A);
    return Out;
  }
};

std::vector<Access> Change(uint8_t Register, uint8_t Read, uint8_t Written) {
  return {IoWr(IDX, Register), IoRd(DAT, Read), IoWr(IDX, Register), IoWr(DAT, Written)};
}

// The configuration sequence of every run with a readable record, from the values set up above.
std::vector<Access> ConfigSequence() {
  std::vector<Access> Seq = {IoWr(IDX, 0x87), IoWr(IDX, 0x87)};
  for (auto Step :
       {Change(0x27, 0x09, 0x04), Change(0x2C, 0xFF, 0xDF), Change(0x27, 0x04, 0x0C), Change(0x2A, 0x04, 0x03),
        Change(0x07, 0x02, 0x04), Change(0x30, 0x00, 0x01), Change(0x60, 0x12, 0x02), Change(0x61, 0x34, 0xB0)})
    Seq.insert(Seq.end(), Step.begin(), Step.end());
  Seq.push_back(IoWr(IDX, 0xAA));
  return Seq;
}

std::vector<Access> Then(std::vector<Access> A, std::initializer_list<Access> B) {
  A.insert(A.end(), B);
  return A;
}

TEST_F(SioSetupTest, ModeZeroClearsBitSixAndSetsRegisterThree) {
  ASSERT_EQ(Start(0), EFI_SUCCESS);
  EXPECT_ACCESSES(SioLog(), Then(ConfigSequence(), {IoWr(RT_IDX, 0x02), IoRd(RT_DAT, 0xFF), IoWr(RT_DAT, 0xBF),
                                                    IoWr(RT_IDX, 0x03), IoRd(RT_DAT, 0x77), IoWr(RT_DAT, 0x01)}));
  EXPECT_EQ(Sio.Runtime[0x02], 0xBF);
  EXPECT_EQ(Sio.Runtime[0x03], 0x01);
  EXPECT_EQ(Sio.RuntimeBase(), 0x2B0);
  EXPECT_FALSE(Sio.InConfigMode());
  EXPECT_EQ(U.SetVariableCalls, 0u);
  // Both passes over 0x27: bits 2 and 3 set, bit 0 clear.
  EXPECT_EQ(Sio.Global[0x27] & 0x0D, 0x0C);
}

TEST_F(SioSetupTest, ModeOneSetsBitSixOnly) {
  Sio.Runtime[0x02] = 0x05;
  ASSERT_EQ(Start(1), EFI_SUCCESS);
  EXPECT_ACCESSES(SioLog(), Then(ConfigSequence(), {IoWr(RT_IDX, 0x02), IoRd(RT_DAT, 0x05), IoWr(RT_DAT, 0x45)}));
  EXPECT_EQ(Sio.Runtime[0x03], 0x77);
  EXPECT_EQ(U.SetVariableCalls, 0u);
}

TEST_F(SioSetupTest, ModeTwoActsOnceAndBecomesOne) {
  ASSERT_EQ(Start(2), EFI_SUCCESS);
  EXPECT_ACCESSES(SioLog(), Then(ConfigSequence(), {IoWr(RT_IDX, 0x03), IoRd(RT_DAT, 0x77), IoWr(RT_DAT, 0x01)}));
  EXPECT_EQ(Sio.Runtime[0x02], 0xFF);
  EXPECT_EQ(U.SetVariableCalls, 1u);
  ExpectSetup(Setup, {{272, 1}});
}

TEST_F(SioSetupTest, OtherModesLeaveTheRuntimeBlockAlone) {
  for (uint8_t Mode : {3, 0xFF}) {
    SCOPED_TRACE(int(Mode));
    TheBoard().Log.clear();
    Reset();
    ASSERT_EQ(Start(Mode), EFI_SUCCESS);
    EXPECT_ACCESSES(SioLog(), ConfigSequence());
    EXPECT_EQ(U.SetVariableCalls, 0u);
  }
}

TEST_F(SioSetupTest, ValuesReadFromWholeWriteRegistersDoNotMatter) {
  Sio.Global[0x07] = 0xFF;
  Sio.DeviceReg(4, 0x30) = 0xFE;
  Sio.DeviceReg(4, 0x60) = 0xFF;
  Sio.DeviceReg(4, 0x61) = 0xFF;
  ASSERT_EQ(Start(3), EFI_SUCCESS);
  std::vector<Access> Written;
  for (const Access &A : WritesOf(SioLog())) Written.push_back(A);
  EXPECT_ACCESSES(Written, WritesOf(ConfigSequence()));
  EXPECT_EQ(Sio.DeviceReg(4, 0x30), 0x01);
  EXPECT_EQ(Sio.RuntimeBase(), 0x2B0);
}

TEST_F(SioSetupTest, UnreadableSetupTouchesNoPort) {
  for (SetupFault Fault : AllSetupFaults) {
    SCOPED_TRACE(Name(Fault));
    NextRun();
    const auto Stored = InjectSetupFault(Fault, RuntimePool100 == nullptr ? 4 : 2, 2);
    ASSERT_EQ(SioSetupEntry(U.ImageHandle, &U.SystemTable), EFI_SUCCESS);
    EXPECT_TRUE(TheBoard().Log.empty());
    EXPECT_EQ(U.SetVariableCalls, 0u);
    EXPECT_EQ(StoredSetup(), Stored);
  }
}

// As on a machine without the chip: every port reads all ones.
TEST_F(SioSetupTest, AbsentChipOnlyChangesModeTwo) {
  TheBoard().UnmapDevice(&Sio);
  for (uint8_t Mode : {0, 1, 2, 3}) {
    SCOPED_TRACE(int(Mode));
    U.SetVariableCalls = 0;
    ASSERT_EQ(Start(Mode), EFI_SUCCESS);
    EXPECT_EQ(U.SetVariableCalls, Mode == 2 ? 1u : 0u);
    ExpectSetup(Setup, {{272, Mode == 2 ? 1 : Mode}});
  }
}

TEST_F(SioSetupTest, StartupLocatesS3SaveStateLast) {
  int SaveState = 0;
  U.Install(known::EfiS3SaveStateProtocolGuid, &SaveState);
  ASSERT_EQ(Start(3), EFI_SUCCESS);
  EXPECT_EQ(S3SaveState, &SaveState);
  ASSERT_GE(U.LocateCalls.size(), 2u);
  EXPECT_EQ(U.LocateCalls.back(), known::EfiS3SaveStateProtocolGuid);
  EXPECT_EQ(U.LocateCalls[U.LocateCalls.size() - 2], known::EfiSmmBase2ProtocolGuid);
  EXPECT_EQ(U.PoolRequests.front().first, 32u);  // runtime pools carried
}

TEST_F(SioSetupTest, StartupKeepsTheHobListAndFillsEachPcdField) {
  ExpectStartupKeepsHobListAndPcdFields([&] { return Start(3); });
}

TEST_F(SioSetupTest, StartupTellsAMissingPcdProtocolAndFindsTheSmmMarkerNowOrLater) {
  for (bool FirstPresent : {false, true}) startup_checks::ExpectMissingPcdProtocolTold(FirstPresent, [&] { return Start(3); });
  for (bool PresentAtStart : {true, false}) startup_checks::ExpectSmmMarkerFound(PresentAtStart, [&] { return Start(3); });
}

// Every allocation refused in turn, each in a fresh start.
TEST_F(SioSetupTest, EveryAllocationRefusedInTurn) {
  Setup[272] = 2;  // the mode that writes "Setup" back
  EXPECT_EQ(SweepAllocations("SioSetupDxe", Setup, {272}, [&] { return Start(2); }), 5u);  // runtime pools, token list, record
}

}  // namespace
