#include "record.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// Polling loops repeat one access hundreds of thousands of times: a repeat is counted on the
// entry before it rather than stored again.
struct Entry {
  Access A;
  std::string Text;  // empty for an access
  uint64_t Repeats = 1;
};

std::vector<Entry> &Entries() {
  static std::vector<Entry> E;
  return E;
}

struct Digest {
  uint64_t Count = 0;
  uint64_t Hash = 0xCBF29CE484222325ull;  // FNV-1a
  void Add(const Access &A) {
    const uint64_t Fields[] = {uint64_t(A.Bus), uint64_t(A.Write), A.Width, A.Address, A.Value};
    for (uint64_t F : Fields)
      for (int I = 0; I < 8; ++I) Hash = (Hash ^ ((F >> (8 * I)) & 0xFF)) * 0x100000001B3ull;
    ++Count;
  }
} Unlogged;

void FlushUnlogged() {
  if (Unlogged.Count == 0) return;
  char Buf[80];
  std::snprintf(Buf, sizeof Buf, "%llu unlogged accesses, hash %016llX", static_cast<unsigned long long>(Unlogged.Count),
                static_cast<unsigned long long>(Unlogged.Hash));
  Entries().push_back({{}, Buf, 1});
  Unlogged = {};
}

}  // namespace

bool Recording = false;

void RecordAccess(const Access &A, bool Logged) {
  if (!Recording) return;
  if (!Logged) return Unlogged.Add(A);
  FlushUnlogged();
  auto &E = Entries();
  if (!E.empty() && E.back().Text.empty() && E.back().A == A)
    ++E.back().Repeats;
  else
    E.push_back({A, {}, 1});
}
// One entry is one line of the record file: a line break inside it (a print's) is written as \n.
void RecordLine(const std::string &Line) {
  if (!Recording) return;
  FlushUnlogged();
  std::string OneLine;
  for (char C : Line) OneLine += C == '\n' ? std::string("\\n") : std::string(1, C);
  Entries().push_back({{}, OneLine, 1});
}
void ClearRecord() {
  Entries().clear();
  Unlogged = {};
}

std::string RecordBytes(const void *Data, size_t Size) {
  const auto *B = static_cast<const uint8_t *>(Data);
  std::string Out;
  char H[4];
  for (size_t I = 0; I < Size && I < (Size > 64 ? 16 : 64); ++I) {
    // A pointer to host memory (a buffer's address stored in a variable) differs between the
    // two builds' processes: shown as such.
    uint64_t Word = 0;
    if (I % 8 == 0 && Size - I >= 8) std::memcpy(&Word, B + I, 8);
    if (Word >> 32 && Word < 0x800000000000ull) {
      Out += "<host pointer>";
      I += 7;
      continue;
    }
    std::snprintf(H, sizeof H, "%02X", B[I]);
    Out += H;
  }
  if (Size <= 64) return Out;
  uint64_t Hash = 0xCBF29CE484222325ull;
  for (size_t I = 0; I < Size; ++I) Hash = (Hash ^ B[I]) * 0x100000001B3ull;
  char Tail[48];
  std::snprintf(Tail, sizeof Tail, "... (hash %016llX)", static_cast<unsigned long long>(Hash));
  return Out + Tail;
}

std::vector<std::string> RecordLines() {
  FlushUnlogged();
  std::vector<std::string> Out;
  for (const Entry &E : Entries()) {
    Out.push_back(E.Text.empty() ? ToString(E.A) : E.Text);
    if (E.Repeats > 1) Out.back() += " (x" + std::to_string(E.Repeats) + ")";
  }
  const CpuModel &C = TheBoard().Cpu;
  char Buf[160];
  std::snprintf(Buf, sizeof Buf, "cpu tsc=%llu pauses=%llu fences=%llu wbinvd=%llu flushes=%zu cr4=0x%llX",
                static_cast<unsigned long long>(C.Tsc), static_cast<unsigned long long>(C.Pauses),
                static_cast<unsigned long long>(C.Fences), static_cast<unsigned long long>(C.Wbinvds),
                C.FlushedLines.size(), static_cast<unsigned long long>(C.Cr4));
  Out.push_back(Buf);
  return Out;
}

}  // namespace sim
