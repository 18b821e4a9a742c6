// FlashAccessDxe's functions and globals, taken from the image.
#pragma once
#include "support.h"

#include <flash/address_mode.h>
#include <flash/command_set.h>
#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/entry.h>
#include <flash/identify.h>
#include <flash/parts.h>
#include <flash/protection.h>
#include <flash/translation.h>
#include <flash/transport.h>

#define FourByteAddressMode IMAGE_VARIABLE(FourByteAddressMode)
#define SetFourByteMode IMAGE_FUNCTION(SetFourByteMode)
#define ExitFourByteMode IMAGE_FUNCTION(ExitFourByteMode)
#define SstEsmtCommandSet IMAGE_VARIABLE(SstEsmtCommandSet)
#define JedecCommandSet IMAGE_VARIABLE(JedecCommandSet)
#define SstLegacyCommandSet IMAGE_VARIABLE(SstLegacyCommandSet)
#define PartCommandSet IMAGE_VARIABLE(PartCommandSet)
#define Use64KErase IMAGE_VARIABLE(Use64KErase)
#define ReadBySpiCommand IMAGE_FUNCTION(ReadBySpiCommand)
#define VerifyFlashRange IMAGE_FUNCTION(VerifyFlashRange)
#define FlushDataCacheRange IMAGE_FUNCTION(FlushDataCacheRange)
#define FlashDeviceOpsTable IMAGE_VARIABLE(FlashDeviceOpsTable)
#define FlashDeviceOps IMAGE_VARIABLE(FlashDeviceOps)
#define ControllerRegisterBase IMAGE_VARIABLE(ControllerRegisterBase)
#define IdentifyFallbackHook IMAGE_VARIABLE(IdentifyFallbackHook)
#define WriteEnabled IMAGE_VARIABLE(WriteEnabled)
#define BlockSizeEntry IMAGE_VARIABLE(BlockSizeEntry)
#define DeviceName IMAGE_VARIABLE(DeviceName)
#define NoOpUnprotect IMAGE_FUNCTION(NoOpUnprotect)
#define RomSignature IMAGE_VARIABLE(RomSignature)
#define FlashEarlyStartup IMAGE_FUNCTION(FlashEarlyStartup)
#define FlashLateStartup IMAGE_FUNCTION(FlashLateStartup)
#define RegisterReadyToBootEvent IMAGE_FUNCTION(RegisterReadyToBootEvent)
#define PublishRomSignature IMAGE_FUNCTION(PublishRomSignature)
#define FlashAccessEntry IMAGE_FUNCTION(FlashAccessEntry)
#define PartId IMAGE_VARIABLE(PartId)
#define PartIdLow IMAGE_VARIABLE(PartIdLow)
#define ReadIdHook IMAGE_VARIABLE(ReadIdHook)
#define IdentifyChain IMAGE_VARIABLE(IdentifyChain)
#define IdentifyFlashPart IMAGE_FUNCTION(IdentifyFlashPart)
#define SpiReadId IMAGE_FUNCTION(SpiReadId)
#define DecodeCapacity IMAGE_FUNCTION(DecodeCapacity)
#define DecodeCapacityA IMAGE_FUNCTION(DecodeCapacityA)
#define DecodeCapacityB IMAGE_FUNCTION(DecodeCapacityB)
#define DecodeCapacityC IMAGE_FUNCTION(DecodeCapacityC)
#define IdentifySstEsmtParts IMAGE_FUNCTION(IdentifySstEsmtParts)
#define IdentifyJedecParts IMAGE_FUNCTION(IdentifyJedecParts)
#define IdentifySstLegacyParts IMAGE_FUNCTION(IdentifySstLegacyParts)
#define IdentifyFallback IMAGE_FUNCTION(IdentifyFallback)
#define IdentifyUnknownDevice IMAGE_FUNCTION(IdentifyUnknownDevice)
#define UnknownDeviceRead IMAGE_FUNCTION(UnknownDeviceRead)
#define UnknownDeviceErase IMAGE_FUNCTION(UnknownDeviceErase)
#define UnknownDeviceProgram IMAGE_FUNCTION(UnknownDeviceProgram)
#define PartQuirks IMAGE_VARIABLE(PartQuirks)
#define SstEsmtParts IMAGE_VARIABLE(SstEsmtParts)
#define JedecParts IMAGE_VARIABLE(JedecParts)
#define SstLegacyParts IMAGE_VARIABLE(SstLegacyParts)
#define ProtectMask IMAGE_FUNCTION(ProtectMask)
#define ClearBlockProtection IMAGE_FUNCTION(ClearBlockProtection)
#define ControllerSnapshot IMAGE_VARIABLE(ControllerSnapshot)
#define RomWindowBase IMAGE_VARIABLE(RomWindowBase)
#define RomWindowSize IMAGE_VARIABLE(RomWindowSize)
#define WideWindowEnabled IMAGE_VARIABLE(WideWindowEnabled)
#define WideWindowSize IMAGE_VARIABLE(WideWindowSize)
#define FlashSize IMAGE_VARIABLE(FlashSize)
#define WideWindowCheck IMAGE_FUNCTION(WideWindowCheck)
#define RomWindowBank IMAGE_FUNCTION(RomWindowBank)
#define ToRomWindow IMAGE_FUNCTION(ToRomWindow)
#define ToWideWindow IMAGE_FUNCTION(ToWideWindow)
#define ClassifyFlashAddress IMAGE_FUNCTION(ClassifyFlashAddress)
#define MemoryToFlashOffset IMAGE_FUNCTION(MemoryToFlashOffset)
#define FlashToMemory IMAGE_FUNCTION(FlashToMemory)
#define ChipAddress IMAGE_FUNCTION(ChipAddress)
#define SpiSendCommand IMAGE_FUNCTION(SpiSendCommand)

#ifdef IMAGE_DEFINE_THUNKS
IMAGE_THUNK(VOID, Read, (UINT64 A, UINT8 *B, UINT32 *L, BOOLEAN M), (A, B, L, M))
IMAGE_THUNK(BOOLEAN, EraseSector, (UINT64 A), (A))
IMAGE_THUNK(EFI_STATUS, Erase, (UINT64 A, UINT32 L, BOOLEAN M), (A, L, M))
IMAGE_THUNK(BOOLEAN, Program, (UINT64 A, UINT8 *D, UINT32 *L, BOOLEAN M), (A, D, L, M))
IMAGE_THUNK(VOID, NoOp, (), ())
IMAGE_THUNK(VOID, WriteEnable, (), ())
IMAGE_THUNK(VOID, WriteDisable, (), ())
IMAGE_THUNK(BOOLEAN, GetBlockSizes, (UINT32 * *Sizes, UINT32 *Count), (Sizes, Count))
IMAGE_THUNK(EFI_STATUS, ConvertRegisterPointer, (EFI_RUNTIME_SERVICES * R, UINTN I, UINTN A, UINTN B), (R, I, A, B))
#endif
