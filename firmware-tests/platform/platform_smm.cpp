// The test platform's SMM driver: the SMM services the board's firmware would carry and OVMF
// does not. Buffer validation against the SMRAM ranges that EFI_SMM_ACCESS2_PROTOCOL reports,
// the two pre-sleep services (they count their calls), EFI_SMM_SX_DISPATCH2_PROTOCOL (it
// records registrations; no sleep entry reaches it on QEMU, so the test application asks it to
// run one), and an SMI handler through which the test application calls
// MEDIA_CAPSULE_SMM_PROTOCOL from SMM, as another SMM module of the board would.
#include "test_platform.h"

namespace {

EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
constexpr UINTN MAX_RANGES = 8;
EFI_SMRAM_DESCRIPTOR Smram[MAX_RANGES];
UINTN SmramCount = 0;
UINT32 ValidationRefusals = 0, PreSleepRequestCalls = 0, PreSleepNotifyCalls = 0;

bool OverlapsSmram(UINT64 Base, UINT64 Length) {
  if (Length && Base + Length - 1 < Base) return true;  // wraps around
  for (UINTN I = 0; I < SmramCount; ++I) {
    const UINT64 Start = Smram[I].CpuStart, Size = Smram[I].PhysicalSize;
    if (Base < Start + Size && Start < Base + Length) return true;
  }
  return false;
}

EFI_STATUS EFIAPI ValidateBuffer(const VOID *Buffer, UINTN Length) {
  if (Buffer == nullptr || OverlapsSmram(reinterpret_cast<UINT64>(Buffer), Length)) {
    ++ValidationRefusals;
    return EFI_ACCESS_DENIED;
  }
  return EFI_SUCCESS;
}
SMM_BUFFER_VALIDATION_PROTOCOL Validation = {ValidateBuffer};

EFI_STATUS EFIAPI PreSleepRequest(VOID *) {
  ++PreSleepRequestCalls;
  return EFI_SUCCESS;
}
VOID *PreSleepRequestTable[PRE_SLEEP_REQUEST_ENTRY + 1] = {};
PRE_SLEEP_REQUEST_SERVICE PreSleepRequestService = {nullptr, PreSleepRequestTable};
EFI_STATUS EFIAPI PreSleepNotify(UINTN) {
  ++PreSleepNotifyCalls;
  return EFI_SUCCESS;
}
PRE_SLEEP_NOTIFY_SERVICE PreSleepNotifyService = {PreSleepNotify};

struct SX_HANDLER {
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_SX_REGISTER_CONTEXT Context;
  bool Active;
};
constexpr UINTN MAX_SX = 16;
SX_HANDLER SxHandlers[MAX_SX];

EFI_STATUS EFIAPI SxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                             const EFI_SMM_SX_REGISTER_CONTEXT *Context, EFI_HANDLE *DispatchHandle) {
  if (Handler == nullptr || Context == nullptr || DispatchHandle == nullptr || Context->Type >= EfiMaximumSleepType ||
      Context->Phase >= EfiMaximumPhase)
    return EFI_INVALID_PARAMETER;
  for (SX_HANDLER &S : SxHandlers)
    if (!S.Active) {
      S = {Handler, *Context, true};
      *DispatchHandle = &S;
      return EFI_SUCCESS;
    }
  return EFI_OUT_OF_RESOURCES;
}
EFI_STATUS EFIAPI SxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_HANDLE DispatchHandle) {
  for (SX_HANDLER &S : SxHandlers)
    if (&S == DispatchHandle && S.Active) {
      S.Active = false;
      return EFI_SUCCESS;
    }
  return EFI_INVALID_PARAMETER;
}
EFI_SMM_SX_DISPATCH2_PROTOCOL SxDispatch = {SxRegister, SxUnRegister};

EFI_STATUS RunSxEntry(UINT32 Type) {
  for (SX_HANDLER &S : SxHandlers)
    if (S.Active && S.Context.Type == Type && S.Context.Phase == SxEntry)
      return S.Handler(&S, &S.Context, nullptr, nullptr);
  return EFI_NOT_FOUND;
}

