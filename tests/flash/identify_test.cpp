#include <flash/address_mode.h>
#include <flash/identify.h>
#include <flash/translation.h>

#include <cstring>
#include <map>
#include <set>

#include "flash_board.h"

namespace flash_test {
namespace {

// The three parts tables as the parts are documented, kept apart from the driver's tables so
// that a changed byte in either shows: every memory type of every row is identified through
// the part model, and every capacity code of every rule.

struct TemplateSet {
  uint8_t Entries[9][2];  // opcode, kind: program, read, 4K erase, 64K erase, read status,
                          // read id, write status, write-status enable, write enable
  uint32_t PageSize, SectorSize;
};
const TemplateSet SstEsmtTemplate = {
    {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x9F, 2}, {0x01, 1}, {0x50, 0}, {0x06, 1}}, 1, 4096};
const TemplateSet JedecTemplate = {
    {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x9F, 0}, {0x01, 1}, {0x00, 0}, {0x06, 0}}, 256, 4096};
const TemplateSet SstLegacyTemplate = {
    {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x90, 2}, {0x01, 1}, {0x50, 1}, {0x06, 0}}, 1, 4096};

enum class Rule { Fixed, A, B, C, D, Sst25, Pmc, AmicBoot, Adesto42, Adesto43 };
const std::map<Rule, std::map<uint8_t, uint32_t>> RuleCodes = {
    {Rule::A,
     {{0x10, 0x10000},   {0x11, 0x20000},   {0x12, 0x40000},    {0x13, 0x80000},   {0x14, 0x100000},
      {0x15, 0x200000},  {0x16, 0x400000},  {0x36, 0x400000},   {0x17, 0x800000},  {0x37, 0x800000},
      {0x18, 0x1000000}, {0x38, 0x1000000}, {0x1A, 0x4000000},  {0x20, 0x4000000}, {0x3A, 0x4000000},
      {0x1B, 0x8000000}, {0x21, 0x8000000}, {0x3B, 0x8000000},  {0x22, 0x10000000},
      // real parts the table's codes left at 32 MiB: MX25U2033E to MX25U1635E, MX66L/U2G45G
      {0x32, 0x40000}, {0x33, 0x80000}, {0x34, 0x100000}, {0x35, 0x200000}, {0x1C, 0x10000000}, {0x3C, 0x10000000}}},
    {Rule::B,
     {{0x12, 0x80000}, {0x13, 0x100000}, {0x14, 0x200000}, {0x15, 0x400000}, {0x46, 0x400000}, {0x16, 0x800000},
      {0x17, 0x1000000}, {0x20, 0x4000000}}},
    {Rule::C,
     {{0x01, 0x200000}, {0x41, 0x200000}, {0x02, 0x400000}, {0x4A, 0x400000}, {0x43, 0x800000}, {0x4B, 0x800000},
      {0x8C, 0x40000}, {0x8D, 0x80000}, {0x8E, 0x100000}, {0x42, 0x400000}}},  // SST26VF032B
    // SST25WF512 to SST25WF080 where RuleC gives 2 MiB, 4 MiB and 32 MiB
    {Rule::Sst25,
     {{0x01, 0x10000}, {0x02, 0x20000}, {0x03, 0x40000}, {0x04, 0x80000}, {0x05, 0x100000}, {0x41, 0x200000},
      {0x4A, 0x400000}, {0x43, 0x800000}, {0x4B, 0x800000}, {0x8C, 0x40000}, {0x8D, 0x80000}, {0x8E, 0x100000}}},
    {Rule::Pmc,
     {{0x2F, 0x8000}, {0x20, 0x10000}, {0x21, 0x20000}, {0x7C, 0x20000}, {0x22, 0x40000}, {0x42, 0x40000},
      {0x7D, 0x40000}, {0x7E, 0x80000}, {0x43, 0x80000}, {0x13, 0x100000}, {0x44, 0x100000}, {0x14, 0x200000},
      {0x45, 0x200000}, {0x46, 0x400000}}},
    // The code is identifier byte 3, which the model that repeats three bytes gives as 0x7F:
    // unknown, the default. Byte 3 itself is proved in RealPartMends.
    {Rule::AmicBoot, {{0x20, 0x200000}}},
    {Rule::Adesto42, {{0x00, 0x20000}, {0x16, 0x400000}, {0x18, 0x1000000}}},
    {Rule::Adesto43, {{0x00, 0x40000}, {0x01, 0x40000}, {0x17, 0x800000}}},
    {Rule::D,
     {{0x11, 0x200000}, {0x15, 0x200000}, {0x12, 0x400000}, {0x16, 0x400000}, {0x13, 0x800000}, {0x17, 0x800000}}},
};
constexpr uint32_t DefaultCapacity = 0x2000000;
// Rules for parts known to be small keep unknown codes below 16 MiB or at the row's old size.
const std::map<Rule, uint32_t> RuleDefaults = {
    {Rule::Pmc, 0x400000}, {Rule::AmicBoot, 0x200000}, {Rule::Adesto42, 0x1000000}, {Rule::Adesto43, 0x800000}};

