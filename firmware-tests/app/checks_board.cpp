// The four board drivers on real firmware. q35 decodes nothing at the embedded controller's
// ports 0x68/0x6C or the Super I/O's 0x2E/0x2F and 0x2B5/0x2B6, so every read there gives
// 0xFF: the controller's status shows IBF set (every input wait runs to its budget) and OBF
// set, and every register reads 0xFF. PCI device 00:01.1 does not exist, so its link status
// reads 0xFFFF. What each driver must then leave in "Setup" is worked out below.
#include "platform.h"
#include "suites.h"

namespace {

constexpr CHAR16 SetupName[] = u"Setup";
// Not the usual 7, so that a driver writing back fixed attributes instead of those it read shows.
constexpr UINT32 SETUP_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN MAX_SETUP = 320;

UINT8 Stored[MAX_SETUP], Want[MAX_SETUP], Got[MAX_SETUP];

UINT8 Pattern(UINTN I) { return static_cast<UINT8>(I * 37 + 11); }

void StoreSetup(UINTN Size, UINT8 Byte272) {
  for (UINTN I = 0; I < MAX_SETUP; ++I) Stored[I] = Pattern(I);
  if (Size > 272) Stored[272] = Byte272;
  Rs->SetVariable(SetupName, &gSetupVariableGuid, 0, 0, nullptr);
  Rs->SetVariable(SetupName, &gSetupVariableGuid, SETUP_ATTRIBUTES, Size, Stored);
  for (UINTN I = 0; I < MAX_SETUP; ++I) Want[I] = Stored[I];
}

void DeleteSetup() { Rs->SetVariable(SetupName, &gSetupVariableGuid, 0, 0, nullptr); }

DRIVER_RUN Start(const char *Driver) {
  static const TEST_PCD_TOKEN Tokens[] = {{1055, 1, nullptr}, {1352, 0x5A, nullptr}, {1438, 0x12345678, nullptr}};
  SetPcdTokens(Tokens, sizeof(Tokens) / sizeof(Tokens[0]));
  TestPlatform Platform;
  Platform.Enter();
  DRIVER_RUN Run = RunDriver(Driver);
  Platform.Leave();
  return Run;
}

// "Setup" holds exactly Want (Size bytes) with the attributes it was stored with.
bool SetupIsWanted(UINTN Size) {
  UINT32 Attributes = 0;
  UINTN GotSize = sizeof(Got);
  if (EFI_ERROR(Rs->GetVariable(SetupName, &gSetupVariableGuid, &Attributes, &GotSize, Got))) return false;
  return GotSize == Size && Attributes == SETUP_ATTRIBUTES && MemEq(Got, Want, Size);
}

void CheckRun(const char *Driver, const char *What, bool Ok) {
  Log << "CHECK " << (Ok ? "PASS " : "FAIL ") << Driver << ": " << What;
  ++(Ok ? Passed : Failed);
  if (!Ok) {
    Log << ": \"Setup\" differs at";
    for (UINTN I = 0; I < SETUP_SIZE; ++I)
      if (Got[I] != Want[I]) Log << " ", Log << static_cast<UINT64>(I);
  }
  Log.End();
}

// Without a record, or with one of another size, a driver creates and changes nothing.
void CheckUnreadableSetup(const char *Driver) {
  DeleteSetup();
  DRIVER_RUN Run = Start(Driver);
  UINTN Size = sizeof(Got);
  const bool Created = Rs->GetVariable(SetupName, &gSetupVariableGuid, nullptr, &Size, Got) != EFI_NOT_FOUND;
  Check(Run.StartStatus == EFI_SUCCESS && !Created, Driver);
  Log << ": without \"Setup\" starts with EFI_SUCCESS and creates none";
  Log.End();
  static constexpr UINTN WrongSizes[] = {200, 300};
  for (UINTN WrongSize : WrongSizes) {
    StoreSetup(WrongSize, 2);
    Run = Start(Driver);
    Check(Run.StartStatus == EFI_SUCCESS && SetupIsWanted(WrongSize), Driver);
    Log << ": a " << static_cast<UINT64>(WrongSize) << "-byte \"Setup\" is left as it is";
    Log.End();
  }
}

void CheckDriver(const char *Driver, UINT8 Byte272, void (*Expect)()) {
  StoreSetup(SETUP_SIZE, Byte272);
  DRIVER_RUN Run = Start(Driver);
  Log << "NOTE " << Driver << " started in " << RunMilliseconds(Run) << " ms";
  Log.End();
  CheckLoadStart(Run, Driver);
  Expect();
  CheckRun(Driver, "\"Setup\" holds what the driver must write, attributes kept", SetupIsWanted(SETUP_SIZE));
}

}  // namespace

void EcSetupSyncSuite() {
  // Control 0x81 = 0xFF: byte 55 = bit 4 = 1. 0x84/0x85 = 0xFFFF (non-zero): bytes 57, 58 =
  // 0xFF. 0x86 = 0xFF (non-zero): byte 59 = 0xFF.
  CheckDriver("EcSetupSyncDxe", 0x33, [] {
    Want[55] = 1;
    Want[57] = Want[58] = Want[59] = 0xFF;
  });
  CheckUnreadableSetup("EcSetupSyncDxe");
}

void SioSetupSuite() {
  // The one-shot setting 2 becomes the standing setting 1; nothing else changes.
  CheckDriver("SioSetupDxe", 2, [] { Want[272] = 1; });
  static constexpr UINT8 Unchanged[] = {0, 1, 3};
  for (UINT8 Mode : Unchanged) CheckDriver("SioSetupDxe", Mode, [] {});
  CheckUnreadableSetup("SioSetupDxe");
}

void EcBoardConfigSuite() {
  // 0x45 = 0xFF: bit 0 set, so byte 138 = 0.
  CheckDriver("EcBoardConfigDxe", 0x44, [] { Want[138] = 0; });
  CheckUnreadableSetup("EcBoardConfigDxe");
}

void EcChannelConfigSuite() {
  // Writes only to the controller: "Setup" stays as stored.
  CheckDriver("EcChannelConfigDxe", 0x55, [] {});
  CheckUnreadableSetup("EcChannelConfigDxe");
}
