// SMM services of the platform that are not PI-defined (the SMM core's buffer validation, the
// heap-record list shared by SMM drivers), and the GUIDs of the PI SMM protocols they sit beside.
#pragma once
#include "smm.h"

struct LIST_ENTRY {
  LIST_ENTRY *ForwardLink;
  LIST_ENTRY *BackLink;
};
static_assert(sizeof(LIST_ENTRY) == 16);

// Answers EFI_SUCCESS when SMM code may read [Buffer, Buffer + Length), an error otherwise.
struct SMM_BUFFER_VALIDATION_PROTOCOL {
  EFI_STATUS(EFIAPI *ValidateBuffer)(const VOID *Buffer, UINTN Length);
};
inline constexpr EFI_GUID gSmmBufferValidationProtocolGuid = {0xDA473D7F, 0x4B31, 0x4D63, {0x92, 0xB7, 0x3D, 0x90, 0x5E, 0xF8, 0x4B, 0x84}};

struct HEAP_RECORD_LIST_PROTOCOL {
  UINT64 Revision;
  LIST_ENTRY ListHead;
};
static_assert(sizeof(HEAP_RECORD_LIST_PROTOCOL) == 24 && OFFSET_OF(HEAP_RECORD_LIST_PROTOCOL, ListHead) == 8);
inline constexpr EFI_GUID gHeapRecordListProtocolGuid = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
inline constexpr EFI_GUID gHeapRecordHobGuid = {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

struct HEAP_RECORD_HEADER {
  UINT32 Signature;  // "HEAP"
  UINT32 Reserved1;
  UINT32 DataSize;   // bytes after this header
  UINT8 Kind;
  UINT8 Import;
  UINT16 Reserved2;
};
static_assert(sizeof(HEAP_RECORD_HEADER) == 16 && OFFSET_OF(HEAP_RECORD_HEADER, DataSize) == 8 &&
              OFFSET_OF(HEAP_RECORD_HEADER, Kind) == 12 && OFFSET_OF(HEAP_RECORD_HEADER, Import) == 13);
inline constexpr UINT32 HEAP_RECORD_SIGNATURE = 0x50414548;

struct HEAP_RECORD_NODE {
  LIST_ENTRY Link;
  HEAP_RECORD_HEADER Header;
  // DataSize bytes of data follow.
};
static_assert(sizeof(HEAP_RECORD_NODE) == 32);

inline constexpr EFI_GUID gEfiSmmAccess2ProtocolGuid = {0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}};
inline constexpr EFI_GUID gEfiSmmSxDispatch2ProtocolGuid = {0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}};
inline constexpr EFI_GUID gSmmRuntimeServicesTableGuid = {0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};

// The SMM core's variable service: the runtime-services variable calls, for SMM callers.
struct EFI_SMM_VARIABLE_PROTOCOL {
  EFI_STATUS(EFIAPI *SmmGetVariable)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 *Attributes,
                                     UINTN *DataSize, VOID *Data);
  EFI_STATUS(EFIAPI *SmmGetNextVariableName)(UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid);
  EFI_STATUS(EFIAPI *SmmSetVariable)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 Attributes,
                                     UINTN DataSize, const VOID *Data);
  EFI_STATUS(EFIAPI *SmmQueryVariableInfo)(UINT32 Attributes, UINT64 *MaximumVariableStorageSize,
                                           UINT64 *RemainingVariableStorageSize, UINT64 *MaximumVariableSize);
};
static_assert(OFFSET_OF(EFI_SMM_VARIABLE_PROTOCOL, SmmSetVariable) == 16 && sizeof(EFI_SMM_VARIABLE_PROTOCOL) == 32);
inline constexpr EFI_GUID gEfiSmmVariableProtocolGuid = {0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}};

// Platform services called just before the sleep entry is redirected.
struct PRE_SLEEP_REQUEST_SERVICE {
  VOID *Reserved;
  VOID **Table;  // entry 18: EFI_STATUS (EFIAPI *)(VOID *RequestBlock)
};
inline constexpr UINTN PRE_SLEEP_REQUEST_ENTRY = 18;
using PRE_SLEEP_REQUEST_FN = EFI_STATUS(EFIAPI *)(VOID *RequestBlock);
struct PRE_SLEEP_NOTIFY_SERVICE {
  EFI_STATUS(EFIAPI *Notify)(UINTN Phase);
};
inline constexpr EFI_GUID gPreSleepRequestServiceGuid = {0x3EF7500E, 0xCF55, 0x474F, {0x8E, 0x7E, 0x00, 0x9E, 0x0E, 0xAC, 0xEC, 0xD2}};
inline constexpr EFI_GUID gPreSleepNotifyServiceGuid = {0x4FC43BBE, 0x1433, 0x4951, {0xAC, 0x2D, 0x0D, 0x01, 0xFE, 0xC0, 0x0E, 0xB1}};
