#include <gtest/gtest.h>
#include <sim/uefi.h>

#include <numeric>
#include <optional>
#include <set>

#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>

using namespace sim;

namespace {

struct CfgPcdBufferTest : ::testing::Test {
  Uefi U;
  Pcd P;
  DebugPrintSink Print;
  void SetUp() override {
    Print.Install();
    StoreLibraryTables(&U.SystemTable);
  }
  void Construct(bool TokenList = true) {
    VexCfgPcdBufLibDxeConstructor(U.ImageHandle, &U.SystemTable);
    if (TokenList) BuildPcdTokenList(BootServicesTokenListPool);
  }
  bool BufferIsZero() {
    auto *B = reinterpret_cast<uint8_t *>(&CfgPcdBuffer);
    return std::all_of(B, B + sizeof(CfgPcdBuffer), [](uint8_t X) { return X == 0; });
  }
};

TEST_F(CfgPcdBufferTest, FieldsFromConstantsAndPcdsInOrder) {
  P.Install(true, true);
  P.Values = {{1055, 1}, {1435, 0}, {1352, 0xAB}, {1438, 0x12345678}, {1436, 7}, {1363, 0xCAFEF00D}, {1362, 1},
              {1437, 0x5C}};
  MemFill(&CfgPcdBuffer, sizeof(CfgPcdBuffer), 0xEE);
  Construct(false);
  EXPECT_EQ(+CfgPcdBuffer.Field1, 257);
  EXPECT_EQ(+CfgPcdBuffer.Field2, 3);
  EXPECT_EQ(+CfgPcdBuffer.Field3, 128);
  EXPECT_EQ(+CfgPcdBuffer.Field4, 1);
  EXPECT_EQ(+CfgPcdBuffer.Field5, 1);
  EXPECT_EQ(+CfgPcdBuffer.Field6, 0);
  EXPECT_EQ(+CfgPcdBuffer.Field7, 0xAB);
  EXPECT_EQ(+CfgPcdBuffer.Field8, 514);
  EXPECT_EQ(+CfgPcdBuffer.Field9, 2);
  EXPECT_EQ(+CfgPcdBuffer.Field10, 0x12345678u);
  EXPECT_EQ(+CfgPcdBuffer.Field11, 1);  // a TRUE is stored as 1
  EXPECT_EQ(+CfgPcdBuffer.Field12, 0xCAFEF00Du);
  EXPECT_EQ(+CfgPcdBuffer.Field13, 1u);
  EXPECT_EQ(+CfgPcdBuffer.Field14, 0x5C);
  EXPECT_EQ(+CfgPcdBuffer.Field15, 2);
  const std::vector<std::pair<std::string, UINTN>> Reads = {
      {"GetBool", 1055}, {"GetBool", 1435}, {"Get8", 1352}, {"Get32", 1438},
      {"GetBool", 1436}, {"Get32", 1363},   {"Get32", 1362}, {"Get8", 1437}};
  EXPECT_EQ(P.Calls, Reads);
  EXPECT_TRUE(Print.Lines.empty());
}

TEST_F(CfgPcdBufferTest, MissingProtocolsPrintTheirMessage) {
  MemFill(&CfgPcdBuffer, sizeof(CfgPcdBuffer), 0xEE);
  Construct(false);
  ASSERT_EQ(Print.Lines.size(), 1u);
  EXPECT_EQ(Print.Lines[0].Level, 0x80000000u);
  EXPECT_EQ(Print.Lines[0].Format, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n");
  EXPECT_EQ(Print.Lines[0].Text, "[VexCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\n");
  EXPECT_TRUE(BufferIsZero());

  Print.Lines.clear();
  P.Install(true, false);
  P.Values[1055] = 1;
  Construct(false);
  ASSERT_EQ(Print.Lines.size(), 1u);
  EXPECT_EQ(Print.Lines[0].Format, "[%a] LocateProtocol: gEfiPcdProtocolGuid, Status: %r\n");
  EXPECT_TRUE(BufferIsZero());
  EXPECT_TRUE(P.Calls.empty());
}

TEST_F(CfgPcdBufferTest, TokenListCopiedAndKept) {
  P.Install(true, false);  // the list needs only PCD_PROTOCOL
  P.Values[91] = 3;
  std::vector<uint8_t> Source(32);
  std::iota(Source.begin(), Source.end(), 1);
  P.Pointers[92] = Source;
  Construct();
  ASSERT_NE(PcdTokenList, nullptr);
  EXPECT_EQ(PcdTokenListCount, 3u);
  EXPECT_EQ(U.Live.at(PcdTokenList).Size, 24u);
  EXPECT_EQ(U.Live.at(PcdTokenList).Type, EfiBootServicesData);
  EXPECT_EQ(std::memcmp(PcdTokenList, Source.data(), 24), 0);
}

TEST_F(CfgPcdBufferTest, TokenListDroppedCases) {
  P.Install(true, true);
  struct Case {
    const char *Why;
    uint64_t Count;
    std::optional<std::vector<uint8_t>> Source;
    std::set<unsigned> Refuse;
    size_t Requests;
  };
  std::vector<uint8_t> ZeroFirst(16, 0);
  ZeroFirst[9] = 5;  // a later entry does not save it
  const Case Cases[] = {
      {"first entry zero", 2, ZeroFirst, {}, 1},
      {"no entries", 0, std::vector<uint8_t>(8, 1), {}, 1},
      {"no source buffer", 2, std::nullopt, {}, 1},
      {"pool refused", 2, std::vector<uint8_t>(16, 1), {1}, 1},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Why);
    U.PoolCalls = 0;
    U.PoolRequests.clear();
    U.RefusePoolCalls = C.Refuse;
    P.Values[91] = C.Count;
    P.Pointers.erase(92);
    if (C.Source) P.Pointers[92] = *C.Source;
    Construct();
    EXPECT_EQ(PcdTokenList, nullptr);
    EXPECT_EQ(U.PoolRequests.size(), C.Requests);
    EXPECT_TRUE(U.Leaks().empty());
  }
  EXPECT_TRUE(Print.Lines.empty());
}

TEST_F(CfgPcdBufferTest, TokenListSkippedWithoutPcdProtocol) {
  Construct();
  EXPECT_EQ(PcdTokenList, nullptr);
  EXPECT_TRUE(U.PoolRequests.empty());
}

}  // namespace
