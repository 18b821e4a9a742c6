#include "image_fuzz.h"

#include <capstone/capstone.h>
#include <signal.h>
#include <sim/smm.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

// libFuzzer's extra counters: one byte per edge slot, cleared by libFuzzer before each input.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t ImageEdges[1 << 16];

namespace image_fuzz {

namespace {

constexpr uint64_t Page = 0x1000;
image::PeImage *Img;

struct Range {
  uint64_t Start, End;
};
std::vector<Range> Campaign, Input;

// The image's basic blocks, found statically: function starts, the targets of direct jumps
// within the image, and the instruction after each conditional jump. (Targets reached only
// through a jump table are counted within the block before them.)
std::vector<uint64_t> Leaders;
std::vector<bool> Reached;
std::unordered_set<uint64_t> SeenBlocks;
uint64_t PreviousEdge = 0;

bool IsJump(unsigned Id) { return Id >= X86_INS_JAE && Id <= X86_INS_JS; }  // capstone 4 orders every jump here

void FindLeaders(const image::PeImage &I) {
  std::set<uint64_t> Found;
  csh Cs;
  if (cs_open(CS_ARCH_X86, CS_MODE_64, &Cs) != CS_ERR_OK) Finding("capstone: cannot open");
  cs_option(Cs, CS_OPT_DETAIL, CS_OPT_ON);
  cs_insn *Insn = cs_malloc(Cs);
  const auto &Symbols = I.SymbolsByRva();
  for (auto It = Symbols.begin(); It != Symbols.end(); ++It) {
    const image::Section *Sec = I.SectionAt(I.Base() + It->first);
    if (Sec == nullptr || !Sec->Code || !I.FunctionRvas().count(It->first)) continue;
    const uint64_t End =
        std::next(It) == Symbols.end() ? Sec->Rva + Sec->Size : std::min(std::next(It)->first, Sec->Rva + Sec->Size);
    uint64_t At = I.Base() + It->first;
    Found.insert(At);
    const uint8_t *Code = reinterpret_cast<const uint8_t *>(At);
    size_t Left = End - It->first;
    while (cs_disasm_iter(Cs, &Code, &Left, &At, Insn)) {
      if (!IsJump(Insn->id)) continue;
      const cs_x86 &X = Insn->detail->x86;
      if (X.op_count == 1 && X.operands[0].type == X86_OP_IMM && I.Contains(X.operands[0].imm))
        Found.insert(X.operands[0].imm);
      if (Insn->id != X86_INS_JMP) Found.insert(Insn->address + Insn->size);
    }
  }
  cs_free(Insn, 1);
  cs_close(&Cs);
  Leaders.assign(Found.begin(), Found.end());
  Reached.assign(Leaders.size(), false);
}

void OnBlock(uint64_t Address, uint32_t Size) {
  const uint64_t Here = (Address >> 1) * 0x9E3779B97F4A7C15ull >> 48;
  ++ImageEdges[(Here ^ PreviousEdge) % sizeof ImageEdges];
  PreviousEdge = Here >> 1;
  if (!SeenBlocks.insert(Address ^ (uint64_t{Size} << 48)).second) return;
  for (auto It = std::lower_bound(Leaders.begin(), Leaders.end(), Address); It != Leaders.end() && *It < Address + Size;
       ++It)
    Reached[It - Leaders.begin()] = true;
}

const char *Judge(uint64_t A, uint64_t Size, bool) {
  for (const Range &R : Campaign)
    if (A >= R.Start && A + Size <= R.End) return nullptr;
  for (const Range &R : Input)
    if (A >= R.Start && A + Size <= R.End) return nullptr;
  const auto &Live = sim::TheSmm().SmramLive;
  if (auto It = Live.upper_bound(reinterpret_cast<VOID *>(A)); It != Live.begin()) {
    --It;
    const uint64_t Offset = A - reinterpret_cast<uint64_t>(It->first);
    if (Offset < It->second && Size <= It->second - Offset) return nullptr;
  }
  return A < 0x100000000ull
             ? "board space where this image owns no device"
             : "memory this SMM image was never given (a call-out of SMRAM, or a buffer nobody validated)";
}

void Report() {
  if (Img == nullptr) return;
  size_t Count = std::count(Reached.begin(), Reached.end(), true);
  std::fprintf(stderr, "image coverage: %zu of %zu basic blocks of %s (%.1f%%)\n", Count, Leaders.size(),
               Img->Path().c_str(), Leaders.empty() ? 0.0 : 100.0 * Count / Leaders.size());
  // Functions with blocks never run, for the closing look at what inputs cannot reach.
  std::map<std::string, std::pair<unsigned, unsigned>> ByFunction;
  for (size_t I = 0; I < Leaders.size(); ++I) {
    std::string Name = Img->Describe(Leaders[I]);
    Name = Name.substr(0, Name.find('+'));
    auto &F = ByFunction[Name];
    ++F.second;
    if (Reached[I]) ++F.first;
  }
  if (std::getenv("IMAGE_FUZZ_COVERAGE_DETAIL"))
    for (auto &[Name, F] : ByFunction) std::fprintf(stderr, "  %-40s %u/%u\n", Name.c_str(), F.first, F.second);
}

// The tracker's pages: a first write to one faults, is saved and let through.
std::vector<WriteTracker *> Trackers;
struct sigaction PreviousSegv;

void OnWriteFault(int Sig, siginfo_t *Info, void *Context) {
  const uint64_t A = reinterpret_cast<uint64_t>(Info->si_addr) & ~(Page - 1);
  for (WriteTracker *T : Trackers)
    if (T->Covers(A)) {
      T->Save(A);
      return;
    }
  if ((PreviousSegv.sa_flags & SA_SIGINFO) && PreviousSegv.sa_sigaction)
    PreviousSegv.sa_sigaction(Sig, Info, Context);
  else {
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
  }
}

}  // namespace

image::PeImage &Load(uint64_t InstructionBudget) {
  if (Img) return *Img;
  Img = &image::Emulator::Get().Load(image::ImageDirectory(IMAGE_DEFAULT_DIR) + "/MediaCapsuleSmm.efi");
  FindLeaders(*Img);
  image::Emulator::Get().ObserveBlocks(OnBlock);
  image::Emulator::Get().SetInstructionBudget(InstructionBudget);
  std::atexit(Report);
  return *Img;
}

// By the name's address: the targets pass literals, and a look-up per call would cost a string
// compare per map node (and feed libFuzzer's compare tracing with names).
uint64_t SymbolOf(const char *Name) {
  static std::unordered_map<const char *, uint64_t> Cache;
  uint64_t &A = Cache[Name];
  if (A == 0) A = Img->Symbol(Name);
  if (A == 0) Finding(std::string("the image names no symbol ") + Name);
  return A;
}

uint64_t Call(const char *Function, std::initializer_list<uint64_t> Args) {
  return image::Emulator::Get().Call(SymbolOf(Function), Args.begin(), Args.size());
}

void StartInput() { PreviousEdge = 0; }

void StartJudging() { image::Emulator::Get().LimitAccesses(Judge); }

void Allow(uint64_t Start, uint64_t Size) { Campaign.push_back({Start, Start + Size}); }
void AllowForInput(uint64_t Start, uint64_t Size) { Input.push_back({Start, Start + Size}); }
void ClearInputRanges() { Input.clear(); }

void WriteTracker::Track(uint64_t S, uint64_t Size) {
  Start = S & ~(Page - 1);
  End = (S + Size + Page - 1) & ~(Page - 1);
  if (Trackers.empty()) {
    struct sigaction Sa {};
    Sa.sa_sigaction = OnWriteFault;
    Sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&Sa.sa_mask);
    sigaction(SIGSEGV, &Sa, &PreviousSegv);
  }
  Trackers.push_back(this);
  if (mprotect(reinterpret_cast<void *>(Start), End - Start, PROT_READ) != 0)
    Finding("cannot protect the tracked range");
}

void WriteTracker::Save(uint64_t P) {
  const auto *From = reinterpret_cast<const uint8_t *>(P);
  Originals.emplace(P, std::vector<uint8_t>(From, From + Page));
  mprotect(reinterpret_cast<void *>(P), Page, PROT_READ | PROT_WRITE);
}

void WriteTracker::Restore() {
  for (auto &[P, Bytes] : Originals) {
    std::memcpy(reinterpret_cast<void *>(P), Bytes.data(), Page);
    mprotect(reinterpret_cast<void *>(P), Page, PROT_READ);
  }
  Originals.clear();
}

const uint8_t *WriteTracker::Original(uint64_t P) const {
  auto It = Originals.find(P);
  return It == Originals.end() ? reinterpret_cast<const uint8_t *>(P) : It->second.data();
}

void Finding(const std::string &Why) {
  std::fprintf(stderr, "\nfinding: %s\n", Why.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace image_fuzz
