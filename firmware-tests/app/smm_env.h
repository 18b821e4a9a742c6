// An SMM environment of the test's own for starting the SMM driver on firmware without SMM:
// EFI_SMM_BASE2_PROTOCOL whose SMM system table allocates from boot-services memory and keeps
// its own protocol database, Sx dispatch that records the handlers, SMM access2 with one
// SMRAM range, and buffer validation. It proves loading, calling convention and services,
// not SMRAM isolation.
#pragma once
#include <uefi/smm_platform.h>

#include "harness.h"

struct SX_REGISTRATION {
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_SX_REGISTER_CONTEXT Context;
  bool Active;
};

struct SMM_ENV_OPTIONS {
  bool Access2 = true;
  bool Validation = true;
  UINTN RefuseSxRegistration = 0;  // 1-based call number refused, 0 for none
  bool RuntimeServicesEntry = false;
};

// Buffers starting below this address are refused by the validation protocol.
inline constexpr UINT64 VALIDATION_REFUSED_BELOW = 0x100000;

class SmmEnvironment {
 public:
  void Enter(const SMM_ENV_OPTIONS &Options);
  void Leave();  // uninstalls the boot-services protocols it put in place

  VOID *FindSmmProtocol(const EFI_GUID &Guid) const;
  UINTN SmmProtocolCount() const;
  const EFI_GUID &SmmProtocolGuid(UINTN Index) const;
  EFI_SMM_SYSTEM_TABLE2 *Smst() const;
};

extern SX_REGISTRATION SxRegistrations[8];
extern UINTN SxRegistrationCount;
extern UINTN SxRegisterCalls;
extern UINTN SmmNotifyRegistrations, SmmNotifyWithdrawals;
extern EFI_RUNTIME_SERVICES SmmRuntimeServicesTable;
// Calls of the GetVariable behind the SMM variable protocol and behind the SMM runtime table.
extern UINTN SmmGetVariableCalls, SmmRuntimeGetVariableCalls;
