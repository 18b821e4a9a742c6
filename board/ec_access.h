// The embedded controller's register protocol over ports 0x68 (data) and 0x6C (command and
// status): command 0x88, a selector (the bank, with bit 7 set for a write), the register,
// then the value or the controller's answer. Each driver uses one variant, given as a template
// argument, so its image carries only that variant's code. No primitive reports a time-out:
// a spent budget is silent and the sequence goes on with the next byte.
#pragma once
#include <hw/hw.h>
#include <uefi/uefi.h>

inline constexpr UINT16 EC_PORT_DATA = 0x68;
inline constexpr UINT16 EC_PORT_COMMAND = 0x6C;
inline constexpr UINT8 EC_CMD_REGISTER_ACCESS = 0x88;
inline constexpr UINT8 EC_STATUS_OBF = 0x01;
inline constexpr UINT8 EC_STATUS_IBF = 0x02;
inline constexpr UINT8 EC_SELECTOR_WRITE = 0x80;

struct EC_VARIANT {
  UINT16 WaitBudget;               // status reads per wait at most
  BOOLEAN DiscardDataFirst;        // a data-port read, thrown away, before the command
  BOOLEAN WaitAfterEachByte;       // every byte also followed by its own wait
  UINT8 DataReadsAfterOutputFull;  // the last one is the answer
};

inline constexpr EC_VARIANT EC_VARIANT_A = {65521, FALSE, TRUE, 1};  // EcSetupSyncDxe
inline constexpr EC_VARIANT EC_VARIANT_B = {5000, TRUE, FALSE, 2};   // EcBoardConfigDxe
inline constexpr EC_VARIANT EC_VARIANT_C = {5000, TRUE, FALSE, 0};   // EcChannelConfigDxe: writes only

// The polls follow each other directly: the budget alone bounds the wait.
template <const EC_VARIANT &Variant>
UINT8 EcWaitInputEmpty() {
  UINT8 Status = 0;
  for (UINT16 Polls = 0; Polls < Variant.WaitBudget; ++Polls) {
    Status = IoRead8(EC_PORT_COMMAND);
    if ((Status & EC_STATUS_IBF) == 0) break;
  }
  return Status;
}

template <const EC_VARIANT &Variant>
VOID EcWaitOutputFull() {
  for (UINT16 Polls = 0; Polls < Variant.WaitBudget; ++Polls)
    if ((IoRead8(EC_PORT_COMMAND) & EC_STATUS_OBF) != 0) break;
}

template <const EC_VARIANT &Variant>
UINT8 EcSendByte(UINT16 Port, UINT8 Value) {
  UINT8 Status = EcWaitInputEmpty<Variant>();
  IoWrite8(Port, Value);
  if constexpr (Variant.WaitAfterEachByte) Status = EcWaitInputEmpty<Variant>();
  return Status;
}

template <const EC_VARIANT &Variant>
VOID EcSendCommand(UINT8 Selector, UINT8 Register) {
  if constexpr (Variant.DiscardDataFirst) IoRead8(EC_PORT_DATA);
  EcSendByte<Variant>(EC_PORT_COMMAND, EC_CMD_REGISTER_ACCESS);
  EcSendByte<Variant>(EC_PORT_DATA, Selector);
  EcSendByte<Variant>(EC_PORT_DATA, Register);
}

template <const EC_VARIANT &Variant>
UINT8 EcReadRegister(UINT8 Bank, UINT8 Register) {
  static_assert(Variant.DataReadsAfterOutputFull > 0, "this variant has no read primitive");
  EcSendCommand<Variant>(Bank, Register);
  if constexpr (!Variant.WaitAfterEachByte) EcWaitInputEmpty<Variant>();
  EcWaitOutputFull<Variant>();
  UINT8 Value = 0;
  for (UINT8 Read = 0; Read < Variant.DataReadsAfterOutputFull; ++Read) Value = IoRead8(EC_PORT_DATA);
  return Value;
}

// Returns the last status byte read; no caller needs it.
template <const EC_VARIANT &Variant>
UINT8 EcWriteRegister(UINT8 Bank, UINT8 Register, UINT8 Value) {
  EcSendCommand<Variant>(Bank | EC_SELECTOR_WRITE, Register);
  UINT8 Status = EcSendByte<Variant>(EC_PORT_DATA, Value);
  if constexpr (!Variant.WaitAfterEachByte) Status = EcWaitInputEmpty<Variant>();
  return Status;
}
