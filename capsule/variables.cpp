// Command 1 writes the media-capsule record; command 2 describes a capsule image with the
// UEFI capsule structures and schedules it through the "CapsuleUpdateData" series.
#include <startup/library.h>

#include "media_capsule.h"

EFI_SMM_VARIABLE_PROTOCOL *SmmVariable = nullptr;

const EFI_GUID RecognisedCapsuleGuids[2] = {gFirmwareCapsuleGuid, {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};

namespace {

constexpr CHAR16 MediaCapsuleVariableName[] = u"OruMediaCapsuleVariableName";
constexpr CHAR16 CapsuleUpdateDataName[] = u"CapsuleUpdateData";
constexpr UINTN CAPSULE_NAME_FIXED = sizeof(CapsuleUpdateDataName) / sizeof(CHAR16) - 1;
constexpr UINT32 CAPSULE_HEADER_SIZE = sizeof(EFI_CAPSULE_HEADER);

EFI_STATUS LocateSmmVariable(EFI_SMM_VARIABLE_PROTOCOL **Protocol) {
  return SmmSystemTable->SmmLocateProtocol(&gEfiSmmVariableProtocolGuid, nullptr, reinterpret_cast<VOID **>(Protocol));
}

// A bounded copy of a terminated string, in the manner of StrCpyS.
EFI_STATUS CopyName(CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source) {
  UINTN Length = 0;
  while (Length < DestinationChars && Source[Length] != 0) ++Length;
  if (Length >= DestinationChars) return EFI_BUFFER_TOO_SMALL;
  const auto D = reinterpret_cast<UINTN>(Destination), S = reinterpret_cast<UINTN>(Source);
  if (D < S + (Length + 1) * sizeof(CHAR16) && S < D + DestinationChars * sizeof(CHAR16)) return EFI_ACCESS_DENIED;
  MemMove(Destination, Source, (Length + 1) * sizeof(CHAR16));
  return EFI_SUCCESS;
}

UINT64 AlignUp8(UINT64 Address) { return (Address + 7) & ~UINT64{7}; }

VOID WriteDescriptors(UINT64 At, const EFI_CAPSULE_BLOCK_DESCRIPTOR *Blocks, UINTN Count) {
  const EFI_CAPSULE_BLOCK_DESCRIPTOR End = {0, {0}};
  MemMove(reinterpret_cast<VOID *>(At), Blocks, Count * sizeof(*Blocks));
  MemMove(reinterpret_cast<VOID *>(At + Count * sizeof(*Blocks)), &End, sizeof End);
}

// Builds the description of the image in the descriptor pool; gives the first descriptor's
// address. Every refusal comes before the pool is written. No descriptor gets length 0: in the
// capsule format that marks a continuation pointer, not a block.
EFI_STATUS DescribeImage(UINT64 ImageAddress, UINT64 ImageSize, UINT32 Value, UINT64 *First) {
  const bool CallersImage = ImageAddress != 0;
  if (CallersImage) {
    // Only these 16 bytes are read here; they lie in the caller's memory.
    if (BufferValidation == nullptr) return EFI_ACCESS_DENIED;
    EFI_STATUS Status = BufferValidation->ValidateBuffer(reinterpret_cast<const VOID *>(ImageAddress), sizeof(EFI_GUID));
    if (EFI_ERROR(Status)) return Status;
  } else {
    if (StagedSize == 0) return EFI_INVALID_PARAMETER;
    ImageAddress = StagingBuffer;
  }
  EFI_GUID Leading;
  MemMove(&Leading, reinterpret_cast<const VOID *>(ImageAddress), sizeof Leading);
  const UINT64 Pool = reinterpret_cast<UINT64>(DescriptorPool);
  for (const EFI_GUID &Recognised : RecognisedCapsuleGuids) {
    if (!(Leading == Recognised)) continue;
    const EFI_CAPSULE_BLOCK_DESCRIPTOR Image = {CallersImage ? ImageSize : StagedSize, {ImageAddress}};
    if (Image.Length == 0) return EFI_INVALID_PARAMETER;
    *First = AlignUp8(Pool);
    WriteDescriptors(*First, &Image, 1);
    return EFI_SUCCESS;
  }
  const UINT64 Size = StagedSize != 0 ? StagedSize : ImageSize;
  if (Size != Value || Value == 0 || Value > 0xFFFFFFFFu - CAPSULE_HEADER_SIZE) return EFI_INVALID_PARAMETER;
  const EFI_CAPSULE_BLOCK_DESCRIPTOR Blocks[2] = {{CAPSULE_HEADER_SIZE, {Pool}}, {Value, {ImageAddress}}};
  const EFI_CAPSULE_HEADER Header = {gFirmwareCapsuleGuid, CAPSULE_HEADER_SIZE, CAPSULE_FLAGS_PERSIST_ACROSS_RESET,
                                     Value + CAPSULE_HEADER_SIZE};
  MemMove(DescriptorPool, &Header, sizeof Header);
  *First = AlignUp8(Pool + CAPSULE_HEADER_SIZE);
  WriteDescriptors(*First, Blocks, 2);
  return EFI_SUCCESS;
}

// The first free name of the series, given the address of the first block descriptor.
EFI_STATUS WriteCapsuleVariable(UINT64 First) {
  if (SmmVariable == nullptr) {
    EFI_STATUS Status = LocateSmmVariable(&SmmVariable);
    if (EFI_ERROR(Status)) {
      SmmVariable = nullptr;
      return Status;
    }
  }
  CHAR16 Name[CAPSULE_NAME_CHARS];
  EFI_STATUS Status = FindFreeCapsuleVariableName(Name);
  if (EFI_ERROR(Status)) return Status;
  return SmmVariable->SmmSetVariable(Name, &gCapsuleVendorGuid, CAPSULE_VARIABLE_ATTRIBUTES, sizeof First, &First);
}

}  // namespace

EFI_STATUS SetMediaRecord(const UINT8 *Data, UINT32 Value) {
  EFI_SMM_VARIABLE_PROTOCOL *Variable = nullptr;
  EFI_STATUS Status = LocateSmmVariable(&Variable);
  if (EFI_ERROR(Status)) return Status;
  MEDIA_CAPSULE_RECORD Record;
  MemZero(&Record, sizeof Record);
  for (UINTN I = 0; I < 16; ++I) Record.Name[I] = static_cast<CHAR16>(static_cast<INT16>(static_cast<INT8>(Data[I])));
  Record.Value = Value;
  return Variable->SmmSetVariable(MediaCapsuleVariableName, &gMediaCapsuleVariableGuid, CAPSULE_VARIABLE_ATTRIBUTES,
                                  sizeof Record, &Record);
}

EFI_STATUS ScheduleCapsule(const UINT8 *Data, UINT32 Value) {
  UINT64 ImageAddress, ImageSize;
  MemMove(&ImageAddress, Data, 8);
  MemMove(&ImageSize, Data + 8, 8);
  if (StagedSize > StagingCapacity) return EFI_INVALID_PARAMETER;
  // Every variable of the series already scheduled points into the pool: a schedule refused
  // after the pool is written puts back the description those variables were written for.
  UINT8 Previous[DESCRIPTOR_POOL_SIZE];
  MemMove(Previous, DescriptorPool, sizeof Previous);
  UINT64 First = 0;
  EFI_STATUS Status = DescribeImage(ImageAddress, ImageSize, Value, &First);
  if (EFI_ERROR(Status)) return Status;
  Status = WriteCapsuleVariable(First);
  if (EFI_ERROR(Status)) {
    MemMove(DescriptorPool, Previous, sizeof Previous);
    return Status;
  }
  CapsulePending = 1;
  return EFI_SUCCESS;
}

EFI_STATUS WriteDecimalSuffix(CHAR16 *At, UINTN RoomBytes, UINT64 Number) {
  CHAR16 Digits[20];
  UINTN Count = 0;
  do {
    Digits[Count++] = static_cast<CHAR16>(u'0' + Number % 10);
    Number /= 10;
  } while (Number != 0);
  if ((Count + 1) * sizeof(CHAR16) > RoomBytes) return EFI_BUFFER_TOO_SMALL;
  for (UINTN I = 0; I < Count; ++I) At[I] = Digits[Count - 1 - I];
  At[Count] = 0;
  return EFI_SUCCESS;
}

EFI_STATUS FindFreeCapsuleVariableName(CHAR16 *Name) {
  if (SmmVariable == nullptr) return EFI_INVALID_PARAMETER;
  EFI_STATUS Status = CopyName(Name, CAPSULE_NAME_CHARS, CapsuleUpdateDataName);
  if (EFI_ERROR(Status)) return Status;
  UINTN DataSize = 0;
  Status = SmmVariable->SmmGetVariable(Name, &gCapsuleVendorGuid, nullptr, &DataSize, nullptr);
  for (UINT64 N = 1; Status == EFI_BUFFER_TOO_SMALL; ++N) {
    if (EFI_ERROR(WriteDecimalSuffix(Name + CAPSULE_NAME_FIXED, (CAPSULE_NAME_CHARS - CAPSULE_NAME_FIXED) * sizeof(CHAR16), N)))
      return EFI_BUFFER_TOO_SMALL;
    DataSize = 0;
    Status = SmmVariable->SmmGetVariable(Name, &gCapsuleVendorGuid, nullptr, &DataSize, nullptr);
  }
  return EFI_SUCCESS;
}

// Only SMM services: without the SMM runtime-services table the SMM variable protocol answers,
// never the boot-time runtime services, which SMM code must not call.
BOOLEAN CapsuleVariablePresent() {
  UINT32 Attributes = 0;
  UINTN DataSize = 0;
  EFI_STATUS Status;
  if (SmmRuntimeServicesFound) {
    Status = SmmRuntimeServices->GetVariable(CapsuleUpdateDataName, &gCapsuleVendorGuid, &Attributes, &DataSize, nullptr);
  } else {
    if (SmmVariable == nullptr && EFI_ERROR(LocateSmmVariable(&SmmVariable))) SmmVariable = nullptr;
    if (SmmVariable == nullptr) return FALSE;
    Status = SmmVariable->SmmGetVariable(CapsuleUpdateDataName, &gCapsuleVendorGuid, &Attributes, &DataSize, nullptr);
  }
  return Status == EFI_BUFFER_TOO_SMALL;
}
