#include "board.h"

#include "record.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {

std::string ToString(const Access &A) {
  char Buf[96];
  std::snprintf(Buf, sizeof Buf, "%s %s%u 0x%llX = 0x%llX", A.Bus == Space::Io ? "io  " : "mmio",
                A.Write ? "write" : "read ", A.Width * 8, static_cast<unsigned long long>(A.Address),
                static_cast<unsigned long long>(A.Value));
  return Buf;
}

std::string Format(const char *Fmt, ...) {
  char Buf[160];
  va_list Args;
  va_start(Args, Fmt);
  std::vsnprintf(Buf, sizeof Buf, Fmt, Args);
  va_end(Args);
  return Buf;
}

static uint64_t Mask(unsigned Width) { return Width >= 8 ? ~0ull : (1ull << (Width * 8)) - 1; }

Device *Board::Find(Space Bus, uint64_t Address) const {
  const auto &Ranges = Bus == Space::Io ? Io : Mmio;
  // Later registrations take precedence, so a test can put a device over another.
  for (auto It = Ranges.rbegin(); It != Ranges.rend(); ++It)
    if (Address >= It->Base && Address - It->Base < It->Size) return It->Dev;
  return nullptr;
}

void Board::UnmapDevice(Device *Dev) {
  auto Drop = [Dev](std::vector<Range> &R) {
    R.erase(std::remove_if(R.begin(), R.end(), [Dev](const Range &X) { return X.Dev == Dev; }), R.end());
  };
  Drop(Io);
  Drop(Mmio);
}

uint64_t Board::Read(Space Bus, uint64_t Address, unsigned Width) {
  Device *Dev = Find(Bus, Address);
  uint64_t Value = Dev ? Dev->Read(Address, Width) : (Bus == Space::Io ? UnclaimedIo : UnclaimedMmio);
  Value &= Mask(Width);
  const Access A{Bus, false, static_cast<uint8_t>(Width), Address, Value};
  if (Logging) Log.push_back(A);
  RecordAccess(A, Logging);
  Touched(A);
  if (OnAccess) OnAccess(A);
  return Value;
}

void Board::Write(Space Bus, uint64_t Address, unsigned Width, uint64_t Value) {
  Value &= Mask(Width);
  const Access A{Bus, true, static_cast<uint8_t>(Width), Address, Value};
  if (Logging) Log.push_back(A);
  RecordAccess(A, Logging);
  Touched(A);
  if (Device *Dev = Find(Bus, Address)) Dev->Write(Address, Width, Value);
  if (OnAccess) OnAccess(A);
}

void *Board::PhysToPtr(uint64_t Address) {
  for (auto It = Memory.rbegin(); It != Memory.rend(); ++It)
    if (Address >= It->Base && Address - It->Base < It->Size) return It->Backing + (Address - It->Base);
  return reinterpret_cast<void *>(Address);
}

std::vector<Access> Board::LogOf(Space Bus, uint64_t Low, uint64_t High) const {
  std::vector<Access> Out;
  for (const Access &A : Log)
    if (A.Bus == Bus && A.Address >= Low && A.Address <= High) Out.push_back(A);
  return Out;
}

void Board::StartRun() {
  Touches = 0;
  TicksAtStart = Cpu.Tsc;
  RecentCount = 0;
  LastTouch = nullptr;
}

void Board::Touched(const Access &A) {
  Recent[RecentCount++ % Recent.size()] = A;
  LastTouch = nullptr;
  if (++Touches > Budget.Touches) BudgetSpent("hardware touches");
}

void Board::CountTouch(const char *What) {
  LastTouch = What;
  if (++Touches > Budget.Touches) BudgetSpent("hardware touches");
  if (Cpu.Tsc - TicksAtStart > Budget.Ticks) BudgetSpent("simulated time");
}

