// Support library shared by every driver image: cached service tables, runtime pools, SMM
// marker detection, HOB list lookup, debug print, PCD protocol cache, memory and processor
// helpers. All state is image globals, written during start-up.
#pragma once
#include <uefi/uefi.h>

extern EFI_SYSTEM_TABLE *LibSystemTable;
extern EFI_BOOT_SERVICES *LibBootServices;
extern EFI_SYSTEM_TABLE *DriverSystemTable;
extern EFI_BOOT_SERVICES *DriverBootServices;
extern EFI_RUNTIME_SERVICES *DriverRuntimeServices;
extern VOID *RuntimePool32;
extern VOID *RuntimePool100;
extern VOID *RuntimePool8;
extern VOID *HobList;
extern BOOLEAN SmmMarkerFound;
extern VOID *SmmMarkerRegistration;
extern DEBUG_PRINT_PROTOCOL *DebugPrintProtocol;
extern PCD_PROTOCOL *PcdProtocol;

inline constexpr EFI_GUID gSmmMarkerProtocolGuid = {0xAAB18F19, 0xFE14, 0x4666, {0x86, 0x04, 0x87, 0xFF, 0x6D, 0x66, 0x2C, 0x9A}};

// Memory and processor helpers.
VOID *MemFill(VOID *Buffer, UINTN Length, UINT8 Value);
VOID *MemZero(VOID *Buffer, UINTN Length);
VOID *MemMove(VOID *Destination, const VOID *Source, UINTN Length);
UINT32 CpuId(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);
VOID CpuPause();
VOID MemoryFence();
UINT64 ReadTimeStampCounter();
VOID WriteBackInvalidateCaches();
VOID *FlushCacheLine(VOID *Address);

// Services.
EFI_STATUS EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...);
PCD_PROTOCOL *GetPcdProtocol();
EFI_STATUS GetHobList();

// Start-up steps (startup.h puts them in order for each driver).
VOID StoreLibraryTables(EFI_SYSTEM_TABLE *SystemTable);
VOID AllocateRuntimePools();
VOID DetectSmmMarker();
EFI_STATUS EFIAPI SmmMarkerNotify(const EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle);
VOID StoreDriverServiceTables(EFI_SYSTEM_TABLE *SystemTable, BOOLEAN KeepBootServices);
VOID FreeStartupPools();
