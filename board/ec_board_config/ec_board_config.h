// EcBoardConfigDxe: reports an EC status bit into "Setup", carries board choices from "Setup"
// into EC banks 0 and 1, acknowledges the EC's marker and reports a PCI Express link width.
#pragma once
#include <board/setup_data.h>

inline constexpr UINT8 EC_STATUS_REGISTER = 0x45;  // bank 0, bit 0
inline constexpr UINT8 EC_REG16 = 0x16;            // bank 0
inline constexpr UINT8 EC_REG16_DEFAULT = 0x01;
inline constexpr UINT8 EC_REG21 = 0x21;            // bank 1
inline constexpr UINT8 EC_MARKER_REGISTER = 0xF0;  // bank 1
inline constexpr UINT8 EC_MARKER = 0xAA;
inline constexpr UINT8 EC_LINK_WIDTH_REGISTER = 0xF1;  // bank 1, one code per nibble

// Port 0xCF8 address of 00:01.1 register 0x68; the link-status word is its upper half.
inline constexpr UINT16 PCI_CONFIG_ADDRESS_PORT = 0xCF8;
inline constexpr UINT16 PCI_LINK_STATUS_PORT = 0xCFE;
inline constexpr UINT32 PCI_LINK_STATUS_ADDRESS = 0x80000968;
inline constexpr UINT16 PCI_NO_DEVICE = 0xFFFF;

// A "Setup" switch for one register bit: 0 clears, 1 sets, other values leave it.
struct EC_SWITCH_BIT {
  UINT8 SetupOffset;  // of the switch byte in SETUP_DATA
  UINT8 Mask;
};
struct EC_SWITCH_REGISTER {
  UINT8 Register;  // bank 1
  UINT8 Count;
  EC_SWITCH_BIT Bits[2];
};

// Negotiated link width (bits 9:4 of the link-status word) and the code the EC expects.
struct EC_LINK_WIDTH_CODE {
  UINT8 Width;
  UINT8 Code;
};

extern const EC_SWITCH_REGISTER EcSwitchRegisters[3];
extern const EC_LINK_WIDTH_CODE EcLinkWidthCodes[5];

VOID EcSetLinkWidthNibble(UINT16 LinkStatus, UINT8 Value, UINT8 Nibble);

extern "C" EFI_STATUS EFIAPI EcBoardConfigEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
