// An SMM environment of the application's own for starting the SMM driver by hand on firmware
// without SMM: EFI_SMM_BASE2_PROTOCOL whose SMM system table allocates from boot-services
// memory and keeps its own protocol database, Sx dispatch that records the handlers (and can
// refuse one), SMM access2 with one SMRAM range, buffer validation, and the SMM variable
// service over the firmware's own. The platform run has the real SMM; this one serves the
// refusals it cannot make and a debugger, which cannot read locked SMRAM.
#pragma once
#include <uefi/smm_platform.h>

#include "loading.h"

struct SX_REGISTRATION {
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_SX_REGISTER_CONTEXT Context;
  bool Active;
};

class SmmEnvironment {
 public:
  void Enter(UINTN RefuseSxRegistration = 0);  // 1-based Sx registration call refused, 0 for none
  void Leave();  // uninstalls the boot-services protocols it put in place

  VOID *FindSmmProtocol(const EFI_GUID &Guid) const;
  UINTN SmmProtocolCount() const;
  const EFI_GUID &SmmProtocolGuid(UINTN Index) const;
};

extern SX_REGISTRATION SxRegistrations[8];
extern UINTN SxRegistrationCount;
