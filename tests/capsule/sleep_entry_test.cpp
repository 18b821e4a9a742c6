#include <sim/devices/cmos_rtc.h>

#include "capsule_fixture.h"
#include <tests/common/known_guids.h>

namespace capsule_test {
namespace {

struct SleepEntryTest : CapsuleTest {
  CmosRtc Rtc;
  RegisterFile Pm;
  static inline JUMP_BUFFER Reset;
  void SetUp() override {
    ASSERT_EQ(Start(), EFI_SUCCESS);
    Rtc.Attach(TheBoard());
    TheBoard().MapIo(0x802, 8, &Pm);
    TheBoard().MapMmio(0xFED80000, 0x1000, &Pm);
    TheBoard().Log.clear();
  }
  void Pending(bool WithVariable = true) {
    CapsulePending = 1;
    if (WithVariable) U.SetVar(u"CapsuleUpdateData", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  }
  EFI_STATUS Handle() { return SleepEntryHandler(nullptr, nullptr, nullptr, nullptr); }
  // Hours, minutes, seconds of the alarm as the clock holds them (BCD).
  std::array<uint8_t, 3> Alarm() { return {Rtc.Registers[5], Rtc.Registers[3], Rtc.Registers[1]}; }
};

// The accesses of one RtcRead / RtcWrite, with the index port reading back Index.
std::vector<Access> Read(uint8_t Register, uint8_t Value, uint8_t Index) {
  return {IoRd(0x70, Index), IoWr(0x70, (Index & 0x80) | Register), IoRd(0x71, Value)};
}
std::vector<Access> Write(uint8_t Register, uint8_t Value, uint8_t Index) {
  return {IoRd(0x70, Index), IoWr(0x70, (Index & 0x80) | Register), IoWr(0x71, Value)};
}

TEST_F(SleepEntryTest, WithoutPendingCapsuleNothingIsTouched) {
  EXPECT_EQ(Handle(), EFI_WARN_INTERRUPT_SOURCE_QUIESCED);
  EXPECT_EQ(EFI_WARN_INTERRUPT_SOURCE_QUIESCED, 0x2000000000000001ull);
  EXPECT_TRUE(TheBoard().Log.empty());
  EXPECT_TRUE(S.PreSleepRequests.empty());
  EXPECT_EQ(TheBoard().Cpu.Wbinvds, 0u);
}

TEST_F(SleepEntryTest, ArmsTheAlarmAndRewritesTheSleepTypeInOrder) {
  Pending();
  Rtc.SetTime(0x10, 0x15, 0x30);
  Rtc.Index = 0x80;  // NMI masked: every selection keeps it
  Rtc.UpdateReads = 1;
  Rtc.Registers[0x0B] = 0x02;
  Rtc.Registers[0x0C] = 0x40;
  Rtc.Registers[0x0D] = 0xFF;
  Pm.Values = {{0x802, 0x0100}, {0x804, 0x00003C01}, {0xFED803BE, 0x01}, {0xFED8030B, 0xFE}, {0xFED802B0, 0xFF}};
  // Where in the access sequence the two platform services are called.
  static size_t LogAtRequest, LogAtNotify;
  S.PreSleepTable[18] = reinterpret_cast<VOID *>(+[](VOID *Block) EFIAPI -> EFI_STATUS {
    LogAtRequest = TheBoard().Log.size();
    TheSmm().PreSleepRequests.emplace_back(static_cast<uint8_t *>(Block), static_cast<uint8_t *>(Block) + 32);
    return EFI_SUCCESS;
  });
  S.PreSleepNotify.Notify = [](UINTN Phase) EFIAPI -> EFI_STATUS {
    LogAtNotify = TheBoard().Log.size();
    TheSmm().PreSleepNotifies.push_back(Phase);
    return EFI_SUCCESS;
  };
  EXPECT_EQ(Handle(), EFI_SUCCESS);
  EXPECT_EQ(LogAtRequest, 0u);
  EXPECT_EQ(S.PreSleepNotifies, std::vector<UINTN>{2});
  ASSERT_EQ(S.PreSleepRequests.size(), 1u);
  EXPECT_EQ(S.PreSleepRequests[0], std::vector<uint8_t>(32, 0));
  EXPECT_EQ(TheBoard().Cpu.Wbinvds, 1u);

  std::vector<Access> Expected;
  auto Add = [&](std::vector<Access> A) { Expected.insert(Expected.end(), A.begin(), A.end()); };
  Add(Read(0x0C, 0x40, 0x80));
  Add(Read(0x0A, 0x80, 0x8C));
  Add(Read(0x0A, 0x00, 0x8A));
  Add(Read(0x04, 0x10, 0x8A));
  Add(Read(0x02, 0x15, 0x84));
  Add(Read(0x00, 0x30, 0x82));
  Add(Write(0x05, 0x10, 0x80));
  Add(Write(0x03, 0x15, 0x85));
  Add(Write(0x01, 0x33, 0x83));
  Add(Read(0x0D, 0xFF, 0x81));
  Add(Write(0x0D, 0x80, 0x8D));
  Add(Read(0x0B, 0x02, 0x8D));
  Add(Write(0x0B, 0x22, 0x8B));
  Add({IoRd(0x802, 0x0100, 2), IoWr(0x802, 0x0500, 2), IoRd(0x804, 0x3C01, 4)});
  Add({MmioRd(0xFED803BE, 0x01, 1), MmioWr(0xFED803BE, 0x21, 1), MmioRd(0xFED8030B, 0xFE, 1),
       MmioWr(0xFED8030B, 0xFC, 1), MmioRd(0xFED8030B, 0xFC, 1), MmioWr(0xFED8030B, 0xFD, 1),
       MmioRd(0xFED802B0, 0xFF, 1), MmioWr(0xFED802B0, 0xF3, 1)});
  Add({IoWr(0x804, 0x2C01, 4), IoWr(0x80, 0x75)});
  EXPECT_ACCESSES(TheBoard().Log, Expected);
  EXPECT_EQ(LogAtNotify, Expected.size() - 1);  // after the sleep-type write, before the POST code
}

TEST_F(SleepEntryTest, AlarmIsThreeSecondsAhead) {
  struct Case {
    std::array<uint8_t, 3> Now;
    uint8_t StatusB;
    std::array<uint8_t, 3> Alarm;
  };
  const Case Cases[] = {
      {{0x10, 0x15, 0x30}, 0x02, {0x10, 0x15, 0x33}},
      {{0x10, 0x15, 0x57}, 0x02, {0x10, 0x16, 0x00}},
      {{0x22, 0x59, 0x58}, 0x02, {0x23, 0x00, 0x01}},  // 24-hour mode: 23 is still an hour
      {{0x23, 0x59, 0x58}, 0x02, {0x00, 0x00, 0x01}},
      {{0x10, 0x59, 0x58}, 0x00, {0x11, 0x00, 0x01}},  // 12-hour mode: 11 is still an hour
      {{0x10, 0x59, 0x30}, 0x00, {0x10, 0x59, 0x33}},  // the seconds do not wrap, so neither do minutes
      // 12-hour mode: 1 to 12 in BCD, bit 7 for PM; the hour after 11 is 12 of the other half.
      {{0x11, 0x59, 0x59}, 0x00, {0x92, 0x00, 0x02}},
      {{0x12, 0x59, 0x58}, 0x00, {0x01, 0x00, 0x01}},
      {{0x91, 0x59, 0x57}, 0x00, {0x12, 0x00, 0x00}},
      {{0x92, 0x59, 0x58}, 0x00, {0x81, 0x00, 0x01}},
      {{0x83, 0x59, 0x58}, 0x00, {0x84, 0x00, 0x01}},
      {{0x09, 0x59, 0x58}, 0x00, {0x10, 0x00, 0x01}},
      {{0x87, 0x15, 0x58}, 0x00, {0x87, 0x16, 0x01}},  // a PM hour that does not change keeps its byte
  };
  Pending();
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(C.Now[0]) << ":" << int(C.Now[1]) << ":" << int(C.Now[2]));
    Rtc.SetTime(C.Now[0], C.Now[1], C.Now[2]);
    Rtc.Registers[0x0B] = C.StatusB;
    EXPECT_EQ(Handle(), EFI_SUCCESS);
    EXPECT_EQ(Alarm(), C.Alarm);
    EXPECT_EQ(Rtc.Registers[0x0B] & 0x20, 0x20);
    EXPECT_EQ(Pm.Values[0x804] & 0x1C00, 0x0C00u);
  }
}

TEST_F(SleepEntryTest, BcdRegistersReadAsNumbers) {
  Rtc.Registers[0x00] = 0xA5;
  Rtc.Registers[0x02] = 0x59;
  Rtc.Registers[0x04] = 0x3A;
  Rtc.Registers[0x32] = 0x20;
  Rtc.Registers[0x0B] = 0x59;
  Rtc.Registers[0x40] = 0xA5;
  EXPECT_EQ(RtcRead(0x00), 0);
  EXPECT_EQ(RtcRead(0x02), 59);
  EXPECT_EQ(RtcRead(0x04), 0);  // a low digit above 9
  EXPECT_EQ(RtcRead(0x32), 20);
  EXPECT_EQ(RtcRead(0x0B), 0x59);  // not a BCD register
  EXPECT_EQ(RtcRead(0x40), 0xA5);
  RtcWrite(0x09, 99);
  EXPECT_EQ(Rtc.Registers[0x09], 0x99);
  RtcWrite(0x32, 20);  // only 0x00 to 0x09 are converted on the way in
  EXPECT_EQ(Rtc.Registers[0x32], 20);
}

TEST_F(SleepEntryTest, VanishedVariableResetsTheMachine) {
  Pending(false);
  U.SetVar(u"CapsuleUpdateData1", known::CapsuleVendorGuid, 7, std::vector<uint8_t>(8));
  TheBoard().OnAccess = [](const Access &A) {
    if (A.Write && A.Address == 0xCF9 && A.Value == 0x06) LongJump(&Reset, 1);
  };
  if (SetJump(&Reset) == 0) {
    Handle();
    ADD_FAILURE() << "the handler returned instead of resetting";
  }
  TheBoard().OnAccess = nullptr;
  EXPECT_ACCESSES(TheBoard().Log, {IoWr(0xCF9, 0x02), IoWr(0xCF9, 0x06)});
  EXPECT_TRUE(S.PreSleepRequests.empty());
}

TEST_F(SleepEntryTest, MissingPreSleepServicesAreSkipped) {
  Pending();
  S.PreSleepRequest.Table = nullptr;  // a service without its table
  EXPECT_EQ(Handle(), EFI_SUCCESS);
  S.PreSleepRequest.Table = S.PreSleepTable;
  S.PreSleepTable[18] = nullptr;  // and one with a null entry
  S.Base.Protocols.erase(std::remove_if(S.Base.Protocols.begin(), S.Base.Protocols.end(),
                                        [](auto &P) { return P.Guid == known::PreSleepNotifyServiceGuid; }),
                         S.Base.Protocols.end());
  TheBoard().Log.clear();
  EXPECT_EQ(Handle(), EFI_SUCCESS);
  EXPECT_TRUE(S.PreSleepRequests.empty());
  EXPECT_EQ(S.PreSleepNotifies, std::vector<UINTN>{2});  // only the first pass had the notify service
  EXPECT_EQ(TheBoard().Log.back(), IoWr(0x80, 0x75));
}

// The two waits of this handler without a bound: a clock that never ends its update, and a
// reset that does not take. On the simulated board each stops the run, naming the wait.
TEST_F(SleepEntryTest, EndlessWaitsStopTheRunWithTheirName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pending();
  TheBoard().Budget.Touches = 100000;
  Rtc.UpdateReads = ~0u;
  EXPECT_DEATH(Handle(),
               "run budget of hardware touches spent.*stuck in a wait; recent accesses:.*io read8 0x71"
               ".*last access io +write8 0x70 = 0xA");
  Pending(false);
  U.Variables.clear();
  EXPECT_DEATH(Handle(), "stuck in a wait on PAUSE; recent accesses: \\[io write8 0xCF9");
  // The fatal-code display, which waits on time for ever, runs into the simulated-time budget.
  TheBoard().Budget.Ticks = 1000000;
  TheBoard().Cpu.TscStep = 100000;
  CfgPcdBuffer.Field4 = 1;
  EXPECT_DEATH(ReportFatalCode(0x80225), "run budget of simulated time spent.*on the time-stamp counter");
}

}  // namespace
}  // namespace capsule_test
