#pragma once

void LegacyInterruptSuite();
