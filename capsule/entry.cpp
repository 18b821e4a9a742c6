// Image entry with its SMM start-up steps and the unwinding around the module entry, and the
// module entry: staging buffer, descriptor pool, sleep-entry registrations, protocol install.
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>

#include "media_capsule.h"
#include "smm_memory.h"

EFI_SMM_SYSTEM_TABLE2 *SmmSystemTable = nullptr;
EFI_RUNTIME_SERVICES *SmmRuntimeServices = nullptr;
BOOLEAN SmmRuntimeServicesFound = FALSE;
SMM_BUFFER_VALIDATION_PROTOCOL *BufferValidation = nullptr;
EFI_PHYSICAL_ADDRESS StagingBuffer = 0;
UINT32 StagingCapacity = 0;
VOID *DescriptorPool = nullptr;
UINT8 CapsulePending = 0;
EFI_STATUS EntryStatus = EFI_LOAD_ERROR;
constinit JUMP_BUFFER EntryJumpBuffer = {};
VOID *NotifyRegistration = nullptr;
EFI_HANDLE SxDispatchHandles[2] = {nullptr, nullptr};
EFI_HANDLE MediaCapsuleHandle = nullptr;

namespace {

constexpr EFI_SMM_SX_REGISTER_CONTEXT SleepEntryContexts[2] = {{SxS5, SxEntry}, {SxS4, SxEntry}};

constexpr TOKEN_LIST_POOL SmramTokenListPool = {SmmPoolAllocate, ReleaseOwnPool};

EFI_STATUS EFIAPI IgnoreNotify(const EFI_GUID *, VOID *, EFI_HANDLE) { return EFI_SUCCESS; }

VOID LocateSmmSystemTable() {
  EFI_SMM_BASE2_PROTOCOL *SmmBase2 = nullptr;
  if (EFI_ERROR(LibBootServices->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr,
                                                reinterpret_cast<VOID **>(&SmmBase2))))
    return;
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  if (!EFI_ERROR(SmmBase2->GetSmstLocation(SmmBase2, &Smst))) SmmSystemTable = Smst;
}

VOID FindSmmRuntimeServices() {
  if (SmmSystemTable == nullptr) LocateSmmSystemTable();
  if (SmmSystemTable == nullptr) return;
  for (UINTN I = 0; I < SmmSystemTable->NumberOfTableEntries; ++I) {
    const EFI_CONFIGURATION_TABLE &Entry = SmmSystemTable->SmmConfigurationTable[I];
    if (Entry.VendorGuid == gSmmRuntimeServicesTableGuid) {
      if (Entry.VendorTable == nullptr) return;
      SmmRuntimeServices = static_cast<EFI_RUNTIME_SERVICES *>(Entry.VendorTable);
      SmmRuntimeServicesFound = TRUE;
      return;
    }
  }
}

VOID RunSmmStartupSteps(EFI_SYSTEM_TABLE *SystemTable) {
  StoreLibraryTables(SystemTable);
  StoreDriverServiceTables(SystemTable, TRUE);
  SmmRuntimeServices = SystemTable->RuntimeServices;
  LocateSmmSystemTable();
  FillCfgPcdBuffer(FALSE);
  ReadSmramRanges();
  if (HobList == nullptr) GetHobList();
  ImportHeapRecords();
  StartDebugChannels();
  if (SmmSystemTable != nullptr) {
    SmmSystemTable->SmmRegisterProtocolNotify(&gMediaCapsuleNotifyGuid, IgnoreNotify, &NotifyRegistration);
  }
  BuildPcdTokenList(SmramTokenListPool);
  FindSmmRuntimeServices();
  if (SmmSystemTable != nullptr &&
      EFI_ERROR(SmmSystemTable->SmmLocateProtocol(&gSmmBufferValidationProtocolGuid, nullptr,
                                                  reinterpret_cast<VOID **>(&BufferValidation))))
    BufferValidation = nullptr;
}

