// Reading and writing the "Setup" variable. A stored record of any size other than
// SETUP_DATA_SIZE has another layout, so every read reports it as not read
// (EFI_BAD_BUFFER_SIZE) and no caller touches it.
#pragma once
#include "setup_data.h"

// Two calls: size query, then a fresh boot-services pool of that size (never released). TRUE,
// with *Setup set, only when the query answered EFI_BUFFER_TOO_SMALL, the pool was granted and
// the read answered EFI_SUCCESS with a whole record.
BOOLEAN ReadSetupAllocating(UINT32 *Attributes, SETUP_DATA **Setup);

// Reads "Setup" into *Buffer, (re)allocating it when it is too small; a null *Buffer starts
// from size 0.
EFI_STATUS GetSetupVariable(const EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize, VOID **Buffer);

// Into the caller's record, no attributes.
EFI_STATUS ReadSetupFixed(SETUP_DATA *Setup);

// The status is ignored by every caller: a refused write leaves the stored record as it was.
VOID WriteSetup(UINT32 Attributes, const SETUP_DATA *Setup);
