#pragma once

void LegacyInterruptSuite();
void FlashAccessSuite();
void EcSetupSyncSuite();
void SioSetupSuite();
void EcBoardConfigSuite();
void EcChannelConfigSuite();
void MediaCapsuleSuite();
