#include "cfg_pcd_buffer.h"

#include <startup/library.h>

constinit CFG_PCD_BUFFER CfgPcdBuffer = {};
UINT64 *PcdTokenList = nullptr;
UINT32 PcdTokenListCount = 0;

namespace {

enum class FILL : UINT8 { Constant, GetBool, Get8, Get32 };

struct CFG_PCD_FILL {
  UINT8 Offset;
  UINT8 Width;
  FILL Source;
  UINT32 Value;  // the constant, or the PCD token number
};

#define CFG_FIELD(F) OFFSET_OF(CFG_PCD_BUFFER, F), sizeof(CFG_PCD_BUFFER::F)

// In store order: constants first, then each PCD read followed by its store.
constexpr CFG_PCD_FILL CfgPcdFillOrder[] = {
    {CFG_FIELD(Field1), FILL::Constant, 0x0101}, {CFG_FIELD(Field3), FILL::Constant, 0x0080},
    {CFG_FIELD(Field2), FILL::Constant, 3},      {CFG_FIELD(Field4), FILL::Constant, 1},
    {CFG_FIELD(Field5), FILL::GetBool, 1055},    {CFG_FIELD(Field6), FILL::GetBool, 1435},
    {CFG_FIELD(Field7), FILL::Get8, 1352},       {CFG_FIELD(Field8), FILL::Constant, 0x0202},
    {CFG_FIELD(Field9), FILL::Constant, 2},      {CFG_FIELD(Field10), FILL::Get32, 1438},
    {CFG_FIELD(Field11), FILL::GetBool, 1436},   {CFG_FIELD(Field12), FILL::Get32, 1363},
    {CFG_FIELD(Field13), FILL::Get32, 1362},     {CFG_FIELD(Field14), FILL::Get8, 1437},
    {CFG_FIELD(Field15), FILL::Constant, 2},
};

#undef CFG_FIELD

constexpr CHAR8 ConstructorName[] = "VexCfgPcdBufLibDxeConstructor";

UINT32 ReadFillValue(const CFG_PCD_FILL &Fill) {
  switch (Fill.Source) {
    case FILL::GetBool: return GetPcdProtocol()->GetBool(Fill.Value);
    case FILL::Get8: return GetPcdProtocol()->Get8(Fill.Value);
    case FILL::Get32: return GetPcdProtocol()->Get32(Fill.Value);
    case FILL::Constant: break;
  }
  return Fill.Value;
}

VOID *AllocateBootServicesPool(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EFI_ERROR(LibBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer))) return nullptr;
  return Buffer;
}

VOID FreeBootServicesPool(VOID *Buffer) { LibBootServices->FreePool(Buffer); }

}  // namespace

const TOKEN_LIST_POOL BootServicesTokenListPool = {AllocateBootServicesPool, FreeBootServicesPool};

VOID FillCfgPcdBuffer(BOOLEAN PrintMessages) {
  MemZero(&CfgPcdBuffer, sizeof(CfgPcdBuffer));
  VOID *Interface = nullptr;
  EFI_STATUS Status = LibBootServices->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    if (PrintMessages)
      DebugPrint(DEBUG_ERROR, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n", ConstructorName, Status);
    return;
  }
  Status = LibBootServices->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    if (PrintMessages)
      DebugPrint(DEBUG_ERROR, "[%a] LocateProtocol: gEfiPcdProtocolGuid, Status: %r\n", ConstructorName, Status);
    return;
  }
  auto *Bytes = reinterpret_cast<UINT8 *>(&CfgPcdBuffer);
  for (const CFG_PCD_FILL &Fill : CfgPcdFillOrder) {
    const UINT32 Value = ReadFillValue(Fill);
    MemMove(Bytes + Fill.Offset, &Value, Fill.Width);  // little-endian: the low bytes
  }
}

VOID BuildPcdTokenList(const TOKEN_LIST_POOL &Pool) {
  if (PcdTokenList != nullptr) return;
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd == nullptr) return;
  PcdTokenListCount = Pcd->Get32(PCD_TOKEN_LIST_COUNT);
  const UINT64 Size = static_cast<UINT64>(PcdTokenListCount) * 8;
  auto *List = static_cast<UINT64 *>(Pool.Allocate(Size));
  if (List != nullptr && Size != 0) MemZero(List, Size);
  PcdTokenList = List;
  if (List == nullptr) return;
  const VOID *Source = Pcd->GetPtr(PCD_TOKEN_LIST_DATA);
  // An empty list has no first entry to test, and a missing source has nothing to copy:
  // neither is kept.
  if (Size == 0 || Source == nullptr) {
    FreePcdTokenList(Pool);
    return;
  }
  if (Source != List) MemMove(List, Source, Size);
  if (List[0] == 0) FreePcdTokenList(Pool);
}

VOID FreePcdTokenList(const TOKEN_LIST_POOL &Pool) {
  if (PcdTokenList == nullptr) return;
  Pool.Release(PcdTokenList);
  PcdTokenList = nullptr;
}

VOID VexCfgPcdBufLibDxeConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE *) { FillCfgPcdBuffer(TRUE); }
