#include "identify.h"

#include <hw/hw.h>
#include <startup/library.h>

#include "address_mode.h"
#include "translation.h"
#include "transport.h"

UINT32 PartId = 0;
UINT16 PartIdLow = 0;
ADDRESS_MODE PartAddressMode = ADDRESS_MODE::EnterExit;
READ_ID_FUNCTION ReadIdHook = SpiReadId;
constinit const IDENTIFY_FUNCTION IdentifyChain[] = {IdentifySstEsmtParts, IdentifyJedecParts, IdentifySstLegacyParts,
                                                     IdentifyFallback, nullptr};

namespace {

constexpr CHAR8 UnknownDeviceName[] = "Unknown Flash Device";

BOOLEAN RowMatches(const PART_ROW &Row, UINT32 Id) {
  if (Row.Manufacturer != (Id & 0xFF)) return FALSE;
  for (UINTN I = 0; I < MAX_MEMORY_TYPES && Row.MemoryTypes[I] != 0; ++I)
    if (Row.MemoryTypes[I] == ((Id >> 8) & 0xFF)) return TRUE;
  return FALSE;
}

VOID ApplyChange(FLASH_COMMAND_SET &Set, const TEMPLATE_CHANGE &Change) {
  if (Change.Erase4KOp != KEEP_OPCODE) Set.Erase4KOp.Opcode = static_cast<UINT8>(Change.Erase4KOp);
  if (Change.Erase64KOp != KEEP_OPCODE) Set.Erase64KOp.Opcode = static_cast<UINT8>(Change.Erase64KOp);
  if (Change.WriteStatusEnableOp != KEEP_OPCODE)
    Set.WriteStatusEnableOp.Opcode = static_cast<UINT8>(Change.WriteStatusEnableOp);
  if (Change.PageShift != 0) Set.PageSize = 1u << Change.PageShift;
  if (Change.SectorShift != 0) Set.SectorSize = 1u << Change.SectorShift;
}

BOOLEAN QuirkApplies(const PART_QUIRK &Quirk, UINT32 Capacity) {
  const UINT32 Threshold = 1u << Quirk.CapacityShift;
  if (Quirk.Test == CAPACITY_TEST::Within) return Threshold <= Capacity && Capacity <= 1u << Quirk.LastShift;
  return Quirk.Test == CAPACITY_TEST::Equal ? Capacity == Threshold : Capacity >= Threshold;
}

// The identifier again, with the bytes after the first three; read only for the rows whose
// parts need them, so that every other part sees the one three-byte read. Cleared first: a
// read the transport gives up on reads as zeros.
VOID ReadExtendedId(const FLASH_COMMAND_SET &Template, UINT8 (&Bytes)[EXTENDED_ID_BYTES], BOOLEAN &Read) {
  if (Read) return;
  MemZero(Bytes, sizeof Bytes);
  SpiSendCommand(Template.ReadIdOp.Opcode, 0, static_cast<UINT8>(EXTENDED_ID_BYTES), 0, 0, Bytes, FALSE);
  Read = TRUE;
}

VOID SetDeviceName(const CHAR8 *Name) {
  UINTN Length = 0;
  while (Name[Length] != 0) ++Length;
  MemMove(DeviceName, Name, Length);
}

// The common body of the three table-driven identify functions.
BOOLEAN IdentifyFromTable(FLASH_COMMAND_SET &Template, const PART_TABLE &Table, BOOLEAN SetsAddressMode,
                          FLASH_DEVICE_OPS **Ops) {
  UINT32 Id = 0;
  ReadIdHook(&Template, &Id);
  const PART_ROW *Row = nullptr;
  for (UINT8 I = 0; I < Table.Count && Row == nullptr; ++I)
    if (RowMatches(Table.Rows[I], Id)) Row = &Table.Rows[I];
  if (Row == nullptr) return FALSE;

  UINT8 Extended[EXTENDED_ID_BYTES];
  BOOLEAN ExtendedRead = FALSE;
  if (Row->Capacity == CAPACITY_SOURCE::Fixed) {
    FlashSize = 1u << Row->FixedShift;
  } else {
    const CAPACITY_RULE &Rule = CapacityRules[static_cast<UINT8>(Row->Capacity)];
    UINT8 Code = (Id >> 16) & 0xFF;
    if (Rule.CodeByte >= 3) {
      ReadExtendedId(Template, Extended, ExtendedRead);
      Code = Extended[Rule.CodeByte];
    }
    FlashSize = CapacityOfCode(Rule, Code);
  }
  const CHAR8 *Name = Row->Name;
  const PART_QUIRK &Quirk = PartQuirks[static_cast<UINT8>(Row->Quirk)];
  ApplyChange(Template, Quirk.Always);
  if (QuirkApplies(Quirk, FlashSize)) {
    ApplyChange(Template, Quirk.Then);
    if (Quirk.Name != nullptr) Name = Quirk.Name;
  }
  // Byte 4 of 0: uniform large sectors. Also taken when the read gave nothing, as the larger
  // sector keeps every erase inside its range on either variant.
  if (Quirk.ArchitectureShift != 0 && FlashSize == 1u << Quirk.ArchitectureShift) {
    ReadExtendedId(Template, Extended, ExtendedRead);
    if (Extended[4] == 0) ApplyChange(Template, Quirk.Uniform);
  }
  PartAddressMode = Row->AddressMode;
  SetDeviceName(Name);
  *Ops = &FlashDeviceOpsTable;
  MemMove(&PartCommandSet, &Template, sizeof PartCommandSet);
  PartId = Id;
  PartIdLow = static_cast<UINT16>(Id & 0xFFFF);
  FlashDeviceOpsTable.PageSize = Template.PageSize;
  FlashDeviceOpsTable.SectorSize = Template.SectorSize;
  FlashDeviceOpsTable.Name = DeviceName;
  if (SetsAddressMode) SetFourByteMode();
  return TRUE;
}

}  // namespace

