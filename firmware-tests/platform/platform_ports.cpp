// platform-ports BOOT DIR: compares the bytes that the platform run captured on the board's
// ports (DIR/port-0xNN.bin, one file per port of captured_ports.def) with those that each
// driver's documented behaviour gives for the same port answers, "Setup" record and, in the
// second boot, protocol calls; and those with what the host build of the same driver sends on
// the simulated board, given the same. BOOT is "store" (the first boot: no "Setup" yet) or
// "checks". Prints a check line per driver and one for the whole capture, then
// "SUMMARY N passed, N failed", as the test application does.
//
// Each capture holds the writes of every driver that uses that port, in the order the
// dispatcher started them, which is not fixed: the drivers must appear as whole blocks in one
// order shared by all ports, and nothing else may have written there.
#include <sim/board.h>
#include <board/ec_board_config/ec_board_config.h>
#include <board/ec_channel_config/ec_channel_config.h>
#include <board/ec_setup_sync/ec_setup_sync.h>
#include <board/sio_setup/sio_setup.h>
#include <pirq/legacy_interrupt.h>
#include <sys/wait.h>
#include <tests/common/known_guids.h>
#include <sim/uefi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "platform_run.h"

namespace {

using Bytes = std::vector<uint8_t>;
using PortBytes = std::map<uint16_t, Bytes>;

// Answers every read with the port's captured answer and keeps nothing, as isa-debugcon does.
struct FixedAnswer : sim::Device {
  uint8_t Answer;
  explicit FixedAnswer(uint8_t A) : Answer(A) {}
  uint64_t Read(uint64_t, unsigned) override { return Answer; }
  void Write(uint64_t, unsigned, uint64_t) override {}
};

// What each driver must send, written out from its documented behaviour for the captured
// answers and the stored "Setup": the half of the comparison that does not come from the
// drivers' sources. Only writes appear; the EC's status polls and discarded data reads are
// reads, which the capture does not see.
constexpr uint8_t EC = CapturedAnswer(0x68), SIO = CapturedAnswer(0x2F);
static_assert(EC == 0x5B && CapturedAnswer(0x6C) == 0x01, "the EC bytes below are written out for these answers");
static_assert(SIO == 0x2D, "the Super I/O bytes below are written out for this answer");
static_assert(StoredSetup(139) == 5 && StoredSetup(141) == 1 && StoredSetup(142) == 0 && StoredSetup(143) == 0 &&
                  StoredSetup(144) == 1 && StoredSetup(145) == 2 && StoredSetup(147) == 1 && StoredSetup(272) == 2,
              "and for these \"Setup\" choices");
static_assert(StoredSetup(114) == 0 && StoredSetup(120) != 0 && StoredSetup(126) == 0 && StoredSetup(132) != 0,
              "and these channel modes");

void EcCommand(PortBytes &P, std::initializer_list<uint8_t> DataBytes) {
  P[0x6C].push_back(0x88);
  P[0x68].insert(P[0x68].end(), DataBytes);
}
void EcRead(PortBytes &P, uint8_t Bank, uint8_t Register) { EcCommand(P, {Bank, Register}); }
void EcWrite(PortBytes &P, uint8_t Bank, uint8_t Register, uint8_t Value) {
  EcCommand(P, {static_cast<uint8_t>(0x80 | Bank), Register, Value});
}
uint8_t S(size_t Offset) { return StoredSetup(Offset); }

// Control 0x81 has bit 4 set and request 0x80 bit 0: one decrement, of the counter 0x5B.
PortBytes EcSetupSyncBytes(bool) {
  PortBytes P;
  for (uint8_t Register : {0x80, 0x81, 0x84, 0x85, 0x86, 0x87}) EcRead(P, 0, Register);
  EcWrite(P, 0, 0x80, 0x5A);
  EcWrite(P, 0, 0x87, 0x5A);
  return P;
}

// Without "Setup" nothing is written. Mode 2 writes runtime register 0x03 only.
PortBytes SioSetupBytes(bool Setup) {
  PortBytes P;
  if (!Setup) return P;
  P[0x2E] = {0x87, 0x87};
  const std::pair<uint8_t, uint8_t> Changes[] = {{0x27, 0x24}, {0x2C, 0x0D}, {0x27, 0x2C}, {0x2A, 0x2B},
                                                 {0x07, 0x04}, {0x30, 0x01}, {0x60, 0x02}, {0x61, 0xB0}};
  for (auto [Register, Value] : Changes) {
    P[0x2E].insert(P[0x2E].end(), {Register, Register});
    P[0x2F].push_back(Value);
  }
  P[0x2E].push_back(0xAA);
  P[0x2B5] = {0x03};
  P[0x2B6] = {0x01};
  return P;
}

// Bit 0 of 0x45 set, marker 0xF0 not 0xAA, no device at 00:01.1 (link-width code 0).
// Without "Setup" the steps that need it write nothing, register 0x16 included.
PortBytes EcBoardConfigBytes(bool Setup) {
  PortBytes P;
  EcRead(P, 0, 0x45);
  EcRead(P, 0, 0x45);
  if (Setup) {
    EcWrite(P, 0, 0x16, S(140));
    EcRead(P, 1, 0x21);
    EcWrite(P, 1, 0x21, 0x7B);  // 0x5B with bit 3 cleared, then byte 139 (5) shifted by 3
    EcRead(P, 1, 0x22);
    EcWrite(P, 1, 0x22, 0x57);  // bit 2 set, bit 3 cleared
    EcRead(P, 1, 0x24);
    EcWrite(P, 1, 0x24, 0x9B);  // bit 6 cleared, bit 7 set
    EcRead(P, 1, 0x27);
    EcWrite(P, 1, 0x27, 0x5B);  // bit 0 kept
    EcRead(P, 1, 0x21);
    EcWrite(P, 1, 0x21, 0xDB);  // bit 7 set
  }
  EcRead(P, 1, 0xF0);
  EcRead(P, 1, 0xF1);
  EcWrite(P, 1, 0xF1, 0x50);
  EcRead(P, 1, 0xF1);
  EcWrite(P, 1, 0xF1, 0x0B);
  return P;
}

// Channels 0 and 2 in table mode, 1 and 3 direct.
PortBytes EcChannelConfigBytes(bool Setup) {
  PortBytes P;
  if (!Setup) return P;
  EcWrite(P, 2, 0x20, 0x80);
  EcWrite(P, 2, 0x31, S(116));
  EcWrite(P, 2, 0x30, S(117));
  EcWrite(P, 2, 0x32, S(118));
  EcWrite(P, 2, 0x21, 0x00);
  EcWrite(P, 2, 0x2F, S(121));
  EcWrite(P, 2, 0x22, 0x80);
  EcWrite(P, 2, 0x3D, S(128));
  EcWrite(P, 2, 0x3C, S(129));
  EcWrite(P, 2, 0x3E, S(130));
  EcWrite(P, 2, 0x3F, S(131));
  EcWrite(P, 2, 0x23, 0x00);
  EcWrite(P, 2, 0x4B, S(133));
  return P;
}

// The start-up marks the second bank unrouted; in the second boot the test application's
// calls follow (PlatformPirqCalls), each PIRQ with its mirrors.
PortBytes LegacyInterruptBytes(bool SecondBoot) {
  PortBytes P;
  auto Pair = [&P](uint8_t Index, uint8_t Value) {
    P[0xC00].push_back(Index);
    P[0xC01].push_back(Value);
  };
  for (uint8_t Index = 0x80; Index <= 0x87; ++Index) Pair(Index, 0x1F);
  if (!SecondBoot) return P;
  for (auto [Index, Value] : {std::pair<uint8_t, uint8_t>{0x13, 11},
                              {0x93, 0x10},
                              {0x17, 11},
                              {0x97, 0x10},
                              {0x00, 11},
                              {0x30, 5},
                              {0xB0, 0x12},
                              {0x34, 5},
                              {0xB4, 0x12},
                              {0x02, 5},
                              {0x41, 9},
                              {0xC1, 0x13},
                              {0x03, 9},
                              {0x01, 4},
                              {0x07, 15}})
    Pair(Index, Value);
  P[0xC00].insert(P[0xC00].end(), {0x00, 0x03, 0x07});  // the reads select; the refused calls send nothing
  return P;
}

struct DRIVER {
  const char *Name;
  EFI_STATUS(EFIAPI *Entry)(EFI_HANDLE, EFI_SYSTEM_TABLE *);
  PortBytes (*Documented)(bool SecondBoot);
};
constexpr DRIVER Drivers[] = {{"EcSetupSyncDxe", EcSetupSyncEntry, EcSetupSyncBytes},
                              {"SioSetupDxe", SioSetupEntry, SioSetupBytes},
                              {"EcBoardConfigDxe", EcBoardConfigEntry, EcBoardConfigBytes},
                              {"EcChannelConfigDxe", EcChannelConfigEntry, EcChannelConfigBytes},
                              {"LegacyInterruptDxe", LegacyInterruptEntry, LegacyInterruptBytes}};

// The protocols of the platform image that the drivers locate, and the test application's
// protocol calls after the drivers of the second boot.
void RunOnSimulatedBoard(const DRIVER &D, bool SecondBoot) {
  sim::Uefi U;
  sim::Pcd Pcd;
  Pcd.Install(true, true);
  for (const TEST_PCD_VALUE &V : BoardPcdValues) Pcd.Values[V.Token] = V.Value;
  sim::DebugPrintSink Print;
  Print.Install();
  int RootBridge = 0, SaveState = 0;
  U.Install(known::EfiPciRootBridgeIoProtocolGuid, &RootBridge);
  U.Install(known::EfiS3SaveStateProtocolGuid, &SaveState);
  std::vector<FixedAnswer> Ports;
  Ports.reserve(std::size(CapturedPorts));
  for (const CAPTURED_PORT_ANSWER &P : CapturedPorts) {
    Ports.emplace_back(P.Answer);
    sim::TheBoard().MapIo(P.Port, 1, &Ports.back());
  }
  if (SecondBoot) {
    Bytes Setup(PLATFORM_SETUP_SIZE);
    for (size_t I = 0; I < Setup.size(); ++I) Setup[I] = StoredSetup(I);
    U.SetVar(u"Setup", known::SetupVariableGuid, PLATFORM_SETUP_ATTRIBUTES, Setup);
  }
  sim::TheBoard().StartRun();
  D.Entry(U.ImageHandle, &U.SystemTable);
  auto *Pirq = static_cast<EFI_LEGACY_INTERRUPT_PROTOCOL *>(U.Find(known::EfiLegacyInterruptProtocolGuid));
  if (SecondBoot && Pirq)
    for (const PLATFORM_PIRQ_CALL &C : PlatformPirqCalls) {
      UINT8 Data = 0;
      if (C.Write)
        Pirq->WritePirq(Pirq, C.Pirq, C.Value);
      else
        Pirq->ReadPirq(Pirq, C.Pirq, &Data);
    }
}

// Runs one driver in a child process, so that it starts from fresh globals as a loaded image
// does; the child sends back its writes to the captured ports.
bool HostWrites(const DRIVER &D, bool SecondBoot, PortBytes &Out) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return false;
  const pid_t Child = fork();
  if (Child == 0) {
    close(Pipe[0]);
    RunOnSimulatedBoard(D, SecondBoot);
    std::string Text;
    for (const sim::Access &A : sim::TheBoard().Log)
      for (const CAPTURED_PORT_ANSWER &P : CapturedPorts)
        if (A.Bus == sim::Space::Io && A.Write && A.Address == P.Port) {
          char Line[32];
          std::snprintf(Line, sizeof Line, "%X %X\n", P.Port, static_cast<unsigned>(A.Value & 0xFF));
          Text += Line;
        }
    const bool Sent = write(Pipe[1], Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
    _exit(Sent ? 0 : 1);
  }
  close(Pipe[1]);
  std::string Text;
  char Buf[4096];
  for (ssize_t N; (N = read(Pipe[0], Buf, sizeof Buf)) > 0;) Text.append(Buf, static_cast<size_t>(N));
  close(Pipe[0]);
  int Status = 0;
  waitpid(Child, &Status, 0);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) return false;
  for (const CAPTURED_PORT_ANSWER &P : CapturedPorts) Out[P.Port];
  unsigned Port = 0, Value = 0;
  for (const char *At = Text.c_str(); std::sscanf(At, "%X %X", &Port, &Value) == 2; At = std::strchr(At, '\n') + 1)
    Out[static_cast<uint16_t>(Port)].push_back(static_cast<uint8_t>(Value));
  return true;
}

