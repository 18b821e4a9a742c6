// The part's address mode: a part above 16 MiB uses 4-byte addresses while the wide window is
// in use, 3-byte addresses otherwise.
#pragma once
#include <uefi/base.h>

inline constexpr UINT8 SPI_ENTER_4BYTE_MODE = 0xB7;
inline constexpr UINT8 SPI_EXIT_4BYTE_MODE = 0xE9;
inline constexpr UINT8 SPI_EXIT_4BYTE_MODE_ALT = 0x29;  // parts that take 0xE9 for something else

// 1 once the part was put into 4-byte address mode; commands then carry 4 address bytes.
extern BOOLEAN FourByteAddressMode;

VOID SetFourByteMode();
BOOLEAN ExitFourByteMode(UINT16 Id16);
