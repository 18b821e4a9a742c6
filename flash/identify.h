// Flash part identification: a chain of identify functions, each reading the identifier with
// its own template command set and looking it up in its own table.
#pragma once
#include "command_set.h"
#include "device_ops.h"
#include "parts.h"

extern UINT32 PartId;     // manufacturer in bits 7:0, memory type 15:8, capacity code 23:16
extern UINT16 PartIdLow;  // manufacturer and memory type
extern ADDRESS_MODE PartAddressMode;  // of the identified part's row
using READ_ID_FUNCTION = BOOLEAN (*)(FLASH_COMMAND_SET *CommandSet, UINT32 *Id);
extern READ_ID_FUNCTION ReadIdHook;
extern const IDENTIFY_FUNCTION IdentifyChain[];

inline constexpr UINT64 IDENTIFY_BASE_ADDRESS = 0xFE000000;
inline constexpr UINT32 UNKNOWN_PART_ID = 0x004B4E55;  // "UNK"

EFI_STATUS IdentifyFlashPart();
BOOLEAN SpiReadId(FLASH_COMMAND_SET *CommandSet, UINT32 *Id);

UINT32 CapacityOfCode(const CAPACITY_RULE &Rule, UINT8 Code);
UINT32 DecodeCapacity(const CAPACITY_RULE &Rule, UINT32 Id);
UINT32 DecodeCapacityA(UINT32 Id);
UINT32 DecodeCapacityB(UINT32 Id);
UINT32 DecodeCapacityC(UINT32 Id);

BOOLEAN IdentifySstEsmtParts(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);
BOOLEAN IdentifyJedecParts(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);
BOOLEAN IdentifySstLegacyParts(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);
BOOLEAN IdentifyFallback(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);
BOOLEAN IdentifyUnknownDevice(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops);

VOID EFIAPI UnknownDeviceRead(UINT64 Address, UINT8 *Buffer, UINT32 *Length, BOOLEAN AddressIsMemory);
EFI_STATUS EFIAPI UnknownDeviceErase(UINT64 Address, UINT32 Length, BOOLEAN AddressIsMemory);
BOOLEAN EFIAPI UnknownDeviceProgram(UINT64 Address, UINT8 *Data, UINT32 *Length, BOOLEAN AddressIsMemory);
