#include "smm_env.h"

namespace {

struct SMM_PROTOCOL {
  EFI_HANDLE Handle;
  EFI_GUID Guid;
  VOID *Interface;
};
constexpr UINTN MAX_SMM_PROTOCOLS = 32;
SMM_PROTOCOL SmmProtocols[MAX_SMM_PROTOCOLS];
UINTN SmmProtocolTotal = 0;
UINTN NextSmmHandle = 0x5000;
UINTN RefusedSxCall = 0;
UINTN SxRegisterCalls = 0;
// Buffers starting below this address are refused by the validation protocol.
constexpr UINT64 VALIDATION_REFUSED_BELOW = 0x100000;
EFI_HANDLE BaseHandle = nullptr, AccessHandle = nullptr;
constexpr UINT64 SMRAM_BASE = 0x7F000000, SMRAM_SIZE = 0x100000;

EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  return Bs->AllocatePool(Type, Size, Buffer);
}
EFI_STATUS EFIAPI SmmFreePool(VOID *Buffer) { return Bs->FreePool(Buffer); }
EFI_STATUS EFIAPI SmmAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                   EFI_PHYSICAL_ADDRESS *Memory) {
  return Bs->AllocatePages(Type, MemoryType, Pages, Memory);
}
EFI_STATUS EFIAPI SmmFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages) { return Bs->FreePages(Memory, Pages); }

EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid, EFI_INTERFACE_TYPE,
                                              VOID *Interface) {
  if (Handle == nullptr || Guid == nullptr) return EFI_INVALID_PARAMETER;
  if (SmmProtocolTotal == MAX_SMM_PROTOCOLS) return EFI_OUT_OF_RESOURCES;
  if (*Handle == nullptr) *Handle = reinterpret_cast<EFI_HANDLE>(NextSmmHandle += 0x10);
  SmmProtocols[SmmProtocolTotal++] = {*Handle, *Guid, Interface};
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID *Interface) {
  for (UINTN I = 0; I < SmmProtocolTotal; ++I)
    if (SmmProtocols[I].Handle == Handle && SmmProtocols[I].Guid == *Guid && SmmProtocols[I].Interface == Interface) {
      SmmProtocols[I] = SmmProtocols[--SmmProtocolTotal];
      return EFI_SUCCESS;
    }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI SmmHandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface) {
  for (UINTN I = 0; I < SmmProtocolTotal; ++I)
    if (SmmProtocols[I].Handle == Handle && SmmProtocols[I].Guid == *Guid) {
      *Interface = SmmProtocols[I].Interface;
      return EFI_SUCCESS;
    }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmmLocateProtocol(const EFI_GUID *Guid, VOID *, VOID **Interface) {
  if (Guid == nullptr || Interface == nullptr) return EFI_INVALID_PARAMETER;
  for (UINTN I = 0; I < SmmProtocolTotal; ++I)
    if (SmmProtocols[I].Guid == *Guid) {
      *Interface = SmmProtocols[I].Interface;
      return EFI_SUCCESS;
    }
  *Interface = nullptr;
  return EFI_NOT_FOUND;
}

UINTN NotifyToken = 0;
EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID *, EFI_SMM_NOTIFY_FN Function, VOID **Registration) {
  if (Registration == nullptr) return EFI_INVALID_PARAMETER;
  if (Function == nullptr) return EFI_SUCCESS;  // withdrawal of an earlier registration
  *Registration = &NotifyToken;
  return EFI_SUCCESS;
}

constinit EFI_SMM_SYSTEM_TABLE2 TestSmst = {};

EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *, EFI_SMM_SYSTEM_TABLE2 **Smst) {
  if (Smst == nullptr) return EFI_INVALID_PARAMETER;
  *Smst = &TestSmst;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL *, BOOLEAN *InSmram) {
  if (InSmram) *InSmram = 1;
  return EFI_SUCCESS;
}
constinit EFI_SMM_BASE2_PROTOCOL TestSmmBase2 = {InSmm, GetSmstLocation};

EFI_STATUS EFIAPI SxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                             const EFI_SMM_SX_REGISTER_CONTEXT *Context, EFI_HANDLE *DispatchHandle) {
  ++SxRegisterCalls;
  if (RefusedSxCall == SxRegisterCalls) return EFI_OUT_OF_RESOURCES;
  if (Context == nullptr || DispatchHandle == nullptr || SxRegistrationCount == 8) return EFI_INVALID_PARAMETER;
  SxRegistrations[SxRegistrationCount] = {Handler, *Context, true};
  *DispatchHandle = &SxRegistrations[SxRegistrationCount++];
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI SxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_HANDLE DispatchHandle) {
  for (auto &R : SxRegistrations)
    if (&R == DispatchHandle) {
      R.Active = false;
      return EFI_SUCCESS;
    }
  return EFI_INVALID_PARAMETER;
}
constinit EFI_SMM_SX_DISPATCH2_PROTOCOL TestSxDispatch = {SxRegister, SxUnRegister};

EFI_STATUS EFIAPI ValidateBuffer(const VOID *Pointer, UINTN) {
  return reinterpret_cast<UINT64>(Pointer) < VALIDATION_REFUSED_BELOW ? EFI_ACCESS_DENIED : EFI_SUCCESS;
}
constinit SMM_BUFFER_VALIDATION_PROTOCOL TestValidation = {ValidateBuffer};

