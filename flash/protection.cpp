#include "protection.h"

#include "command_set.h"
#include "identify.h"
#include "translation.h"
#include "transport.h"

namespace {

// First match wins; a part no row names gets DEFAULT_PROTECT_MASK with write enable.
constexpr PROTECT_RULE ProtectRules[] = {
    {0x1F, {}, 0x0C, 0, 0, FALSE},
    {0x20, {0x38, 0x43, 0x60, 0x70}, 0x3C, 0, 0, FALSE},
    {0x20, {0x50}, 0x1C, 0x3C, 23, FALSE},  // 0x800000 and larger
    {0x9D, {0x60, 0x70}, 0x3C, 0, 0, FALSE},
    {0xBF, {}, 0x1C, 0, 0, TRUE},
    {0xC2, {0x20}, 0x1C, 0x3C, 22, FALSE},  // 0x400000 and larger
    {0xC2, {0x24, 0x25, 0x28, 0x75}, 0x3C, 0, 0, FALSE},
    {0xC8, {0x40, 0x60, 0x67}, 0x7C, 0, 0, FALSE},
    {0xEF, {0x40, 0x60, 0x70, 0x80}, 0x1C, 0x3C, 25, FALSE},  // 0x2000000 and larger
};

BOOLEAN RuleMatches(const PROTECT_RULE &Rule, UINT32 Id) {
  if (Rule.Manufacturer != (Id & 0xFF)) return FALSE;
  if (Rule.MemoryTypes[0] == 0) return TRUE;
  for (UINT8 Type : Rule.MemoryTypes)
    if (Type != 0 && Type == ((Id >> 8) & 0xFF)) return TRUE;
  return FALSE;
}

VOID ReadStatus(UINT8 *Status) { SpiSendCommand(PartCommandSet.ReadStatusOp.Opcode, 0, 1, 0, 0, Status, FALSE); }

}  // namespace

PROTECTION ProtectMask() {
  PROTECTION Result = {DEFAULT_PROTECT_MASK, PartCommandSet.WriteEnableOp.Opcode};
  for (const PROTECT_RULE &Rule : ProtectRules) {
    if (!RuleMatches(Rule, PartId)) continue;
    const BOOLEAN Large = Rule.LargeShift != 0 && FlashSize >= (1u << Rule.LargeShift);
    Result.Mask = Large ? Rule.LargeMask : Rule.Mask;
    if (Rule.UsesWriteStatusEnable) Result.EnableOpcode = PartCommandSet.WriteStatusEnableOp.Opcode;
    break;
  }
  return Result;
}

// A and B have no use; Seed is what the status byte holds if the first read does not complete.
VOID EFIAPI ClearBlockProtection(UINT8, UINT8, UINT8 Seed) {
  UINT8 Status = Seed;
  ReadStatus(&Status);
  const PROTECTION Protection = ProtectMask();
  if ((Status & Protection.Mask) == 0) return;
  ReadStatus(&Status);
  SpiSendCommand(Protection.EnableOpcode, 0, 0, 0, 0, nullptr, FALSE);
  Status = static_cast<UINT8>(Status & ~Protection.Mask);
  SpiSendCommand(PartCommandSet.WriteStatusOp.Opcode, 1, 0, 0, 0, &Status, TRUE);
}
