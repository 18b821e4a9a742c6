// GUIDs as the system's interfaces document them, written out here rather than taken from the
// drivers' headers, so that a wrong byte in a header cannot agree with itself in a test.
#pragma once
#include <uefi/base.h>

#include <cstdint>

namespace known {

constexpr uint8_t HexDigit(char C) {
  return static_cast<uint8_t>(C <= '9' ? C - '0' : (C | 0x20) - 'a' + 10);
}
constexpr uint64_t HexField(const char *S, unsigned Digits) {
  uint64_t V = 0;
  for (unsigned I = 0; I < Digits; ++I) V = V << 4 | HexDigit(S[I]);
  return V;
}
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", the registry form.
constexpr EFI_GUID Guid(const char (&S)[37]) {
  EFI_GUID G{};
  G.Data1 = static_cast<UINT32>(HexField(S, 8));
  G.Data2 = static_cast<UINT16>(HexField(S + 9, 4));
  G.Data3 = static_cast<UINT16>(HexField(S + 14, 4));
  G.Data4[0] = static_cast<UINT8>(HexField(S + 19, 2));
  G.Data4[1] = static_cast<UINT8>(HexField(S + 21, 2));
  for (unsigned I = 0; I < 6; ++I) G.Data4[2 + I] = static_cast<UINT8>(HexField(S + 24 + 2 * I, 2));
  return G;
}

inline constexpr EFI_GUID SetupVariableGuid = Guid("EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
inline constexpr EFI_GUID MediaCapsuleSmmProtocolGuid = Guid("3BF4AF16-AB7C-4B43-898D-AB26AC5DDC6C");
inline constexpr EFI_GUID MediaCapsuleNotifyGuid = Guid("296EB418-C4C8-4E05-AB59-39E8AF56F00A");
inline constexpr EFI_GUID MediaCapsuleVariableGuid = Guid("01368881-C4AD-4B1D-B631-D57A8EC8DB6B");
inline constexpr EFI_GUID CapsuleVendorGuid = Guid("711C703F-C285-4B10-A3B0-36ECBD3C8BE2");
inline constexpr EFI_GUID FirmwareCapsuleGuid = Guid("4A3CA68B-7723-48FB-803D-578CC1FEC44D");
inline constexpr EFI_GUID HeapRecordListProtocolGuid = Guid("AF62673D-DEDA-43AE-8F03-9C2D89FD78DA");
inline constexpr EFI_GUID HeapRecordHobGuid = Guid("D97D161A-16CD-4ADA-B9F6-AEC3F9FCCC2C");
inline constexpr EFI_GUID PreSleepRequestServiceGuid = Guid("3EF7500E-CF55-474F-8E7E-009E0EACECD2");
inline constexpr EFI_GUID PreSleepNotifyServiceGuid = Guid("4FC43BBE-1433-4951-AC2D-0D01FEC00EB1");
inline constexpr EFI_GUID SmmBufferValidationProtocolGuid = Guid("DA473D7F-4B31-4D63-92B7-3D905EF84B84");
inline constexpr EFI_GUID SmmRuntimeServicesTableGuid = Guid("395C33FE-287F-413E-A055-8088C0E1D43E");
inline constexpr EFI_GUID SmmMarkerProtocolGuid = Guid("AAB18F19-FE14-4666-8604-87FF6D662C9A");
inline constexpr EFI_GUID DebugPrintProtocolGuid = Guid("669ED5B1-49A3-4C59-9D2D-0432AD6CDB61");
inline constexpr EFI_GUID PcdProtocolGuid = Guid("11B34006-D85B-4D0A-A290-D5A571310EF7");
inline constexpr EFI_GUID EfiPcdProtocolGuid = Guid("13A3F0F6-264A-3EF0-F2E0-DEC512342F34");
inline constexpr EFI_GUID LegacyRegionAccessProtocolGuid = Guid("8E008510-9BB1-457D-9F70-897ABA865DB9");
inline constexpr EFI_GUID SecondLegacyProtocolGuid = Guid("01FA319E-C36C-4F19-9D9D-D0290DBEE928");
inline constexpr EFI_GUID EfiEventReadyToBootGuid = Guid("7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B");
inline constexpr EFI_GUID EfiHobListGuid = Guid("7739F24C-93D7-11D4-9A3A-0090273FC14D");
inline constexpr EFI_GUID EfiSmmBase2ProtocolGuid = Guid("F4CCBFB7-F6E0-47FD-9DD4-10A8F150C191");
inline constexpr EFI_GUID EfiSmmSxDispatch2ProtocolGuid = Guid("456D2859-A84B-4E47-A2EE-3276D886997D");
inline constexpr EFI_GUID EfiSmmAccess2ProtocolGuid = Guid("C2702B74-800C-4131-8746-8FB5B89CE4AC");
inline constexpr EFI_GUID EfiSmmVariableProtocolGuid = Guid("ED32D533-99E6-4209-9CC0-2D72CDD998A7");
inline constexpr EFI_GUID EfiS3SaveStateProtocolGuid = Guid("E857CAF6-C046-45DC-BE3F-EE0765FBA887");
inline constexpr EFI_GUID EfiLegacyInterruptProtocolGuid = Guid("31CE593D-108A-485D-ADB2-78F21F2966BE");
inline constexpr EFI_GUID EfiPciRootBridgeIoProtocolGuid = Guid("2F707EBB-4A1A-11D4-9A38-0090273FC14D");
inline constexpr EFI_GUID EfiVariableArchProtocolGuid = Guid("1E5668E2-8481-11D4-BCF1-0080C73C8881");
inline constexpr EFI_GUID EfiVariableWriteArchProtocolGuid = Guid("6441F818-6362-4E44-B570-7DBA31DD2453");

}  // namespace known
