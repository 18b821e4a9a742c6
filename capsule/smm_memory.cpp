// SMRAM ranges and the pools that free correctly from either side of them, and the import of
// heap records from GUID HOBs into SMRAM.
#include <startup/library.h>

#include "media_capsule.h"
#include "smm_memory.h"

EFI_SMRAM_DESCRIPTOR *SmramRanges = nullptr;
UINTN SmramRangeCount = 0;
LIST_ENTRY *HeapRecordList = nullptr;
HEAP_RECORD_LIST_PROTOCOL *HeapRecordListRecord = nullptr;

namespace {

constexpr UINT64 HEAP_RECORD_LIST_REVISION = 1;
// A heap HOB carries its name, then the record header, then the data.
constexpr UINT64 HEAP_HOB_MIN_LENGTH = sizeof(EFI_HOB_GUID_TYPE) + sizeof(HEAP_RECORD_HEADER);

VOID ListAppend(LIST_ENTRY *Head, LIST_ENTRY *Entry) {
  Entry->ForwardLink = Head;
  Entry->BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = Entry;
  Head->BackLink = Entry;
}

const EFI_HOB_GENERIC_HEADER *NextHob(const EFI_HOB_GENERIC_HEADER *Hob) {
  return reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<const UINT8 *>(Hob) + Hob->HobLength);
}

// A HOB shorter than its own header cannot lead to the next one.
bool EndsWalk(const EFI_HOB_GENERIC_HEADER *Hob) {
  return Hob->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || Hob->HobLength < sizeof(EFI_HOB_GENERIC_HEADER);
}

VOID ImportHeapRecord(const EFI_HOB_GUID_TYPE *Hob) {
  if (Hob->Header.HobLength < HEAP_HOB_MIN_LENGTH) return;
  HEAP_RECORD_HEADER Header;
  MemMove(&Header, Hob + 1, sizeof Header);
  if (static_cast<UINT64>(Header.DataSize) > Hob->Header.HobLength - HEAP_HOB_MIN_LENGTH) return;
  if (Header.Signature != HEAP_RECORD_SIGNATURE || Header.Import != 1) return;
  auto *Node = static_cast<HEAP_RECORD_NODE *>(SmmPoolAllocate(static_cast<UINT64>(Header.DataSize) + sizeof(HEAP_RECORD_NODE)));
  if (Node == nullptr) {
    ReportFatalCode(Header.Kind == 8 ? FATAL_HEAP_KIND8 : FATAL_HEAP_OTHER);
    return;
  }
  Node->Header = Header;
  ListAppend(HeapRecordList, &Node->Link);
  if (Header.DataSize != 0)
    MemMove(Node + 1, reinterpret_cast<const UINT8 *>(Hob + 1) + sizeof(HEAP_RECORD_HEADER), Header.DataSize);
}

}  // namespace

VOID *SmmPoolAllocate(UINTN Size) {
  VOID *Buffer = nullptr;
  if (SmmSystemTable == nullptr || EFI_ERROR(SmmSystemTable->SmmAllocatePool(EfiRuntimeServicesData, Size, &Buffer)))
    return nullptr;
  return Buffer;
}

BOOLEAN IsBufferInSmram(EFI_PHYSICAL_ADDRESS Address) {
  for (UINTN I = 0; I < SmramRangeCount; ++I)
    if (Address >= SmramRanges[I].CpuStart && Address - SmramRanges[I].CpuStart < SmramRanges[I].PhysicalSize)
      return TRUE;
  return FALSE;
}

VOID PoolFree(VOID *Buffer) {
  if (IsBufferInSmram(reinterpret_cast<EFI_PHYSICAL_ADDRESS>(Buffer)))
    SmmSystemTable->SmmFreePool(Buffer);
  else
    LibBootServices->FreePool(Buffer);
}

// For what this image took from SmmPoolAllocate: without a range table PoolFree cannot tell
// SMRAM apart, and the boot services must never see an SMRAM address.
VOID ReleaseOwnPool(VOID *Buffer) {
  if (SmramRangeCount == 0)
    SmmSystemTable->SmmFreePool(Buffer);
  else
    PoolFree(Buffer);
}

VOID ReadSmramRanges() {
  SmramRanges = nullptr;
  SmramRangeCount = 0;
  EFI_SMM_ACCESS2_PROTOCOL *Access = nullptr;
  if (EFI_ERROR(LibBootServices->LocateProtocol(&gEfiSmmAccess2ProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Access))))
    return;
  UINTN Size = 0;
  Access->GetCapabilities(Access, &Size, nullptr);
  auto *Ranges = static_cast<EFI_SMRAM_DESCRIPTOR *>(SmmPoolAllocate(Size));
  if (Ranges == nullptr) return;
  SmramRanges = Ranges;
  if (EFI_ERROR(Access->GetCapabilities(Access, &Size, Ranges))) return;  // kept for the teardown, no ranges
  SmramRangeCount = Size / sizeof(EFI_SMRAM_DESCRIPTOR);
}

const EFI_HOB_GUID_TYPE *NextHeapRecordHob(const EFI_HOB_GENERIC_HEADER *Hob) {
  for (; !EndsWalk(Hob); Hob = NextHob(Hob)) {
    if (Hob->HobType != EFI_HOB_TYPE_GUID_EXTENSION || Hob->HobLength < sizeof(EFI_HOB_GUID_TYPE)) continue;
    const auto *GuidHob = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(Hob);
    if (GuidHob->Name == gHeapRecordHobGuid) return GuidHob;
  }
  return nullptr;
}

VOID ImportHeapRecords() {
  // Outside SMM there is no SMRAM to import into; the entry then fails with nothing kept.
  if (SmmSystemTable == nullptr) return;
  HEAP_RECORD_LIST_PROTOCOL *Existing = nullptr;
  if (!EFI_ERROR(LibBootServices->LocateProtocol(&gHeapRecordListProtocolGuid, nullptr,
                                                 reinterpret_cast<VOID **>(&Existing))) &&
      Existing != nullptr) {
    HeapRecordList = &Existing->ListHead;
    return;
  }
  // The record lives in SMRAM pool, not in this image: the list outlives an image whose entry fails.
  auto *Record = static_cast<HEAP_RECORD_LIST_PROTOCOL *>(SmmPoolAllocate(sizeof(HEAP_RECORD_LIST_PROTOCOL)));
  if (Record == nullptr) {
    ReportFatalCode(FATAL_HEAP_INSTALL);
    return;
  }
  Record->Revision = HEAP_RECORD_LIST_REVISION;
  Record->ListHead.ForwardLink = Record->ListHead.BackLink = &Record->ListHead;
  HeapRecordListRecord = Record;
  HeapRecordList = &Record->ListHead;
  if (HobList == nullptr) GetHobList();
  if (HobList != nullptr) {
    for (const EFI_HOB_GUID_TYPE *Hob = NextHeapRecordHob(static_cast<const EFI_HOB_GENERIC_HEADER *>(HobList));
         Hob != nullptr; Hob = NextHeapRecordHob(NextHob(&Hob->Header)))
      ImportHeapRecord(Hob);
  }
  EFI_HANDLE Handle = nullptr;
  if (LibBootServices->InstallProtocolInterface(&Handle, &gHeapRecordListProtocolGuid, EFI_NATIVE_INTERFACE, Record) !=
      EFI_SUCCESS)
    ReportFatalCode(FATAL_HEAP_INSTALL);
}
