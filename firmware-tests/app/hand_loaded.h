// The drivers loaded by hand on Debian's OVMF (hand_loaded.cpp).
#pragma once

void HandLoadedChecks();