EFI_STATUS EFIAPI AccessOpen(EFI_SMM_ACCESS2_PROTOCOL *) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI AccessGetCapabilities(const EFI_SMM_ACCESS2_PROTOCOL *, UINTN *Size, EFI_SMRAM_DESCRIPTOR *Map) {
  if (Size == nullptr) return EFI_INVALID_PARAMETER;
  if (*Size < sizeof(EFI_SMRAM_DESCRIPTOR) || Map == nullptr) {
    *Size = sizeof(EFI_SMRAM_DESCRIPTOR);
    return EFI_BUFFER_TOO_SMALL;
  }
  *Size = sizeof(EFI_SMRAM_DESCRIPTOR);
  Map[0] = {SMRAM_BASE, SMRAM_BASE, SMRAM_SIZE, 0};
  return EFI_SUCCESS;
}
// The SMM variable service over the firmware's own variable store.
EFI_STATUS EFIAPI SmmGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size, VOID *Data) {
  return Rs->GetVariable(Name, Guid, Attributes, Size, Data);
}
EFI_STATUS EFIAPI SmmGetNextVariableName(UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  return Rs->GetNextVariableName(Size, Name, Guid);
}
EFI_STATUS EFIAPI SmmSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                                 const VOID *Data) {
  return Rs->SetVariable(Name, Guid, Attributes, Size, Data);
}
EFI_STATUS EFIAPI SmmQueryVariableInfo(UINT32 Attributes, UINT64 *Max, UINT64 *Remaining, UINT64 *MaxVariable) {
  return Rs->QueryVariableInfo(Attributes, Max, Remaining, MaxVariable);
}
constinit EFI_SMM_VARIABLE_PROTOCOL TestSmmVariable = {SmmGetVariable, SmmGetNextVariableName, SmmSetVariable,
                                                       SmmQueryVariableInfo};

constinit EFI_SMM_ACCESS2_PROTOCOL TestAccess2 = {AccessOpen, AccessOpen, AccessOpen, AccessGetCapabilities, 0, 0};

}  // namespace

SX_REGISTRATION SxRegistrations[8];
UINTN SxRegistrationCount = 0;

void SmmEnvironment::Enter(UINTN RefuseSxRegistration) {
  RefusedSxCall = RefuseSxRegistration;
  SmmProtocolTotal = 0;
  SxRegistrationCount = SxRegisterCalls = 0;
  TestSmst.Hdr = {0x5453595320534D53ULL, (1 << 16) | 70, sizeof(EFI_SMM_SYSTEM_TABLE2), 0, 0};
  TestSmst.SmmAllocatePool = SmmAllocatePool;
  TestSmst.SmmFreePool = SmmFreePool;
  TestSmst.SmmAllocatePages = SmmAllocatePages;
  TestSmst.SmmFreePages = SmmFreePages;
  TestSmst.SmmInstallProtocolInterface = SmmInstallProtocolInterface;
  TestSmst.SmmUninstallProtocolInterface = SmmUninstallProtocolInterface;
  TestSmst.SmmHandleProtocol = SmmHandleProtocol;
  TestSmst.SmmLocateProtocol = SmmLocateProtocol;
  TestSmst.SmmRegisterProtocolNotify = SmmRegisterProtocolNotify;
  // No table entries: the driver finds no SMM runtime-services table, as in OVMF's SMM.
  TestSmst.NumberOfTableEntries = 0;
  TestSmst.SmmConfigurationTable = nullptr;
  EFI_HANDLE H = nullptr;
  SmmInstallProtocolInterface(&H, &gEfiSmmSxDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE, &TestSxDispatch);
  H = nullptr;
  SmmInstallProtocolInterface(&H, &gEfiSmmVariableProtocolGuid, EFI_NATIVE_INTERFACE, &TestSmmVariable);
  H = nullptr;
  SmmInstallProtocolInterface(&H, &gSmmBufferValidationProtocolGuid, EFI_NATIVE_INTERFACE, &TestValidation);
  BaseHandle = AccessHandle = nullptr;
  Bs->InstallProtocolInterface(&BaseHandle, &gEfiSmmBase2ProtocolGuid, EFI_NATIVE_INTERFACE, &TestSmmBase2);
  Bs->InstallProtocolInterface(&AccessHandle, &gEfiSmmAccess2ProtocolGuid, EFI_NATIVE_INTERFACE, &TestAccess2);
}

void SmmEnvironment::Leave() {
  if (BaseHandle) Bs->UninstallProtocolInterface(BaseHandle, &gEfiSmmBase2ProtocolGuid, &TestSmmBase2);
  if (AccessHandle) Bs->UninstallProtocolInterface(AccessHandle, &gEfiSmmAccess2ProtocolGuid, &TestAccess2);
  BaseHandle = AccessHandle = nullptr;
}

VOID *SmmEnvironment::FindSmmProtocol(const EFI_GUID &Guid) const {
  VOID *Interface = nullptr;
  SmmLocateProtocol(&Guid, nullptr, &Interface);
  return Interface;
}

UINTN SmmEnvironment::SmmProtocolCount() const { return SmmProtocolTotal; }
const EFI_GUID &SmmEnvironment::SmmProtocolGuid(UINTN Index) const { return SmmProtocols[Index].Guid; }
