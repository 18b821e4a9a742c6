// The support library's globals, taken from the image (each image has its own copy).
#pragma once
// Every simulation header first, so that the names below rename only what the tests say.
#include <tests/common/access_match.h>
#include <sim/board.h>
#include <sim/devices/cmos_rtc.h>
#include <sim/devices/embedded_controller.h>
#include <sim/devices/flash_windows.h>
#include <sim/devices/index_data_pair.h>
#include <sim/devices/pci_config_ports.h>
#include <sim/devices/pci_config_window.h>
#include <sim/devices/sim_clock.h>
#include <sim/devices/spi_host_controller.h>
#include <sim/devices/spi_nor.h>
#include <sim/devices/super_io.h>
#include <tests/image/driver_image.h>
#include <sim/legacy_region.h>
#include <sim/smm.h>
#include <sim/uefi.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>
#include <timer/tsc_delay.h>

#define LibSystemTable IMAGE_VARIABLE(LibSystemTable)
#define LibBootServices IMAGE_VARIABLE(LibBootServices)
#define DriverSystemTable IMAGE_VARIABLE(DriverSystemTable)
#define DriverBootServices IMAGE_VARIABLE(DriverBootServices)
#define DriverRuntimeServices IMAGE_VARIABLE(DriverRuntimeServices)
#define RuntimePool32 IMAGE_VARIABLE(RuntimePool32)
#define RuntimePool100 IMAGE_VARIABLE(RuntimePool100)
#define RuntimePool8 IMAGE_VARIABLE(RuntimePool8)
#define HobList IMAGE_VARIABLE(HobList)
#define SmmMarkerFound IMAGE_VARIABLE(SmmMarkerFound)
#define SmmMarkerRegistration IMAGE_VARIABLE(SmmMarkerRegistration)
#define DebugPrintProtocol IMAGE_VARIABLE(DebugPrintProtocol)
#define PcdProtocol IMAGE_VARIABLE(PcdProtocol)
#define CfgPcdBuffer IMAGE_VARIABLE(CfgPcdBuffer)
#define PcdTokenList IMAGE_VARIABLE(PcdTokenList)
#define PcdTokenListCount IMAGE_VARIABLE(PcdTokenListCount)
#define TscFrequency IMAGE_VARIABLE(TscFrequency)
