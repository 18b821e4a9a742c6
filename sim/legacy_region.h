// The platform's legacy-region access protocol, with the F-segment behind it: while the range
// is not open the segment is read-only, so a write made then never reaches it.
#pragma once
#include <uefi/legacy_region.h>

#include <array>
#include <string>
#include <vector>

#include "board.h"

namespace sim {

class LegacyRegion {
 public:
  static constexpr uint64_t SegmentBase = 0xF0000;
  static constexpr uint64_t SegmentSize = 0x10000;

  LegacyRegion();
  ~LegacyRegion();
  // Maps the F-segment on the board; installs the protocol (and the second legacy protocol).
  void Attach(Board &B);
  void Install(bool AccessProtocol, bool SecondProtocol = false);

  EFI_STATUS OpenStatus = EFI_SUCCESS;  // an error opens nothing and reports no range
  UINT32 ReportedBase = 0xF0000, ReportedLength = 0x10000;
  std::vector<std::string> Calls;  // "Open(F0000,10000)", "Close(F0000,10000)"

  // What the F-segment holds; only writes made while open reach it.
  std::array<uint8_t, SegmentSize> Segment;
  bool Open = false;

  LEGACY_REGION_ACCESS_PROTOCOL Protocol{};
  int SecondInterface = 0;

  EFI_STATUS DoOpen(UINT32 Base, UINT32 Length, UINT32 *OpenedBase, UINT32 *OpenedLength);
  EFI_STATUS DoClose(UINT32 Base, UINT32 Length);

 private:
  std::array<uint8_t, SegmentSize> Window;  // what the processor writes into
};

LegacyRegion &TheLegacyRegion();

}  // namespace sim