uint32_t CapacityOf(Rule R, uint8_t Code) {
  const auto &Codes = RuleCodes.at(R);
  auto It = Codes.find(Code);
  if (It != Codes.end()) return It->second;
  return RuleDefaults.count(R) ? RuleDefaults.at(R) : DefaultCapacity;
}

constexpr int Keep = -1;
struct Changes {
  int Erase4K = Keep, Erase64K = Keep, WriteStatusEnable = Keep;
  uint32_t PageSize = 0, SectorSize = 0;  // 0 keeps
};

struct Row {
  uint8_t Manufacturer;
  std::vector<uint8_t> MemoryTypes;
  const char *Name;
  Rule Capacity;
  uint32_t FixedCapacity;
  Changes Always;
  // Changes that hold only at some capacities, applied after Always, with the name they give.
  bool (*When)(uint32_t Capacity) = nullptr;
  Changes Then = {};
  const char *ThenName = nullptr;
};

const Changes None = {};
const Changes SixtyFourKSectors = {.Erase4K = 0xD8, .SectorSize = 0x10000};
const Changes AtmelEnable = {.WriteStatusEnable = 0x39};

const std::vector<Row> SstEsmtRows = {
    {0x8C, {0x20}, "ESMT 25L T Series", Rule::A, 0, None},
    {0x8C, {0x21}, "ESMT 25L B Series", Rule::A, 0, {.WriteStatusEnable = 0x00}},
    {0xBF, {0x25}, "SST 25VF Series", Rule::Sst25, 0, None, [](uint32_t C) { return C >= 0x800000; }, {.PageSize = 256}},
};

