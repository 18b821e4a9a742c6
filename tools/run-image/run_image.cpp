// run-image: one driver image on the simulated board, and what it did, one event a line:
// service calls, every port and MMIO access with the device's view beside it, then the
// variables written and the protocols installed.
//
//   run-image IMAGE [--part NAME] [--capacity CODE] [--ec present|absent|stuck] [--setup FILE]
//             [--ready-to-boot] [--quiet]
//
// IMAGE is a path or a driver name looked up in $IMAGE_DIR (default: the firmware build).
#include <tests/common/access_match.h>
#include <sim/board.h>
#include <sim/devices/cmos_rtc.h>
#include <sim/devices/embedded_controller.h>
#include <sim/devices/flash_windows.h>
#include <sim/devices/index_data_pair.h>
#include <sim/devices/pci_config_ports.h>
#include <sim/devices/pci_config_window.h>
#include <sim/devices/spi_host_controller.h>
#include <sim/devices/super_io.h>
#include <sim/legacy_region.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <board/setup_data.h>
#include <flash/entry.h>
#include <flash/parts.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <sim/image/emulator.h>

using namespace sim;

namespace {

struct Options {
  std::string Image, Part, Setup, Ec = "present";
  int Capacity = -1;
  bool ReadyToBoot = false, Quiet = false;
};

[[noreturn]] void Usage(const char *Why) {
  std::fprintf(stderr,
               "run-image: %s\nusage: run-image IMAGE [--part NAME] [--capacity CODE] [--ec present|absent|stuck]\n"
               "                 [--setup FILE] [--ready-to-boot] [--quiet]\n",
               Why);
  std::exit(2);
}

Options Parse(int Argc, char **Argv) {
  Options O;
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    auto Value = [&] {
      if (I + 1 >= Argc) Usage(("missing value after " + A).c_str());
      return std::string(Argv[++I]);
    };
    if (A == "--part") O.Part = Value();
    else if (A == "--capacity") O.Capacity = std::stoi(Value(), nullptr, 0);
    else if (A == "--ec") O.Ec = Value();
    else if (A == "--setup") O.Setup = Value();
    else if (A == "--ready-to-boot") O.ReadyToBoot = true;
    else if (A == "--quiet") O.Quiet = true;
    else if (A.rfind("--", 0) == 0) Usage(("unknown option " + A).c_str());
    else O.Image = A;
  }
  if (O.Image.empty()) Usage("no image given");
  if (O.Image.find('/') == std::string::npos && O.Image.find(".efi") == std::string::npos)
    O.Image = image::ImageDirectory(IMAGE_DEFAULT_DIR) + "/" + O.Image + ".efi";
  if (O.Ec != "present" && O.Ec != "absent" && O.Ec != "stuck") Usage("--ec takes present, absent or stuck");
  return O;
}

// A parts-table row of the image itself, found by name: its manufacturer and first memory type.
bool FindPart(const image::PeImage &Img, const std::string &Name, uint8_t &Manufacturer, uint8_t &Type,
              CAPACITY_SOURCE &Rule) {
  for (const char *Table : {"SstEsmtParts", "JedecParts", "SstLegacyParts"}) {
    const auto *T = reinterpret_cast<const PART_TABLE *>(Img.Symbol(Table));
    if (T == nullptr) continue;
    for (UINT8 I = 0; I < T->Count; ++I)
      if (Name == T->Rows[I].Name) {
        Manufacturer = T->Rows[I].Manufacturer;
        Type = T->Rows[I].MemoryTypes[0];
        Rule = T->Rows[I].Capacity;
        return true;
      }
  }
  return false;
}

void ListParts(const image::PeImage &Img) {
  std::fprintf(stderr, "parts in %s:\n", Img.Path().c_str());
  for (const char *Table : {"SstEsmtParts", "JedecParts", "SstLegacyParts"})
    if (const auto *T = reinterpret_cast<const PART_TABLE *>(Img.Symbol(Table)))
      for (UINT8 I = 0; I < T->Count; ++I) std::fprintf(stderr, "  %s\n", T->Rows[I].Name);
}

