// The platform's legacy-region access protocol (provided by its legacy-BIOS support). Only the
// two members that open and close a range of the legacy segments are part of the contract;
// neither receives the interface pointer.
#pragma once
#include "base.h"

struct LEGACY_REGION_ACCESS_PROTOCOL {
  VOID *Reserved[5];
  EFI_STATUS(EFIAPI *OpenLegacyRange)(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength);
  EFI_STATUS(EFIAPI *CloseLegacyRange)(UINT32 Base, UINT32 Length);
};
static_assert(OFFSET_OF(LEGACY_REGION_ACCESS_PROTOCOL, OpenLegacyRange) == 40 &&
              OFFSET_OF(LEGACY_REGION_ACCESS_PROTOCOL, CloseLegacyRange) == 48);

inline constexpr EFI_GUID gLegacyRegionAccessProtocolGuid = {
    0x8E008510, 0x9BB1, 0x457D, {0x9F, 0x70, 0x89, 0x7A, 0xBA, 0x86, 0x5D, 0xB9}};
// Looked up only when the first is absent.
inline constexpr EFI_GUID gSecondLegacyProtocolGuid = {
    0x01FA319E, 0xC36C, 0x4F19, {0x9D, 0x9D, 0xD0, 0x29, 0x0D, 0xBE, 0xE9, 0x28}};
