// An SMM environment of the test's own for starting the SMM driver on firmware without SMM:
// EFI_SMM_BASE2_PROTOCOL whose SMM system table allocates from boot-services memory and keeps
// its own protocol database, Sx dispatch that records the handlers, SMM access2 with one
// SMRAM range, and buffer validation. It proves loading, calling convention and services,
// not SMRAM isolation.
#pragma once
#include "harness.h"

inline constexpr EFI_GUID gEfiSmmSxDispatch2ProtocolGuid = {0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}};
inline constexpr EFI_GUID gEfiSmmAccess2ProtocolGuid = {0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}};
inline constexpr EFI_GUID gSmmBufferValidationProtocolGuid = {0xDA473D7F, 0x4B31, 0x4D63, {0x92, 0xB7, 0x3D, 0x90, 0x5E, 0xF8, 0x4B, 0x84}};
inline constexpr EFI_GUID gSmmRuntimeServicesTableGuid = {0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};

struct SMM_BUFFER_VALIDATION {
  EFI_STATUS(EFIAPI *ValidateBuffer)(UINT64 Buffer, UINT64 Length);
};

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

class SmmEnvironment {
 public:
  void Enter(const SMM_ENV_OPTIONS &Options);
  void Leave();  // uninstalls the boot-services protocols it put in place

  VOID *FindSmmProtocol(const EFI_GUID &Guid) const;
  EFI_SMM_SYSTEM_TABLE2 *Smst() const;
};

extern SX_REGISTRATION SxRegistrations[8];
extern UINTN SxRegistrationCount;
extern UINTN SxRegisterCalls;
extern UINTN SmmNotifyRegistrations, SmmNotifyWithdrawals;
// Addresses the validation protocol accepts; an empty window accepts everything.
extern UINT64 ValidationLow, ValidationHigh;
extern EFI_RUNTIME_SERVICES SmmRuntimeServicesTable;