std::string Hex(const Bytes &B, size_t Max = 48) {
  std::string S;
  char Buf[4];
  for (size_t I = 0; I < B.size() && I < Max; ++I) {
    std::snprintf(Buf, sizeof Buf, "%s%02X", I ? " " : "", B[I]);
    S += Buf;
  }
  if (B.size() > Max) S += " ...";
  return S;
}

std::string PortName(uint16_t Port) {
  char Buf[8];
  std::snprintf(Buf, sizeof Buf, "0x%X", Port);
  return Buf;
}

const Bytes &At(const PortBytes &P, uint16_t Port) {
  static const Bytes None;
  const auto It = P.find(Port);
  return It == P.end() ? None : It->second;
}

unsigned Passed = 0, Failed = 0;
bool Quiet = false;                    // the self-test judges captures it made up
std::vector<std::string> FailedNames;  // of the last Judge()
void Check(bool Ok, const std::string &Name, const std::string &Detail = "") {
  if (!Ok) FailedNames.push_back(Name.substr(0, Name.find(' ')));
  if (Quiet) return;
  ++(Ok ? Passed : Failed);
  std::printf("CHECK %s %s%s\n", Ok ? "PASS" : "FAIL", Name.c_str(), Detail.empty() ? "" : (": " + Detail).c_str());
}