// Board ports that no device model claims but a reader of the trace should recognise.
struct NamedPort {
  uint16_t Port;
  const char *Name;
};
constexpr NamedPort UnmodelledPorts[] = {{0xCF9, "reset control"}, {0x80, "POST code"}};

// What the device behind a port or register makes of an access: each model describes its own.
std::string DeviceView(const Access &A) {
  if (Device *D = TheBoard().DeviceAt(A.Bus, A.Address)) return D->Describe(A);
  if (A.Bus == Space::Io)
    for (const NamedPort &P : UnmodelledPorts)
      if (P.Port == A.Address) return P.Name;
  return "";
}

std::string Narrow(const std::u16string &S) { return std::string(S.begin(), S.end()); }

}  // namespace

int main(int Argc, char **Argv) {
  const Options O = Parse(Argc, Argv);
  image::Emulator &Emu = image::Emulator::Get();
  const image::PeImage &Img = Emu.Load(O.Image);
  std::string Name = O.Image.substr(O.Image.find_last_of('/') + 1);
  Name = Name.substr(0, Name.find('.'));

  Board &B = TheBoard();
  Uefi U;
  Pcd P;
  P.Install(true, true);
  DebugPrintSink Print;
  Print.Install();

  // Every device of the board, each on its ports and registers.
  SimClock Clock;
  SpiNorPart Part{Clock};
  SpiHostController Controller{Part, Clock};
  PciConfigWindow Pci;
  FlashWindows Windows{Part, Controller};
  EmbeddedController Ec;
  SuperIo Sio;
  IndexDataPair Router{0xC00, 0xC01, "PIRQ index", "PIRQ routing register"};
  PciConfigPorts PciPorts;
  CmosRtc Rtc;
  LegacyRegion Legacy;
  int RootBridge = 0;
  Controller.Attach(B);
  Pci.Attach(B);
  Ec.Attach(B);
  Sio.Attach(B);
  Router.Attach(B);
  PciPorts.Attach(B);
  Rtc.Attach(B);
  Legacy.Attach(B);
  Legacy.Install(true);
  U.Install(gEfiPciRootBridgeIoProtocolGuid, &RootBridge);
  if (O.Ec == "absent") Ec.State = EmbeddedController::Mode::Absent;
  if (O.Ec == "stuck") Ec.State = EmbeddedController::Mode::Stuck;

  // A processor at 1000 MHz (P-state 0: multiplier 40, divisor 1).
  B.Cpu.Msr[0xC0010064] = (1ull << 63) | (1 << 8) | 40;
  B.Cpu.TscStep = 250;
  Clock.TscMhz = 1000;

  if (!O.Part.empty()) {
    uint8_t Manufacturer = 0, Type = 0;
    CAPACITY_SOURCE Rule{};
    if (!FindPart(Img, O.Part, Manufacturer, Type, Rule)) {
      ListParts(Img);
      Usage(("no part named \"" + O.Part + "\" in the image's parts tables").c_str());
    }
    const uint8_t Code = static_cast<uint8_t>(O.Capacity >= 0 ? O.Capacity : 0x18);
    Part.SetJedecId(Manufacturer, Type, Code);
    // The part's size from its capacity code, as JEDEC parts give it (2^code bytes).
    const uint32_t Size = Code >= 0x10 && Code <= 0x1A ? 1u << Code : 0x1000000;
    Part.Resize(Size);
    const uint32_t WindowSize = Size >= 0x2000000 ? 0x2000000 : 0x1000000;
    const uint32_t WindowBase = static_cast<uint32_t>(0x100000000ull - WindowSize);
    Pci.Set16(0, 0x14, 3, 0x6C, static_cast<uint16_t>(WindowBase >> 16));
    Pci.Set16(0, 0x14, 3, 0x6E, 0xFFFF);
    const bool Wide = Size > 0x1000000;
    if (Wide) {  // a processor and controller that decode the wide window
      B.Cpu.Cpuid[1] = {0x00830F00, 0, 0, 0};
      Controller.SetRegister(0x50, 1);
    }
    Windows.MapRomWindow(B, WindowBase, WindowSize, Wide);
    std::printf("part: %s, id %02X %02X %02X, %u MiB, window 0x%08X\n", O.Part.c_str(), Manufacturer, Type, Code,
                Size >> 20, WindowBase);
  }
  if (!O.Setup.empty()) {
    std::ifstream In(O.Setup, std::ios::binary);
    if (!In) Usage(("cannot read " + O.Setup).c_str());
    std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    U.SetVar(u"Setup", gSetupVariableGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Bytes);
    std::printf("\"Setup\": %zu bytes from %s\n", Bytes.size(), O.Setup.c_str());
  }
  // The SMM environment, for the SMM driver.
  std::unique_ptr<Smm> S;
  MemoryLogRegion Log;
  HobBuilder Hobs;
  if (Name == "MediaCapsuleSmm") {
    S = std::make_unique<Smm>();
    S->InstallAll();
    U.AddConfigurationTable(EFI_HOB_LIST_GUID, Hobs.Finish());
  }
  const auto Before = U.Variables;

  size_t TraceShown = 0;
  auto ShowCalls = [&] {
    for (; TraceShown < U.Trace.size(); ++TraceShown) std::printf("  call  %s\n", U.Trace[TraceShown].c_str());
  };
  uint64_t Accesses = 0;
  B.Logging = false;
  B.OnAccess = [&](const Access &A) {
    ++Accesses;
    if (O.Quiet) return;
    ShowCalls();
    std::string Line = ToString(A), What = DeviceView(A);
    if (!What.empty()) {
      Line.resize(std::max<size_t>(Line.size(), 36), ' ');
      Line += "  " + What;
    }
    std::printf("  %s\n", Line.c_str());
  };

  std::printf("== %s: entry point\n", Img.Path().substr(Img.Path().find_last_of('/') + 1).c_str());
  const auto Start = std::chrono::steady_clock::now();
  const uint64_t Args[] = {reinterpret_cast<uint64_t>(U.ImageHandle), reinterpret_cast<uint64_t>(&U.SystemTable)};
  const uint64_t Status = Emu.Call(Img.Entry(), Args, 2);
  if (O.ReadyToBoot) {
    ShowCalls();
    std::printf("== ReadyToBoot\n");
    U.SignalGroup(gEfiEventReadyToBootGuid);
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  ShowCalls();
  B.OnAccess = nullptr;

  std::printf("== entry returned %s (0x%llX)\n", StatusName(Status), static_cast<unsigned long long>(Status));
  for (const auto &[Key, V] : U.Variables) {
    auto It = Before.find(Key);
    if (It != Before.end() && It->second.Data == V.Data && It->second.Attributes == V.Attributes) continue;
    std::printf("variable %s: %zu bytes, attributes 0x%X%s\n", Narrow(Key.first).c_str(), V.Data.size(), V.Attributes,
                It == Before.end() ? " (new)" : " (changed)");
  }
  for (const auto &Pr : U.Protocols)
    if (Pr.Interface != &RootBridge && Pr.Interface != &P.Protocol && Pr.Interface != &P.EfiProtocol &&
        Pr.Interface != &Print.Protocol && Pr.Interface != &Legacy.Protocol &&
        !(S && (Pr.Interface == &S->Base.Protocol || Pr.Interface == &S->Access2)))
      std::printf("protocol installed: %s\n", GuidName(Pr.Guid).c_str());
  if (S)
    for (size_t I = 0; I < S->Base.Protocols.size(); ++I)
      if (I >= 5) std::printf("SMM protocol installed: %s\n", GuidName(S->Base.Protocols[I].Guid).c_str());
  for (const auto &L : Print.Lines) std::printf("debug print: %s", L.Text.c_str());
  std::printf("%llu port and MMIO accesses, %.3f s", static_cast<unsigned long long>(Accesses), Seconds);
  if (Emu.Counting())
    std::printf(", %llu instructions (%.1f million a second)", static_cast<unsigned long long>(Emu.Instructions()),
                Emu.Instructions() / Seconds / 1e6);
  std::printf("\n");
  return EFI_ERROR(Status) ? 1 : 0;
}
