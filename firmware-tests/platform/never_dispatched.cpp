// A driver whose dependency nothing satisfies: the test application makes sure the DXE
// dispatcher never started it.
#include <uefi/uefi.h>

extern "C" EFI_STATUS EFIAPI NeverDispatchedEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return EFI_SUCCESS; }