void Query(TEST_SMI_REQUEST &R, MEDIA_CAPSULE_SMM_PROTOCOL *Capsule) {
  R.StagingBuffer = Capsule ? Capsule->StagingBuffer : 0;
  R.SxEntryTypes = R.SxRegistrations = 0;
  for (const SX_HANDLER &S : SxHandlers)
    if (S.Active) {
      ++R.SxRegistrations;
      if (S.Context.Phase == SxEntry) R.SxEntryTypes |= 1u << S.Context.Type;
    }
  R.PreSleepRequestCalls = PreSleepRequestCalls;
  R.PreSleepNotifyCalls = PreSleepNotifyCalls;
  R.ValidationRefusals = ValidationRefusals;
  R.SmramRanges = static_cast<UINT32>(SmramCount);
  R.Status = Capsule ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI TestSmiHandler(EFI_HANDLE, const VOID *, VOID *CommBuffer, UINTN *CommBufferSize) {
  // The SMM core has checked that the buffer lies outside SMRAM; its size is the caller's word.
  if (CommBuffer == nullptr || CommBufferSize == nullptr || *CommBufferSize < sizeof(TEST_SMI_REQUEST))
    return EFI_SUCCESS;
  TEST_SMI_REQUEST &R = *static_cast<TEST_SMI_REQUEST *>(CommBuffer);
  MEDIA_CAPSULE_SMM_PROTOCOL *Capsule = nullptr;
  Smst->SmmLocateProtocol(&gMediaCapsuleSmmProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Capsule));
  switch (R.Function) {
    case TestSmiQuery:
      Query(R, Capsule);
      break;
    case TestSmiStageBlock:
      R.Status = Capsule ? Capsule->StageBlock(&R.Stage) : EFI_NOT_FOUND;
      break;
    case TestSmiCommand:
      R.Status = Capsule ? Capsule->Command(&R.Command) : EFI_NOT_FOUND;
      break;
    case TestSmiRunSxEntry:
      R.Status = RunSxEntry(R.SxType);
      break;
    default:
      R.Status = EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}

VOID Install(const EFI_GUID &Guid, VOID *Interface) {
  EFI_HANDLE Handle = nullptr;
  Smst->SmmInstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, Interface);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI TestPlatformSmmEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_BOOT_SERVICES *Boot = SystemTable->BootServices;
  EFI_SMM_BASE2_PROTOCOL *Base = nullptr;
  EFI_STATUS Status = Boot->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Base));
  if (EFI_ERROR(Status)) return Status;
  Status = Base->GetSmstLocation(Base, &Smst);
  if (EFI_ERROR(Status)) return Status;

  EFI_SMM_ACCESS2_PROTOCOL *Access = nullptr;
  Status = Boot->LocateProtocol(&gEfiSmmAccess2ProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Access));
  if (EFI_ERROR(Status)) return Status;
  UINTN Size = sizeof(Smram);
  Status = Access->GetCapabilities(Access, &Size, Smram);
  if (EFI_ERROR(Status)) return Status;  // without the ranges, validation could not refuse anything
  SmramCount = Size / sizeof(EFI_SMRAM_DESCRIPTOR);

  PreSleepRequestTable[PRE_SLEEP_REQUEST_ENTRY] = reinterpret_cast<VOID *>(PreSleepRequest);
  Install(gSmmBufferValidationProtocolGuid, &Validation);
  Install(gPreSleepRequestServiceGuid, &PreSleepRequestService);
  Install(gPreSleepNotifyServiceGuid, &PreSleepNotifyService);
  Install(gEfiSmmSxDispatch2ProtocolGuid, &SxDispatch);
  EFI_HANDLE Dispatch = nullptr;
  return Smst->SmiHandlerRegister(TestSmiHandler, &gTestPlatformSmiGuid, &Dispatch);
}