// A check per driver and one for the whole capture.
void Judge(const std::string &Boot, const PortBytes &CapturedBytes, const std::vector<PortBytes> &Expected,
           const std::vector<PortBytes> &Host) {
  FailedNames.clear();
  PortBytes Captured = CapturedBytes;
  // One dispatch order that explains every port at once.
  std::vector<size_t> Order(std::size(Drivers));
  std::iota(Order.begin(), Order.end(), 0);
  bool Explained = false;
  do {
    Explained = true;
    for (const CAPTURED_PORT_ANSWER &P : CapturedPorts) {
      Bytes Joined;
      for (size_t D : Order)
        Joined.insert(Joined.end(), At(Expected[D], P.Port).begin(), At(Expected[D], P.Port).end());
      Explained &= Joined == Captured[P.Port];
    }
  } while (!Explained && std::next_permutation(Order.begin(), Order.end()));

  for (size_t D = 0; D < std::size(Drivers); ++D) {
    std::string Counts, Wrong;
    for (const CAPTURED_PORT_ANSWER &P : CapturedPorts) {
      const Bytes &Want = At(Expected[D], P.Port), &Got = Captured[P.Port];
      if (!Want.empty()) Counts += (Counts.empty() ? " " : ", ") + PortName(P.Port) + " " + std::to_string(Want.size());
      // Without an order that explains the capture, a driver passes if its bytes stand
      // unbroken on every port.
      if (!Want.empty() && !Explained && std::search(Got.begin(), Got.end(), Want.begin(), Want.end()) == Got.end())
        Wrong +=
            (Wrong.empty() ? "" : "; ") + PortName(P.Port) + " should carry " + Hex(Want) + ", captured " + Hex(Got);
      if (At(Host[D], P.Port) != Want)
        Wrong += (Wrong.empty() ? "" : "; ") + PortName(P.Port) + ": the host build sends " + Hex(At(Host[D], P.Port)) +
                 ", its documented behaviour " + Hex(Want);
    }
    const std::string Name =
        std::string(Drivers[D].Name) + " (" + Boot + "): " +
        (Counts.empty()
             ? "writes none of the captured ports, as documented and as the host build does"
             : "sends the bytes of its documented behaviour for these answers, as the host build does:" + Counts);
    Check(Wrong.empty(), Name, Wrong);
  }
  std::string Dispatch;
  for (size_t D : Order) {
    bool Any = false;
    for (const auto &[Port, B] : Expected[D]) Any |= !B.empty();
    if (Any) Dispatch += (Dispatch.empty() ? "" : ", ") + std::string(Drivers[D].Name);
  }
  std::string Detail;
  if (!Explained)
    for (const CAPTURED_PORT_ANSWER &P : CapturedPorts)
      Detail += PortName(P.Port) + " " + Hex(Captured[P.Port], 24) + "; ";
  Check(Explained,
        "captured ports (" + Boot + "): every byte comes from a board driver, each driver's as one block" +
            (Explained ? ", in dispatch order " + Dispatch : ""),
        Detail);
}

