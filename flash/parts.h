// Flash part tables: each row names a manufacturer and its memory types, the part's name, how
// its capacity follows from the identifier, and what it changes in its template.
#pragma once
#include "command_set.h"

// Capacity code to capacity. The code is identifier byte 2 (bits 23:16) unless the rule names
// a later byte of the extended identifier; codes not listed give DefaultShift (32 MiB unless a
// row's parts are known to be smaller).
struct CAPACITY_CODE {
  UINT8 Code;
  UINT8 Shift;  // capacity = 1 << Shift
};
struct CAPACITY_RULE {
  const CAPACITY_CODE *Codes;
  UINT8 Count;
  UINT8 DefaultShift = 25;
  UINT8 CodeByte = 2;
};

// Identifier bytes read when a row needs more than the first three.
inline constexpr UINTN EXTENDED_ID_BYTES = 6;

inline constexpr INT16 KEEP_OPCODE = -1;

// Template entries a row replaces; KEEP_OPCODE and a shift of 0 keep the template's value.
// Sizes are powers of two, kept as shifts so that the tables stay small.
struct TEMPLATE_CHANGE {
  INT16 Erase4KOp = KEEP_OPCODE;
  INT16 Erase64KOp = KEEP_OPCODE;
  INT16 WriteStatusEnableOp = KEEP_OPCODE;
  UINT8 PageShift = 0;
  UINT8 SectorShift = 0;
};

enum class CAPACITY_TEST : UINT8 { Equal, AtLeast, Within };  // Within: CapacityShift to LastShift

// A row whose changes depend on the capacity: Always applies first, then, when the capacity
// passes the test, Then (and Name, when set, replaces the row's name). Where variants of one
// capacity share the three identifier bytes, byte 4 of the extended identifier tells them
// apart: at capacity 1 << ArchitectureShift, a byte 4 of 0 (uniform large sectors) applies
// Uniform as well.
struct PART_QUIRK {
  TEMPLATE_CHANGE Always = {};
  CAPACITY_TEST Test = CAPACITY_TEST::Equal;
  UINT8 CapacityShift = 0;
  TEMPLATE_CHANGE Then = {};
  const CHAR8 *Name = nullptr;
  UINT8 ArchitectureShift = 0;  // 0: no variants
  UINT8 LastShift = 0;
  TEMPLATE_CHANGE Uniform = {};
};

inline constexpr UINTN MAX_MEMORY_TYPES = 7;

enum class CAPACITY_SOURCE : UINT8 {
  Fixed,
  RuleA,
  RuleB,
  RuleC,
  RuleD,
  Sst25,      // SST 25VF/25WF: the 25WF codes 01 to 05 are small 1.8 V parts
  Pmc,        // PMC Pm25LV/LD/LQ: 32 KiB to 4 MiB
  AmicBoot,   // AMIC A25L..P: the capacity is identifier byte 3
  Adesto42,   // 1F 42: AT25DF011, AT25SL321, AT25SL128A
  Adesto43,   // 1F 43: AT25DF021(A), AT25SL641
  Count
};

// How a part over 16 MiB is put into 4-byte address mode, where the wide window needs it.
enum class ADDRESS_MODE : UINT8 {
  EnterExit,                  // 0xB7, and 0xE9 (or 0x29) to leave it
  EnterExitAfterWriteEnable,  // the same, each after a write enable, without which the part ignores them
  NativeOnly,                 // no mode switch: 3-byte mode stays, commands above 16 MiB take 4-byte opcodes
};

enum class QUIRK : UINT8 {
  None,
  EsmtB,
  Sst25Vf,
  Spansion25Fl,
  Erase64K,
  Atmel041,
  AtmelEnable,
  Stm25P,
  Stm25Pe,
  Pmc25Lv,
  Mxic25L,
  Spansion25FlP,
  Count
};

struct PART_ROW {
  const CHAR8 *Name;
  UINT8 Manufacturer;
  UINT8 MemoryTypes[MAX_MEMORY_TYPES];  // zero-terminated when shorter
  CAPACITY_SOURCE Capacity;
  UINT8 FixedShift;  // capacity 1 << FixedShift when Capacity is Fixed
  QUIRK Quirk;
  ADDRESS_MODE AddressMode = ADDRESS_MODE::EnterExit;
};

struct PART_TABLE {
  const PART_ROW *Rows;
  UINT8 Count;
};

extern const CAPACITY_RULE CapacityRules[static_cast<UINT8>(CAPACITY_SOURCE::Count)];  // Fixed has no codes
extern const PART_QUIRK PartQuirks[static_cast<UINT8>(QUIRK::Count)];
extern const PART_TABLE SstEsmtParts, JedecParts, SstLegacyParts;
