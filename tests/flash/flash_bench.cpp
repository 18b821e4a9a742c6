// flash-bench: workloads through FLASH_DEVICE_OPS against the simulated part with typical
// datasheet command times, counting what reaches the part against the fewest commands the
// driver's rules allow. The test command runs it once for its data and command-count checks;
// its times are for reading, not judged.
#include <sim/devices/flash_windows.h>
#include <sim/devices/pci_config_window.h>
#include <sim/uefi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/entry.h>
#include <flash/translation.h>

using namespace sim;

namespace {

constexpr uint32_t MiB = 0x100000;

struct Counts {
  uint64_t Reads = 0, Erases = 0, Programs = 0, WriteEnables = 0, StatusReads = 0;
};

Counts CountsOf(const SpiNorPart &Part) {
  const auto &C = Part.CountByOpcode;
  Counts Out;
  Out.Reads = C[0x03] + C[0x13];
  Out.Programs = C[0x02] + C[0x12];
  for (uint8_t Op : {0x20, 0x21, 0xD8, 0xDC, 0xDB, 0xD7}) Out.Erases += C[Op];
  Out.WriteEnables = C[0x06];
  Out.StatusReads = C[0x05];
  return Out;
}

struct Bench {
  Uefi U;
  Board &B = TheBoard();
  SimClock Clock;
  SpiNorPart Part{Clock, 2 * 16 * MiB};
  SpiHostController Controller{Part, Clock};
  PciConfigWindow Pci;
  FlashWindows Windows{Part, Controller};

  Bench() {
    Controller.Attach(B);
    Pci.Attach(B);
    B.Cpu.Msr[0xC0010064] = (1ull << 63) | (1 << 8) | 40;  // 1000 MHz
    B.Cpu.Cpuid[1] = {0, 0x0800, 0, 1u << 19};             // CLFLUSH with 64-byte lines
    B.Cpu.TscStep = 250;
    Part.SetJedecId(0xEF, 0x40, 0x19);  // 32 MiB, 64 KiB erase
    Part.ProgramUs = 700;
    Part.Erase4KUs = 45000;
    Part.Erase64KUs = 150000;
    Part.Record = false;
    // The ROM window shows the first 16 MiB; the rest is reached only by command.
    Pci.Set16(0, 0x14, 3, 0x6C, 0xFF00);
    Pci.Set16(0, 0x14, 3, 0x6E, 0xFFFF);
    Windows.MapRomWindow(B, 0xFF000000, 16 * MiB, false);
    B.Logging = false;
    // A workload is millions of touches: its status polls and delays are the work, not a wait
    // that is stuck. Each workload gets the budget afresh.
    B.Budget.Touches = 2'000'000'000;
    B.Budget.Ticks = ~0ull;
    FlashAccessEntry(U.ImageHandle, &U.SystemTable);
  }

  void Run(const char *Name, Counts Fewest, const std::function<void()> &Work) {
    const Counts Before = CountsOf(Part);
    const uint64_t Fifo = Controller.FifoAccesses, DeviceUs = Clock.NowUs();
    const auto Start = std::chrono::steady_clock::now();
    B.StartRun();
    Work();
    const double HostMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    const Counts After = CountsOf(Part);
    const uint64_t Sent =
        (After.Reads - Before.Reads) + (After.Erases - Before.Erases) + (After.Programs - Before.Programs);
    const uint64_t Least = Fewest.Reads + Fewest.Erases + Fewest.Programs;
    const double Ratio = Least == 0 ? (Sent == 0 ? 1.0 : 0.0) : static_cast<double>(Sent) / Least;
    std::printf("%-34s %9llu %7llu %6llu %9llu %8llu %11llu %12.3f %10.1f %6.2f\n", Name,
                static_cast<unsigned long long>(After.Reads - Before.Reads),
                static_cast<unsigned long long>(After.Erases - Before.Erases),
                static_cast<unsigned long long>(After.Programs - Before.Programs),
                static_cast<unsigned long long>(After.WriteEnables - Before.WriteEnables),
                static_cast<unsigned long long>(After.StatusReads - Before.StatusReads),
                static_cast<unsigned long long>(Controller.FifoAccesses - Fifo), (Clock.NowUs() - DeviceUs) / 1000.0,
                HostMs, Ratio);
    // More commands than the rules need is a regression, whatever the host's speed.
    if (Ratio != 1.0) ExtraCommands.push_back(Name);
  }
  std::vector<const char *> ExtraCommands;

