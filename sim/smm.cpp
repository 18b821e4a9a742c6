#include "smm.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>

#include "board.h"

namespace sim {

namespace {

Smm *gSmm = nullptr;

void Trace(const std::string &Line) { TheUefi().Note(Line); }

EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  Smm &S = TheSmm();
  ++S.SmmPoolCalls;
  Trace("SmmAllocatePool(" + std::to_string(Type) + "," + std::to_string(Size) + ")");
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (S.RefuseSmmPoolCalls.count(S.SmmPoolCalls) || Size > S.MaxPool) return EFI_OUT_OF_RESOURCES;
  VOID *P = S.Allocate(Size);
  if (P == nullptr) return EFI_OUT_OF_RESOURCES;
  *Buffer = P;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmFreePool(VOID *Buffer) {
  Smm &S = TheSmm();
  auto It = S.SmramLive.find(Buffer);
  Trace("SmmFreePool(" + (It == S.SmramLive.end() ? std::string("?") : std::to_string(It->second)) + ")");
  return S.Release(Buffer) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid, EFI_INTERFACE_TYPE,
                                              VOID *Interface) {
  Smm &S = TheSmm();
  Trace("SmmInstallProtocolInterface(" + GuidName(*Guid) + ")");
  if (Handle == nullptr || Guid == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(S.InstallStatus)) return S.InstallStatus;
  auto New = reinterpret_cast<EFI_HANDLE>(0x9000 + S.Base.Protocols.size() * 0x10);
  if (*Handle == nullptr) *Handle = New;
  S.Base.Protocols.push_back({*Handle, *Guid, Interface});
  // Notifications run inside the install, as in the SMM core.
  for (size_t I = 0; I < S.Base.Notifies.size(); ++I)
    if (S.Base.Notifies[I].Function != nullptr && S.Base.Notifies[I].Guid == *Guid)
      S.Base.Notifies[I].Function(Guid, Interface, *Handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmLocateProtocol(const EFI_GUID *Guid, VOID *, VOID **Interface) {
  Trace("SmmLocateProtocol(" + GuidName(*Guid) + ")");
  if (Interface == nullptr) return EFI_INVALID_PARAMETER;
  *Interface = TheSmm().FindProtocol(*Guid);
  return *Interface ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// A null function withdraws the registration it is given.
EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID *Guid, EFI_SMM_NOTIFY_FN Function, VOID **Registration) {
  SmmBase &B = TheSmm().Base;
  ++B.RegisterNotifyCalls;
  Trace(std::string(Function ? "SmmRegisterProtocolNotify(" : "SmmWithdrawProtocolNotify(") + GuidName(*Guid) + ")");
  if (Guid == nullptr || Registration == nullptr) return EFI_INVALID_PARAMETER;
  if (Function == nullptr) {
    for (auto &N : B.Notifies)
      if (&N == *Registration && N.Guid == *Guid) {
        N.Function = nullptr;
        return EFI_SUCCESS;
      }
    return EFI_NOT_FOUND;
  }
  B.Notifies.push_back({*Guid, Function});
  *Registration = &B.Notifies.back();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetCapabilities(const EFI_SMM_ACCESS2_PROTOCOL *, UINTN *MapSize, EFI_SMRAM_DESCRIPTOR *Map) {
  Smm &S = TheSmm();
  Trace("GetCapabilities(" + std::to_string(*MapSize) + ")");
  const UINTN Need = S.Ranges.size() * sizeof(EFI_SMRAM_DESCRIPTOR);
  if (*MapSize < Need || Map == nullptr) {
    *MapSize = Need;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (EFI_ERROR(S.SecondCapabilitiesStatus)) return S.SecondCapabilitiesStatus;
  *MapSize = Need;
  if (Need) std::memcpy(Map, S.Ranges.data(), Need);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                             const EFI_SMM_SX_REGISTER_CONTEXT *Context, EFI_HANDLE *Handle) {
  Smm &S = TheSmm();
  ++S.SxCalls;
  Trace("SxRegister(S" + std::to_string(Context->Type) + "," + std::to_string(Context->Phase) + ")");
  if (Handle == nullptr || Handler == nullptr) return EFI_INVALID_PARAMETER;
  if (S.RefuseSxCalls.count(S.SxCalls)) return EFI_OUT_OF_RESOURCES;
  *Handle = reinterpret_cast<EFI_HANDLE>(0x5000 + S.Sx.size() * 0x10);
  S.Sx.push_back({Handler, *Context, *Handle, true});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_HANDLE Handle) {
  for (auto &R : TheSmm().Sx)
    if (R.Handle == Handle && R.Active) {
      Trace("SxUnRegister(S" + std::to_string(R.Context.Type) + ")");
      R.Active = false;
      return EFI_SUCCESS;
    }
  Trace("SxUnRegister(?)");
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI ValidateBuffer(const VOID *Buffer, UINTN Length) {
  Smm &S = TheSmm();
  S.ValidateCalls.push_back({Buffer, Length});
  return S.Validate ? S.Validate(Buffer, Length) : EFI_SUCCESS;
}

std::string Narrow(const CHAR16 *Name) {
  std::string Out;
  for (; Name && *Name; ++Name) Out += static_cast<char>(*Name);
  return Out;
}

EFI_STATUS EFIAPI SmmGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                                 VOID *Data) {
  Trace("SmmGetVariable(" + Narrow(Name) + ")");
  return TheSmm().StoreGetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI SmmSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize,
                                 const VOID *Data) {
  Trace("SmmSetVariable(" + Narrow(Name) + ")");
  return TheSmm().StoreSetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI PreSleepRequestEntry(VOID *Block) {
  auto *B = static_cast<uint8_t *>(Block);
  TheSmm().PreSleepRequests.emplace_back(B, B + 32);
  Trace("PreSleepRequest");
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PreSleepNotifyEntry(UINTN Phase) {
  TheSmm().PreSleepNotifies.push_back(Phase);
  Trace("PreSleepNotify(" + std::to_string(Phase) + ")");
  return EFI_SUCCESS;
}

}  // namespace

Smm::Smm(size_t SmramSize) : Size(SmramSize) {
  gSmm = this;
  Smram = static_cast<uint8_t *>(std::aligned_alloc(4096, Size));
  ASAN_POISON_MEMORY_REGION(Smram, Size);
  Smst().SmmAllocatePool = SmmAllocatePool;
  Smst().SmmFreePool = SmmFreePool;
  Smst().SmmInstallProtocolInterface = SmmInstallProtocolInterface;
  Smst().SmmLocateProtocol = SmmLocateProtocol;
  Smst().SmmRegisterProtocolNotify = SmmRegisterProtocolNotify;
  Access2.GetCapabilities = GetCapabilities;
  Ranges.push_back({reinterpret_cast<uintptr_t>(Smram), reinterpret_cast<uintptr_t>(Smram), Size, 0});
  SxDispatch.Register = SxRegister;
  SxDispatch.UnRegister = SxUnRegister;
  Validation.ValidateBuffer = ValidateBuffer;
  StoreGetVariable = TheUefi().RuntimeServices.GetVariable;
  StoreSetVariable = TheUefi().RuntimeServices.SetVariable;
  Variable.SmmGetVariable = SmmGetVariable;
  Variable.SmmSetVariable = SmmSetVariable;
  PreSleepTable[PRE_SLEEP_REQUEST_ENTRY] = reinterpret_cast<VOID *>(PreSleepRequestEntry);
  PreSleepRequest.Table = PreSleepTable;
  PreSleepNotify.Notify = PreSleepNotifyEntry;
}

Smm::~Smm() {
  ASAN_UNPOISON_MEMORY_REGION(Smram, Size);
  std::free(Smram);
  gSmm = nullptr;
}

Smm &TheSmm() {
  if (gSmm == nullptr) std::abort();
  return *gSmm;
}

bool Smm::InSmram(const void *P) const {
  auto A = reinterpret_cast<uintptr_t>(P), B = reinterpret_cast<uintptr_t>(Smram);
  return A >= B && A - B < Size;
}

VOID *Smm::Allocate(size_t Bytes) {
  // Each block is followed by a poisoned gap of at least 16 bytes, so an overrun shows at once.
  const size_t Span = ((Bytes + 15) & ~size_t{15}) + 16;
  if (Span > Size - Next) return nullptr;
  uint8_t *P = Smram + Next;
  Next += Span;
  ASAN_UNPOISON_MEMORY_REGION(P, Bytes);
  std::memset(P, FreshByte, Bytes);
  SmramLive[P] = Bytes;
  return P;
}

bool Smm::Release(VOID *P) {
  auto It = SmramLive.find(P);
  if (It == SmramLive.end()) return false;
  ASAN_POISON_MEMORY_REGION(P, It->second);
  SmramLive.erase(It);
  SmmFreed.push_back(P);
  if (SmramLive.empty()) Next = 0;  // nothing live: the arena starts over
  return true;
}

void Smm::InstallAll() {
  Base.Install();
  InstallAccess2();
  InstallSxDispatch();
  InstallValidation();
  InstallVariable();
  InstallPreSleepServices();
}

void Smm::InstallAccess2() { TheUefi().Install(gEfiSmmAccess2ProtocolGuid, &Access2); }
void Smm::InstallSxDispatch() { Base.Protocols.push_back({reinterpret_cast<EFI_HANDLE>(0x8F00), gEfiSmmSxDispatch2ProtocolGuid, &SxDispatch}); }
void Smm::InstallValidation() { Base.Protocols.push_back({reinterpret_cast<EFI_HANDLE>(0x8F10), gSmmBufferValidationProtocolGuid, &Validation}); }

void Smm::InstallVariable() { Base.Protocols.push_back({reinterpret_cast<EFI_HANDLE>(0x8F20), gEfiSmmVariableProtocolGuid, &Variable}); }
void Smm::InstallPreSleepServices() {
  Base.Protocols.push_back({reinterpret_cast<EFI_HANDLE>(0x8F30), gPreSleepRequestServiceGuid, &PreSleepRequest});
  Base.Protocols.push_back({reinterpret_cast<EFI_HANDLE>(0x8F40), gPreSleepNotifyServiceGuid, &PreSleepNotify});
}

size_t Smm::ActiveSx() const {
  size_t N = 0;
  for (auto &R : Sx) N += R.Active;
  return N;
}

void Smm::AddConfigurationTable(const EFI_GUID &Guid, VOID *Table) {
  ConfigurationTable.push_back({Guid, Table});
  Smst().NumberOfTableEntries = ConfigurationTable.size();
  Smst().SmmConfigurationTable = ConfigurationTable.data();
}

VOID *Smm::FindProtocol(const EFI_GUID &Guid) const {
  for (auto &P : Base.Protocols)
    if (P.Guid == Guid) return P.Interface;
  return nullptr;
}

size_t Smm::ActiveNotifies(const EFI_GUID &Guid) const {
  size_t N = 0;
  for (auto &Notify : Base.Notifies) N += Notify.Guid == Guid && Notify.Function != nullptr;
  return N;
}

MemoryLogRegion::MemoryLogRegion() : Bytes(16 << 20, 0) { TheBoard().MapMemory(Base, Bytes.size(), Bytes.data()); }

}  // namespace sim
