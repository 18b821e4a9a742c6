// The board a FlashAccessDxe test runs on: the SPI host controller with its part, PCI
// configuration space, a processor whose time-stamp counter runs at 1000 MHz, and the
// simulated UEFI services.
#pragma once
#include <tests/common/access_match.h>
#include <sim/devices/pci_config_window.h>
#include <sim/devices/spi_host_controller.h>
#include <sim/legacy_region.h>
#include <sim/uefi.h>

#include <flash/entry.h>

namespace flash_test {

using namespace sim;

inline constexpr uint64_t PStateEnabled = 1ull << 63;

struct FlashBoard : ::testing::Test {
  Uefi U;
  Board &B = TheBoard();
  SimClock Clock;
  SpiNorPart Part{Clock};
  SpiHostController Controller{Part, Clock};
  PciConfigWindow Pci;

  void SetUp() override {
    Controller.Attach(B);
    Pci.Attach(B);
    // P0 at multiplier 40 with divisor 1: 40 x 25 = 1000 MHz. Each counter read moves it a
    // quarter of a microsecond, so a delay costs about 1 us of simulated time.
    B.Cpu.Msr[0xC0010064] = PStateEnabled | (1 << 8) | 40;
    B.Cpu.TscStep = 250;
    Clock.TscMhz = 1000;
    RomWindow(0xFF00, 0xFFFF);
  }

  void RomWindow(uint16_t Base, uint16_t Limit) {
    Pci.Set16(0, 0x14, 3, 0x6C, Base);
    Pci.Set16(0, 0x14, 3, 0x6E, Limit);
  }
  // A processor and controller that decode the wide window.
  void WideWindow() {
    B.Cpu.Cpuid[1] = {0x00830F00, 0, 0, 0};
    Controller.SetRegister(0x50, 1);
  }
  EFI_STATUS Start() { return FlashAccessEntry(U.ImageHandle, &U.SystemTable); }

  // Opcodes written to the controller's opcode register, in order.
  std::vector<uint8_t> OpcodesWritten() const {
    std::vector<uint8_t> Out;
    for (const Access &A : B.Log)
      if (A.Bus == Space::Mmio && A.Write && A.Address == 0xFEC10045) Out.push_back(static_cast<uint8_t>(A.Value));
    return Out;
  }
  size_t CountOf(bool Write, uint64_t Address) const {
    size_t N = 0;
    for (const Access &A : B.Log) N += A.Bus == Space::Mmio && A.Write == Write && A.Address == Address;
    return N;
  }
};

}  // namespace flash_test
