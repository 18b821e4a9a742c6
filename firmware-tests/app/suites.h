#pragma once

void LegacyInterruptSuite();
void FlashAccessSuite();
