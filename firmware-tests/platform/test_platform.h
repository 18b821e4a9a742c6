// What the test platform's drivers share with the test application: the DXE
// driver's record of what it served, and the requests that the application sends through
// EFI_SMM_COMMUNICATION_PROTOCOL to the SMM driver's SMI handler.
#pragma once
#include <capsule/media_capsule.h>
#include <uefi/smm_platform.h>

#include "platform_run.h"

inline constexpr EFI_GUID gTestPlatformProtocolGuid = {0x94A7B229, 0x013D, 0x4ACB, {0xA5, 0xF8, 0x24, 0x27, 0xEB, 0xB8, 0xE1, 0x08}};
struct TEST_PLATFORM_PROTOCOL {
  // Runtime-services pages allocated before the end of DXE: the SMM core accepts communication
  // buffers only in memory of that kind, and SMM code may read blocks staged from there.
  UINT64 CommBuffer;
  UINT64 CommBufferSize;
  const UINTN *LegacyOpenCalls;  // legacy-region protocol calls so far
  const UINTN *LegacyCloseCalls;
  const UINTN *DebugPrintCalls;
  const struct TEST_PCD_LOG *BoardPcdReads;  // one per entry of BoardFirmwareFiles
  const struct TEST_S3_LOG *BoardS3SaveState;  // one per entry of BoardFirmwareFiles
};

// EFI_S3_SAVE_STATE_PROTOCOL as the board images get it from the test platform: how often an
// image located it, and how many boot-script calls (Write, Insert, Label, Compare) it made.
inline constexpr EFI_GUID S3SaveStateProtocolGuid = {0xE857CAF6, 0xC046, 0x45DC, {0xBE, 0x3F, 0xEE, 0x07, 0x65, 0xFB, 0xA8, 0x87}};
struct TEST_S3_LOG {
  UINT32 Located;
  UINT32 BootScriptCalls;
};

// PCD reads of the board's tokens that the DXE driver answered for one board image, in order.
enum TEST_PCD_MEMBER : UINT8 { PcdGet8 = 1, PcdGet16, PcdGet32, PcdGet64, PcdGetPtr, PcdGetBool, PcdGetSize };
struct TEST_PCD_READ {
  UINT16 Token;
  UINT8 Member;
};
struct TEST_PCD_LOG {
  UINT32 Count;  // may exceed the reads kept
  TEST_PCD_READ Reads[16];
};

inline constexpr EFI_GUID gTestPlatformSmiGuid = {0x875088E9, 0xEAB7, 0x4713, {0x8E, 0x10, 0xC8, 0xDE, 0x72, 0xAC, 0x8F, 0x2F}};
enum TEST_SMI_FUNCTION : UINT32 {
  TestSmiQuery = 1,        // fills the Query fields
  TestSmiStageBlock = 2,   // MEDIA_CAPSULE_SMM_PROTOCOL.StageBlock(&Stage)
  TestSmiCommand = 3,      // MEDIA_CAPSULE_SMM_PROTOCOL.Command(&Command)
  TestSmiRunSxEntry = 4,   // runs the handler registered for SxType entry
};
struct TEST_SMI_REQUEST {
  UINT32 Function;
  UINT32 SxType;
  EFI_STATUS Status;  // what the call made in SMM returned; EFI_NOT_FOUND without the protocol
  // Query:
  UINT64 StagingBuffer;  // 0 when MEDIA_CAPSULE_SMM_PROTOCOL is not in the SMM database
  UINT32 SxEntryTypes;   // bit n: a handler is registered for entry into Sn
  UINT32 SxRegistrations;
  UINT32 PreSleepRequestCalls;
  UINT32 PreSleepNotifyCalls;
  UINT32 ValidationRefusals;
  UINT32 SmramRanges;
  STAGE_BLOCK_REQUEST Stage;
  CAPSULE_COMMAND_REQUEST Command;
};

// EFI_SMM_COMMUNICATE_HEADER with the request as its data.
struct TEST_SMI_MESSAGE {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  TEST_SMI_REQUEST Request;
};

inline constexpr EFI_GUID gEfiSmmCommunicationProtocolGuid = {0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};
struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS(EFIAPI *Communicate)(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize);
};

// True when a loaded image's file path names the firmware file File (the dispatchers load
// images from a volume by a path ending in the file's GUID).
inline bool PathNamesFile(const EFI_DEVICE_PATH_PROTOCOL *Path, const EFI_GUID &File) {
  constexpr UINT8 MEDIA_DEVICE_PATH = 4, MEDIA_PIWG_FW_FILE_DP = 6, END_DEVICE_PATH = 0x7F;
  for (UINTN Guard = 0; Path && Path->Type != END_DEVICE_PATH && Guard < 16; ++Guard) {
    const UINTN Length = Path->Length[0] | (Path->Length[1] << 8);
    if (Path->Type == MEDIA_DEVICE_PATH && Path->SubType == MEDIA_PIWG_FW_FILE_DP && Length >= 20)
      return *reinterpret_cast<const EFI_GUID *>(reinterpret_cast<const UINT8 *>(Path) + 4) == File;
    if (Length < 4) return false;
    Path = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<const UINT8 *>(Path) + Length);
  }
  return false;
}
