// Checks of a test application on real firmware: one line per check on the debug console, a
// closing line, and QEMU ended through its isa-debug-exit device with the verdict.
#pragma once
#include <uefi/uefi.h>

#include "out.h"

extern EFI_HANDLE AppImage;
extern EFI_SYSTEM_TABLE *St;
extern EFI_BOOT_SERVICES *Bs;
extern EFI_RUNTIME_SERVICES *Rs;

// Keeps the application's image handle and service tables, and stops the watchdog.
void StartApplication(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// Prints "SUMMARY N passed, N failed" and ends QEMU with the verdict.
EFI_STATUS FinishApplication();

// One line per check: "CHECK PASS <name>" or "CHECK FAIL <name>: <detail>".
bool Check(bool Ok, const char *Name);
bool CheckStatus(EFI_STATUS Got, EFI_STATUS Want, const char *Name);
bool CheckValue(UINT64 Got, UINT64 Want, const char *Name);
void Note(const char *Text);  // an informational line, not a check
bool OptionGiven(const char *Word);  // Word appears in the application's load options
extern UINT64 Passed, Failed;

bool StrEq(const char *A, const char *B);
bool MemEq(const VOID *A, const VOID *B, UINTN Length);
