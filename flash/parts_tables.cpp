// The three parts tables and the capacity rules, as constant data.
#include "parts.h"

namespace {

constexpr UINT8 Log2(UINT32 PowerOfTwo) {
  UINT8 Shift = 0;
  while ((1u << Shift) != PowerOfTwo) ++Shift;
  return Shift;
}

template <UINTN N>
constexpr CAPACITY_RULE RuleOf(const CAPACITY_CODE (&Codes)[N], UINT8 DefaultShift = 25, UINT8 CodeByte = 2) {
  return {Codes, static_cast<UINT8>(N), DefaultShift, CodeByte};
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
    // Macronix MX25U2033E, MX25U4035, MX25U8035/8032E, MX25U1635E
    {0x32, Log2(0x40000)},   {0x33, Log2(0x80000)},   {0x34, Log2(0x100000)},   {0x35, Log2(0x200000)},
    // Macronix MX66L2G45G, MX66U2G45G
    {0x1C, Log2(0x10000000)}, {0x3C, Log2(0x10000000)},
};
constexpr CAPACITY_CODE CodesB[] = {
    {0x12, Log2(0x80000)},  {0x13, Log2(0x100000)}, {0x14, Log2(0x200000)},  {0x15, Log2(0x400000)},
    {0x46, Log2(0x400000)}, {0x16, Log2(0x800000)}, {0x17, Log2(0x1000000)}, {0x20, Log2(0x4000000)},
};
constexpr CAPACITY_CODE CodesC[] = {
    {0x01, Log2(0x200000)}, {0x41, Log2(0x200000)}, {0x02, Log2(0x400000)},
    {0x4A, Log2(0x400000)}, {0x43, Log2(0x800000)}, {0x4B, Log2(0x800000)},
    {0x8C, Log2(0x40000)},  {0x8D, Log2(0x80000)},  {0x8E, Log2(0x100000)},
    {0x42, Log2(0x400000)},  // SST26VF032B
};
// RuleC for the 25 series, whose codes 01 to 05 are the SST25WF512 to SST25WF080.
constexpr CAPACITY_CODE CodesSst25[] = {
    {0x01, Log2(0x10000)},  {0x02, Log2(0x20000)},  {0x03, Log2(0x40000)},  {0x04, Log2(0x80000)},
    {0x05, Log2(0x100000)}, {0x41, Log2(0x200000)}, {0x4A, Log2(0x400000)}, {0x43, Log2(0x800000)},
    {0x4B, Log2(0x800000)}, {0x8C, Log2(0x40000)},  {0x8D, Log2(0x80000)},  {0x8E, Log2(0x100000)},
};
// None is larger than 4 MiB: an unknown code takes the largest, which needs no 4-byte addresses.
constexpr CAPACITY_CODE CodesPmc[] = {
    {0x2F, Log2(0x8000)},   {0x20, Log2(0x10000)},  {0x21, Log2(0x20000)},  {0x7C, Log2(0x20000)},
    {0x22, Log2(0x40000)},  {0x42, Log2(0x40000)},  {0x7D, Log2(0x40000)},  {0x7E, Log2(0x80000)},
    {0x43, Log2(0x80000)},  {0x13, Log2(0x100000)}, {0x44, Log2(0x100000)}, {0x14, Log2(0x200000)},
    {0x45, Log2(0x200000)}, {0x46, Log2(0x400000)},
};
// Identifier byte 3 of 7F 37 20 xx: top- (2x) and bottom-boot (1x) parts of each size.
constexpr CAPACITY_CODE CodesAmicBoot[] = {
    {0x10, Log2(0x10000)},  {0x20, Log2(0x10000)},  {0x11, Log2(0x20000)},  {0x21, Log2(0x20000)},
    {0x12, Log2(0x40000)},  {0x22, Log2(0x40000)},  {0x13, Log2(0x80000)},  {0x23, Log2(0x80000)},
    {0x14, Log2(0x100000)}, {0x24, Log2(0x100000)}, {0x15, Log2(0x200000)}, {0x25, Log2(0x200000)},
};
constexpr CAPACITY_CODE CodesAdesto42[] = {{0x00, Log2(0x20000)}, {0x16, Log2(0x400000)}, {0x18, Log2(0x1000000)}};
constexpr CAPACITY_CODE CodesAdesto43[] = {{0x00, Log2(0x40000)}, {0x01, Log2(0x40000)}, {0x17, Log2(0x800000)}};
constexpr CAPACITY_CODE CodesD[] = {
    {0x11, Log2(0x200000)}, {0x15, Log2(0x200000)}, {0x12, Log2(0x400000)},
    {0x16, Log2(0x400000)}, {0x13, Log2(0x800000)}, {0x17, Log2(0x800000)},
};

constexpr TEMPLATE_CHANGE Erase64KSectors = {.Erase4KOp = 0xD8, .SectorShift = Log2(0x10000)};
// Uniform 256 KiB sectors: 0xD8 erases 256 KiB and there is no 64 KiB erase.
constexpr TEMPLATE_CHANGE Uniform256KSectors = {.Erase4KOp = 0xD8, .Erase64KOp = 0xFF, .SectorShift = Log2(0x40000)};

constexpr PART_ROW SstEsmtRows[] = {
    {"ESMT 25L T Series", 0x8C, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ESMT 25L B Series", 0x8C, {0x21}, CAPACITY_SOURCE::RuleA, 0, QUIRK::EsmtB},
    {"SST 25VF Series", 0xBF, {0x25}, CAPACITY_SOURCE::Sst25, 0, QUIRK::Sst25Vf},
};

constexpr PART_ROW JedecRows[] = {
    // S25FL256S and S25FL512S have no 0xB7; S25FS512S answers the same identifier.
    {"Spansion 25FL Series", 0x01, {0x02}, CAPACITY_SOURCE::RuleB, 0, QUIRK::Spansion25Fl, ADDRESS_MODE::NativeOnly},
    {"Spansion 25FL(P) Series", 0x01, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Spansion25FlP},
    {"Spansion 25FL(K) Series", 0x01, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Spansion 25FL(L) Series", 0x01, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XTX 25F Series", 0x0B, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XTX 25Q Series", 0x0B, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"EON 25P Series", 0x1C, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Erase64K},
    {"EON 25F/Q/S/QH/SX Series", 0x1C, {0x30, 0x31, 0x38, 0x70, 0x78}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ADESTO AT25SF641", 0x1F, {0x32}, CAPACITY_SOURCE::Fixed, Log2(0x800000), QUIRK::None},
    {"ADESTO AT25SL128A", 0x1F, {0x42}, CAPACITY_SOURCE::Adesto42, 0, QUIRK::None},
    {"ADESTO AT25SL641", 0x1F, {0x43}, CAPACITY_SOURCE::Adesto43, 0, QUIRK::None},
    {"ATMEL 26DF041/25DF041", 0x1F, {0x44}, CAPACITY_SOURCE::Fixed, Log2(0x80000), QUIRK::Atmel041},
    {"ATMEL 26DF081/25DF081", 0x1F, {0x45}, CAPACITY_SOURCE::Fixed, Log2(0x100000), QUIRK::AtmelEnable},
    {"ATMEL 26DF161/25DQ161", 0x1F, {0x46, 0x86}, CAPACITY_SOURCE::Fixed, Log2(0x200000), QUIRK::AtmelEnable},
    {"ATMEL 26DF321/25DF321", 0x1F, {0x47}, CAPACITY_SOURCE::Fixed, Log2(0x400000), QUIRK::AtmelEnable},
    {"ATMEL 26DF641/25DF641", 0x1F, {0x48}, CAPACITY_SOURCE::Fixed, Log2(0x800000), QUIRK::AtmelEnable},
    {"STM/Micron/Numonyx 25P Series", 0x20, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Stm25P},
    {"XMC 25QU Series", 0x20, {0x38, 0x41, 0x50}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None, ADDRESS_MODE::EnterExitAfterWriteEnable},
    {"XMC 25QH Series", 0x20, {0x40, 0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None, ADDRESS_MODE::EnterExitAfterWriteEnable},
    {"XMC 25RH Series", 0x20, {0x43}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"XMC 25RU Series", 0x20, {0x44}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None, ADDRESS_MODE::EnterExitAfterWriteEnable},
    {"STM/Micron/Numonyx 25PF/PX Series", 0x20, {0x70, 0x71}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"STM/Numonyx 25PE Series", 0x20, {0x80}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Stm25Pe},
    {"Micron/Numonyx 25Q Series", 0x20, {0xBA, 0xBB}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None, ADDRESS_MODE::EnterExitAfterWriteEnable},
    {"AMIC 25L/LQ Series", 0x37, {0x30, 0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"BoyaMicro 25FQ Series", 0x68, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"AMIC 25L Series", 0x7F, {0x37}, CAPACITY_SOURCE::AmicBoot, 0, QUIRK::None},
    {"PMC 25LV/LQ Series", 0x7F, {0x9D}, CAPACITY_SOURCE::Pmc, 0, QUIRK::Pmc25Lv},
    {"PUYA 25Q/R/F Series", 0x85, {0x20, 0x23, 0x63, 0x65}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Intel/Numonyx 25F160/320", 0x89, {0x89}, CAPACITY_SOURCE::RuleD, 0, QUIRK::Erase64K},
    {"ESMT 25L QA/PA Series", 0x8C, {0x40, 0x41}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ISSI 25LP Series", 0x9D, {0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"ISSI 25WP Series", 0x9D, {0x70}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Fudan FM25W Series", 0xA1, {0x28}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Fudan FM25Q Series", 0xA1, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"SST 26VF Series", 0xBF, {0x26}, CAPACITY_SOURCE::RuleC, 0, QUIRK::None},
    // MX25L1605, MX25L3205(A) and MX25L6405 answer as their 4 KiB-sector successors but erase
    // 64 KiB with 0x20: at those sizes only 64 KiB sectors are safe for both.
    {"MXIC 25L/U Series", 0xC2, {0x20}, CAPACITY_SOURCE::RuleA, 0, QUIRK::Mxic25L},
    {"MXIC 25L/U Series", 0xC2, {0x24, 0x25, 0x5E}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"MXIC 25R Series", 0xC2, {0x28}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"MXIC 77L/77U Series", 0xC2, {0x75, 0x76}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25Q Series", 0xC8, {0x40, 0x60}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25B Series", 0xC8, {0x47}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 55WR Series", 0xC8, {0x65}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"GigaDevice 25LB Series", 0xC8, {0x67}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    // W25Q256FV takes 0xB7 only after a write enable.
    {"Winbond 25X/Q Series", 0xEF, {0x40}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None, ADDRESS_MODE::EnterExitAfterWriteEnable},
    {"Winbond 25X/Q Series", 0xEF, {0x30, 0x50, 0x60, 0x70, 0x71, 0x80}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"Winbond 77Q Series", 0xEF, {0x8A}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"FIDELIX 25Q Series", 0xF8, {0x32}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
    {"FIDELIX 25M Series", 0xF8, {0x43}, CAPACITY_SOURCE::RuleA, 0, QUIRK::None},
};

constexpr PART_ROW SstLegacyRows[] = {
    {"SST 25LF040", 0xBF, {0x44}, CAPACITY_SOURCE::Fixed, Log2(0x80000), QUIRK::None},
    {"SST 25LF080", 0xBF, {0x80}, CAPACITY_SOURCE::Fixed, Log2(0x100000), QUIRK::None},
};

}  // namespace

constexpr CAPACITY_RULE CapacityRules[static_cast<UINT8>(CAPACITY_SOURCE::Count)] = {
    {},
    RuleOf(CodesA),
    RuleOf(CodesB),
    RuleOf(CodesC),
    RuleOf(CodesD),
    RuleOf(CodesSst25),
    RuleOf(CodesPmc, Log2(0x400000)),
    RuleOf(CodesAmicBoot, Log2(0x200000), 3),
    RuleOf(CodesAdesto42, Log2(0x1000000)),  // unknown codes keep the row's former fixed size
    RuleOf(CodesAdesto43, Log2(0x800000)),
};

constexpr PART_QUIRK PartQuirks[static_cast<UINT8>(QUIRK::Count)] = {
    // in QUIRK order
    /* None */ {},
    /* EsmtB */ {.Always = {.WriteStatusEnableOp = 0x00}},
    /* Sst25Vf */ {.Test = CAPACITY_TEST::AtLeast, .CapacityShift = Log2(0x800000), .Then = {.PageShift = Log2(256)}},
    /* Spansion25Fl */
    {.Always = Erase64KSectors,
     .Test = CAPACITY_TEST::Equal,
     .CapacityShift = Log2(0x4000000),
     .Then = {.Erase64KOp = 0xFF, .SectorShift = Log2(0x40000)},
     .Name = "Cypress 25FS-S Series",
     .ArchitectureShift = Log2(0x2000000),  // S25FL256S: 256 KiB or 64 KiB sectors
     .Uniform = Uniform256KSectors},
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
    /* Mxic25L */
    {.Test = CAPACITY_TEST::Within,
     .CapacityShift = Log2(0x200000),
     .Then = Erase64KSectors,
     .LastShift = Log2(0x800000)},
    /* Spansion25FlP: S25FL128S/129P/128P come with 256 KiB or 64 KiB sectors */
    {.Always = Erase64KSectors, .ArchitectureShift = Log2(0x1000000), .Uniform = Uniform256KSectors},
};

constexpr PART_TABLE SstEsmtParts = TableOf(SstEsmtRows);
constexpr PART_TABLE JedecParts = TableOf(JedecRows);
constexpr PART_TABLE SstLegacyParts = TableOf(SstLegacyRows);
