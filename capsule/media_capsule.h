// MediaCapsuleSmm: stages a capsule image handed over in blocks by another SMM module, and
// turns the next S5/S4 into an RTC-woken S3 while a capsule is scheduled.
#pragma once
#include <uefi/smm_platform.h>
#include <uefi/uefi.h>

#include "set_jump.h"

#pragma pack(push, 1)
struct STAGE_BLOCK_REQUEST {
  UINT64 Source;
  UINT32 Offset;
  UINT32 Length;
};
struct CAPSULE_COMMAND_REQUEST {
  UINT8 Command;
  UINT8 Reserved[4];
  UINT8 Data[16];
  UINT32 Value;
};
struct MEDIA_CAPSULE_INFO {
  UINT16 InfoCode;
  UINT8 CallerBytes[256];  // the caller's, never touched
  UINT8 InfoFlag;
};
#pragma pack(pop)
static_assert(sizeof(STAGE_BLOCK_REQUEST) == 16 && OFFSET_OF(STAGE_BLOCK_REQUEST, Length) == 12);
static_assert(sizeof(CAPSULE_COMMAND_REQUEST) == 25 && OFFSET_OF(CAPSULE_COMMAND_REQUEST, Data) == 5 &&
              OFFSET_OF(CAPSULE_COMMAND_REQUEST, Value) == 21);
static_assert(sizeof(MEDIA_CAPSULE_INFO) == 259 && OFFSET_OF(MEDIA_CAPSULE_INFO, InfoFlag) == 258);

struct MEDIA_CAPSULE_SMM_PROTOCOL {
  EFI_STATUS(EFIAPI *StageBlock)(const STAGE_BLOCK_REQUEST *Request);
  EFI_STATUS(EFIAPI *GetInfo)(MEDIA_CAPSULE_INFO *Info);
  EFI_STATUS(EFIAPI *Command)(const CAPSULE_COMMAND_REQUEST *Request);
  EFI_STATUS(EFIAPI *NoOperation)();
  UINT64 StagingBuffer;
};
static_assert(sizeof(MEDIA_CAPSULE_SMM_PROTOCOL) == 40 && OFFSET_OF(MEDIA_CAPSULE_SMM_PROTOCOL, StagingBuffer) == 32);

inline constexpr EFI_GUID gMediaCapsuleSmmProtocolGuid = {0x3BF4AF16, 0xAB7C, 0x4B43, {0x89, 0x8D, 0xAB, 0x26, 0xAC, 0x5D, 0xDC, 0x6C}};
inline constexpr EFI_GUID gMediaCapsuleNotifyGuid = {0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};

inline constexpr UINT8 CAPSULE_CMD_SET_MEDIA_RECORD = 1;
inline constexpr UINT8 CAPSULE_CMD_SCHEDULE = 2;
inline constexpr UINT8 CAPSULE_CMD_NONE = 4;

inline constexpr UINTN STAGING_PAGES = 8192;
inline constexpr UINT32 STAGING_CAPACITY = 0x2000000;
inline constexpr UINTN DESCRIPTOR_POOL_SIZE = 92;
inline constexpr UINT16 MEDIA_CAPSULE_INFO_CODE = 0x0707;

// Driver state, set during start-up.
extern EFI_SMM_SYSTEM_TABLE2 *SmmSystemTable;
extern EFI_RUNTIME_SERVICES *SmmRuntimeServices;
extern SMM_BUFFER_VALIDATION_PROTOCOL *BufferValidation;
extern EFI_PHYSICAL_ADDRESS StagingBuffer;
extern UINT32 StagingCapacity;
extern UINT32 StagedSize;
extern VOID *DescriptorPool;
extern UINT8 CapsulePending;
extern EFI_STATUS EntryStatus;
extern JUMP_BUFFER EntryJumpBuffer;
extern VOID *NotifyRegistration;
extern EFI_HANDLE SxDispatchHandles[2];  // S5, S4
extern EFI_HANDLE MediaCapsuleHandle;
extern MEDIA_CAPSULE_SMM_PROTOCOL MediaCapsuleProtocol;

// Protocol members.
EFI_STATUS EFIAPI StageBlock(const STAGE_BLOCK_REQUEST *Request);
EFI_STATUS EFIAPI GetInfo(MEDIA_CAPSULE_INFO *Info);
EFI_STATUS EFIAPI Command(const CAPSULE_COMMAND_REQUEST *Request);
EFI_STATUS EFIAPI NoOperation();

// Commands 1 and 2, and the sleep-entry handler.
EFI_STATUS SetMediaRecord(const UINT8 *Data, UINT32 Value);
EFI_STATUS ScheduleCapsule(const UINT8 *Data, UINT32 Value);
EFI_STATUS EFIAPI SleepEntryHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                    UINTN *CommBufferSize);

EFI_STATUS ModuleEntry();
extern "C" EFI_STATUS EFIAPI MediaCapsuleSmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
