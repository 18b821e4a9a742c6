// Every GUID a driver or the simulated platform uses, against its documented value: the
// simulation installs its protocols under the drivers' constants, so only this table would see
// a wrong byte in one of them.
#include <board/setup_data.h>
#include <board/sio_setup/sio_setup.h>
#include <capsule/media_capsule.h>
#include <flash/entry.h>
#include <startup/library.h>
#include <tests/common/known_guids.h>
#include <uefi/hob.h>
#include <uefi/legacy_region.h>
#include <uefi/protocols.h>
#include <uefi/smm.h>
#include <uefi/smm_platform.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Text(const EFI_GUID &G) {
  char Buf[40];
  std::snprintf(Buf, sizeof Buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2, G.Data3,
                G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Buf;
}

TEST(DocumentedGuids, EveryConstantHasItsDocumentedValue) {
  struct Row {
    const char *Name;
    const EFI_GUID &Used, &Documented;
  };
  const Row Rows[] = {
      {"Setup", gSetupVariableGuid, known::SetupVariableGuid},
      {"MediaCapsuleSmmProtocol", gMediaCapsuleSmmProtocolGuid, known::MediaCapsuleSmmProtocolGuid},
      {"MediaCapsuleNotify", gMediaCapsuleNotifyGuid, known::MediaCapsuleNotifyGuid},
      {"MediaCapsuleVariable", gMediaCapsuleVariableGuid, known::MediaCapsuleVariableGuid},
      {"CapsuleVendor", gCapsuleVendorGuid, known::CapsuleVendorGuid},
      {"FirmwareCapsule", gFirmwareCapsuleGuid, known::FirmwareCapsuleGuid},
      {"HeapRecordListProtocol", gHeapRecordListProtocolGuid, known::HeapRecordListProtocolGuid},
      {"HeapRecordHob", gHeapRecordHobGuid, known::HeapRecordHobGuid},
      {"PreSleepRequestService", gPreSleepRequestServiceGuid, known::PreSleepRequestServiceGuid},
      {"PreSleepNotifyService", gPreSleepNotifyServiceGuid, known::PreSleepNotifyServiceGuid},
      {"SmmBufferValidationProtocol", gSmmBufferValidationProtocolGuid, known::SmmBufferValidationProtocolGuid},
      {"SmmRuntimeServicesTable", gSmmRuntimeServicesTableGuid, known::SmmRuntimeServicesTableGuid},
      {"SmmMarkerProtocol", gSmmMarkerProtocolGuid, known::SmmMarkerProtocolGuid},
      {"DebugPrintProtocol", gDebugPrintProtocolGuid, known::DebugPrintProtocolGuid},
      {"PcdProtocol", gPcdProtocolGuid, known::PcdProtocolGuid},
      {"EfiPcdProtocol", gEfiPcdProtocolGuid, known::EfiPcdProtocolGuid},
      {"LegacyRegionAccessProtocol", gLegacyRegionAccessProtocolGuid, known::LegacyRegionAccessProtocolGuid},
      {"SecondLegacyProtocol", gSecondLegacyProtocolGuid, known::SecondLegacyProtocolGuid},
      {"ReadyToBoot", gEfiEventReadyToBootGuid, known::EfiEventReadyToBootGuid},
      {"HobList", EFI_HOB_LIST_GUID, known::EfiHobListGuid},
      {"SmmBase2Protocol", gEfiSmmBase2ProtocolGuid, known::EfiSmmBase2ProtocolGuid},
      {"SmmSxDispatch2Protocol", gEfiSmmSxDispatch2ProtocolGuid, known::EfiSmmSxDispatch2ProtocolGuid},
      {"SmmAccess2Protocol", gEfiSmmAccess2ProtocolGuid, known::EfiSmmAccess2ProtocolGuid},
      {"SmmVariableProtocol", gEfiSmmVariableProtocolGuid, known::EfiSmmVariableProtocolGuid},
      {"S3SaveStateProtocol", gEfiS3SaveStateProtocolGuid, known::EfiS3SaveStateProtocolGuid},
      {"LegacyInterruptProtocol", gEfiLegacyInterruptProtocolGuid, known::EfiLegacyInterruptProtocolGuid},
      {"PciRootBridgeIoProtocol", gEfiPciRootBridgeIoProtocolGuid, known::EfiPciRootBridgeIoProtocolGuid},
      {"VariableArchProtocol", gEfiVariableArchProtocolGuid, known::EfiVariableArchProtocolGuid},
      {"VariableWriteArchProtocol", gEfiVariableWriteArchProtocolGuid, known::EfiVariableWriteArchProtocolGuid},
  };
  for (const Row &R : Rows) EXPECT_EQ(Text(R.Used), Text(R.Documented)) << R.Name;
  // The parser itself, on the one GUID whose memory bytes are written out.
  const uint8_t SetupBytes[16] = {0x43, 0xD6, 0x87, 0xEC, 0xA4, 0xEB, 0xB5, 0x4B,
                                  0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9};
  EXPECT_EQ(std::memcmp(&known::SetupVariableGuid, SetupBytes, 16), 0);
}

}  // namespace
