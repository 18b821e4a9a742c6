#include "board.h"

#include "record.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string ToString(const Access &A) {
  char Buf[96];
  std::snprintf(Buf, sizeof Buf, "%s %s%u 0x%llX = 0x%llX", A.Bus == Space::Io ? "io  " : "mmio",
                A.Write ? "write" : "read ", A.Width * 8, static_cast<unsigned long long>(A.Address),
                static_cast<unsigned long long>(A.Value));
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
  if (Logging) Log.push_back({Bus, false, static_cast<uint8_t>(Width), Address, Value});
  RecordAccess({Bus, false, static_cast<uint8_t>(Width), Address, Value}, Logging);
  if (OnAccess) OnAccess({Bus, false, static_cast<uint8_t>(Width), Address, Value});
  return Value;
}

void Board::Write(Space Bus, uint64_t Address, unsigned Width, uint64_t Value) {
  Value &= Mask(Width);
  if (Logging) Log.push_back({Bus, true, static_cast<uint8_t>(Width), Address, Value});
  RecordAccess({Bus, true, static_cast<uint8_t>(Width), Address, Value}, Logging);
  if (Device *Dev = Find(Bus, Address)) Dev->Write(Address, Width, Value);
  if (OnAccess) OnAccess({Bus, true, static_cast<uint8_t>(Width), Address, Value});
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

Board &TheBoard() {
  static Board Instance;
  return Instance;
}

}  // namespace sim
