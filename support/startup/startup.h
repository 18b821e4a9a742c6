// The driver start-up sequence. Each image describes the steps it carries in one constant
// DRIVER_STARTUP; RunDriverStartup runs them in order, and only those steps are compiled in.
//
//   1  keep the system table and boot services        6  HOB list lookup (if still unknown)
//   2  platform configuration buffer (and token list) 7  driver: late constructor work
//   3  runtime pools                                  8  keep the driver's service tables
//   4  driver: early constructor work                 9  driver: entry work
//   5  SMM marker detection                          10  on an error status, free the pools
#pragma once
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>

#include "library.h"

using DRIVER_STEP = VOID (*)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
using DRIVER_ENTRY_WORK = EFI_STATUS (*)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

enum class SERVICE_TABLES : UINT8 {
  None,              // step 8 not carried
  All,               // system table, boot services and runtime services
  SystemAndRuntime,  // system table and runtime services only
};

struct DRIVER_STARTUP {
  bool CfgPcdBuffer = false;       // step 2
  bool PcdTokenList = false;       // step 2, token list half
  bool RuntimePools = false;       // step 3
  DRIVER_STEP EarlyWork = nullptr; // step 4
  bool SmmMarker = false;          // step 5
  bool HobList = false;            // step 6
  bool HobListFirst = false;       // run step 6 before step 5
  DRIVER_STEP LateWork = nullptr;  // step 7
  DRIVER_STEP LookupWork = nullptr;  // a protocol look-up of the driver's own, just before step 8
  SERVICE_TABLES ServiceTables = SERVICE_TABLES::None;
  bool CleanUp = false;            // step 10
};

template <const DRIVER_STARTUP &Config>
inline VOID RunSmmMarkerAndHobSteps() {
  if constexpr (Config.HobListFirst && Config.HobList)
    if (HobList == nullptr) GetHobList();
  if constexpr (Config.SmmMarker)
    if (SmmMarkerFound != 1) DetectSmmMarker();
  if constexpr (!Config.HobListFirst && Config.HobList)
    if (HobList == nullptr) GetHobList();
}

template <const DRIVER_STARTUP &Config>
inline EFI_STATUS RunDriverStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                   DRIVER_ENTRY_WORK EntryWork) {
  constexpr BOOLEAN KeepBootServices = Config.ServiceTables == SERVICE_TABLES::All;
  StoreLibraryTables(SystemTable);
  if constexpr (Config.CfgPcdBuffer) {
    VexCfgPcdBufLibDxeConstructor(ImageHandle, SystemTable);
    if constexpr (Config.PcdTokenList) BuildPcdTokenList(BootServicesTokenListPool);
  }
  if constexpr (Config.RuntimePools) AllocateRuntimePools();
  if constexpr (Config.EarlyWork != nullptr) Config.EarlyWork(ImageHandle, SystemTable);
  RunSmmMarkerAndHobSteps<Config>();
  if constexpr (Config.LateWork != nullptr) Config.LateWork(ImageHandle, SystemTable);
  if constexpr (Config.LookupWork != nullptr) Config.LookupWork(ImageHandle, SystemTable);
  if constexpr (Config.ServiceTables != SERVICE_TABLES::None) {
    StoreDriverServiceTables(SystemTable, KeepBootServices);
    // The entry point's own test and store; the first writer has already won.
    StoreDriverServiceTables(SystemTable, KeepBootServices);
  }
  const EFI_STATUS Status = EntryWork(ImageHandle, SystemTable);
  if constexpr (Config.CleanUp) {
    if (EFI_ERROR(Status)) {
      FreeStartupPools();
      if constexpr (Config.PcdTokenList) FreePcdTokenList(BootServicesTokenListPool);
    }
  }
  return Status;
}
