#include <gtest/gtest.h>
#include <sim/uefi.h>

#include <startup/startup.h>
#include <tests/common/known_guids.h>

using namespace sim;

namespace {

EFI_STATUS EntryStatus = EFI_SUCCESS;
EFI_SYSTEM_TABLE *SeenDriverSystemTable = nullptr;

VOID Early(EFI_HANDLE, EFI_SYSTEM_TABLE *) { TheUefi().Trace.push_back("early"); }
VOID Late(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  TheUefi().Trace.push_back(HobList ? "late(hob)" : "late(no hob)");
}
VOID Lookup(EFI_HANDLE, EFI_SYSTEM_TABLE *) { TheUefi().Trace.push_back("lookup"); }
EFI_STATUS Work(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  TheUefi().Trace.push_back("entry");
  SeenDriverSystemTable = DriverSystemTable;
  return EntryStatus;
}

constexpr DRIVER_STARTUP Full = {.CfgPcdBuffer = true,
                                 .PcdTokenList = true,
                                 .RuntimePools = true,
                                 .EarlyWork = Early,
                                 .SmmMarker = true,
                                 .HobList = true,
                                 .LateWork = Late,
                                 .LookupWork = Lookup,
                                 .ServiceTables = SERVICE_TABLES::All,
                                 .CleanUp = true};
constexpr DRIVER_STARTUP HobFirst = {.SmmMarker = true, .HobList = true, .HobListFirst = true,
                                     .ServiceTables = SERVICE_TABLES::All};
constexpr DRIVER_STARTUP SystemAndRuntime = {.HobList = true, .ServiceTables = SERVICE_TABLES::SystemAndRuntime};
constexpr DRIVER_STARTUP PoolsOnly = {.RuntimePools = true, .CleanUp = true};
constexpr DRIVER_STARTUP NoCleanUp = {.RuntimePools = true};

struct StartupTest : ::testing::Test {
  Uefi U;
  HobBuilder Hobs;
  void AddHobList() { U.AddConfigurationTable(known::EfiHobListGuid, Hobs.Finish()); }
};

TEST_F(StartupTest, StepsRunInOrder) {
  AddHobList();
  ASSERT_EQ((RunDriverStartup<Full>(U.ImageHandle, &U.SystemTable, Work)), EFI_SUCCESS);
  const std::vector<std::string> Expected = {
      "LocateProtocol(PcdProtocol)",  // step 2: no PCD protocol, so a message is printed
      "LocateProtocol(DebugPrint)",   //         (no print protocol either)
      "LocateProtocol(PcdProtocol)",  //         and the token list finds no PCD protocol
      "AllocatePool(6,32)",           // step 3
      "AllocatePool(6,100)",
      "AllocatePool(6,8)",
      "early",                        // step 4
      "LocateProtocol(SmmBase2)",     // step 5
      "late(hob)",                    // step 6 ran before step 7
      "lookup",
      "entry",
  };
  EXPECT_EQ(U.Trace, Expected);
  EXPECT_EQ(SeenDriverSystemTable, &U.SystemTable);  // step 8 before the entry work
  EXPECT_EQ(DriverBootServices, &U.BootServices);
  EXPECT_EQ(DriverRuntimeServices, &U.RuntimeServices);
  EXPECT_EQ(LibSystemTable, &U.SystemTable);
  EXPECT_EQ(LibBootServices, &U.BootServices);
}

TEST_F(StartupTest, HobListCanComeBeforeSmmMarker) {
  AddHobList();
  bool HobKnownAtSmmStep = false;
  U.OnLocate = [&](const std::string &Name) {
    if (Name == "SmmBase2") HobKnownAtSmmStep = HobList != nullptr;
  };
  RunDriverStartup<HobFirst>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_TRUE(HobKnownAtSmmStep);

  // In the usual order the lookup comes after.
  HobList = nullptr;
  RunDriverStartup<Full>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_FALSE(HobKnownAtSmmStep);
}

TEST_F(StartupTest, PoolsAreClearedExceptTheFirst) {
  RunDriverStartup<PoolsOnly>(U.ImageHandle, &U.SystemTable, Work);
  ASSERT_TRUE(RuntimePool32 && RuntimePool100 && RuntimePool8);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(RuntimePool100), static_cast<uint8_t *>(RuntimePool100) + 100),
            std::vector<uint8_t>(100, 0));
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(RuntimePool8), static_cast<uint8_t *>(RuntimePool8) + 8),
            std::vector<uint8_t>(8, 0));
  EXPECT_EQ(static_cast<uint8_t *>(RuntimePool32)[0], U.FreshPoolByte);  // left as allocated
  for (auto &[Ptr, A] : U.Live) EXPECT_EQ(A.Type, EfiRuntimeServicesData);
  EXPECT_EQ(U.FreedPools.size(), 0u);  // success keeps them
}

TEST_F(StartupTest, RefusedPoolsAndCleanUp) {
  // The 100-byte pool refused: the 8-byte one is still requested; the null pointer is
  // neither cleared nor freed.
  U.RefusePoolCalls = {2};
  EntryStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ((RunDriverStartup<PoolsOnly>(U.ImageHandle, &U.SystemTable, Work)), EFI_DEVICE_ERROR);
  EXPECT_EQ(U.PoolCalls, 3u);
  EXPECT_EQ(RuntimePool100, nullptr);
  EXPECT_EQ(U.Trace.back(), "FreePool(8)");
  EXPECT_EQ(U.FreedPools.size(), 2u);
  EXPECT_TRUE(U.Leaks().empty());
}

