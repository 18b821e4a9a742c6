#include "suites.h"

#include "harness.h"

// A suite whose image is not part of this build is skipped with a note.
const SUITE Suites[] = {
    {"LegacyInterruptDxe", LegacyInterruptSuite},
    {"FlashAccessDxe", FlashAccessSuite},
    {"EcSetupSyncDxe", EcSetupSyncSuite},
    {"SioSetupDxe", SioSetupSuite},
    {"EcBoardConfigDxe", EcBoardConfigSuite},
    {"EcChannelConfigDxe", EcChannelConfigSuite},
    {"MediaCapsuleSmm", MediaCapsuleSuite},
};
const UINTN SuiteCount = sizeof(Suites) / sizeof(Suites[0]);
