// What the support library's start-up steps leave, checked through a driver's own entry so
// that each image's copy of the library is the one tested.
#pragma once
#include <gtest/gtest.h>
#include <sim/uefi.h>

#include <cstring>
#include <functional>
#include <string>

#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>
#include <tests/common/known_guids.h>

namespace startup_checks {

using START = std::function<EFI_STATUS()>;

// The HOB list taken from the second of two configuration tables, and each PCD field of the
// platform buffer read with its own token and width (two booleans apart, the 8-bit fields with
// their high bit set).
inline void ExpectHobListAndPcdFields(sim::Uefi &U, const START &Start) {
  sim::Pcd P;
  P.Install(true, true);
  P.Values[1055] = 1, P.Values[1435] = 0, P.Values[1436] = 1;
  P.Values[1352] = 0x5A, P.Values[1437] = 0xA5;
  P.Values[1438] = 0x11223344, P.Values[1363] = 0x55667788, P.Values[1362] = 0x99AABBCC;
  static UINT64 OtherTable = 0;
  sim::HobBuilder Hobs;
  VOID *List = Hobs.Finish();
  U.AddConfigurationTable(known::PcdProtocolGuid, &OtherTable);
  U.AddConfigurationTable(known::EfiHobListGuid, List);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(HobList, List);
  const CFG_PCD_BUFFER Expected = {0x0101, 3, 0x0080, 1, 1, 0, 0x5A, 0x0202, 2, 0x11223344, 1, 0x55667788, 0x99AABBCC, 0xA5, 2};
  const auto *Filled = reinterpret_cast<const uint8_t *>(&CfgPcdBuffer), *Want = reinterpret_cast<const uint8_t *>(&Expected);
  EXPECT_EQ(std::vector<uint8_t>(Filled, Filled + sizeof Expected), std::vector<uint8_t>(Want, Want + sizeof Expected));
  PcdProtocol = nullptr;  // the PCD protocol ends here
}

// The runtime pools of a start, cleared to their last byte (a fresh pool holds another byte).
inline void ExpectRuntimePoolsCleared() {
  ASSERT_TRUE(RuntimePool100 != nullptr && RuntimePool8 != nullptr);
  const auto *Pool100 = static_cast<const uint8_t *>(RuntimePool100), *Pool8 = static_cast<const uint8_t *>(RuntimePool8);
  EXPECT_EQ(std::vector<uint8_t>(Pool100, Pool100 + 100), std::vector<uint8_t>(100, 0));
  EXPECT_EQ(std::vector<uint8_t>(Pool8, Pool8 + 8), std::vector<uint8_t>(8, 0));
}

// A missing PCD protocol leaves the platform buffer zero and is told once through the print
// protocol, naming the constructor and the protocol: the first when neither is there, the
// second when only the first is.
inline void ExpectMissingPcdProtocolTold(bool FirstPresent, const START &Start) {
  DebugPrintProtocol = nullptr;  // found again in this start
  PcdProtocol = nullptr;
  sim::DebugPrintSink Print;
  Print.Install();
  sim::Pcd P;
  if (FirstPresent) P.Install(true, false);
  std::memset(&CfgPcdBuffer, 0xEE, sizeof CfgPcdBuffer);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const std::string Missing = FirstPresent ? "gEfiPcdProtocolGuid" : "gPcdProtocolGuid";
  const std::string Told = "[VexCfgPcdBufLibDxeConstructor] LocateProtocol: " + Missing + ", Status: Not Found\n";
  unsigned Times = 0;
  for (const auto &Line : Print.Lines)
    if (Line.Text == Told) Times += Line.Level == 0x80000000u ? 1 : 100;
  EXPECT_EQ(Times, 1u) << Told;
  const auto *Buffer = reinterpret_cast<const uint8_t *>(&CfgPcdBuffer);
  EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + sizeof CfgPcdBuffer), std::vector<uint8_t>(sizeof CfgPcdBuffer, 0));
  DebugPrintProtocol = nullptr;  // the sink and the PCD protocol end here
  PcdProtocol = nullptr;
}

// The SMM marker: present at start-up it is found at once and nothing is registered; absent,
// a notification is registered for its protocol and the marker's later arrival sets the flag.
inline void ExpectSmmMarkerFound(bool PresentAtStart, const START &Start) {
  SmmMarkerFound = 0;  // detected again in this start
  SmmMarkerRegistration = nullptr;
  sim::SmmBase Smm;
  Smm.Install();
  static int Marker = 0;
  if (PresentAtStart) Smm.InstallSmmProtocol(known::SmmMarkerProtocolGuid, &Marker);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  if (PresentAtStart) {
    EXPECT_EQ(+SmmMarkerFound, 1);
    EXPECT_EQ(Smm.RegisterNotifyCalls, 0u);
    return;
  }
  EXPECT_EQ(+SmmMarkerFound, 0);
  ASSERT_EQ(Smm.Notifies.size(), 1u);
  EXPECT_EQ(Smm.Notifies[0].Guid, known::SmmMarkerProtocolGuid);
  EXPECT_NE(SmmMarkerRegistration, nullptr);
  Smm.InstallSmmProtocol(known::SmmMarkerProtocolGuid, &Marker);
  EXPECT_EQ(+SmmMarkerFound, 1);
}

}  // namespace startup_checks
