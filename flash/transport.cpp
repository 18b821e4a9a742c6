#include "transport.h"

#include <hw/hw.h>
#include <timer/tsc_delay.h>

namespace {

// Up to SPI_POLLS tries of Done, a delay after each miss; FALSE when every try missed.
template <typename CONDITION>
BOOLEAN PollController(CONDITION Done) {
  for (UINT32 Poll = 0; Poll < SPI_POLLS; ++Poll) {
    if (Done()) return TRUE;
    MicroDelay();
  }
  return FALSE;
}

// The part reports ready when bit 0 of its status register is clear. A status read that the
// transport gives up on leaves the byte as it was, so it starts at 0 (ready) rather than
// undefined.
BOOLEAN WaitPartReady() {
  UINT8 Status = 0;
  for (UINT16 Pass = 0; Pass < SPI_READY_PASSES; ++Pass) {
    SpiSendCommand(SPI_READ_STATUS, 0, 1, 0, 0, &Status, FALSE);
    if ((Status & SPI_STATUS_BUSY) == 0) return TRUE;
    MicroDelay();
  }
  return FALSE;
}

}  // namespace

// No failure is reported: callers find a failed command by reading the flash back.
EFI_STATUS SpiSendCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address, UINT8 *Buffer,
                          BOOLEAN WaitReady) {
  MmioWrite8(SPI_OPCODE, Opcode);
  MmioWrite8(SPI_TX_COUNT, TxCount);
  MmioWrite8(SPI_RX_COUNT, RxCount);
  for (UINT8 I = 0; I < AddressBytes; ++I)
    MmioWrite8(SPI_FIFO + I, static_cast<UINT8>(Address >> (8 * (AddressBytes - 1 - I))));
  if (TxCount != AddressBytes && Buffer != nullptr)
    for (INT32 J = 0; J < static_cast<INT32>(TxCount) - static_cast<INT32>(AddressBytes); ++J)
      MmioWrite8(SPI_FIFO + AddressBytes + J, Buffer[J]);

  if (!PollController([] { return (MmioRead32(SPI_STATUS) & 0x80000000) == 0; })) return EFI_SUCCESS;
  MmioWrite8(SPI_EXECUTE, MmioRead8(SPI_EXECUTE) | SPI_EXECUTE_BIT);
  if (!PollController([] { return (MmioRead8(SPI_EXECUTE) & SPI_EXECUTE_BIT) == 0; })) return EFI_SUCCESS;
  if (WaitReady && !WaitPartReady()) return EFI_SUCCESS;

  if (RxCount != 0 && Buffer != nullptr)
    for (UINT8 J = 0; J < RxCount; ++J) Buffer[J] = MmioRead8(SPI_FIFO + TxCount + J);
  return EFI_SUCCESS;
}
