#include "address_mode.h"

#include "identify.h"
#include "translation.h"
#include "transport.h"

BOOLEAN FourByteAddressMode = 0;

VOID SetFourByteMode() {
  const UINT16 Id16 = PartIdLow;
  if (WideWindowCheck()) {
    if (FlashSize > FLASH_16MB) {
      SpiSendCommand(SPI_ENTER_4BYTE_MODE, 0, 0, 0, 0, nullptr, FALSE);
      FourByteAddressMode = 1;
    }
    return;
  }
  ExitFourByteMode(Id16);
}

BOOLEAN ExitFourByteMode(UINT16 Id16) {
  if (FlashSize <= FLASH_16MB) return FALSE;
  const BOOLEAN AltOpcode = (Id16 & 0xFF) == 0x9D || Id16 == 0x6020 || Id16 == 0x7020;
  SpiSendCommand(AltOpcode ? SPI_EXIT_4BYTE_MODE_ALT : SPI_EXIT_4BYTE_MODE, 0, 0, 0, 0, nullptr, FALSE);
  FourByteAddressMode = 0;
  return TRUE;
}
