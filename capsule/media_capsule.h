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

extern BOOLEAN SmmRuntimeServicesFound;  // SmmRuntimeServices came from the SMM configuration table
extern EFI_SMM_VARIABLE_PROTOCOL *SmmVariable;  // located by the first command 2

#pragma pack(push, 1)
struct MEDIA_CAPSULE_RECORD {
  UINT8 Zero1[42];
  CHAR16 Name[16];
  CHAR16 Terminator;
  UINT8 Zero2[480];
  UINT32 Value;
};
#pragma pack(pop)
static_assert(sizeof(MEDIA_CAPSULE_RECORD) == 560 && OFFSET_OF(MEDIA_CAPSULE_RECORD, Name) == 42 &&
              OFFSET_OF(MEDIA_CAPSULE_RECORD, Terminator) == 74 && OFFSET_OF(MEDIA_CAPSULE_RECORD, Value) == 556);

inline constexpr EFI_GUID gMediaCapsuleVariableGuid = {0x01368881, 0xC4AD, 0x4B1D, {0xB6, 0x31, 0xD5, 0x7A, 0x8E, 0xC8, 0xDB, 0x6B}};
inline constexpr EFI_GUID gCapsuleVendorGuid = {0x711C703F, 0xC285, 0x4B10, {0xA3, 0xB0, 0x36, 0xEC, 0xBD, 0x3C, 0x8B, 0xE2}};
inline constexpr EFI_GUID gFirmwareCapsuleGuid = {0x4A3CA68B, 0x7723, 0x48FB, {0x80, 0x3D, 0x57, 0x8C, 0xC1, 0xFE, 0xC4, 0x4D}};
inline constexpr UINT32 CAPSULE_VARIABLE_ATTRIBUTES =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
inline constexpr UINTN CAPSULE_NAME_CHARS = 30;
extern const EFI_GUID RecognisedCapsuleGuids[2];

// Commands 1 and 2, the capsule variable series and the sleep-entry work.
EFI_STATUS SetMediaRecord(const UINT8 *Data, UINT32 Value);
EFI_STATUS ScheduleCapsule(const UINT8 *Data, UINT32 Value);
EFI_STATUS FindFreeCapsuleVariableName(CHAR16 *Name);
EFI_STATUS WriteDecimalSuffix(CHAR16 *At, UINTN RoomBytes, UINT64 Number);
BOOLEAN CapsuleVariablePresent();
EFI_STATUS EFIAPI SleepEntryHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                    UINTN *CommBufferSize);
EFI_STATUS PrepareCapsuleWake();
VOID ArmRtcWakeAndSuspend();
UINT8 RtcRead(UINT8 Register);
VOID RtcWrite(UINT8 Register, UINT8 Value);

EFI_STATUS ModuleEntry();
extern "C" EFI_STATUS EFIAPI MediaCapsuleSmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
