// Fundamental UEFI data types, calling convention and status codes (UEFI 2.x, section 2.3).
#pragma once

#if defined(UEFI_FIRMWARE) == defined(UEFI_HOST)
#error "Define exactly one of UEFI_FIRMWARE and UEFI_HOST"
#endif

using UINT8 = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using UINT64 = unsigned long long;
using INT8 = signed char;
using INT16 = short;
using INT32 = int;
using INT64 = long long;
using UINTN = UINT64;
using INTN = INT64;
using BOOLEAN = UINT8;
using CHAR8 = char;
using CHAR16 = char16_t;
using VOID = void;

using EFI_STATUS = UINTN;
using EFI_HANDLE = VOID *;
using EFI_EVENT = VOID *;
using EFI_TPL = UINTN;
using EFI_PHYSICAL_ADDRESS = UINT64;
using EFI_VIRTUAL_ADDRESS = UINT64;

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4 &&
              sizeof(UINT64) == 8 && sizeof(UINTN) == sizeof(VOID *) && sizeof(CHAR16) == 2);

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

#define IN
#define OUT
#define OPTIONAL
#define CONST const

// Every function pointer in a UEFI table uses the Microsoft x64 convention. The firmware
// target gives it by default; the host build must ask for it.
#if defined(UEFI_HOST)
#define EFIAPI __attribute__((ms_abi))
using VA_LIST = __builtin_ms_va_list;
#define VA_START(List, Last) __builtin_ms_va_start(List, Last)
#define VA_END(List) __builtin_ms_va_end(List)
#else
#define EFIAPI
using VA_LIST = __builtin_va_list;
#define VA_START(List, Last) __builtin_va_start(List, Last)
#define VA_END(List) __builtin_va_end(List)
#endif
#define VA_ARG(List, Type) __builtin_va_arg(List, Type)

#define OFFSET_OF(Type, Field) __builtin_offsetof(Type, Field)

inline constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
constexpr EFI_STATUS EncodeError(UINTN Code) { return EFI_ERROR_BIT | Code; }
constexpr EFI_STATUS EncodeWarning(UINTN Code) { return Code; }
constexpr bool EFI_ERROR(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
inline constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
inline constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
inline constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
inline constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
inline constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
inline constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EncodeError(10);
inline constexpr EFI_STATUS EFI_VOLUME_FULL = EncodeError(11);
inline constexpr EFI_STATUS EFI_NO_MEDIA = EncodeError(12);
inline constexpr EFI_STATUS EFI_MEDIA_CHANGED = EncodeError(13);
inline constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
inline constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
inline constexpr EFI_STATUS EFI_NO_RESPONSE = EncodeError(16);
inline constexpr EFI_STATUS EFI_NO_MAPPING = EncodeError(17);
inline constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
inline constexpr EFI_STATUS EFI_NOT_STARTED = EncodeError(19);
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
inline constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EncodeError(26);
// PI-defined warnings lie in their own range, 0x2000000000000000 and up.
inline constexpr EFI_STATUS EFI_WARN_INTERRUPT_SOURCE_QUIESCED = 0x2000000000000001ULL;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16 && OFFSET_OF(EFI_GUID, Data4) == 8);

constexpr bool operator==(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (int I = 0; I < 8; ++I)
    if (A.Data4[I] != B.Data4[I]) return false;
  return true;
}

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24 && OFFSET_OF(EFI_TABLE_HEADER, Revision) == 8 &&
              OFFSET_OF(EFI_TABLE_HEADER, CRC32) == 16);

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month, Day, Hour, Minute, Second, Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight, Pad2;
};
static_assert(sizeof(EFI_TIME) == 16 && OFFSET_OF(EFI_TIME, Nanosecond) == 8 &&
              OFFSET_OF(EFI_TIME, TimeZone) == 12);
