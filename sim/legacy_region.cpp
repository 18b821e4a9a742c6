#include "legacy_region.h"

#include <cstdio>
#include <cstdlib>

#include "uefi.h"

namespace sim {

namespace {
LegacyRegion *gLegacyRegion = nullptr;

std::string Call(const char *Name, UINT32 Base, UINT32 Length) {
  char B[64];
  std::snprintf(B, sizeof B, "%s(%X,%X)", Name, Base, Length);
  return B;
}

EFI_STATUS EFIAPI OpenLegacyRange(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength) {
  return TheLegacyRegion().DoOpen(Base, Length, OpenedBase, OpenedLength);
}
EFI_STATUS EFIAPI CloseLegacyRange(UINT32 Base, UINT32 Length) { return TheLegacyRegion().DoClose(Base, Length); }
}  // namespace

LegacyRegion::LegacyRegion() {
  gLegacyRegion = this;
  Segment.fill(0);
  Window.fill(0);
  Protocol.OpenLegacyRange = OpenLegacyRange;
  Protocol.CloseLegacyRange = CloseLegacyRange;
}
LegacyRegion::~LegacyRegion() { gLegacyRegion = nullptr; }

void LegacyRegion::Attach(Board &B) { B.MapMemory(SegmentBase, SegmentSize, Window.data()); }

void LegacyRegion::Install(bool AccessProtocol, bool SecondProtocol) {
  if (AccessProtocol) TheUefi().Install(gLegacyRegionAccessProtocolGuid, &Protocol);
  if (SecondProtocol) TheUefi().Install(gSecondLegacyProtocolGuid, &SecondInterface);
}

EFI_STATUS LegacyRegion::DoOpen(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength) {
  Calls.push_back(Call("Open", Base, Length));
  if (EFI_ERROR(OpenStatus)) return OpenStatus;
  Window = Segment;  // writes made while read-only are lost
  Open = true;
  *OpenedBase = ReportedBase;
  *OpenedLength = ReportedLength;
  return EFI_SUCCESS;
}

EFI_STATUS LegacyRegion::DoClose(UINT32 Base, UINT32 Length) {
  Calls.push_back(Call("Close", Base, Length));
  if (Open) Segment = Window;
  Window = Segment;
  Open = false;
  return EFI_SUCCESS;
}

LegacyRegion &TheLegacyRegion() {
  if (gLegacyRegion == nullptr) {
    std::fprintf(stderr, "sim: no live LegacyRegion\n");
    std::abort();
  }
  return *gLegacyRegion;
}

}  // namespace sim
