// The three parts tables and the capacity rules, as constant data.
#include "parts.h"

namespace {

constexpr UINT8 Log2(UINT32 PowerOfTwo) {
  UINT8 Shift = 0;
  while ((1u << Shift) != PowerOfTwo) ++Shift;
  return Shift;
}

template <UINTN N>
constexpr CAPACITY_RULE RuleOf(const CAPACITY_CODE (&Codes)[N]) {
  return {Codes, static_cast<UINT8>(N)};
}
template <UINTN N>
constexpr PART_TABLE TableOf(const PART_ROW (&Rows)[N]) {
  return {Rows, static_cast<UINT8>(N)};
}

constexpr CAPACITY_CODE CodesA[] = {
    {0x10, Log2(0x10000)},   {0x11, Log2(0x20000)},   {0x12, Log2(0x40000)},    {0x13, Log2(0x80000)},
    {0x14, Log2(0x100000)},  {0x15, Log2(0x200000)},  {0x16, Log2(0x400000)},   {0x36, Log2(0x400000)},
    {0x17, Log2(0x800000)},  {0x37, Log2(0x800000)},  {0x18, Log2(0x1000000)},  {0x38, Log2(0x1000000)},
    {0x1A, Log2(0x4000000)}, {0x20, Log2(0x4000000)}, {0x3A, Log2(0x4000000)},  {0x1B, Log2(0x8000000)},
    {0x21, Log2(0x8000000)}, {0x3B, Log2(0x8000000)}, {0x22, Log2(0x10000000)},
};
constexpr CAPACITY_CODE CodesB[] = {
    {0x12, Log2(0x80000)},  {0x13, Log2(0x100000)}, {0x14, Log2(0x200000)},  {0x15, Log2(0x400000)},
    {0x46, Log2(0x400000)}, {0x16, Log2(0x800000)}, {0x17, Log2(0x1000000)}, {0x20, Log2(0x4000000)},
};
constexpr CAPACITY_CODE CodesC[] = {
    {0x01, Log2(0x200000)}, {0x41, Log2(0x200000)}, {0x02, Log2(0x400000)},
    {0x4A, Log2(0x400000)}, {0x43, Log2(0x800000)}, {0x4B, Log2(0x800000)},
    {0x8C, Log2(0x40000)},  {0x8D, Log2(0x80000)},  {0x8E, Log2(0x100000)},
};
constexpr CAPACITY_CODE CodesD[] = {
    {0x11, Log2(0x200000)}, {0x15, Log2(0x200000)}, {0x12, Log2(0x400000)},
    {0x16, Log2(0x400000)}, {0x13, Log2(0x800000)}, {0x17, Log2(0x800000)},
};

constexpr TEMPLATE_CHANGE Erase64KSectors = {.Erase4KOp = 0xD8, .SectorShift = Log2(0x10000)};

constexpr PART_ROW SstEsmtRows[] = {
    {"ESMT 25L T Series", 0x8C, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ESMT 25L B Series", 0x8C, {0x21}, CAPACITY_SOURCE::RuleA, 0, QUIRK::EsmtB},
    {"SST 25VF Series", 0xBF, {0x25}, CAPACITY_SOURCE::RuleC, 0, QUIRK::Sst25Vf},
};

constexpr PART_ROW JedecRows[] = {
    {"Spansion 25FL Series", 0x01, {0x02}, CAPACITY_SOURCE::RuleB, 0, QUIRK::Spansion25Fl},
    {"Spansion 25FL(P) Series", 0x01, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Erase64K},
    {"Spansion 25FL(K) Series", 0x01, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Spansion 25FL(L) Series", 0x01, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XTX 25F Series", 0x0B, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XTX 25Q Series", 0x0B, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"EON 25P Series", 0x1C, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Erase64K},
    {"EON 25F/Q/S/QH/SX Series", 0x1C, {0x30, 0x31, 0x38, 0x70, 0x78}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ADESTO AT25SF641", 0x1F, {0x32}, CAPACITY_SOURCE::Fixed, Log2(0x800000), QUIRK::None},
    {"ADESTO AT25SL128A", 0x1F, {0x42}, CAPACITY_SOURCE::Fixed, Log2(0x1000000), QUIRK::None},
    {"ADESTO AT25SL641", 0x1F, {0x43}, CAPACITY_SOURCE::Fixed, Log2(0x800000), QUIRK::None},
    {"ATMEL 26DF041/25DF041", 0x1F, {0x44}, CAPACITY_SOURCE::Fixed, Log2(0x80000), QUIRK::Atmel041},
    {"ATMEL 26DF081/25DF081", 0x1F, {0x45}, CAPACITY_SOURCE::Fixed, Log2(0x100000), QUIRK::AtmelEnable},
    {"ATMEL 26DF161/25DQ161", 0x1F, {0x46, 0x86}, CAPACITY_SOURCE::Fixed, Log2(0x200000), QUIRK::AtmelEnable},
    {"ATMEL 26DF321/25DF321", 0x1F, {0x47}, CAPACITY_SOURCE::Fixed, Log2(0x400000), QUIRK::AtmelEnable},
    {"ATMEL 26DF641/25DF641", 0x1F, {0x48}, CAPACITY_SOURCE::Fixed, Log2(0x800000), QUIRK::AtmelEnable},
    {"STM/Micron/Numonyx 25P Series", 0x20, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Stm25P},
    {"XMC 25QU Series", 0x20, {0x38, 0x41, 0x50}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XMC 25QH Series", 0x20, {0x40, 0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XMC 25RH Series", 0x20, {0x43}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XMC 25RU Series", 0x20, {0x44}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"STM/Micron/Numonyx 25PF/PX Series", 0x20, {0x70, 0x71}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"STM/Numonyx 25PE Series", 0x20, {0x80}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Stm25Pe},
    {"Micron/Numonyx 25Q Series", 0x20, {0xBA, 0xBB}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"AMIC 25L/LQ Series", 0x37, {0x30, 0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"BoyaMicro 25FQ Series", 0x68, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"AMIC 25L Series", 0x7F, {0x37}, CAPACITY_SOURCE::RuleB, 0, QUIRK::None},
    {"PMC 25LV/LQ Series", 0x7F, {0x9D}, CAPACITY_SOURCE::RuleB, 0, QUIRK::Pmc25Lv},
    {"PUYA 25Q/R/F Series", 0x85, {0x20, 0x23, 0x63, 0x65}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Intel/Numonyx 25F160/320", 0x89, {0x89}, CAPACITY_SOURCE::RuleD, 0, QUIRK::Erase64K},
    {"ESMT 25L QA/PA Series", 0x8C, {0x40, 0x41}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ISSI 25LP Series", 0x9D, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ISSI 25WP Series", 0x9D, {0x70}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Fudan FM25W Series", 0xA1, {0x28}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Fudan FM25Q Series", 0xA1, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"SST 26VF Series", 0xBF, {0x26}, CAPACITY_SOURCE::RuleC, 0, QUIRK::None},
    {"MXIC 25L/U Series", 0xC2, {0x20, 0x24, 0x25, 0x5E}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"MXIC 25R Series", 0xC2, {0x28}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"MXIC 77L/77U Series", 0xC2, {0x75, 0x76}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25Q Series", 0xC8, {0x40, 0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25B Series", 0xC8, {0x47}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 55WR Series", 0xC8, {0x65}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25LB Series", 0xC8, {0x67}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Winbond 25X/Q Series", 0xEF, {0x30, 0x40, 0x50, 0x60, 0x70, 0x71, 0x80}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Winbond 77Q Series", 0xEF, {0x8A}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"FIDELIX 25Q Series", 0xF8, {0x32}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"FIDELIX 25M Series", 0xF8, {0x43}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
};

constexpr PART_ROW SstLegacyRows[] = {
    {"SST 25LF040", 0xBF, {0x44}, CAPACITY_SOURCE::Fixed, Log2(0x80000), QUIRK::None},
    {"SST 25LF080", 0xBF, {0x80}, CAPACITY_SOURCE::Fixed, Log2(0x100000), QUIRK::None},
};

}  // namespace

constexpr CAPACITY_RULE CapacityRules[5] = {{}, RuleOf(CodesA), RuleOf(CodesB), RuleOf(CodesC), RuleOf(CodesD)};

constexpr PART_QUIRK PartQuirks[10] = {
    // in QUIRK order
    /* None */ {},
    /* EsmtB */ {.Always = {.WriteStatusEnableOp = 0x00}},
    /* Sst25Vf */ {.Test = CAPACITY_TEST::AtLeast, .CapacityShift = Log2(0x800000), .Then = {.PageShift = Log2(256)}},
    /* Spansion25Fl */
    {.Always = Erase64KSectors,
     .Test = CAPACITY_TEST::Equal,
     .CapacityShift = Log2(0x4000000),
     .Then = {.Erase64KOp = 0xFF, .SectorShift = Log2(0x40000)},
     .Name = "Cypress 25FS-S Series"},
    /* Erase64K */ {.Always = Erase64KSectors},
    /* Atmel041 */ {.Always = {.Erase64KOp = 0xFF, .WriteStatusEnableOp = 0x39}},
    /* AtmelEnable */ {.Always = {.WriteStatusEnableOp = 0x39}},
    /* Stm25P */
    {.Always = Erase64KSectors,
     .Test = CAPACITY_TEST::Equal,
     .CapacityShift = Log2(0x1000000),
     .Then = {.SectorShift = Log2(0x40000)}},
    /* Stm25Pe */ {.Always = {.Erase4KOp = 0xDB, .SectorShift = Log2(0x100)}},
    /* Pmc25Lv */ {.Always = {.Erase4KOp = 0xD7}},
};

constexpr PART_TABLE SstEsmtParts = TableOf(SstEsmtRows);
constexpr PART_TABLE JedecParts = TableOf(JedecRows);
constexpr PART_TABLE SstLegacyParts = TableOf(SstLegacyRows);
