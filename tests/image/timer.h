// The time-stamp-counter timer of the support library, taken from FlashAccessDxe's image.
#pragma once
#include "support.h"

#define GetTscFrequency IMAGE_FUNCTION(GetTscFrequency)
#define MicroDelay IMAGE_FUNCTION(MicroDelay)
