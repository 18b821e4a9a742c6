// The boot manager's memory-type bins, for tools/boot-option-resets.sh (boot_option.cpp).
#pragma once
#include <uefi/uefi.h>

// Started from a boot option: what the boot manager saw, for the reset count.
void ReportMemoryTypes();
// This boot's bins stored as the next boot's, with the reserved bin grown by ExtraReservedPages.
void SeedMemoryTypes(UINT32 ExtraReservedPages);

inline constexpr UINT32 STAGING_BUFFER_PAGES = 32 * 1024 * 1024 / 4096;  // MediaCapsuleSmm's reserved staging buffer