// Expected: what each driver's documented behaviour gives; Host: what the host build sends.
bool Expectations(bool SecondBoot, std::vector<PortBytes> &Expected, std::vector<PortBytes> &Host) {
  Expected.assign(std::size(Drivers), {});
  Host.assign(std::size(Drivers), {});
  bool AllRan = true;
  for (size_t D = 0; D < std::size(Drivers); ++D) {
    Expected[D] = Drivers[D].Documented(SecondBoot);
    AllRan &= HostWrites(Drivers[D], SecondBoot, Host[D]);
  }
  return AllRan;
}

PortBytes Joined(const std::vector<PortBytes> &Blocks, const std::vector<size_t> &Order) {
  PortBytes P;
  for (size_t D : Order)
    for (const auto &[Port, B] : Blocks[D]) P[Port].insert(P[Port].end(), B.begin(), B.end());
  return P;
}

// The judgement on captures made up from the expected blocks: another dispatch order passes;
// a stray byte, a driver's block missing and a block reordered fail the checks they concern
// and no other.
int SelfTest() {
  Quiet = true;
  unsigned Cases = 0, Wrong = 0;
  auto Expect = [&Cases, &Wrong](const char *Case, const std::vector<std::string> &Want) {
    const bool Ok = FailedNames == Want;
    ++Cases;
    Wrong += !Ok;
    std::string Got;
    for (const std::string &N : FailedNames) Got += " " + N;
    std::printf("%s %s: failed checks%s\n", Ok ? "PASS" : "FAIL", Case, Got.empty() ? " none" : Got.c_str());
  };
  for (const bool SecondBoot : {false, true}) {
    std::vector<PortBytes> Expected, Host;
    if (!Expectations(SecondBoot, Expected, Host)) return std::printf("FAIL a simulated run failed\n"), 1;
    const std::vector<size_t> Reverse = {4, 3, 2, 1, 0};
    Judge("", Joined(Expected, Reverse), Expected, Host);
    Expect(SecondBoot ? "second boot, drivers in reverse order" : "first boot, drivers in reverse order", {});
    if (!SecondBoot) continue;
    PortBytes Stray = Joined(Expected, Reverse);
    Stray[0x68].insert(Stray[0x68].begin() + static_cast<long>(At(Expected[3], 0x68).size()), 0x00);
    Judge("", Stray, Expected, Host);
    Expect("a stray byte between two drivers' blocks", {"captured"});
    std::vector<PortBytes> WithoutChannels = Expected;
    WithoutChannels[3].clear();
    Judge("", Joined(WithoutChannels, Reverse), Expected, Host);
    Expect("EcChannelConfigDxe's bytes missing", {"EcChannelConfigDxe", "captured"});
    PortBytes Broken = Joined(Expected, {0, 1, 2, 3, 4});
    Bytes &Ec = Broken[0x68];
    const auto BoardStart = static_cast<long>(At(Expected[0], 0x68).size());
    std::rotate(Ec.begin() + BoardStart + 6, Ec.begin() + BoardStart + 9, Ec.begin() + BoardStart + 12);
    Judge("", Broken, Expected, Host);
    Expect("six bytes of EcBoardConfigDxe's block reordered", {"EcBoardConfigDxe", "captured"});
  }
  std::printf("%u passed, %u failed\n", Cases - Wrong, Wrong);
  return Wrong ? 1 : 0;
}

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc == 2 && std::strcmp(Argv[1], "--self-test") == 0) return SelfTest();
  if (Argc != 3 || (std::strcmp(Argv[1], "store") != 0 && std::strcmp(Argv[1], "checks") != 0)) {
    std::fprintf(stderr, "usage: platform-ports store|checks CAPTURE_DIR | --self-test\n");
    return 2;
  }
  const bool SecondBoot = std::strcmp(Argv[1], "checks") == 0;
  const std::string Boot = SecondBoot ? "second boot" : "first boot, no \"Setup\"";

  PortBytes Captured;
  bool AllCaptured = true;
  for (const CAPTURED_PORT_ANSWER &P : CapturedPorts) {
    std::ifstream In(std::string(Argv[2]) + "/port-" + PortName(P.Port) + ".bin", std::ios::binary);
    AllCaptured &= In.is_open();
    Captured[P.Port] = Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }
  std::vector<PortBytes> Expected, Host;
  const bool AllRan = Expectations(SecondBoot, Expected, Host);
  if (!AllCaptured || !AllRan)
    Check(false, "captured ports (" + Boot + ")",
          !AllCaptured ? "a capture file is missing (QEMU without the capture devices?)" : "a simulated run failed");
  else
    Judge(Boot, Captured, Expected, Host);
  std::printf("SUMMARY %u passed, %u failed\n", Passed, Failed);
  return Failed ? 1 : 0;
}
