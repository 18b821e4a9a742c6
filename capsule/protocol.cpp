// MEDIA_CAPSULE_SMM_PROTOCOL. The request records lie in the caller's memory: each is read
// once into locals, so the caller cannot change a field between the checks and its use.
#include <startup/library.h>

#include "media_capsule.h"

UINT32 StagedSize = 0;

constinit MEDIA_CAPSULE_SMM_PROTOCOL MediaCapsuleProtocol = {StageBlock, GetInfo, Command, NoOperation, 0};

EFI_STATUS EFIAPI StageBlock(const STAGE_BLOCK_REQUEST *Request) {
  if (BufferValidation == nullptr) return EFI_ACCESS_DENIED;
  if (Request == nullptr) return EFI_INVALID_PARAMETER;
  STAGE_BLOCK_REQUEST Block;
  MemMove(&Block, Request, sizeof Block);
  EFI_STATUS Status = BufferValidation->ValidateBuffer(reinterpret_cast<const VOID *>(Block.Source), Block.Length);
  if (EFI_ERROR(Status)) return Status;
  if (Block.Length > StagingCapacity || Block.Offset > StagingCapacity - Block.Length) return EFI_BUFFER_TOO_SMALL;
  if (Block.Offset == 0) StagedSize = 0;
  const EFI_PHYSICAL_ADDRESS Target = StagingBuffer + Block.Offset;
  if (Block.Length != 0 && Block.Source != Target)
    MemMove(reinterpret_cast<VOID *>(Target), reinterpret_cast<const VOID *>(Block.Source), Block.Length);
  // Blocks at repeated offsets could wrap the running sum back below the capacity.
  StagedSize = Block.Length > 0xFFFFFFFFu - StagedSize ? 0xFFFFFFFFu : StagedSize + Block.Length;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetInfo(MEDIA_CAPSULE_INFO *Info) {
  if (Info == nullptr) return EFI_INVALID_PARAMETER;
  Info->InfoCode = MEDIA_CAPSULE_INFO_CODE;
  Info->InfoFlag = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Command(const CAPSULE_COMMAND_REQUEST *Request) {
  if (Request == nullptr) return EFI_INVALID_PARAMETER;
  CAPSULE_COMMAND_REQUEST Local;
  MemMove(&Local, Request, sizeof Local);
  switch (Local.Command) {
    case CAPSULE_CMD_SET_MEDIA_RECORD: return SetMediaRecord(Local.Data, Local.Value);
    case CAPSULE_CMD_SCHEDULE: return ScheduleCapsule(Local.Data, Local.Value);
    case CAPSULE_CMD_NONE: return EFI_SUCCESS;
    default: return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS EFIAPI NoOperation() { return EFI_SUCCESS; }
