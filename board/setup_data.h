// The "Setup" variable as the board drivers see it: a packed 273-byte record edited by the
// setup screens. Only the named fields belong to the board drivers; every other byte is
// written back exactly as read.
#pragma once
#include <uefi/uefi.h>

inline constexpr UINTN SETUP_DATA_SIZE = 273;

inline constexpr CHAR16 gSetupVariableName[] = u"Setup";
inline constexpr EFI_GUID gSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

#pragma pack(push, 1)
// One EC channel: table mode when Selector is 0, direct mode otherwise.
struct EC_CHANNEL_SETUP {
  UINT8 Selector;
  UINT8 DirectValue;
  UINT8 TableValue[4];
};

struct SETUP_DATA {
  UINT8 Other0[55];
  UINT8 EcControlBit4;  // 55: bit 4 of EC bank 0 register 0x81
  UINT8 Other56;
  UINT16 EcValue8485;  // 57..58: EC bank 0 registers 0x84 (high) and 0x85 (low), when non-zero
  UINT8 EcValue86;     // 59: EC bank 0 register 0x86, when non-zero
  UINT8 Other60[54];
  EC_CHANNEL_SETUP EcChannel[4];  // 114..137
  UINT8 EcStatusBitClear;         // 138: 1 when bit 0 of EC bank 0 register 0x45 is clear
  UINT8 EcReg21Bit3;              // 139: shifted into bit 3 of EC bank 1 register 0x21
  UINT8 EcReg16Value;             // 140: EC bank 0 register 0x16 while bit 0 of 0x45 is set
  UINT8 EcReg22Bit2Switch;        // 141..145: 0 clears, 1 sets, other values leave the bit
  UINT8 EcReg22Bit3Switch;
  UINT8 EcReg24Bit6Switch;
  UINT8 EcReg24Bit7Switch;
  UINT8 EcReg27Bit0Switch;
  UINT8 Other146;
  UINT8 EcReg21Bit7;  // 147: bit 0 goes to bit 7 of EC bank 1 register 0x21
  UINT8 Other148[124];
  UINT8 SioRuntimeMode;  // 272: 0, 1, or 2 (apply once, then 1)
};
#pragma pack(pop)

static_assert(sizeof(EC_CHANNEL_SETUP) == 6);
static_assert(sizeof(SETUP_DATA) == SETUP_DATA_SIZE);
static_assert(OFFSET_OF(SETUP_DATA, EcControlBit4) == 55 && OFFSET_OF(SETUP_DATA, EcValue8485) == 57 &&
              OFFSET_OF(SETUP_DATA, EcValue86) == 59 && OFFSET_OF(SETUP_DATA, EcChannel) == 114 &&
              OFFSET_OF(SETUP_DATA, EcChannel[3]) == 132 && OFFSET_OF(SETUP_DATA, EcStatusBitClear) == 138 &&
              OFFSET_OF(SETUP_DATA, EcReg21Bit3) == 139 && OFFSET_OF(SETUP_DATA, EcReg16Value) == 140 &&
              OFFSET_OF(SETUP_DATA, EcReg22Bit2Switch) == 141 && OFFSET_OF(SETUP_DATA, EcReg27Bit0Switch) == 145 &&
              OFFSET_OF(SETUP_DATA, EcReg21Bit7) == 147 && OFFSET_OF(SETUP_DATA, SioRuntimeMode) == 272);
