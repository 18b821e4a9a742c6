// The rows mended for real parts that the tables' own rows would corrupt: each part named here
// is identified from its record, in a process of its own, and must come out as it really is.
#include <flash/address_mode.h>
#include <flash/device_ops.h>
#include <flash/translation.h>
#include <sys/wait.h>
#include <unistd.h>

#include "data_ops_fixture.h"
#include "real_parts/real_parts.h"

namespace flash_test {
namespace {

struct Seen {
  bool Accepted = false;
  uint32_t Size = 0, Sector = 0, Page = 0;
  bool PartInFourByteMode = false, DriverInFourByteMode = false;
};

struct Identification : DataOpsBoard {
  void TestBody() override {}
};

// Identifies the named part in a child, with or without the wide window.
Seen Identify(const std::string &Name, bool Wide) {
  static const std::vector<RealPart> Parts =
      LoadRealParts(REAL_PARTS_DIR "/spi-nor-parts.json", REAL_PARTS_DIR "/linux-corrections.json");
  const RealPart *Real = nullptr;
  for (const RealPart &P : Parts)
    if (P.Name == Name) Real = &P;
  if (Real == nullptr) ADD_FAILURE() << "no record named " << Name;
  if (Real == nullptr) return {};
  int Pipe[2];
  if (pipe(Pipe) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    Identification Board;
    Board.SetUp();
    Board.Part.UseProfile(Real->Profile);
    Board.Part.Status = 0;
    const uint32_t Base = Wide ? 0xFE000000 : 0xFF000000, Size = Wide ? 0x2000000 : 0x1000000;
    Board.RomWindow(static_cast<uint16_t>(Base >> 16), 0xFFFF);
    if (Wide) Board.WideWindow();
    Board.Windows.MapRomWindow(Board.B, Base, Size, Wide);
    Seen S;
    S.Accepted = Board.Start() == EFI_SUCCESS && FlashDeviceOps != nullptr;
    if (S.Accepted)
      S = {true, FlashSize, FlashDeviceOps->SectorSize, FlashDeviceOps->PageSize, Board.Part.FourByteMode,
           FourByteAddressMode != 0};
    (void)!write(Pipe[1], &S, sizeof S);
    _exit(0);
  }
  close(Pipe[1]);
  Seen S;
  const bool Got = read(Pipe[0], &S, sizeof S) == sizeof S;
  close(Pipe[0]);
  waitpid(Pid, nullptr, 0);
  EXPECT_TRUE(Got) << Name;
  return S;
}

TEST(RealPartMends, CapacityIsThePartsOwn) {
  const std::pair<const char *, uint32_t> Parts[] = {
      {"SST26VF032B(A)", 0x400000},      // BF 26 42
      {"SST25WF512", 0x10000},           // BF 25 01
      {"SST25WF080", 0x100000},          // BF 25 05
      {"Pm25LD512(C)", 0x10000},         // 7F 9D 20
      {"Pm25LQ040", 0x80000},            // 7F 9D 43
      {"A25L05PT", 0x10000},             // 7F 37 20 20: byte 3
      {"A25L80P", 0x100000},             // 7F 37 20 14
      {"MX25U1635E", 0x200000},          // C2 25 35
      {"MX66L2G45G", 0x10000000},        // C2 20 1C
      {"AT25DF011", 0x20000},            // 1F 42 00
      {"AT25DF021", 0x40000},            // 1F 43 00
      {"AT25SL128A", 0x1000000},         // 1F 42 18, as before
  };
  for (const auto &[Name, Size] : Parts) {
    const Seen S = Identify(Name, false);
    EXPECT_TRUE(S.Accepted) << Name;
    EXPECT_EQ(S.Size, Size) << Name;
  }
  EXPECT_EQ(Identify("SST25WF080", false).Page, 1u) << "byte programming on the 25WF parts";
}

// Variants that share three identifier bytes and differ in byte 4 (sector architecture), and
// the older Macronix parts whose 0x20 erases 64 KiB.
TEST(RealPartMends, SectorsAreThePartsOwn) {
  const std::pair<const char *, uint32_t> Parts[] = {
      {"S25FL128S......1", 0x40000},        {"S25FL128S......0", 0x10000},
      {"S25FL129P......1", 0x40000},        {"S25FL128P......1", 0x40000},
      {"S25FL256S Large Sectors", 0x40000}, {"S25FL256S Small Sectors", 0x10000},
      {"MX25L1605", 0x10000},               {"MX25L6405", 0x10000},
      {"MX25L12805D", 0x1000},  // 16 MiB: 4 KiB sectors as before
  };
  for (const auto &[Name, Sector] : Parts) EXPECT_EQ(Identify(Name, false).Sector, Sector) << Name;
}

// With the wide window the part must really be in 4-byte mode whenever the driver believes it.
TEST(RealPartMends, FourByteModeIsWhereTheDriverBelievesIt) {
  for (const char *Name : {"N25Q256..3E", "MT25QL256", "MT25QU02G", "XM25QH256C/XM25QH256D", "W25Q256FV",
                           "W25Q256JV_Q", "MX25L25635F/MX25L25645G", "S25FL256S Large Sectors", "S25FL512S",
                           "S25FS512S"}) {
    const Seen S = Identify(Name, true);
    EXPECT_TRUE(S.Accepted) << Name;
    EXPECT_EQ(S.PartInFourByteMode, S.DriverInFourByteMode) << Name;
  }
  EXPECT_TRUE(Identify("MT25QL256", true).PartInFourByteMode);
  EXPECT_FALSE(Identify("S25FL512S", true).DriverInFourByteMode) << "no mode switch: native 4-byte opcodes";
}

}  // namespace
}  // namespace flash_test
