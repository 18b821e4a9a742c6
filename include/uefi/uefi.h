// Everything the drivers take from the UEFI and PI specifications.
#pragma once
#include "base.h"
#include "capsule.h"
#include "hob.h"
#include "protocols.h"
#include "smm.h"
#include "system_table.h"
