// The platform image's two boots (platform_checks.cpp).
#pragma once

void StorePlatformSetup();  // first boot: the "Setup" that the next boot's drivers read
void PlatformChecks();      // second boot: what the firmware's dispatchers ran the drivers to do