  void ProgramRange(uint32_t Offset, const std::vector<UINT8> &Data) {
    for (UINT32 Done = 0; Done < Data.size();) {
      UINT32 Left = static_cast<UINT32>(Data.size()) - Done;
      const UINT32 Before = Left;
      if (!FlashDeviceOps->Program(Offset + Done, const_cast<UINT8 *>(Data.data()) + Done, &Left, FALSE)) {
        std::printf("program failed at 0x%X\n", Offset + Done);
        return;
      }
      Done += Before - Left;
    }
  }
};

}  // namespace

int main() {
  Bench Bn;
  if (FlashDeviceOps == nullptr) {
    std::puts("no part identified");
    return 1;
  }
  std::printf("part: %s, %u MiB; typical times: page program 0.7 ms, 4 KiB erase 45 ms, 64 KiB erase 150 ms\n",
              FlashDeviceOps->Name, FlashSize / MiB);
  std::printf("%-34s %9s %7s %6s %9s %8s %11s %12s %10s %6s\n", "workload", "reads", "erases", "progs", "wr-enable",
              "status", "fifo-bytes", "device-ms", "host-ms", "ratio");

  std::vector<UINT8> Buffer(16 * MiB);
  std::vector<UINT8> Copy(16 * MiB);
  for (size_t I = 0; I < Bn.Part.Memory.size(); ++I) Bn.Part.Memory[I] = static_cast<uint8_t>(I * 2654435761u >> 13);

  double ReadMs = 0;
  Bn.Run("read 16 MiB shown by a window", {}, [&] {
    const auto Start = std::chrono::steady_clock::now();
    UINT32 Length = 16 * MiB;
    FlashDeviceOps->Read(0, Buffer.data(), &Length, FALSE);
    ReadMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
  });
  const bool ReadOk = std::memcmp(Buffer.data(), Bn.Part.Memory.data(), 16 * MiB) == 0;

  Bn.Run("read 1 MiB shown by no window", {.Reads = MiB / SPI_CHUNK}, [&] {
    UINT32 Length = MiB;
    FlashDeviceOps->Read(16 * MiB, Buffer.data(), &Length, FALSE);
  });
  const bool SpiReadOk = std::memcmp(Buffer.data(), &Bn.Part.Memory[16 * MiB], MiB) == 0;

  Bn.Run("erase 1 MiB aligned (64 KiB blocks)", {.Erases = MiB / ERASE_64K},
         [&] { FlashDeviceOps->Erase(0x100000, MiB, FALSE); });
  Bn.Run("erase 1 MiB already blank", {}, [&] { FlashDeviceOps->Erase(0x100000, MiB, FALSE); });
  // 0x211000 to 0x311000: 15 sectors up to 0x220000, 15 blocks, 1 sector.
  Bn.Run("erase 1 MiB unaligned", {.Erases = 15 + 15 + 1}, [&] { FlashDeviceOps->Erase(0x211000, MiB, FALSE); });

  std::vector<UINT8> Random(MiB);
  uint64_t Seed = 1;
  for (auto &Byte : Random) {
    Seed = Seed * 6364136223846793005ull + 1442695040888963407ull;
    Byte = static_cast<UINT8>(Seed >> 56);
  }
  Bn.Run("program 1 MiB of random data", {.Programs = MiB / SPI_CHUNK}, [&] { Bn.ProgramRange(0x100000, Random); });
  const bool ProgramOk = std::memcmp(&Bn.Part.Memory[0x100000], Random.data(), MiB) == 0;
  std::vector<UINT8> Blank(MiB, 0xFF);
  Bn.Run("program 1 MiB of 0xFF", {}, [&] { Bn.ProgramRange(0x211000, Blank); });

  const auto Start = std::chrono::steady_clock::now();
  std::memcpy(Copy.data(), Bn.Part.Memory.data(), 16 * MiB);
  const double CopyMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
  std::printf("16 MiB window read %.2f ms, memcpy %.2f ms (%.2fx)\n", ReadMs, CopyMs, ReadMs / CopyMs);
  std::printf("data checks: window read %s, command read %s, program %s\n", ReadOk ? "ok" : "FAILED",
              SpiReadOk ? "ok" : "FAILED", ProgramOk ? "ok" : "FAILED");
  for (const char *Name : Bn.ExtraCommands) std::printf("more commands than the fewest: %s\n", Name);
  return ReadOk && SpiReadOk && ProgramOk && Bn.ExtraCommands.empty() ? 0 : 1;
}