const std::vector<Row> JedecRows = {
    {0x01, {0x02}, "Spansion 25FL Series", Rule::B, 0, SixtyFourKSectors, [](uint32_t C) { return C == 0x4000000; },
     {.Erase4K = 0xD8, .Erase64K = 0xFF, .SectorSize = 0x40000}, "Cypress 25FS-S Series"},
    {0x01, {0x20}, "Spansion 25FL(P) Series", Rule::A, 0, SixtyFourKSectors},
    {0x01, {0x40}, "Spansion 25FL(K) Series", Rule::A, 0, None},
    {0x01, {0x60}, "Spansion 25FL(L) Series", Rule::A, 0, None},
    {0x0B, {0x40}, "XTX 25F Series", Rule::A, 0, None},
    {0x0B, {0x60}, "XTX 25Q Series", Rule::A, 0, None},
    {0x1C, {0x20}, "EON 25P Series", Rule::A, 0, SixtyFourKSectors},
    {0x1C, {0x30, 0x31, 0x38, 0x70, 0x78}, "EON 25F/Q/S/QH/SX Series", Rule::A, 0, None},
    {0x1F, {0x32}, "ADESTO AT25SF641", Rule::Fixed, 0x800000, None},
    {0x1F, {0x42}, "ADESTO AT25SL128A", Rule::Adesto42, 0, None},
    {0x1F, {0x43}, "ADESTO AT25SL641", Rule::Adesto43, 0, None},
    {0x1F, {0x44}, "ATMEL 26DF041/25DF041", Rule::Fixed, 0x80000, {.Erase64K = 0xFF, .WriteStatusEnable = 0x39}},
    {0x1F, {0x45}, "ATMEL 26DF081/25DF081", Rule::Fixed, 0x100000, AtmelEnable},
    {0x1F, {0x46, 0x86}, "ATMEL 26DF161/25DQ161", Rule::Fixed, 0x200000, AtmelEnable},
    {0x1F, {0x47}, "ATMEL 26DF321/25DF321", Rule::Fixed, 0x400000, AtmelEnable},
    {0x1F, {0x48}, "ATMEL 26DF641/25DF641", Rule::Fixed, 0x800000, AtmelEnable},
    {0x20, {0x20}, "STM/Micron/Numonyx 25P Series", Rule::A, 0, SixtyFourKSectors,
     [](uint32_t C) { return C == 0x1000000; }, {.SectorSize = 0x40000}},
    {0x20, {0x38, 0x41, 0x50}, "XMC 25QU Series", Rule::A, 0, None},
    {0x20, {0x40, 0x60}, "XMC 25QH Series", Rule::A, 0, None},
    {0x20, {0x43}, "XMC 25RH Series", Rule::A, 0, None},
    {0x20, {0x44}, "XMC 25RU Series", Rule::A, 0, None},
    {0x20, {0x70, 0x71}, "STM/Micron/Numonyx 25PF/PX Series", Rule::A, 0, None},
    {0x20, {0x80}, "STM/Numonyx 25PE Series", Rule::A, 0, {.Erase4K = 0xDB, .SectorSize = 0x100}},
    {0x20, {0xBA, 0xBB}, "Micron/Numonyx 25Q Series", Rule::A, 0, None},
    {0x37, {0x30, 0x40}, "AMIC 25L/LQ Series", Rule::A, 0, None},
    {0x68, {0x60}, "BoyaMicro 25FQ Series", Rule::A, 0, None},
    {0x7F, {0x37}, "AMIC 25L Series", Rule::AmicBoot, 0, None},
    {0x7F, {0x9D}, "PMC 25LV/LQ Series", Rule::Pmc, 0, {.Erase4K = 0xD7}},
    {0x85, {0x20, 0x23, 0x63, 0x65}, "PUYA 25Q/R/F Series", Rule::A, 0, None},
    {0x89, {0x89}, "Intel/Numonyx 25F160/320", Rule::D, 0, SixtyFourKSectors},
    {0x8C, {0x40, 0x41}, "ESMT 25L QA/PA Series", Rule::A, 0, None},
    {0x9D, {0x60}, "ISSI 25LP Series", Rule::A, 0, None},
    {0x9D, {0x70}, "ISSI 25WP Series", Rule::A, 0, None},
    {0xA1, {0x28}, "Fudan FM25W Series", Rule::A, 0, None},
    {0xA1, {0x40}, "Fudan FM25Q Series", Rule::A, 0, None},
    {0xBF, {0x26}, "SST 26VF Series", Rule::C, 0, None},
    {0xC2, {0x20}, "MXIC 25L/U Series", Rule::A, 0, None, [](uint32_t C) { return C >= 0x200000 && C <= 0x800000; },
     SixtyFourKSectors},  // MX25L1605, MX25L3205(A), MX25L6405 erase 64 KiB with 0x20
    {0xC2, {0x24, 0x25, 0x5E}, "MXIC 25L/U Series", Rule::A, 0, None},
    {0xC2, {0x28}, "MXIC 25R Series", Rule::A, 0, None},
    {0xC2, {0x75, 0x76}, "MXIC 77L/77U Series", Rule::A, 0, None},
    {0xC8, {0x40, 0x60}, "GigaDevice 25Q Series", Rule::A, 0, None},
    {0xC8, {0x47}, "GigaDevice 25B Series", Rule::A, 0, None},
    {0xC8, {0x65}, "GigaDevice 55WR Series", Rule::A, 0, None},
    {0xC8, {0x67}, "GigaDevice 25LB Series", Rule::A, 0, None},
    {0xEF, {0x30, 0x40, 0x50, 0x60, 0x70, 0x71, 0x80}, "Winbond 25X/Q Series", Rule::A, 0, None},
    {0xEF, {0x8A}, "Winbond 77Q Series", Rule::A, 0, None},
    {0xF8, {0x32}, "FIDELIX 25Q Series", Rule::A, 0, None},
    {0xF8, {0x43}, "FIDELIX 25M Series", Rule::A, 0, None},
};

const std::vector<Row> SstLegacyRows = {
    {0xBF, {0x44}, "SST 25LF040", Rule::Fixed, 0x80000, None},
    {0xBF, {0x80}, "SST 25LF080", Rule::Fixed, 0x100000, None},
};

struct PartsTable {
  const std::vector<Row> *Rows;
  const TemplateSet *Template;
  std::vector<uint8_t> ReadIdOpcodes;  // sent until this table recognises the part
};
const PartsTable Tables[] = {{&SstEsmtRows, &SstEsmtTemplate, {0x9F}},
                             {&JedecRows, &JedecTemplate, {0x9F, 0x9F}},
                             {&SstLegacyRows, &SstLegacyTemplate, {0x9F, 0x9F, 0x90}}};

struct PartCase {
  const PartsTable *Table;
  const Row *R;
  uint8_t MemoryType, Code;
};