TEST_F(StartupTest, RefusedFirstPoolSkipsTheOthers) {
  U.RefusePoolCalls = {1};
  RunDriverStartup<PoolsOnly>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_EQ(U.PoolCalls, 1u);
  EXPECT_EQ(RuntimePool32, nullptr);
  EXPECT_EQ(RuntimePool100, nullptr);
}

TEST_F(StartupTest, ErrorWithoutCleanUpStepKeepsPools) {
  EntryStatus = EFI_NOT_FOUND;
  EXPECT_EQ((RunDriverStartup<NoCleanUp>(U.ImageHandle, &U.SystemTable, Work)), EFI_NOT_FOUND);
  EXPECT_EQ(U.Live.size(), 3u);
}

TEST_F(StartupTest, CleanUpAlsoFreesTheTokenList) {
  Pcd P;
  P.Install(true, true);
  P.Values[91] = 1;
  P.Pointers[92] = {7, 0, 0, 0, 0, 0, 0, 0};
  EntryStatus = EFI_ABORTED;
  RunDriverStartup<Full>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_EQ(PcdTokenList, nullptr);
  EXPECT_TRUE(U.Leaks().empty());
  EXPECT_EQ(U.FreedPools.size(), 4u);
}

TEST_F(StartupTest, ServiceTablesFirstWriterWins) {
  EFI_SYSTEM_TABLE Other{};
  DriverSystemTable = &Other;
  RunDriverStartup<Full>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_EQ(DriverSystemTable, &Other);
  EXPECT_EQ(DriverBootServices, nullptr);
  EXPECT_EQ(DriverRuntimeServices, nullptr);
}

TEST_F(StartupTest, ServiceTablesWithoutBootServices) {
  RunDriverStartup<SystemAndRuntime>(U.ImageHandle, &U.SystemTable, Work);
  EXPECT_EQ(DriverSystemTable, &U.SystemTable);
  EXPECT_EQ(DriverBootServices, nullptr);
  EXPECT_EQ(DriverRuntimeServices, &U.RuntimeServices);
}

struct SmmMarkerTest : StartupTest {
  SmmBase Smm;
  int Marker = 0;
  void SetUp() override {
    Smm.Install();
    StoreLibraryTables(&U.SystemTable);
  }
};

TEST_F(SmmMarkerTest, FoundAtOnce) {
  Smm.InstallSmmProtocol(known::SmmMarkerProtocolGuid, &Marker);
  DetectSmmMarker();
  EXPECT_EQ(SmmMarkerFound, 1);
  EXPECT_EQ(Smm.RegisterNotifyCalls, 0u);
}

TEST_F(SmmMarkerTest, FoundLaterThroughTheNotification) {
  DetectSmmMarker();
  EXPECT_EQ(SmmMarkerFound, 0);
  ASSERT_EQ(Smm.Notifies.size(), 1u);
  EXPECT_NE(SmmMarkerRegistration, nullptr);
  DetectSmmMarker();  // already registered: not again
  EXPECT_EQ(Smm.RegisterNotifyCalls, 1u);
  Smm.InstallSmmProtocol(known::SmmMarkerProtocolGuid, &Marker);
  EXPECT_EQ(SmmMarkerFound, 1);
}

TEST_F(SmmMarkerTest, OutsideSmmTheStepEndsSilently) {
  Smm.GetSmstStatus = EFI_UNSUPPORTED;
  DetectSmmMarker();
  EXPECT_EQ(SmmMarkerFound, 0);
  EXPECT_EQ(Smm.RegisterNotifyCalls, 0u);
}

TEST_F(StartupTest, SmmMarkerStepSkippedOnceFound) {
  SmmMarkerFound = 1;
  RunDriverStartup<Full>(U.ImageHandle, &U.SystemTable, Work);
  for (auto &Call : U.Trace) EXPECT_NE(Call, "LocateProtocol(SmmBase2)");
}

TEST_F(StartupTest, GetHobList) {
  StoreLibraryTables(&U.SystemTable);
  HobList = &U;
  EXPECT_EQ(GetHobList(), EFI_NOT_FOUND);  // no entries at all
  EXPECT_EQ(HobList, nullptr);

  int Other = 0, First = 0, Second = 0;
  U.AddConfigurationTable(known::PcdProtocolGuid, &Other);
  EXPECT_EQ(GetHobList(), EFI_NOT_FOUND);
  EFI_GUID NearMiss = known::EfiHobListGuid;
  NearMiss.Data4[7] ^= 1;  // the second half of the GUID differs
  U.AddConfigurationTable(NearMiss, &Other);
  U.AddConfigurationTable(known::EfiHobListGuid, &First);
  U.AddConfigurationTable(known::EfiHobListGuid, &Second);
  EXPECT_EQ(GetHobList(), EFI_SUCCESS);
  EXPECT_EQ(HobList, &First);
}

TEST_F(StartupTest, DebugPrintWithoutProtocolRetriesLater) {
  StoreLibraryTables(&U.SystemTable);
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, "[%a] %r\n", "x", EFI_SUCCESS), EFI_NOT_FOUND);
  DebugPrintSink Sink;
  Sink.Install();
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, "[%a] %r\n", "x", EFI_NOT_FOUND), EFI_SUCCESS);
  ASSERT_EQ(Sink.Lines.size(), 1u);
  EXPECT_EQ(Sink.Lines[0].Level, DEBUG_ERROR);
  EXPECT_EQ(Sink.Lines[0].Text, "[x] Not Found\n");
}

}  // namespace
