// Read, erase, program and verify. Every operation prefers the memory-mapped view of the flash
// and falls back to SPI commands; erase and program check their result by reading it back.
#pragma once
#include <uefi/base.h>

inline constexpr UINT32 SPI_CHUNK = 64;  // largest read, verify or program step
inline constexpr UINT32 PROGRAM_PAGE = 0x100;
inline constexpr UINT32 ERASE_4K = 0x1000;
inline constexpr UINT32 ERASE_64K = 0x10000;
inline constexpr UINT32 UPDATE_ATTEMPTS = 3;

inline constexpr UINT8 SPI_READ_4BYTE = 0x13;
inline constexpr UINT8 SPI_PROGRAM_4BYTE = 0x12;
inline constexpr UINT8 SPI_ERASE_4K_4BYTE = 0x21;
inline constexpr UINT8 SPI_ERASE_64K_4BYTE = 0xDC;

extern BOOLEAN Use64KErase;  // 0 once 64 KiB erases are given up for the boot

VOID EFIAPI Read(UINT64 Address, UINT8 *Buffer, UINT32 *Length, BOOLEAN AddressIsMemory);
BOOLEAN EFIAPI EraseSector(UINT64 Address);
EFI_STATUS EFIAPI Erase(UINT64 Address, UINT32 Length, BOOLEAN AddressIsMemory);
BOOLEAN EFIAPI Program(UINT64 Address, UINT8 *Data, UINT32 *Length, BOOLEAN AddressIsMemory);

VOID ReadBySpiCommand(UINT64 Address, UINT8 *Buffer, UINT32 *Length);
BOOLEAN VerifyFlashRange(UINT64 Address, const UINT8 *Expected, UINT32 Length, BOOLEAN UseRead,
                         BOOLEAN AddressIsMemory);
UINT64 FlushDataCacheRange(UINT64 Address, UINT64 Length);
