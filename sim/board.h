// The simulated board: port and MMIO buses with device models registered by range, memory
// regions that back physical addresses, a CPU model, and the access log of every port and
// MMIO access in order.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class Space : uint8_t { Io, Mmio };

struct Access {
  Space Bus;
  bool Write;
  uint8_t Width;  // bytes
  uint64_t Address;
  uint64_t Value;
  bool operator==(const Access &) const = default;
};

std::string ToString(const Access &A);

inline Access IoWr(uint64_t Port, uint64_t Value, uint8_t Width = 1) { return {Space::Io, true, Width, Port, Value}; }
inline Access IoRd(uint64_t Port, uint64_t Value, uint8_t Width = 1) { return {Space::Io, false, Width, Port, Value}; }
inline Access MmioWr(uint64_t Addr, uint64_t Value, uint8_t Width = 4) { return {Space::Mmio, true, Width, Addr, Value}; }
inline Access MmioRd(uint64_t Addr, uint64_t Value, uint8_t Width = 4) { return {Space::Mmio, false, Width, Addr, Value}; }

class Device {
 public:
  virtual ~Device() = default;
  virtual uint64_t Read(uint64_t Address, unsigned Width) = 0;
  virtual void Write(uint64_t Address, unsigned Width, uint64_t Value) = 0;
  // What the device makes of an access it has just taken ("EC status", "SPI 0x45 opcode"),
  // for traces; empty where it has nothing to say.
  virtual std::string Describe(const Access &A) { return ""; }
};

// printf-style formatting into a string, for the devices' descriptions.
std::string Format(const char *Fmt, ...) __attribute__((format(printf, 1, 2)));

struct CpuModel {
  std::map<uint32_t, std::array<uint32_t, 4>> Cpuid;  // leaf -> EAX, EBX, ECX, EDX
  std::map<std::pair<uint32_t, uint32_t>, uint16_t> CpuidSi;  // (leaf, EBX) -> SI, for AsmCpuidEbxSi
  std::map<uint32_t, uint64_t> Msr;
  // MSRs the processor has besides those given a value above (which read 0 when absent from
  // Msr): the local APIC base and the eight P-state registers. Any other RDMSR or WRMSR
  // raises #GP, which stops the run.
  std::set<uint32_t> Implemented = {0x1B,       0xC0010064, 0xC0010065, 0xC0010066, 0xC0010067,
                                    0xC0010068, 0xC0010069, 0xC001006A, 0xC001006B};
  bool Implements(uint32_t Index) const { return Msr.count(Index) || Implemented.count(Index); }
  uint64_t Tsc = 0;
  uint64_t TscStep = 1;  // added after every read
  uint64_t Cr4 = 0;
  uint64_t Pauses = 0, Fences = 0, Wbinvds = 0;
  std::vector<uint64_t> FlushedLines;
};

class Board {
 public:
  void MapIo(uint64_t Base, uint64_t Size, Device *Dev) { Io.push_back({Base, Size, Dev}); }
  void MapMmio(uint64_t Base, uint64_t Size, Device *Dev) { Mmio.push_back({Base, Size, Dev}); }
  // Physical addresses [Base, Base + Size) seen by the processor as Backing.
  void MapMemory(uint64_t Base, uint64_t Size, uint8_t *Backing) { Memory.push_back({Base, Size, Backing}); }
  void UnmapDevice(Device *Dev);

  uint64_t Read(Space Bus, uint64_t Address, unsigned Width);
  void Write(Space Bus, uint64_t Address, unsigned Width, uint64_t Value);
  void *PhysToPtr(uint64_t Address);
  // The device model that claims an address, if any.
  Device *DeviceAt(Space Bus, uint64_t Address) const { return Find(Bus, Address); }

  // Accesses of one bus, optionally only those within [Low, High].
  std::vector<Access> LogOf(Space Bus, uint64_t Low = 0, uint64_t High = ~0ull) const;

  std::vector<Access> Log;
  bool Logging = true;
  // Value an unclaimed address reads (masked to the access width): all ones, as on the board.
  uint64_t UnclaimedIo = ~0ull;
  uint64_t UnclaimedMmio = ~0ull;
  // Called after every logged access; a test can escape an endless loop from here.
  std::function<void(const Access &)> OnAccess;
  CpuModel Cpu;

  // A run that goes past either budget is stuck in a wait: it stops with a message that names
  // what it kept touching. Hardware touches are port and MMIO accesses, counter reads and
  // pauses; simulated time is counted in time-stamp-counter ticks. A test whose waits are long
  // on purpose raises the budget; a fuzz target starts a run per input.
  struct RunBudget {
    uint64_t Touches = 10'000'000;
    uint64_t Ticks = 600'000'000'000;  // 10 minutes at 1 GHz
  } Budget;
  void StartRun();
  void CountTouch(const char *What);  // a counter read or a pause

  // The processor instructions of the access layer, for both builds: each answers from the CPU
  // model, counts toward the run budget where the host build's does, and is recorded.
  std::array<uint32_t, 4> Cpuid(uint32_t Leaf);
  uint16_t CpuidSi(uint32_t Leaf, uint32_t Ebx);
  uint64_t Rdmsr(uint32_t Index);  // the caller has checked Cpu.Implements(Index)
  void Wrmsr(uint32_t Index, uint64_t Value);
  uint64_t Rdtsc();
  void Pause();
  void Clflush(uint64_t Address);
  // #GP for an MSR the processor does not have: the run stops, naming it and Where.
  [[noreturn]] void GeneralProtection(const char *Instruction, uint32_t Index, const std::string &Where) const;

 private:
  struct Range {
    uint64_t Base, Size;
    Device *Dev;
  };
  struct Region {
    uint64_t Base, Size;
    uint8_t *Backing;
  };
  Device *Find(Space Bus, uint64_t Address) const;
  void Touched(const Access &A);
  [[noreturn]] void BudgetSpent(const char *Which) const;
  uint64_t Touches = 0, TicksAtStart = 0;
  
  std::array<Access, 32> Recent{};  // the last accesses, for naming the wait
  size_t RecentCount = 0;
  const char *LastTouch = nullptr;
  std::vector<Range> Io, Mmio;
  std::vector<Region> Memory;
};

Board &TheBoard();

}  // namespace sim