VOID TearDown() {
  FreePcdTokenList(SmramTokenListPool);
  if (NotifyRegistration != nullptr) {
    SmmSystemTable->SmmRegisterProtocolNotify(&gMediaCapsuleNotifyGuid, nullptr, &NotifyRegistration);
    NotifyRegistration = nullptr;
  }
  if (SmramRanges != nullptr) ReleaseOwnPool(SmramRanges);
  SmramRanges = nullptr;
  SmramRangeCount = 0;
}

// Undoes the module entry's registrations and allocations, newest first.
VOID ReleaseModuleResources(EFI_SMM_SX_DISPATCH2_PROTOCOL *SxDispatch) {
  for (UINTN I = 2; I-- > 0;) {
    if (SxDispatchHandles[I] == nullptr) continue;
    SxDispatch->UnRegister(SxDispatch, SxDispatchHandles[I]);
    SxDispatchHandles[I] = nullptr;
  }
  LibBootServices->FreePages(StagingBuffer, STAGING_PAGES);
  SmmSystemTable->SmmFreePool(DescriptorPool);
  StagingBuffer = 0;
  DescriptorPool = nullptr;
  MediaCapsuleProtocol.StagingBuffer = 0;
}

}  // namespace

EFI_STATUS ModuleEntry() {
  // Outside SMM there is nowhere to keep the driver's state.
  if (SmmSystemTable == nullptr) return EFI_NOT_READY;
  EFI_PHYSICAL_ADDRESS Pages = 0;
  EFI_STATUS Status = LibBootServices->AllocatePages(AllocateAnyPages, EfiReservedMemoryType, STAGING_PAGES, &Pages);
  if (EFI_ERROR(Status)) return Status;
  StagingBuffer = Pages;
  StagingCapacity = STAGING_CAPACITY;
  Status = SmmSystemTable->SmmAllocatePool(EfiRuntimeServicesData, DESCRIPTOR_POOL_SIZE, &DescriptorPool);
  if (EFI_ERROR(Status)) {
    LibBootServices->FreePages(StagingBuffer, STAGING_PAGES);
    StagingBuffer = 0;
    DescriptorPool = nullptr;
    return Status;
  }
  EFI_SMM_SX_DISPATCH2_PROTOCOL *SxDispatch = nullptr;
  Status = SmmSystemTable->SmmLocateProtocol(&gEfiSmmSxDispatch2ProtocolGuid, nullptr,
                                             reinterpret_cast<VOID **>(&SxDispatch));
  for (UINTN I = 0; I < 2 && !EFI_ERROR(Status); ++I) {
    Status = SxDispatch->Register(SxDispatch, SleepEntryHandler, &SleepEntryContexts[I], &SxDispatchHandles[I]);
    if (EFI_ERROR(Status)) SxDispatchHandles[I] = nullptr;  // kept only for what was registered
  }
  if (!EFI_ERROR(Status)) {
    // Set before the install: notifications run inside it and may use the buffer at once.
    MediaCapsuleProtocol.StagingBuffer = StagingBuffer;
    Status = SmmSystemTable->SmmInstallProtocolInterface(&MediaCapsuleHandle, &gMediaCapsuleSmmProtocolGuid,
                                                         EFI_NATIVE_INTERFACE, &MediaCapsuleProtocol);
  }
  if (EFI_ERROR(Status)) ReleaseModuleResources(SxDispatch);
  return Status;
}

extern "C" EFI_STATUS EFIAPI MediaCapsuleSmmEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  RunSmmStartupSteps(SystemTable);
  EntryStatus = EFI_LOAD_ERROR;
  if (SetJump(&EntryJumpBuffer) == 0) {
    const EFI_STATUS Status = ModuleEntry();
    if (!EFI_ERROR(Status) || EFI_ERROR(EntryStatus)) EntryStatus = Status;
    LongJump(&EntryJumpBuffer, ~0ULL);
  }
  if (EFI_ERROR(EntryStatus)) TearDown();
  return EntryStatus;
}
