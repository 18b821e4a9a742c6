// SPI command transport: one command (opcode, address, data out, data in) through the host
// controller's command registers and FIFO, with bounded polls.
#pragma once
#include <uefi/base.h>

inline constexpr UINT64 SPI_OPCODE = 0xFEC10045;
inline constexpr UINT64 SPI_EXECUTE = 0xFEC10047;  // bit 7: start / running
inline constexpr UINT64 SPI_TX_COUNT = 0xFEC10048;
inline constexpr UINT64 SPI_RX_COUNT = 0xFEC1004B;
inline constexpr UINT64 SPI_STATUS = 0xFEC1004C;  // bit 31: controller busy
inline constexpr UINT64 SPI_FIFO = 0xFEC10080;

inline constexpr UINT8 SPI_EXECUTE_BIT = 0x80;
inline constexpr UINT32 SPI_POLLS = 255;
inline constexpr UINT16 SPI_READY_PASSES = 0xFFFF;
inline constexpr UINT8 SPI_READ_STATUS = 0x05;  // the ready wait's fixed opcode
inline constexpr UINT8 SPI_STATUS_BUSY = 0x01;

EFI_STATUS SpiSendCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address, UINT8 *Buffer,
                          BOOLEAN WaitReady);
