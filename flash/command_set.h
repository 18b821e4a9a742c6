// One part's SPI opcodes and program/erase geometry, and the three templates that the
// identification tables start from.
#pragma once
#include <uefi/base.h>

#pragma pack(push, 1)
struct SPI_OPCODE_ENTRY {
  UINT8 Opcode;
  UINT8 Kind;  // command class kept beside the opcode; nothing here reads it
};

struct FLASH_COMMAND_SET {
  SPI_OPCODE_ENTRY ProgramOp;
  SPI_OPCODE_ENTRY ReadOp;
  SPI_OPCODE_ENTRY Erase4KOp;
  SPI_OPCODE_ENTRY Erase64KOp;  // opcode 0xFF: the part has no 64 KiB erase
  SPI_OPCODE_ENTRY ReadStatusOp;
  SPI_OPCODE_ENTRY ReadIdOp;
  SPI_OPCODE_ENTRY WriteStatusOp;
  SPI_OPCODE_ENTRY WriteStatusEnableOp;
  SPI_OPCODE_ENTRY WriteEnableOp;
  UINT32 PageSize;    // 1: byte programming
  UINT32 SectorSize;  // erase granularity in bytes
};
#pragma pack(pop)
static_assert(sizeof(SPI_OPCODE_ENTRY) == 2);
static_assert(sizeof(FLASH_COMMAND_SET) == 26 && OFFSET_OF(FLASH_COMMAND_SET, WriteEnableOp) == 16 &&
              OFFSET_OF(FLASH_COMMAND_SET, PageSize) == 18 && OFFSET_OF(FLASH_COMMAND_SET, SectorSize) == 22);

inline constexpr UINT8 NO_ERASE_OPCODE = 0xFF;

// Mutable: a matching table row changes its template in place before it is copied.
extern FLASH_COMMAND_SET SstEsmtCommandSet;
extern FLASH_COMMAND_SET JedecCommandSet;
extern FLASH_COMMAND_SET SstLegacyCommandSet;

// The identified part's copy; all zero until identification.
extern FLASH_COMMAND_SET PartCommandSet;
