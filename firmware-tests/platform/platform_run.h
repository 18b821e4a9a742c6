// What the platform run gives the board's drivers, shared by the test platform and the check
// application (firmware build) and the host build's run of the same drivers: the "Setup"
// record that the first boot stores, the PCD values, the answers of the captured ports, and
// the protocol calls that the second boot makes.
#pragma once
#include <uefi/uefi.h>

inline constexpr UINT32 PLATFORM_SETUP_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
inline constexpr UINTN PLATFORM_SETUP_SIZE = 273;

// A byte pattern whose neighbours differ, with the bytes that choose a driver's path set so
// that each driver takes more than one and its writes show: channels 0 and 2 in table mode
// and 1 and 3 direct; EcBoardConfigDxe's bit sources set against the EC's answer (byte 139
// shifted past bit 3, switches 141..145 on set, clear, clear, set, keep, byte 147 set); the
// one-shot Super I/O mode.
constexpr UINT8 StoredSetup(UINTN I) {
  switch (I) {
    case 114:
    case 126:
    case 142:
    case 143:
      return 0;
    case 141:
    case 144:
    case 147:
      return 1;
    case 145:
    case 272:
      return 2;
    case 139:
      return 5;
    default:
      return static_cast<UINT8>(I * 37 + 11);
  }
}

// PCD values that the test platform serves to the board images (tokens not listed read 0; the
// pointer tokens are empty).
struct TEST_PCD_VALUE {
  UINTN Token;
  UINT64 Value;
};
inline constexpr TEST_PCD_VALUE BoardPcdValues[] = {{1055, 1}, {1352, 0x5A}, {1438, 0x12345678}};
inline constexpr UINTN BoardPcdTokens[] = {1055, 1435, 1352, 1438, 1436, 1363, 1362, 1437, 91, 92};

struct CAPTURED_PORT_ANSWER {
  UINT16 Port;
  UINT8 Answer;
};
inline constexpr CAPTURED_PORT_ANSWER CapturedPorts[] = {
#define CAPTURED_PORT(Port, Answer) {Port, Answer},
#include "captured_ports.def"
#undef CAPTURED_PORT
};
constexpr UINT8 CapturedAnswer(UINT16 Port) {
  for (const CAPTURED_PORT_ANSWER &P : CapturedPorts)
    if (P.Port == Port) return P.Answer;
  return 0xFF;
}

// EFI_LEGACY_INTERRUPT_PROTOCOL calls of the second boot, in order, with what each returns.
// Refused calls must touch no port; a read gets what the routing data port answers.
struct PLATFORM_PIRQ_CALL {
  bool Write;
  UINT8 Pirq;
  UINT8 Value;  // written, or expected back
  EFI_STATUS Status;
};
inline constexpr UINT8 PIRQ_READ_BACK = CapturedAnswer(0xC01);
inline constexpr PLATFORM_PIRQ_CALL PlatformPirqCalls[] = {
    {true, 0, 11, EFI_SUCCESS},
    {true, 2, 5, EFI_SUCCESS},
    {true, 3, 9, EFI_SUCCESS},
    {true, 1, 4, EFI_SUCCESS},
    {true, 7, 15, EFI_SUCCESS},
    {true, 0, 16, EFI_INVALID_PARAMETER},
    {true, 8, 1, EFI_INVALID_PARAMETER},
    {false, 0, PIRQ_READ_BACK, EFI_SUCCESS},
    {false, 3, PIRQ_READ_BACK, EFI_SUCCESS},
    {false, 7, PIRQ_READ_BACK, EFI_SUCCESS},
    {false, 8, 0, EFI_INVALID_PARAMETER},
};