void Board::BudgetSpent(const char *Which) const {
  std::fprintf(stderr, "\nsimulated board: run budget of %s spent (%llu touches, %llu ticks); stuck in a wait", Which,
               static_cast<unsigned long long>(Touches), static_cast<unsigned long long>(Cpu.Tsc - TicksAtStart));
  if (LastTouch) std::fprintf(stderr, " on %s", LastTouch);
  // The accesses that recur among the last ones are what the wait polls.
  std::vector<std::pair<std::string, unsigned>> Polled;
  const size_t N = std::min(RecentCount, Recent.size());
  for (size_t I = 0; I < N; ++I) {
    const Access &A = Recent[(RecentCount - N + I) % Recent.size()];
    char Buf[64];
    std::snprintf(Buf, sizeof Buf, "%s %s%u 0x%llX", A.Bus == Space::Io ? "io" : "mmio", A.Write ? "write" : "read",
                  A.Width * 8, static_cast<unsigned long long>(A.Address));
    auto It = std::find_if(Polled.begin(), Polled.end(), [&Buf](const auto &P) { return P.first == Buf; });
    if (It == Polled.end())
      Polled.push_back({Buf, 1});
    else
      ++It->second;
  }
  std::stable_sort(Polled.begin(), Polled.end(), [](const auto &X, const auto &Y) { return X.second > Y.second; });
  if (Polled.size() > 4) Polled.resize(4);
  if (!Polled.empty()) {
    std::fprintf(stderr, "; recent accesses:");
    for (const auto &[What, Count] : Polled) std::fprintf(stderr, " [%s, %u of the last %zu]", What.c_str(), Count, N);
    const Access &Last = Recent[(RecentCount - 1) % Recent.size()];
    std::fprintf(stderr, "; last access %s", ToString(Last).c_str());
  }
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::abort();
}

Board &TheBoard() {
  static Board Instance;
  return Instance;
}

std::array<uint32_t, 4> Board::Cpuid(uint32_t Leaf) {
  if (Recording) RecordLine(Format("cpuid 0x%X", Leaf));
  auto It = Cpu.Cpuid.find(Leaf);
  return It == Cpu.Cpuid.end() ? std::array<uint32_t, 4>{} : It->second;
}

uint16_t Board::CpuidSi(uint32_t Leaf, uint32_t Ebx) {
  if (Recording) RecordLine(Format("cpuid 0x%X ebx 0x%X (si)", Leaf, Ebx));
  auto It = Cpu.CpuidSi.find({Leaf, Ebx});
  return It == Cpu.CpuidSi.end() ? 0 : It->second;  // a leaf nobody answers leaves SI at 0
}

uint64_t Board::Rdmsr(uint32_t Index) {
  auto It = Cpu.Msr.find(Index);
  const uint64_t Value = It == Cpu.Msr.end() ? 0 : It->second;
  if (Recording) RecordLine(Format("rdmsr 0x%X = 0x%llX", Index, static_cast<unsigned long long>(Value)));
  return Value;
}

void Board::Wrmsr(uint32_t Index, uint64_t Value) {
  if (Recording) RecordLine(Format("wrmsr 0x%X = 0x%llX", Index, static_cast<unsigned long long>(Value)));
  Cpu.Msr[Index] = Value;
}

uint64_t Board::Rdtsc() {
  const uint64_t Now = Cpu.Tsc;
  Cpu.Tsc += Cpu.TscStep;
  CountTouch("the time-stamp counter");
  return Now;
}

void Board::Pause() {
  ++Cpu.Pauses;
  CountTouch("PAUSE");
}

void Board::Clflush(uint64_t Address) {
  Cpu.FlushedLines.push_back(Address);
  // Host memory lies at different addresses in the two builds' processes.
  if (Recording)
    RecordLine(Address >> 32 ? std::string("clflush host memory")
                           : Format("clflush 0x%llX", static_cast<unsigned long long>(Address)));
}

void Board::GeneralProtection(const char *Instruction, uint32_t Index, const std::string &Where) const {
  std::fprintf(stderr, "\nsimulated processor: #GP(0): %s of MSR 0x%X, which this processor does not have, at %s\n",
               Instruction, Index, Where.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace sim