void PrintTo(const PartCase &C, std::ostream *Os) {
  *Os << C.R->Name << std::hex << " " << int(C.R->Manufacturer) << " " << int(C.MemoryType) << " " << int(C.Code);
}

// Every memory type of every row, with capacity codes taken in turn from the row's rule; every
// code of a rule (and one it lacks) on the first row that uses it and on every row whose
// changes depend on the capacity.
std::vector<PartCase> AllPartCases() {
  std::vector<PartCase> Cases;
  std::map<Rule, size_t> Next;
  std::set<Rule> Swept;
  for (const PartsTable &T : Tables)
    for (const Row &R : *T.Rows) {
      for (uint8_t Type : R.MemoryTypes) {
        uint8_t Code = 0x5A;  // a code that no rule lists: fixed capacities ignore it
        if (R.Capacity != Rule::Fixed) {
          const auto &Codes = RuleCodes.at(R.Capacity);
          Code = std::next(Codes.begin(), static_cast<long>(Next[R.Capacity]++ % Codes.size()))->first;
        }
        Cases.push_back({&T, &R, Type, Code});
      }
      if (R.Capacity == Rule::Fixed || (Swept.count(R.Capacity) && !R.When)) continue;
      Swept.insert(R.Capacity);
      for (const auto &[Code, Capacity] : RuleCodes.at(R.Capacity)) Cases.push_back({&T, &R, R.MemoryTypes[0], Code});
      Cases.push_back({&T, &R, R.MemoryTypes[0], 0x19});
    }
  return Cases;
}

struct PartsTableTest : FlashBoard, ::testing::WithParamInterface<PartCase> {};

INSTANTIATE_TEST_SUITE_P(EveryRow, PartsTableTest, ::testing::ValuesIn(AllPartCases()));

TEST_P(PartsTableTest, RecognisesThePartAndFillsTheTable) {
  const PartCase &C = GetParam();
  const Row &R = *C.R;
  const bool Legacy = C.Table->Template == &SstLegacyTemplate;
  uint32_t Id = R.Manufacturer | C.MemoryType << 8 | C.Code << 16;
  if (Legacy) {
    Part.SetJedecId(0x12, 0x34, 0x19);  // no table knows it
    Part.IdBytes[0x90] = {R.Manufacturer, C.MemoryType};
    Id = R.Manufacturer | C.MemoryType << 8 | R.Manufacturer << 16;  // the part repeats its two bytes
  } else {
    Part.SetJedecId(R.Manufacturer, C.MemoryType, C.Code);
  }
  const uint32_t Capacity = R.Capacity == Rule::Fixed ? R.FixedCapacity : CapacityOf(R.Capacity, C.Code);

  // The expected command set: the template with the row's changes.
  TemplateSet Want = *C.Table->Template;
  const char *Name = R.Name;
  auto Apply = [&Want](const Changes &Ch) {
    if (Ch.Erase4K != Keep) Want.Entries[2][0] = static_cast<uint8_t>(Ch.Erase4K);
    if (Ch.Erase64K != Keep) Want.Entries[3][0] = static_cast<uint8_t>(Ch.Erase64K);
    if (Ch.WriteStatusEnable != Keep) Want.Entries[7][0] = static_cast<uint8_t>(Ch.WriteStatusEnable);
    if (Ch.PageSize) Want.PageSize = Ch.PageSize;
    if (Ch.SectorSize) Want.SectorSize = Ch.SectorSize;
  };
  Apply(R.Always);
  if (R.When && R.When(Capacity)) {
    Apply(R.Then);
    if (R.ThenName) Name = R.ThenName;
  }
  uint8_t WantBytes[26];
  std::memcpy(WantBytes, Want.Entries, 18);
  for (unsigned I = 0; I < 4; ++I) {
    WantBytes[18 + I] = static_cast<uint8_t>(Want.PageSize >> (8 * I));
    WantBytes[22 + I] = static_cast<uint8_t>(Want.SectorSize >> (8 * I));
  }

  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(DeviceName, Name);
  EXPECT_EQ(FlashDeviceOps->Name, DeviceName);
  EXPECT_EQ(FlashSize, Capacity);
  EXPECT_EQ(PartId, Id);
  EXPECT_EQ(PartIdLow, Id & 0xFFFF);
  EXPECT_EQ(FlashDeviceOps->PageSize, Want.PageSize);
  EXPECT_EQ(FlashDeviceOps->SectorSize, Want.SectorSize);
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&PartCommandSet),
                                 reinterpret_cast<uint8_t *>(&PartCommandSet) + sizeof PartCommandSet),
            std::vector<uint8_t>(WantBytes, WantBytes + sizeof WantBytes));
  std::vector<uint8_t> ReadIds;
  for (uint8_t Op : Part.Opcodes())
    if (Op == 0x9F || Op == 0x90) ReadIds.push_back(Op);
  std::vector<uint8_t> WantIds = C.Table->ReadIdOpcodes;
  // The rows whose parts are told apart by the extended identifier read it once more.
  const bool Extended = R.Capacity == Rule::AmicBoot || (R.Manufacturer == 0x01 && C.MemoryType == 0x02 && Capacity == 0x2000000) ||
                        (R.Manufacturer == 0x01 && C.MemoryType == 0x20 && Capacity == 0x1000000);
  if (Extended) WantIds.push_back(0x9F);
  EXPECT_EQ(ReadIds, WantIds);
}

