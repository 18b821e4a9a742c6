// Flash part tables: each row names a manufacturer and its memory types, the part's name, how
// its capacity follows from the identifier, and what it changes in its template.
#pragma once
#include "command_set.h"

// Capacity code (identifier bits 23:16) to capacity; codes not listed give 32 MiB.
struct CAPACITY_CODE {
  UINT8 Code;
  UINT8 Shift;  // capacity = 1 << Shift
};
struct CAPACITY_RULE {
  const CAPACITY_CODE *Codes;
  UINT8 Count;
};

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

enum class CAPACITY_TEST : UINT8 { Equal, AtLeast };

// A row whose changes depend on the capacity: Always applies first, then, when the capacity
// passes the test, Then (and Name, when set, replaces the row's name).
struct PART_QUIRK {
  TEMPLATE_CHANGE Always = {};
  CAPACITY_TEST Test = CAPACITY_TEST::Equal;
  UINT8 CapacityShift = 0;
  TEMPLATE_CHANGE Then = {};
  const CHAR8 *Name = nullptr;
};

inline constexpr UINTN MAX_MEMORY_TYPES = 7;

enum class CAPACITY_SOURCE : UINT8 { Fixed, RuleA, RuleB, RuleC, RuleD };

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
  Pmc25Lv
};

struct PART_ROW {
  const CHAR8 *Name;
  UINT8 Manufacturer;
  UINT8 MemoryTypes[MAX_MEMORY_TYPES];  // zero-terminated when shorter
  CAPACITY_SOURCE Capacity;
  UINT8 FixedShift;  // capacity 1 << FixedShift when Capacity is Fixed
  QUIRK Quirk;
};

struct PART_TABLE {
  const PART_ROW *Rows;
  UINT8 Count;
};

extern const CAPACITY_RULE CapacityRules[5];  // by CAPACITY_SOURCE; Fixed has no codes
extern const PART_QUIRK PartQuirks[10];       // by QUIRK
extern const PART_TABLE SstEsmtParts, JedecParts, SstLegacyParts;
