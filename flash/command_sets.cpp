#include "command_set.h"

constinit FLASH_COMMAND_SET SstEsmtCommandSet = {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x9F, 2},
                                                 {0x01, 1}, {0x50, 0}, {0x06, 1}, 1,         4096};
constinit FLASH_COMMAND_SET JedecCommandSet = {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x9F, 0},
                                               {0x01, 1}, {0x00, 0}, {0x06, 0}, 256,       4096};
constinit FLASH_COMMAND_SET SstLegacyCommandSet = {{0x02, 3}, {0x03, 2}, {0x20, 3}, {0xD8, 3}, {0x05, 0}, {0x90, 2},
                                                   {0x01, 1}, {0x50, 1}, {0x06, 0}, 1,         4096};

constinit FLASH_COMMAND_SET PartCommandSet = {};
