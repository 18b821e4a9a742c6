#include "suites.h"

#include "harness.h"

const SUITE Suites[] = {
    {"LegacyInterruptDxe", LegacyInterruptSuite},
};
const UINTN SuiteCount = sizeof(Suites) / sizeof(Suites[0]);
