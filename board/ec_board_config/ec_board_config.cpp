#include "ec_board_config.h"

#include <board/ec_access.h>
#include <board/setup_variable.h>
#include <startup/startup.h>

// clang-format off
const EC_SWITCH_REGISTER EcSwitchRegisters[3] = {
    {0x22, 2, {{OFFSET_OF(SETUP_DATA, EcReg22Bit2Switch), 0x04}, {OFFSET_OF(SETUP_DATA, EcReg22Bit3Switch), 0x08}}},
    {0x24, 2, {{OFFSET_OF(SETUP_DATA, EcReg24Bit6Switch), 0x40}, {OFFSET_OF(SETUP_DATA, EcReg24Bit7Switch), 0x80}}},
    {0x27, 1, {{OFFSET_OF(SETUP_DATA, EcReg27Bit0Switch), 0x01}}},
};
// clang-format on

const EC_LINK_WIDTH_CODE EcLinkWidthCodes[5] = {{1, 1}, {2, 2}, {4, 3}, {8, 4}, {16, 5}};

namespace {

constexpr const EC_VARIANT &Ec = EC_VARIANT_B;
constexpr UINT8 BANK_STATUS = 0;
constexpr UINT8 BANK_BOARD = 1;

// Each read starts from an empty buffer, so each gets a pool of its own (none is released).
SETUP_DATA *GetFreshSetup(UINT32 *Attributes) {
  VOID *Buffer = nullptr;
  UINTN DataSize = 0;
  if (EFI_ERROR(GetSetupVariable(&gSetupVariableGuid, Attributes, &DataSize, &Buffer))) return nullptr;
  return static_cast<SETUP_DATA *>(Buffer);
}

UINT8 ApplySwitch(UINT8 Value, UINT8 Switch, UINT8 Mask) {
  if (Switch == 0) return Value & ~Mask;
  if (Switch == 1) return Value | Mask;
  return Value;
}

VOID ReportStatusBit() {
  UINT32 Attributes = 0;
  SETUP_DATA *Setup = GetFreshSetup(&Attributes);
  const UINT8 Status = EcReadRegister<Ec>(BANK_STATUS, EC_STATUS_REGISTER);
  if (Setup == nullptr) return;
  Setup->EcStatusBitClear = (Status & 0x01) == 0 ? 1 : 0;
  WriteSetup(Attributes, Setup);
}

// Without a record, a set status bit leaves the register as the controller has it: the
// byte that would go there is unknown.
VOID ProgramRegister16() {
  const SETUP_DATA *Setup = GetFreshSetup(nullptr);
  const UINT8 Status = EcReadRegister<Ec>(BANK_STATUS, EC_STATUS_REGISTER);
  if ((Status & 0x01) == 0)
    EcWriteRegister<Ec>(BANK_STATUS, EC_REG16, EC_REG16_DEFAULT);
  else if (Setup != nullptr)
    EcWriteRegister<Ec>(BANK_STATUS, EC_REG16, Setup->EcReg16Value);
}

VOID ProgramRegister21Bit3() {
  const SETUP_DATA *Setup = GetFreshSetup(nullptr);
  if (Setup == nullptr) return;
  const UINT8 Value = EcReadRegister<Ec>(BANK_BOARD, EC_REG21);
  // A shift, not a switch: values of 2 and more reach the bits above bit 3.
  EcWriteRegister<Ec>(BANK_BOARD, EC_REG21, static_cast<UINT8>((Value & 0xF7) | (Setup->EcReg21Bit3 << 3)));
}

VOID ProgramSwitches() {
  const SETUP_DATA *Setup = GetFreshSetup(nullptr);
  if (Setup == nullptr) return;
  for (const EC_SWITCH_REGISTER &Reg : EcSwitchRegisters) {
    UINT8 Value = EcReadRegister<Ec>(BANK_BOARD, Reg.Register);
    for (UINT8 I = 0; I < Reg.Count; ++I) {
      const EC_SWITCH_BIT &Bit = Reg.Bits[I];
      Value = ApplySwitch(Value, reinterpret_cast<const UINT8 *>(Setup)[Bit.SetupOffset], Bit.Mask);
    }
    EcWriteRegister<Ec>(BANK_BOARD, Reg.Register, Value);
  }
}

VOID ProgramRegister21Bit7() {
  SETUP_DATA Setup;
  if (EFI_ERROR(ReadSetupFixed(&Setup))) return;
  const UINT8 Value = EcReadRegister<Ec>(BANK_BOARD, EC_REG21);
  EcWriteRegister<Ec>(BANK_BOARD, EC_REG21, static_cast<UINT8>((Value & 0x7F) | (Setup.EcReg21Bit7 << 7)));
}

VOID AcknowledgeMarker() {
  if (EcReadRegister<Ec>(BANK_BOARD, EC_MARKER_REGISTER) == EC_MARKER)
    EcWriteRegister<Ec>(BANK_BOARD, EC_MARKER_REGISTER, 0x00);
}

// The address port is left as written.
VOID ReportLinkWidth() {
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, PCI_LINK_STATUS_ADDRESS);
  const UINT16 LinkStatus = IoRead16(PCI_LINK_STATUS_PORT);
  EcSetLinkWidthNibble(LinkStatus, EcReadRegister<Ec>(BANK_BOARD, EC_LINK_WIDTH_REGISTER) & 0xF0, 0);
  // This board has no second link: its nibble is always cleared.
  EcSetLinkWidthNibble(PCI_NO_DEVICE, EcReadRegister<Ec>(BANK_BOARD, EC_LINK_WIDTH_REGISTER) & 0x0F, 1);
}

EFI_STATUS ConfigureBoard(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  ReportStatusBit();
  ProgramRegister16();
  ProgramRegister21Bit3();
  ProgramSwitches();
  ProgramRegister21Bit7();
  AcknowledgeMarker();
  ReportLinkWidth();
  return EFI_SUCCESS;
}

constexpr DRIVER_STARTUP EcBoardConfigStartup = {
    .CfgPcdBuffer = true, .HobList = true, .ServiceTables = SERVICE_TABLES::All};

}  // namespace

VOID EcSetLinkWidthNibble(UINT16 LinkStatus, UINT8 Value, UINT8 Nibble) {
  UINT8 Code = 0;
  if (LinkStatus != PCI_NO_DEVICE) {
    const UINT8 Width = (LinkStatus >> 4) & 0x3F;
    for (const EC_LINK_WIDTH_CODE &Entry : EcLinkWidthCodes)
      if (Entry.Width == Width) Code = Entry.Code;
  }
  EcWriteRegister<Ec>(BANK_BOARD, EC_LINK_WIDTH_REGISTER, static_cast<UINT8>(Value | (Code << (4 * Nibble))));
}

extern "C" EFI_STATUS EFIAPI EcBoardConfigEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return RunDriverStartup<EcBoardConfigStartup>(ImageHandle, SystemTable, ConfigureBoard);
}
