// The four board drivers' functions and globals, taken from the image the test binary runs.
#pragma once
#include "support.h"
#include <board/ec_board_config/ec_board_config.h>
#include <board/ec_channel_config/ec_channel_config.h>
#include <board/ec_setup_sync/ec_setup_sync.h>
#include <board/setup_variable.h>
#include <board/sio_setup/sio_setup.h>

#define EcSetupSyncEntry IMAGE_FUNCTION(EcSetupSyncEntry)
#define SioSetupEntry IMAGE_FUNCTION(SioSetupEntry)
#define EcBoardConfigEntry IMAGE_FUNCTION(EcBoardConfigEntry)
#define EcChannelConfigEntry IMAGE_FUNCTION(EcChannelConfigEntry)
#define S3SaveState IMAGE_VARIABLE(S3SaveState)
