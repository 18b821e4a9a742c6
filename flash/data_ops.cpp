#include "data_ops.h"

#include <hw/hw.h>
#include <startup/library.h>

#include "address_mode.h"
#include "command_set.h"
#include "device_ops.h"
#include "translation.h"
#include "transport.h"

BOOLEAN Use64KErase = 1;

namespace {

constexpr UINT32 CPUID_CLFLUSH = 1u << 19;

UINT32 Smaller(UINT32 A, UINT32 B) { return A < B ? A : B; }

// With no expected data the range must read as erased.
UINT8 ExpectedByte(const UINT8 *Expected, UINT32 Index) { return Expected != nullptr ? Expected[Index] : 0xFF; }

// 4-byte addresses only while the part is in 4-byte mode; a part taken out of it (no wide
// window) must get 3 address bytes with its 3-byte opcodes.
UINT8 BaseAddressBytes() { return FourByteAddressMode ? 4 : 3; }

// A command whose range ends above 16 MiB of a larger part needs a 4-byte-address opcode.
BOOLEAN EndsAbove16MB(UINT64 Chip, UINT32 Length) {
  return static_cast<UINT32>(Chip + Length) > FLASH_16MB && FlashSize > FLASH_16MB;
}

VOID SendWriteEnable() { SpiSendCommand(PartCommandSet.WriteEnableOp.Opcode, 0, 0, 0, 0, nullptr, FALSE); }

// After an erase or program, so that the verify reads the flash and not stale cache lines.
VOID FlushUpdatedRange(UINT64 Address, UINT64 Chip, UINT32 Length, BOOLEAN AddressIsMemory) {
  UINT64 Memory = Address;
  if (!AddressIsMemory && !FlashToMemory(Chip, &Memory)) return;
  FlushDataCacheRange(Memory, Length);
  MemoryFence();
}

// The 4-byte twin of an erase opcode; opcodes without one take the fixed 4-byte erases.
UINT8 FourByteEraseOpcode(UINT8 Opcode, UINT32 Block) {
  if (Opcode == 0x20) return SPI_ERASE_4K_4BYTE;
  if (Opcode == 0xD8) return SPI_ERASE_64K_4BYTE;
  return Block == ERASE_64K ? SPI_ERASE_64K_4BYTE : SPI_ERASE_4K_4BYTE;
}

// Copies from where the windows show the range; FALSE unless the whole range lies
// contiguously in the processor's view. Copied piece by piece within 16 MiB segments, since
// that is the unit in which the chipset maps banks.
BOOLEAN ReadFromWindow(UINT64 Address, UINT8 *Buffer, UINT32 Length) {
  UINT64 Start = 0;
  if (!FlashToMemory(Address, &Start)) return FALSE;
  for (UINT32 Done = 0; Done < Length;) {
    const UINT32 Piece = Smaller(Smaller(Length - Done, FLASH_16MB - ((Address + Done) & (FLASH_16MB - 1))),
                                 FLASH_16MB - ((Start + Done) & (FLASH_16MB - 1)));
    UINT64 First = 0, Last = 0;
    if (!FlashToMemory(Address + Done, &First) || First != Start + Done) return FALSE;
    if (!FlashToMemory(Address + Done + Piece - 1, &Last) || Last != First + Piece - 1) return FALSE;
    const VOID *Source = PhysToPtr(First);
    if (Source != Buffer + Done) MemMove(Buffer + Done, Source, Piece);
    Done += Piece;
  }
  return TRUE;
}

BOOLEAN EraseBlock(UINT64 Address, UINT32 Block, BOOLEAN AddressIsMemory) {
  const UINT64 Chip = AddressIsMemory ? ChipAddress(Address) : Address;
  if (VerifyFlashRange(Address, nullptr, Block, TRUE, AddressIsMemory)) return TRUE;
  // One write enable: a retry waits on the erase that may still be running.
  SendWriteEnable();
  const BOOLEAN Uses64K = FlashDeviceOps->SectorSize == ERASE_64K || Block == ERASE_64K;
  UINT8 Opcode = Uses64K ? PartCommandSet.Erase64KOp.Opcode : PartCommandSet.Erase4KOp.Opcode;
  UINT8 AddressBytes = BaseAddressBytes();
  if (EndsAbove16MB(Chip, Block)) {
    Opcode = FourByteEraseOpcode(Opcode, Block);
    AddressBytes = 4;
  }
  for (UINT32 Attempt = 0; Attempt < UPDATE_ATTEMPTS; ++Attempt) {
    SpiSendCommand(Opcode, AddressBytes, 0, AddressBytes, Chip, nullptr, TRUE);
    FlushUpdatedRange(Address, Chip, Block, AddressIsMemory);
    if (VerifyFlashRange(Address, nullptr, Block, TRUE, AddressIsMemory)) return TRUE;
  }
  return FALSE;
}

}  // namespace

VOID EFIAPI Read(UINT64 Address, UINT8 *Buffer, UINT32 *Length, BOOLEAN AddressIsMemory) {
  if (!ReadFromWindow(Address, Buffer, *Length))
    ReadBySpiCommand(AddressIsMemory ? ChipAddress(Address) : Address, Buffer, Length);
  *Length = 0;
}

