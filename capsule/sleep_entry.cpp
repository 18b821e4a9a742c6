// Sleep-entry handler, registered for S5 and S4 entry.
#include "media_capsule.h"

EFI_STATUS EFIAPI SleepEntryHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  // Without a pending capsule the requested sleep goes ahead unchanged.
  return EFI_WARN_INTERRUPT_SOURCE_QUIESCED;
}