EFI_STATUS IdentifyFlashPart() {
  for (const IDENTIFY_FUNCTION *Member = IdentifyChain; *Member != nullptr; ++Member)
    if ((*Member)(IDENTIFY_BASE_ADDRESS, &FlashDeviceOps)) break;
  return EFI_SUCCESS;
}

// The buffer starts cleared: a command the transport gives up on then reads as identifier 0,
// which no table knows.
BOOLEAN SpiReadId(FLASH_COMMAND_SET *CommandSet, UINT32 *Id) {
  UINT8 Buffer[3] = {0, 0, 0};
  SpiSendCommand(CommandSet->ReadIdOp.Opcode, 0, 3, 0, 0, Buffer, FALSE);
  *Id = Buffer[0] + Buffer[1] * 0x100u + Buffer[2] * 0x10000u;
  return TRUE;
}

UINT32 CapacityOfCode(const CAPACITY_RULE &Rule, UINT8 Code) {
  for (UINT8 I = 0; I < Rule.Count; ++I)
    if (Rule.Codes[I].Code == Code) return 1u << Rule.Codes[I].Shift;
  return 1u << Rule.DefaultShift;
}
UINT32 DecodeCapacity(const CAPACITY_RULE &Rule, UINT32 Id) { return CapacityOfCode(Rule, (Id >> 16) & 0xFF); }
UINT32 DecodeCapacityA(UINT32 Id) {
  return DecodeCapacity(CapacityRules[static_cast<UINT8>(CAPACITY_SOURCE::RuleA)], Id);
}
UINT32 DecodeCapacityB(UINT32 Id) {
  return DecodeCapacity(CapacityRules[static_cast<UINT8>(CAPACITY_SOURCE::RuleB)], Id);
}
UINT32 DecodeCapacityC(UINT32 Id) {
  return DecodeCapacity(CapacityRules[static_cast<UINT8>(CAPACITY_SOURCE::RuleC)], Id);
}

BOOLEAN IdentifySstEsmtParts(UINT64, FLASH_DEVICE_OPS **Ops) {
  return IdentifyFromTable(SstEsmtCommandSet, SstEsmtParts, TRUE, Ops);
}
BOOLEAN IdentifyJedecParts(UINT64, FLASH_DEVICE_OPS **Ops) {
  return IdentifyFromTable(JedecCommandSet, JedecParts, TRUE, Ops);
}
BOOLEAN IdentifySstLegacyParts(UINT64, FLASH_DEVICE_OPS **Ops) {
  return IdentifyFromTable(SstLegacyCommandSet, SstLegacyParts, FALSE, Ops);
}

BOOLEAN IdentifyFallback(UINT64 BaseAddress, FLASH_DEVICE_OPS **Ops) {
  return IdentifyFallbackHook != nullptr ? IdentifyFallbackHook(BaseAddress, Ops) : FALSE;
}

BOOLEAN IdentifyUnknownDevice(UINT64, FLASH_DEVICE_OPS **Ops) {
  SetDeviceName(UnknownDeviceName);
  FlashDeviceOpsTable.Name = DeviceName;
  FlashDeviceOpsTable.Read = UnknownDeviceRead;
  FlashDeviceOpsTable.Erase = UnknownDeviceErase;
  FlashDeviceOpsTable.Program = UnknownDeviceProgram;
  FlashDeviceOpsTable.Unprotect = NoOpUnprotect;
  FlashSize = 0x2000000;
  PartId = UNKNOWN_PART_ID;
  *Ops = &FlashDeviceOpsTable;
  return TRUE;
}

VOID EFIAPI UnknownDeviceRead(UINT64 Address, UINT8 *Buffer, UINT32 *Length, BOOLEAN AddressIsMemory) {
  if (AddressIsMemory != 1) return;
  const VOID *Source = PhysToPtr(Address);
  if (*Length != 0 && Buffer != Source) MemMove(Buffer, Source, *Length);
  *Length = 0;
}

EFI_STATUS EFIAPI UnknownDeviceErase(UINT64, UINT32, BOOLEAN) { return EFI_UNSUPPORTED; }

BOOLEAN EFIAPI UnknownDeviceProgram(UINT64, UINT8 *, UINT32 *, BOOLEAN) { return FALSE; }
