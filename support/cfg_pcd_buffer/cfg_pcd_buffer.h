// Platform configuration buffer: a packed record of fixed values and PCD values, and the
// PCD token list copied from a pointer PCD.
#pragma once
#include <uefi/uefi.h>

#pragma pack(push, 1)
struct CFG_PCD_BUFFER {
  UINT16 Field1;   // 0x0101
  UINT8 Field2;    // 3
  UINT16 Field3;   // 0x0080
  UINT8 Field4;    // 1: also the on-switch of the fatal-code display
  UINT8 Field5;    // PCD 1055 (bool)
  UINT8 Field6;    // PCD 1435 (bool)
  UINT8 Field7;    // PCD 1352 (8 bit)
  UINT16 Field8;   // 0x0202
  UINT8 Field9;    // 2
  UINT32 Field10;  // PCD 1438 (32 bit)
  UINT8 Field11;   // PCD 1436 (bool)
  UINT32 Field12;  // PCD 1363 (32 bit)
  UINT32 Field13;  // PCD 1362 (32 bit)
  UINT8 Field14;   // PCD 1437 (8 bit)
  UINT8 Field15;   // 2
};
#pragma pack(pop)
static_assert(sizeof(CFG_PCD_BUFFER) == 27);
static_assert(OFFSET_OF(CFG_PCD_BUFFER, Field4) == 5 && OFFSET_OF(CFG_PCD_BUFFER, Field8) == 9 &&
              OFFSET_OF(CFG_PCD_BUFFER, Field10) == 12 && OFFSET_OF(CFG_PCD_BUFFER, Field12) == 17 &&
              OFFSET_OF(CFG_PCD_BUFFER, Field14) == 25);

extern CFG_PCD_BUFFER CfgPcdBuffer;
extern UINT64 *PcdTokenList;
extern UINT32 PcdTokenListCount;

inline constexpr UINTN PCD_TOKEN_LIST_COUNT = 91;
inline constexpr UINTN PCD_TOKEN_LIST_DATA = 92;

// Start-up step 2 of the DXE drivers: fills the buffer, printing a message for a missing PCD
// protocol. The drivers that carry the token list build it right after (BuildPcdTokenList).
VOID VexCfgPcdBufLibDxeConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The two halves, for images that place them differently. Pool allocation and release of
// the token list are the caller's (boot-services pool in DXE, SMRAM in SMM).
VOID FillCfgPcdBuffer(BOOLEAN PrintMessages);
struct TOKEN_LIST_POOL {
  VOID *(*Allocate)(UINTN Size);
  VOID (*Release)(VOID *Buffer);
};
VOID BuildPcdTokenList(const TOKEN_LIST_POOL &Pool);
VOID FreePcdTokenList(const TOKEN_LIST_POOL &Pool);
extern const TOKEN_LIST_POOL BootServicesTokenListPool;
