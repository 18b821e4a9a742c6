// Platform protocols that OVMF lacks or knows differently, put in place by the test while a
// driver starts: PCD protocols with this board's token numbers and the debug print back end.
#pragma once
#include "harness.h"
#include "stand_ins.h"

// PCD tokens as the test sets them; unset tokens read 0, unset pointers null.
struct TEST_PCD_TOKEN {
  UINTN Token;
  UINT64 Value;
  const VOID *Pointer;
};
void SetPcdTokens(const TEST_PCD_TOKEN *Tokens, UINTN Count);

// Puts the test's PCD_PROTOCOL and EFI_PCD_PROTOCOL in place and installs the debug print
// protocol; Leave() restores the platform's own.
class TestPlatform {
 public:
  void Enter();
  void Leave();

 private:
  ProtocolOverride Pcd, EfiPcd, Print;
};

// Signals the ReadyToBoot event group, as the boot manager does before booting.
void SignalReadyToBoot();

// "Setup" helpers.
inline constexpr EFI_GUID gSetupVariableGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr UINTN SETUP_SIZE = 273;
