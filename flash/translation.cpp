#include "translation.h"

#include <startup/library.h>

UINT32 ControllerSnapshot[CONTROLLER_SNAPSHOT_REGISTERS] = {};
UINT32 RomWindowBase = 0;
UINT32 RomWindowSize = 0;
BOOLEAN WideWindowEnabled = 0;
UINT32 WideWindowSize = FLASH_16MB;
UINT32 FlashSize = 0x2000000;

namespace {
// Family, extended family and extended model fields of the processor signature; processors
// from this signature on can decode the wide window.
constexpr UINT32 SIGNATURE_FIELDS = 0x0FFF0F00;
constexpr UINT32 WIDE_WINDOW_SIGNATURE = 0x00830F00;
constexpr UINT32 REG_WIDE_WINDOW_ENABLE = 0x50;
}  // namespace

BOOLEAN WideWindowCheck() {
  UINT32 Signature = 0;
  CpuId(1, &Signature, nullptr, nullptr, nullptr);
  if ((Signature & SIGNATURE_FIELDS) < WIDE_WINDOW_SIGNATURE) return FALSE;
  if ((Reg(REG_WIDE_WINDOW_ENABLE) & 1) == 0) return FALSE;
  WideWindowEnabled = 1;
  WideWindowSize = WIDE_WINDOW_SIZE;
  return TRUE;
}
