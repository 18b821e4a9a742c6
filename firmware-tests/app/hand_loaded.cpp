// The cases that the platform run's dispatch cannot give a driver, with the drivers loaded and
// started by hand on Debian's OVMF: no legacy-region protocol at ReadyToBoot, no "Setup" or one
// of another size in OVMF's own variable store, a refused sleep-entry registration. Everything
// else the drivers do on real firmware the platform run checks.
#include "hand_loaded.h"

#include <capsule/media_capsule.h>

#include "smm_env.h"

namespace {

void Suite(const char *Driver) {
  Log << "SUITE " << Driver;
  Log.End();
}

DRIVER_RUN Start(const char *Driver) {
  TestPlatform Platform;
  Platform.Enter();
  DRIVER_RUN Run = RunDriver(Driver);
  Platform.Leave();
  return Run;
}

void LogStatus(const char *What, EFI_STATUS Status) {
  Log << What;
  Log.Status(Status);
}

// FlashAccessDxe registers its ReadyToBoot callback at entry and looks for the legacy-region
// protocol only in it. Without the protocol the callback writes nothing, even where the
// F-segment is writable RAM; once the protocol is there, the same image's next callback writes
// the signature, so the first result is the absence's doing and not a callback that never ran.
constexpr UINT64 SIGNATURE_ADDRESS = 0xFF5F0;
constexpr UINT8 Signature[9] = {'Q', 'X', 'V', '-', 'T', 'B', 'N', '4', 0};

auto *SignatureArea() { return reinterpret_cast<volatile UINT8 *>(SIGNATURE_ADDRESS); }

void FillSignatureArea(UINT8 Fill) {
  SetFSegmentWritable(true);
  for (UINTN I = 0; I < sizeof Signature; ++I) SignatureArea()[I] = Fill;
}

bool SignatureAreaHolds(UINT8 Fill) {
  for (UINTN I = 0; I < sizeof Signature; ++I)
    if (SignatureArea()[I] != Fill) return false;
  return true;
}

void FlashWithoutLegacyRegion() {
  Suite("FlashAccessDxe");
  const DRIVER_RUN Run = Start("FlashAccessDxe");
  FillSignatureArea(0xAA);
  SignalReadyToBoot();
  const bool Untouched = SignatureAreaHolds(0xAA);

  EFI_HANDLE Handle = nullptr;
  Bs->InstallProtocolInterface(&Handle, &gLegacyRegionProtocolGuid, EFI_NATIVE_INTERFACE, &TestLegacyRegion);
  FillSignatureArea(0x55);
  SetFSegmentWritable(false);  // the driver must open the range itself
  SignalReadyToBoot();
  const bool Written = MemEq(const_cast<UINT8 *>(SignatureArea()), Signature, sizeof Signature);
  Bs->UninstallProtocolInterface(Handle, &gLegacyRegionProtocolGuid, &TestLegacyRegion);

  if (Check(Run.StartStatus == EFI_SUCCESS && Untouched && Written,
            "FlashAccessDxe: ReadyToBoot without the legacy-region protocol leaves 0xFF5F0 alone (with it, the "
            "next ReadyToBoot writes the signature)"))
    return Log.End(), void();
  LogStatus(": StartImage ", Run.StartStatus);
  Log << (Untouched ? "" : ", written without the protocol") << (Written ? "" : ", not written with it");
  Log.End();
}

// The board drivers with no "Setup", or one of another size: each starts with EFI_SUCCESS and
// creates or changes nothing. The record is stored with attributes other than the usual 7, so
// that one written back with fixed attributes shows, and where it is long enough with the
// one-shot Super I/O mode at 272, which SioSetupDxe would act on and write back.
constexpr CHAR16 SetupName[] = u"Setup";
constexpr UINT32 SETUP_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN MAX_SETUP = 320;
UINT8 Stored[MAX_SETUP], Got[MAX_SETUP];

void DeleteSetup() { Rs->SetVariable(SetupName, &gSetupVariableGuid, 0, 0, nullptr); }

void BoardDriverWithoutUsableSetup(const char *Driver) {
  Suite(Driver);
  DeleteSetup();
  DRIVER_RUN Run = Start(Driver);
  UINTN Size = sizeof Got;
  const EFI_STATUS Read = Rs->GetVariable(SetupName, &gSetupVariableGuid, nullptr, &Size, Got);
  Check(Run.StartStatus == EFI_SUCCESS && Read == EFI_NOT_FOUND, Driver);
  Log << ": without \"Setup\" starts with EFI_SUCCESS and creates none";
  if (Run.StartStatus != EFI_SUCCESS || Read != EFI_NOT_FOUND)
    LogStatus(": StartImage ", Run.StartStatus), LogStatus(", then GetVariable ", Read);
  Log.End();

  static constexpr UINTN WrongSizes[] = {200, 300};
  for (UINTN WrongSize : WrongSizes) {
    for (UINTN I = 0; I < MAX_SETUP; ++I) Stored[I] = static_cast<UINT8>(I * 37 + 11);
    Stored[272] = 2;
    DeleteSetup();
    Rs->SetVariable(SetupName, &gSetupVariableGuid, SETUP_ATTRIBUTES, WrongSize, Stored);
    Run = Start(Driver);
    UINT32 Attributes = 0;
    Size = sizeof Got;
    const bool Kept = !EFI_ERROR(Rs->GetVariable(SetupName, &gSetupVariableGuid, &Attributes, &Size, Got)) &&
                      Size == WrongSize && Attributes == SETUP_ATTRIBUTES && MemEq(Got, Stored, WrongSize);
    Check(Run.StartStatus == EFI_SUCCESS && Kept, Driver);
    Log << ": a " << static_cast<UINT64>(WrongSize) << "-byte \"Setup\" is left as it is";
    if (!Kept) Log << ": now " << static_cast<UINT64>(Size) << " bytes, attributes ", Log.Hex(Attributes);
    if (Run.StartStatus != EFI_SUCCESS) LogStatus(": StartImage ", Run.StartStatus);
    Log.End();
  }
  DeleteSetup();
}

// MediaCapsuleSmm with its S4 registration refused: the entry fails with the refusal, installs
// nothing, withdraws the S5 registration, and leaves the heap-record list, which other modules
// use, as the earlier start published it.
MEDIA_CAPSULE_SMM_PROTOCOL *StartCapsuleDriver(SmmEnvironment &Env, UINTN RefuseSxRegistration, DRIVER_RUN &Run) {
  Env.Enter(RefuseSxRegistration);
  Run = Start("MediaCapsuleSmm");
  return static_cast<MEDIA_CAPSULE_SMM_PROTOCOL *>(Env.FindSmmProtocol(gMediaCapsuleSmmProtocolGuid));
}

// How many handles carry the heap-record list, and the first one's interface.
UINTN HeapRecordLists(VOID **First) {
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  *First = nullptr;
  Bs->LocateHandleBuffer(ByProtocol, &gHeapRecordListProtocolGuid, nullptr, &Count, &Handles);
  if (Count) Bs->HandleProtocol(Handles[0], &gHeapRecordListProtocolGuid, First);
  if (Handles) Bs->FreePool(Handles);
  return Count;
}

void CapsuleRefusedRegistration() {
  Suite("MediaCapsuleSmm");
  SmmEnvironment Env;
  DRIVER_RUN Run;
  StartCapsuleDriver(Env, 0, Run);
  Env.Leave();
  VOID *Published = nullptr;
  const UINTN PublishedCount = HeapRecordLists(&Published);

  const MEDIA_CAPSULE_SMM_PROTOCOL *Protocol = StartCapsuleDriver(Env, 2, Run);
  CheckStatus(Run.StartStatus, EFI_OUT_OF_RESOURCES,
              "MediaCapsuleSmm: with the S4 registration refused, its entry fails with the refusal");
  Check(Protocol == nullptr, "MediaCapsuleSmm: no protocol installed after the refused registration");
  Log.End();
  Check(SxRegistrationCount == 1 && SxRegistrations[0].Context.Type == SxS5 && !SxRegistrations[0].Active,
        "MediaCapsuleSmm: the S5 registration made before the refusal is withdrawn");
  Log.End();
  VOID *After = nullptr;
  const UINTN AfterCount = HeapRecordLists(&After);
  Check(PublishedCount == 1 && AfterCount == 1 && After == Published,
        "MediaCapsuleSmm: HEAP_RECORD_LIST_PROTOCOL, published by the first start, still installed once and the "
        "same (taken over, not installed again)");
  Log << ": " << static_cast<UINT64>(PublishedCount) << " after the first start, " << static_cast<UINT64>(AfterCount)
      << " after the refused one";
  Log.End();
  Env.Leave();
}

}  // namespace

void HandLoadedChecks() {
  FlashWithoutLegacyRegion();
  static const char *const BoardDrivers[] = {"EcSetupSyncDxe", "SioSetupDxe", "EcBoardConfigDxe", "EcChannelConfigDxe"};
  for (const char *Driver : BoardDrivers) BoardDriverWithoutUsableSetup(Driver);
  CapsuleRefusedRegistration();
}
