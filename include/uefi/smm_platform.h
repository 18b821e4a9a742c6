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
