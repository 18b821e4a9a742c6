// PI SMM definitions (PI specification volume 4): system table, base and access protocols,
// SMRAM descriptors and the Sx dispatch protocol.
#pragma once
#include "system_table.h"

struct EFI_SMM_SYSTEM_TABLE2;

using EFI_SMM_NOTIFY_FN = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle);
using EFI_SMM_HANDLER_ENTRY_POINT2 = EFI_STATUS(EFIAPI *)(EFI_HANDLE DispatchHandle, const VOID *Context,
                                                          VOID *CommBuffer, UINTN *CommBufferSize);

struct EFI_SMM_CPU_IO_ACCESS2 {
  EFI_STATUS(EFIAPI *Read)(const VOID *This, UINTN Width, UINT64 Address, UINTN Count, VOID *Buffer);
  EFI_STATUS(EFIAPI *Write)(const VOID *This, UINTN Width, UINT64 Address, UINTN Count, VOID *Buffer);
};
struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_SMM_CPU_IO_ACCESS2 Mem;
  EFI_SMM_CPU_IO_ACCESS2 Io;
};
static_assert(sizeof(EFI_SMM_CPU_IO2_PROTOCOL) == 32);

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_STATUS(EFIAPI *SmmInstallConfigurationTable)(const EFI_SMM_SYSTEM_TABLE2 *SystemTable, const EFI_GUID *Guid,
                                                   VOID *Table, UINTN TableSize);
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_STATUS(EFIAPI *SmmAllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS(EFIAPI *SmmFreePool)(VOID *Buffer);
  EFI_STATUS(EFIAPI *SmmAllocatePages)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                       EFI_PHYSICAL_ADDRESS *Memory);
  EFI_STATUS(EFIAPI *SmmFreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_STATUS(EFIAPI *SmmStartupThisAp)(VOID(EFIAPI *Procedure)(VOID *), UINTN CpuNumber, VOID *ProcArguments);
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN *CpuSaveStateSize;
  VOID **CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *SmmConfigurationTable;
  EFI_STATUS(EFIAPI *SmmInstallProtocolInterface)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                  EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
  EFI_STATUS(EFIAPI *SmmUninstallProtocolInterface)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS(EFIAPI *SmmHandleProtocol)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
  EFI_STATUS(EFIAPI *SmmRegisterProtocolNotify)(const EFI_GUID *Protocol, EFI_SMM_NOTIFY_FN Function,
                                                VOID **Registration);
  EFI_STATUS(EFIAPI *SmmLocateHandle)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                      VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer);
  EFI_STATUS(EFIAPI *SmmLocateProtocol)(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_STATUS(EFIAPI *SmiManage)(const EFI_GUID *HandlerType, const VOID *Context, VOID *CommBuffer,
                                UINTN *CommBufferSize);
  EFI_STATUS(EFIAPI *SmiHandlerRegister)(EFI_SMM_HANDLER_ENTRY_POINT2 Handler, const EFI_GUID *HandlerType,
                                         EFI_HANDLE *DispatchHandle);
  EFI_STATUS(EFIAPI *SmiHandlerUnRegister)(EFI_HANDLE DispatchHandle);
};
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable) == 0x28);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 0x30);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 0x50);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 0x58);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 0x78);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries) == 0x98);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmConfigurationTable) == 0xA0);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 0xA8);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 0xC0);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 0xD0);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmiHandlerUnRegister) == 0xE8);
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 0xF0);

struct EFI_SMM_BASE2_PROTOCOL {
  EFI_STATUS(EFIAPI *InSmm)(const EFI_SMM_BASE2_PROTOCOL *This, BOOLEAN *InSmram);
  EFI_STATUS(EFIAPI *GetSmstLocation)(const EFI_SMM_BASE2_PROTOCOL *This, EFI_SMM_SYSTEM_TABLE2 **Smst);
};
static_assert(OFFSET_OF(EFI_SMM_BASE2_PROTOCOL, GetSmstLocation) == 8);

inline constexpr EFI_GUID gEfiSmmBase2ProtocolGuid = {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};

struct EFI_SMRAM_DESCRIPTOR {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64 PhysicalSize;
  UINT64 RegionState;
};
static_assert(sizeof(EFI_SMRAM_DESCRIPTOR) == 32 && OFFSET_OF(EFI_SMRAM_DESCRIPTOR, PhysicalSize) == 16);

struct EFI_SMM_ACCESS2_PROTOCOL {
  EFI_STATUS(EFIAPI *Open)(EFI_SMM_ACCESS2_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Close)(EFI_SMM_ACCESS2_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Lock)(EFI_SMM_ACCESS2_PROTOCOL *This);
  EFI_STATUS(EFIAPI *GetCapabilities)(const EFI_SMM_ACCESS2_PROTOCOL *This, UINTN *SmramMapSize,
                                      EFI_SMRAM_DESCRIPTOR *SmramMap);
  BOOLEAN LockState;
  BOOLEAN OpenState;
};
static_assert(OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, GetCapabilities) == 24 &&
              OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, LockState) == 32 && sizeof(EFI_SMM_ACCESS2_PROTOCOL) == 40);

enum EFI_SLEEP_TYPE : UINT32 { SxS0, SxS1, SxS2, SxS3, SxS4, SxS5, EfiMaximumSleepType };
enum EFI_SLEEP_PHASE : UINT32 { SxEntry, SxExit, EfiMaximumPhase };

struct EFI_SMM_SX_REGISTER_CONTEXT {
  EFI_SLEEP_TYPE Type;
  EFI_SLEEP_PHASE Phase;
};
static_assert(sizeof(EFI_SMM_SX_REGISTER_CONTEXT) == 8 && OFFSET_OF(EFI_SMM_SX_REGISTER_CONTEXT, Phase) == 4);

struct EFI_SMM_SX_DISPATCH2_PROTOCOL {
  EFI_STATUS(EFIAPI *Register)(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                               const EFI_SMM_SX_REGISTER_CONTEXT *RegisterContext, EFI_HANDLE *DispatchHandle);
  EFI_STATUS(EFIAPI *UnRegister)(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_HANDLE DispatchHandle);
};
static_assert(sizeof(EFI_SMM_SX_DISPATCH2_PROTOCOL) == 16);
