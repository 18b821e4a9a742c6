#include "address_mode.h"

#include "command_set.h"
#include "identify.h"
#include "translation.h"
#include "transport.h"

BOOLEAN FourByteAddressMode = 0;

namespace {
// Parts whose mode commands are ignored without the write-enable latch get a write enable first.
VOID SendModeCommand(UINT8 Opcode) {
  if (PartAddressMode == ADDRESS_MODE::EnterExitAfterWriteEnable)
    SpiSendCommand(PartCommandSet.WriteEnableOp.Opcode, 0, 0, 0, 0, nullptr, FALSE);
  SpiSendCommand(Opcode, 0, 0, 0, 0, nullptr, FALSE);
}
}  // namespace

VOID SetFourByteMode() {
  const UINT16 Id16 = PartIdLow;
  if (WideWindowCheck()) {
    // A part without the mode switch stays in 3-byte mode; its commands above 16 MiB take the
    // 4-byte opcodes.
    if (FlashSize > FLASH_16MB && PartAddressMode != ADDRESS_MODE::NativeOnly) {
      SendModeCommand(SPI_ENTER_4BYTE_MODE);
      FourByteAddressMode = 1;
    }
    return;
  }
  ExitFourByteMode(Id16);
}

BOOLEAN ExitFourByteMode(UINT16 Id16) {
  if (FlashSize <= FLASH_16MB) return FALSE;
  const BOOLEAN AltOpcode = (Id16 & 0xFF) == 0x9D || Id16 == 0x6020 || Id16 == 0x7020;
  SendModeCommand(AltOpcode ? SPI_EXIT_4BYTE_MODE_ALT : SPI_EXIT_4BYTE_MODE);
  FourByteAddressMode = 0;
  return TRUE;
}