VOID ReadBySpiCommand(UINT64 Address, UINT8 *Buffer, UINT32 *Length) {
  // The end of the whole request decides, so every chunk of a read ending above 16 MiB uses
  // the 4-byte opcode.
  const BOOLEAN FourByte = EndsAbove16MB(Address, *Length);
  const UINT8 Opcode = FourByte ? SPI_READ_4BYTE : PartCommandSet.ReadOp.Opcode;
  const UINT8 AddressBytes = FourByte ? 4 : BaseAddressBytes();
  for (UINT32 Done = 0; Done < *Length;) {
    const UINT32 Chunk = Smaller(*Length - Done, SPI_CHUNK);
    SpiSendCommand(Opcode, AddressBytes, static_cast<UINT8>(Chunk), AddressBytes, Address + Done, Buffer + Done, FALSE);
    Done += Chunk;
  }
  *Length = 0;
}

BOOLEAN EFIAPI EraseSector(UINT64 Address) { return !EFI_ERROR(Erase(Address, ERASE_4K, TRUE)); }

EFI_STATUS EFIAPI Erase(UINT64 Address, UINT32 Length, BOOLEAN AddressIsMemory) {
  const UINT32 SectorSize = FlashDeviceOps->SectorSize;
  if (Length % SectorSize != 0 || static_cast<UINT32>(Address) % SectorSize != 0) return EFI_INVALID_PARAMETER;
  if (Use64KErase == 1) Use64KErase = PartCommandSet.Erase64KOp.Opcode != NO_ERASE_OPCODE;
  if (Length == 0) return EFI_SUCCESS;
  // Sectors below 4 KiB are erased one by one, so that nothing outside the range is erased.
  const UINT32 SmallBlock = Smaller(ERASE_4K, SectorSize);
  for (UINT32 Done = 0; Done < Length;) {
    const BOOLEAN Large = Use64KErase == 1 && (Address & (ERASE_64K - 1)) == 0 && Length - Done >= ERASE_64K;
    const UINT32 Block = Large ? ERASE_64K : SmallBlock;
    if (!EraseBlock(Address, Block, AddressIsMemory)) {
      if (!Large) return EFI_DEVICE_ERROR;
      Use64KErase = 0;  // the same address again, in small blocks
      continue;
    }
    Done += Block;
    Address += Block;
  }
  return EFI_SUCCESS;
}

BOOLEAN EFIAPI Program(UINT64 Address, UINT8 *Data, UINT32 *Length, BOOLEAN AddressIsMemory) {
  if (*Length == 0) return TRUE;
  const UINT32 Chunk = FlashDeviceOpsTable.PageSize == 1
                           ? 1
                           : Smaller(Smaller(*Length, SPI_CHUNK), PROGRAM_PAGE - static_cast<UINT32>(Address & 0xFF));
  for (UINT32 Attempt = 0; Attempt < UPDATE_ATTEMPTS; ++Attempt) {
    if (VerifyFlashRange(reinterpret_cast<UINT64>(Data), nullptr, Chunk, FALSE, FALSE)) break;
    SendWriteEnable();
    const UINT64 Chip = AddressIsMemory ? ChipAddress(Address) : Address;
    const BOOLEAN FourByte = EndsAbove16MB(Chip, Chunk);
    const UINT8 Opcode = FourByte ? SPI_PROGRAM_4BYTE : PartCommandSet.ProgramOp.Opcode;
    const UINT8 AddressBytes = FourByte ? 4 : BaseAddressBytes();
    SpiSendCommand(Opcode, static_cast<UINT8>(AddressBytes + Chunk), 0, AddressBytes, Chip, Data, TRUE);
    FlushUpdatedRange(Address, Chip, Chunk, AddressIsMemory);
    if (VerifyFlashRange(Address, Data, Chunk, TRUE, AddressIsMemory)) break;
    if (Attempt + 1 == UPDATE_ATTEMPTS) return FALSE;
  }
  *Length -= Chunk;
  return TRUE;
}

BOOLEAN VerifyFlashRange(UINT64 Address, const UINT8 *Expected, UINT32 Length, BOOLEAN UseRead,
                         BOOLEAN AddressIsMemory) {
  for (UINT32 Done = 0; Done < Length;) {
    UINT8 Local[SPI_CHUNK];
    const UINT32 Count = Smaller(Length - Done, SPI_CHUNK);
    // Start from the complement of what is expected, so that a read-back the transport gave
    // up on cannot match.
    for (UINT32 I = 0; I < Count; ++I) Local[I] = static_cast<UINT8>(~ExpectedByte(Expected, Done + I));
    if (UseRead) {
      UINT32 ReadLength = Count;  // Read clears the length it is handed
      Read(Address + Done, Local, &ReadLength, AddressIsMemory);
    } else {
      MemMove(Local, PhysToPtr(Address + Done), Count);
    }
    for (UINT32 I = 0; I < Count; ++I)
      if (Local[I] != ExpectedByte(Expected, Done + I)) return FALSE;
    Done += Count;
  }
  return TRUE;
}

UINT64 FlushDataCacheRange(UINT64 Address, UINT64 Length) {
  if (Length == 0) return Address;
  UINT32 Ebx = 0, Edx = 0;
  CpuId(1, nullptr, &Ebx, nullptr, &Edx);
  const UINT64 Line = ((Ebx >> 8) & 0xFF) * 8;
  // Without CLFLUSH, or with no line size to step by, write back everything.
  if ((Edx & CPUID_CLFLUSH) == 0 || Line == 0) {
    WriteBackInvalidateCaches();
    return Address;
  }
  const UINT64 End = (Address + Length + Line - 1) / Line * Line;
  for (UINT64 P = Address / Line * Line; P != End; P += Line) FlushCacheLine(reinterpret_cast<VOID *>(P));
  return Address;
}
