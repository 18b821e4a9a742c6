// run-image: one driver image on the simulated board, and what it did, one event a line:
// service calls, every port and MMIO access with the device's view beside it, then the
// variables written and the protocols installed.
//
//   run-image IMAGE [--part NAME] [--capacity CODE] [--ec present|absent|stuck] [--setup FILE]
//             [--ready-to-boot] [--quiet]
//
// IMAGE is a path or a driver name looked up in $IMAGE_DIR (default: the firmware build).
#include <access_match.h>
#include <board.h>
#include <devices/cmos_rtc.h>
#include <devices/embedded_controller.h>
#include <devices/flash_windows.h>
#include <devices/index_data_pair.h>
#include <devices/pci_config_ports.h>
#include <devices/pci_config_window.h>
#include <devices/spi_host_controller.h>
#include <devices/super_io.h>
#include <legacy_region.h>
#include <smm.h>
#include <uefi.h>

#include <board/setup_data.h>
#include <flash/entry.h>
#include <flash/parts.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "emulator.h"

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

const char *OpcodeName(uint8_t Op) {
  switch (Op) {
    case 0x9F: return "(read identifier)";
    case 0x90: case 0xAB: return "(read identifier, legacy)";
    case 0xB7: return "(enter 4-byte address mode)";
    case 0xE9: case 0x29: return "(exit 4-byte address mode)";
    case 0x06: return "(write enable)";
    case 0x04: return "(write disable)";
    case 0x05: return "(read status)";
    case 0x01: return "(write status)";
    case 0x03: case 0x13: return "(read)";
    case 0x02: case 0x12: return "(program)";
    case 0x20: case 0x21: return "(erase 4 KiB)";
    case 0xD8: case 0xDC: return "(erase 64 KiB)";
    default: return "";
  }
}

// What the device behind a port or register makes of an access.
struct DeviceView {
  SpiNorPart *Part = nullptr;
  EmbeddedController *Ec = nullptr;
  size_t Commands = 0, Transactions = 0;
  uint8_t SioIndex = 0, PirqIndex = 0, RtcIndex = 0, SioRuntimeIndex = 0;

  std::string Of(const Access &A) {
    char B[128] = "";
    if (A.Bus == Space::Io) {
      const unsigned V = static_cast<unsigned>(A.Value);
      switch (A.Address) {
        case 0x2E:
          if (A.Write) SioIndex = static_cast<uint8_t>(V);
          std::snprintf(B, sizeof B, "Super I/O index%s", V == 0x87 ? " (enter key)" : V == 0xAA ? " (exit key)" : "");
          break;
        case 0x2F: std::snprintf(B, sizeof B, "Super I/O register 0x%02X", SioIndex); break;
        case 0x2B5:
          if (A.Write) SioRuntimeIndex = static_cast<uint8_t>(V);
          std::snprintf(B, sizeof B, "Super I/O runtime index");
          break;
        case 0x2B6: std::snprintf(B, sizeof B, "Super I/O runtime register 0x%02X", SioRuntimeIndex); break;
        case 0xC00:
          if (A.Write) PirqIndex = static_cast<uint8_t>(V);
          std::snprintf(B, sizeof B, "PIRQ index");
          break;
        case 0xC01: std::snprintf(B, sizeof B, "PIRQ routing register 0x%02X", PirqIndex); break;
        case 0x70:
          if (A.Write) RtcIndex = static_cast<uint8_t>(V & 0x7F);
          std::snprintf(B, sizeof B, "RTC index");
          break;
        case 0x71: std::snprintf(B, sizeof B, "RTC register 0x%02X", RtcIndex); break;
        case 0x6C: std::snprintf(B, sizeof B, A.Write ? "EC command" : "EC status"); break;
        case 0x68: std::snprintf(B, sizeof B, "EC data"); break;
        case 0xCF9: std::snprintf(B, sizeof B, "reset control"); break;
        case 0x80: std::snprintf(B, sizeof B, "POST code"); break;
        default: break;
      }
    } else if (A.Address >= SpiHostController::Base && A.Address < SpiHostController::Base + SpiHostController::Size) {
      const unsigned R = static_cast<unsigned>(A.Address - SpiHostController::Base);
      const char *Name = R == 0x45 ? "opcode" : R == 0x47 ? "execute" : R == 0x48 ? "transmit count"
                       : R == 0x4B ? "receive count" : R == 0x4C ? "busy" : R >= 0x80 ? "FIFO" : "register";
      std::snprintf(B, sizeof B, "SPI 0x%02X %s", R, Name);
    } else if (A.Address >= PciConfigWindow::Base && A.Address < PciConfigWindow::Base + PciConfigWindow::Size) {
      const uint64_t O = A.Address - PciConfigWindow::Base;
      std::snprintf(B, sizeof B, "PCI %02X:%02X.%u offset 0x%03X", unsigned(O >> 20), unsigned(O >> 15) & 31,
                    unsigned(O >> 12) & 7, unsigned(O & 0xFFF));
    }
    std::string Out = B;
    // A command the part has just taken, or a transaction the controller has completed.
    if (Part && Part->Commands.size() > Commands) {
      for (; Commands < Part->Commands.size(); ++Commands) {
        const auto &C = Part->Commands[Commands];
        char S[96];
        std::snprintf(S, sizeof S, "\n      SPI command 0x%02X %s", C.Opcode, OpcodeName(C.Opcode));
        Out += S;
        if (!C.Out.empty()) {
          Out += " out";
          for (uint8_t Byte : C.Out) {
            std::snprintf(S, sizeof S, " %02X", Byte);
            Out += S;
          }
        }
        if (C.InCount) Out += " in " + std::to_string(C.InCount) + " bytes";
      }
    }
    if (Ec && Ec->Transactions.size() > Transactions) {
      for (; Transactions < Ec->Transactions.size(); ++Transactions) {
        const auto &T = Ec->Transactions[Transactions];
        char S[80];
        std::snprintf(S, sizeof S, "\n      EC %s bank %u register 0x%02X = 0x%02X", T.Write ? "write" : "read ", T.Bank,
                      T.Register, T.Value);
        Out += S;
      }
    }
    return Out;
  }
};

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
  DeviceView View;

  // Every device of the board, each on its ports and registers.
  SimClock Clock;
  SpiNorPart Part{Clock};
  SpiHostController Controller{Part, Clock};
  PciConfigWindow Pci;
  FlashWindows Windows{Part, Controller};
  EmbeddedController Ec;
  SuperIo Sio;
  IndexDataPair Router{0xC00, 0xC01};
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
  View.Part = &Part;
  View.Ec = &Ec;
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
    std::string Line = ToString(A), What = View.Of(A);
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