using IdentifyChainTest = FlashBoard;

TEST_F(IdentifyChainTest, JedecPartGetsTheWholeJedecTemplate) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const uint8_t Expected[26] = {0x02, 3,    0x03, 2,    0x20, 3,    0xD8, 3, 0x05, 0,    0x9F, 0, 0x01,
                                1,    0x00, 0,    0x06, 0,    0x00, 0x01, 0, 0,    0x00, 0x10, 0, 0};
  EXPECT_EQ(std::memcmp(&PartCommandSet, Expected, sizeof Expected), 0);
  EXPECT_EQ(PartId, 0x1840EFu);
  EXPECT_EQ(PartIdLow, 0x40EF);
  // Each read-identifier command: no bytes sent, three received, no ready wait.
  ASSERT_EQ(Part.Commands.size(), 2u);
  EXPECT_TRUE(Part.Commands[0].Out.empty());
  EXPECT_EQ(Part.Commands[0].InCount, 3u);
}

TEST_F(IdentifyChainTest, LegacyIdentifierAfterTwoUnknownJedecAnswers) {
  Part.SetJedecId(0x12, 0x34, 0x19);
  Part.IdBytes[0x90] = {0xBF, 0x80};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  ASSERT_EQ(FlashDeviceOps, &FlashDeviceOpsTable);
  EXPECT_STREQ(DeviceName, "SST 25LF080");
  EXPECT_EQ(FlashSize, 0x100000u);
  EXPECT_EQ(FlashDeviceOps->PageSize, 1u);
  EXPECT_EQ(FlashDeviceOps->SectorSize, 4096u);
  EXPECT_EQ(PartCommandSet.ReadIdOp.Opcode, 0x90);
  EXPECT_EQ(PartCommandSet.WriteStatusEnableOp.Opcode, 0x50);
  EXPECT_EQ(PartId, 0x00BF80BFu);  // the part repeats its two bytes
  // The legacy table never touches the address mode.
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
}

TEST_F(IdentifyChainTest, UnknownPartOnAnsweringControllerLeavesNoTable) {
  Part.SetJedecId(0x12, 0x34, 0x56);
  Part.IdBytes[0x90] = {0x12, 0x34};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(Part.Opcodes(), (std::vector<uint8_t>{0x9F, 0x9F, 0x90}));
  EXPECT_EQ(FlashDeviceOps, nullptr);
  EXPECT_EQ(PartId, 0u);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(DeviceName[0], 0);
}

// A read identifier that the transport gives up on yields identifier 0, not stack contents.
TEST_F(IdentifyChainTest, GivenUpIdentifierReadsAsZero) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  Controller.ExecuteNeverClears = true;
  UINT32 Id = 0xDEADBEEF;
  EXPECT_TRUE(SpiReadId(&JedecCommandSet, &Id));
  EXPECT_EQ(Id, 0u);
}

TEST(CapacityRules, EveryCodeAndTheDefault) {
  // Rules A and C as amended for the real parts they missed.
  const std::pair<Rule, UINT32 (*)(UINT32)> Rules[] = {
      {Rule::A, DecodeCapacityA}, {Rule::B, DecodeCapacityB}, {Rule::C, DecodeCapacityC}};
  for (auto [R, Decode] : Rules)
    for (unsigned Code = 0; Code < 0x100; ++Code) {
      SCOPED_TRACE(testing::Message() << "rule " << int(R) << std::hex << " code " << Code);
      // Only bits 23:16 count.
      EXPECT_EQ(Decode(0xAB00CDEFu | Code << 16), CapacityOf(R, static_cast<uint8_t>(Code)));
    }
}

}  // namespace
}  // namespace flash_test
