#include "emulator.h"

#include <sim/board.h>
#include <capstone/capstone.h>
#include <sanitizer/asan_interface.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unicorn/unicorn.h>
#include <sim/uefi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>

namespace image {

namespace {

constexpr uint64_t Page = 0x1000;
constexpr uint64_t LowSpaceEnd = 0x100000000ull;
// Guest functions return here: page 0 stays unmapped, so the return stops the emulator.
constexpr uint64_t ReturnSentinel = 0x800;
constexpr size_t GuestStackSize = 1 << 20;
constexpr size_t MaxArgs = 16;

// A processor instruction the access layer uses that Unicorn cannot hook as an instruction:
// emulated in a code hook at its address, then skipped.
enum class Kind { Cpuid, CpuidSi, Rdmsr, Wrmsr, Rdtsc, Wbinvd, Clflush, Mfence, Pause, ReadCr4, WriteCr4, Halt, Aligned };
struct Special {
  Kind What;
  unsigned Size;
  int Reg = 0;  // GPR of a CR4 move (Unicorn id)
  int Base = 0, Index = 0, Scale = 1;  // memory operand (Unicorn ids, 0 = none)
  int64_t Disp = 0;
  unsigned Alignment = 0;  // an operand the instruction requires aligned
};

struct HostRange {
  uint64_t Start, End;
  bool Read, Write, Exec;
};

int UcReg(unsigned CsReg) {
  static const std::map<unsigned, int> Regs = {
      {X86_REG_RAX, UC_X86_REG_RAX}, {X86_REG_RBX, UC_X86_REG_RBX}, {X86_REG_RCX, UC_X86_REG_RCX},
      {X86_REG_RDX, UC_X86_REG_RDX}, {X86_REG_RSI, UC_X86_REG_RSI}, {X86_REG_RDI, UC_X86_REG_RDI},
      {X86_REG_RBP, UC_X86_REG_RBP}, {X86_REG_RSP, UC_X86_REG_RSP}, {X86_REG_R8, UC_X86_REG_R8},
      {X86_REG_R9, UC_X86_REG_R9},   {X86_REG_R10, UC_X86_REG_R10}, {X86_REG_R11, UC_X86_REG_R11},
      {X86_REG_R12, UC_X86_REG_R12}, {X86_REG_R13, UC_X86_REG_R13}, {X86_REG_R14, UC_X86_REG_R14},
      {X86_REG_R15, UC_X86_REG_R15}, {X86_REG_RIP, UC_X86_REG_RIP},
  };
  auto It = Regs.find(CsReg);
  return It == Regs.end() ? 0 : It->second;
}

void TakeMemoryOperand(const cs_x86_op &Op, Special &Sp) {
  Sp.Base = UcReg(Op.mem.base);
  Sp.Index = UcReg(Op.mem.index);
  Sp.Scale = Op.mem.scale;
  Sp.Disp = Op.mem.disp;
}

// The memory operand a processor requires aligned to its size (or #GP): the 16-byte operands
// of SSE instructions without a VEX prefix, except the unaligned moves and the string
// compares, and CMPXCHG16B's. Unicorn does not check.
const cs_x86_op *AlignedOperand(const cs_insn &I) {
  const cs_detail &D = *I.detail;
  bool Sse = I.id == X86_INS_CMPXCHG16B;
  for (uint8_t G = 0; G < D.groups_count; ++G) {
    switch (D.groups[G]) {
      case X86_GRP_SSE1: case X86_GRP_SSE2: case X86_GRP_SSE3: case X86_GRP_SSSE3:
      case X86_GRP_SSE41: case X86_GRP_SSE42: Sse = true; break;
      case X86_GRP_AVX: case X86_GRP_AVX2: case X86_GRP_AVX512: return nullptr;
      default: break;
    }
  }
  switch (I.id) {
    case X86_INS_MOVUPS: case X86_INS_MOVUPD: case X86_INS_MOVDQU: case X86_INS_LDDQU:
    case X86_INS_PCMPESTRI: case X86_INS_PCMPESTRM: case X86_INS_PCMPISTRI: case X86_INS_PCMPISTRM:
      return nullptr;
    default: break;
  }
  if (!Sse) return nullptr;
  for (uint8_t K = 0; K < D.x86.op_count; ++K)
    if (D.x86.operands[K].type == X86_OP_MEM && D.x86.operands[K].size == 16) return &D.x86.operands[K];
  return nullptr;
}

[[noreturn]] void Fatal(const std::string &Why) {
  std::fprintf(stderr, "image runner: %s\n", Why.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Hex(uint64_t V) {
  char B[24];
  std::snprintf(B, sizeof B, "0x%" PRIx64, V);
  return B;
}

// The caller's stack slots past its own frame may be redzones the sanitizer watches; the slots
// are read as the callee would, without instrumentation.
__attribute__((no_sanitize("address"))) uint64_t ReadSlot(uint64_t Address) {
  uint64_t V;
  __builtin_memcpy(&V, reinterpret_cast<const void *>(Address), 8);
  return V;
}

struct sigaction PreviousSegv;
void OnFault(int Sig, siginfo_t *Info, void *Context);

}  // namespace

struct Emulator::State {
  uc_engine *Uc = nullptr;
  std::vector<std::unique_ptr<PeImage>> Images;
  std::map<uint64_t, Special> Specials;
  std::set<uint64_t> MappedPages;  // host pages mapped into the guest, by page address
  std::vector<HostRange> HostMaps;
  uint8_t *Stack = nullptr;
  unsigned Depth = 0;             // guest calls in progress
  uint64_t GuestRsp = 0;          // stack pointer of the guest waiting on a host call
  std::vector<uc_context *> Saved;  // per depth: the waiting guest's registers
  bool Running = false;           // inside uc_emu_start
  std::function<void()> PendingUnwind;
  bool Count = false;
  uint64_t Executed = 0;
  uint64_t BadAccess = 0;  // the last guest access no host memory backs
  unsigned SplitLeft = 0;  // the parts of a page-crossing read still to come (OnMemory)
  uint64_t SplitSize = 0, SplitNext = 0;
  std::function<void()> Before, After;

  BlockObserver Observer = nullptr;
  AccessPolicy Policy = nullptr;
  uint64_t Budget = 0, BudgetUsed = 0;
  std::unordered_map<uint64_t, uint32_t> BlockInstructions;  // by address and size
  csh BlockCs = 0;
  bool Snapshot = false;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> Sections;  // writable sections at the snapshot
  // Every guest write since the snapshot, with the bytes it replaced, newest last.
  struct Undo {
    uint64_t At;
    uint32_t Size;
    uint8_t Old[16];
  };
  std::vector<Undo> Undos;
  size_t LastRestored = 0;

  uint64_t Reg(int R) {
    uint64_t V = 0;
    uc_reg_read(Uc, R, &V);
    return V;
  }
  void SetReg(int R, uint64_t V) { uc_reg_write(Uc, R, &V); }

  void ReadHostMaps() {
    HostMaps.clear();
    std::ifstream In("/proc/self/maps");
    std::string L;
    while (std::getline(In, L)) {
      HostRange R{};
      char Perm[5] = {};
      if (std::sscanf(L.c_str(), "%" SCNx64 "-%" SCNx64 " %4s", &R.Start, &R.End, Perm) != 3) continue;
      R.Read = Perm[0] == 'r';
      R.Write = Perm[1] == 'w';
      R.Exec = Perm[2] == 'x';
      HostMaps.push_back(R);
    }
  }
  const HostRange *HostRangeOf(uint64_t A, bool Refresh = true) {
    for (auto &R : HostMaps)
      if (A >= R.Start && A < R.End && (R.Read || !Refresh)) return &R;  // a guard page may since be heap
    if (!Refresh) return nullptr;
    ReadHostMaps();
    return HostRangeOf(A, false);
  }

  // Maps the host pages around Address (within one host mapping) into the guest, one to one.
  bool MapHost(uint64_t Address) {
    const HostRange *R = HostRangeOf(Address);
    if (R == nullptr || !R->Read) return false;
    const uint64_t Chunk = 0x10000;
    const uint64_t From = std::max(R->Start, Address & ~(Chunk - 1));
    const uint64_t To = std::min(R->End, (Address & ~(Chunk - 1)) + Chunk);
    const uint32_t Prot = UC_PROT_READ | (R->Write ? UC_PROT_WRITE : 0);
    bool Any = false;
    for (uint64_t P = From; P < To;) {
      if (MappedPages.count(P)) {
        P += Page;
        continue;
      }
      uint64_t End = P;
      while (End < To && !MappedPages.count(End)) End += Page;
      if (uc_mem_map_ptr(Uc, P, End - P, Prot, reinterpret_cast<void *>(P)) != UC_ERR_OK) return Any;
      for (uint64_t Q = P; Q < End; Q += Page) MappedPages.insert(Q);
      Any = true;
      P = End;
    }
    return Any || MappedPages.count(Address & ~(Page - 1));
  }

  void ScanCode(const PeImage &Img);
  void Judge(uint64_t Address, int Size, bool Write);
  void JudgeFetch(uint64_t Address);
  void OnBlock(uint64_t Address, uint32_t Size);
  void SaveWritten(uint64_t Address, uint64_t Size);
  [[noreturn]] void AccessFault(uint64_t A, uint64_t Size, bool Write, const std::string &Why);
  void Emulate(uint64_t Address, const Special &Sp);
  uint64_t OperandAddress(uint64_t Address, const Special &Sp);
  uint64_t HostCall(uint64_t Function);
  std::string Where(uint64_t Rip);
};

namespace {

Emulator::State *Live = nullptr;

bool OnUnmapped(uc_engine *, uc_mem_type Type, uint64_t Address, int Size, int64_t, void *User) {
  auto *S = static_cast<Emulator::State *>(User);
  if (Type == UC_MEM_FETCH_UNMAPPED) return false;  // a call into host code: the run loop takes it
  // An access may run on into the next page, which may lie in the next chunk.
  const uint64_t Last = Address + (Size > 0 ? Size - 1 : 0);
  for (uint64_t P = Address & ~(Page - 1); P <= Last; P += Page)
    if (!S->MapHost(std::max(P, Address))) {
      S->BadAccess = Address;
      return false;
    }
  return true;
}

uint32_t OnIn(uc_engine *, uint32_t Port, int Size, void *) {
  return static_cast<uint32_t>(sim::TheBoard().Read(sim::Space::Io, Port & 0xFFFF, Size));
}
void OnOut(uc_engine *, uint32_t Port, int Size, uint32_t Value, void *) {
  sim::TheBoard().Write(sim::Space::Io, Port & 0xFFFF, Size, Value);
}

// The board's physical space below 4 GiB. A device's registers come first (the SPI controller
// sits inside the ROM window's range, as on the chipset); then model-backed memory where the
// board maps it (the conversion the host build's PhysToPtr makes); anything else is an
// unclaimed MMIO access on the board's bus.
uint8_t *BackingOf(uint64_t A) {
  sim::Board &B = sim::TheBoard();
  if (B.DeviceAt(sim::Space::Mmio, A)) return nullptr;
  auto *P = static_cast<uint8_t *>(B.PhysToPtr(A));
  return reinterpret_cast<uint64_t>(P) == A ? nullptr : P;
}

uint64_t OnLowRead(uc_engine *, uint64_t Offset, unsigned Size, void *) {
  const uint64_t A = Page + Offset;
  if (uint8_t *P = BackingOf(A)) {
    uint64_t V = 0;
    std::memcpy(&V, P, Size);
    return V;
  }
  return sim::TheBoard().Read(sim::Space::Mmio, A, Size);
}
void OnLowWrite(uc_engine *, uint64_t Offset, unsigned Size, uint64_t Value, void *) {
  const uint64_t A = Page + Offset;
  if (uint8_t *P = BackingOf(A)) {
    std::memcpy(P, &Value, Size);
    return;
  }
  sim::TheBoard().Write(sim::Space::Mmio, A, Size, Value);
}

void OnSpecial(uc_engine *, uint64_t Address, uint32_t, void *User) {
  auto *S = static_cast<Emulator::State *>(User);
  auto It = S->Specials.find(Address);
  if (It != S->Specials.end()) S->Emulate(Address, It->second);
}

// Unicorn reports a read that crosses a page as itself and then as the two aligned reads of
// its size it is made of, which reach past both its ends; those two are not the guest's.
void OnMemory(uc_engine *, uc_mem_type Type, uint64_t Address, int Size, int64_t, void *User) {
  auto *S = static_cast<Emulator::State *>(User);
  const uint64_t N = static_cast<uint64_t>(Size);
  if (Type == UC_MEM_READ && S->SplitLeft > 0 && N == S->SplitSize && Address == S->SplitNext) {
    --S->SplitLeft;
    S->SplitNext += N;
    return;
  }
  S->SplitLeft = 0;
  if (Type == UC_MEM_READ && N > 1 && (Address & (Page - 1)) + N > Page) {
    S->SplitLeft = 2;
    S->SplitSize = N;
    S->SplitNext = Address & ~(N - 1);
  }
  S->Judge(Address, Size, Type == UC_MEM_WRITE);
}

void OnBlock(uc_engine *, uint64_t Address, uint32_t Size, void *User) { static_cast<Emulator::State *>(User)->OnBlock(Address, Size); }

void OnEveryInstruction(uc_engine *, uint64_t, uint32_t, void *User) { ++static_cast<Emulator::State *>(User)->Executed; }

}  // namespace

void Emulator::State::ScanCode(const PeImage &Img) {
  csh Cs;
  if (cs_open(CS_ARCH_X86, CS_MODE_64, &Cs) != CS_ERR_OK) Fatal("capstone: cannot open");
  cs_option(Cs, CS_OPT_DETAIL, CS_OPT_ON);
  cs_option(Cs, CS_OPT_SKIPDATA, CS_OPT_ON);  // padding between functions must not end the sweep
  cs_insn *I = cs_malloc(Cs);
  for (const Section &Sec : Img.Sections()) {
    if (!Sec.Code) continue;
    const uint8_t *Code = reinterpret_cast<const uint8_t *>(Img.Base() + Sec.Rva);
    size_t Left = Sec.Size;
    uint64_t At = Img.Base() + Sec.Rva;
    while (cs_disasm_iter(Cs, &Code, &Left, &At, I)) {
      Special Sp{Kind::Pause, I->size};
      bool Hook = true;
      switch (I->id) {
        case X86_INS_CPUID: {
          // The access layer's SI-answering leaf brackets CPUID with PUSHFQ/POPFQ.
          const uint8_t *P = reinterpret_cast<const uint8_t *>(I->address);
          const bool Bracketed = I->address > Img.Base() && P[-1] == 0x9C && P[2] == 0x9D;
          Sp.What = Bracketed ? Kind::CpuidSi : Kind::Cpuid;
          break;
        }
        case X86_INS_RDMSR: Sp.What = Kind::Rdmsr; break;
        case X86_INS_WRMSR: Sp.What = Kind::Wrmsr; break;
        case X86_INS_RDTSC: Sp.What = Kind::Rdtsc; break;
        case X86_INS_WBINVD: Sp.What = Kind::Wbinvd; break;
        case X86_INS_MFENCE: Sp.What = Kind::Mfence; break;
        case X86_INS_PAUSE: Sp.What = Kind::Pause; break;
        case X86_INS_CLFLUSH:
          Sp.What = Kind::Clflush;
          TakeMemoryOperand(I->detail->x86.operands[0], Sp);
          break;
        case X86_INS_HLT: Sp.What = Kind::Halt; break;
        case X86_INS_MOV: {
          const cs_x86 &X = I->detail->x86;
          Hook = false;
          if (X.op_count == 2 && X.operands[0].type == X86_OP_REG && X.operands[1].type == X86_OP_REG) {
            if (X.operands[1].reg == X86_REG_CR4) {
              Sp.What = Kind::ReadCr4;
              Sp.Reg = UcReg(X.operands[0].reg);
              Hook = true;
            } else if (X.operands[0].reg == X86_REG_CR4) {
              Sp.What = Kind::WriteCr4;
              Sp.Reg = UcReg(X.operands[1].reg);
              Hook = true;
            }
          }
          break;
        }
        default: {
          const cs_x86_op *Op = AlignedOperand(*I);
          Hook = Op != nullptr;
          if (Hook) {
            Sp.What = Kind::Aligned;
            Sp.Alignment = Op->size;
            TakeMemoryOperand(*Op, Sp);
          }
        }
      }
      if (!Hook) continue;
      Specials[I->address] = Sp;
      uc_hook H;
      if (uc_hook_add(Uc, &H, UC_HOOK_CODE, reinterpret_cast<void *>(OnSpecial), this, I->address, I->address) !=
          UC_ERR_OK)
        Fatal("cannot hook " + Hex(I->address));
    }
  }
  cs_free(I, 1);
  cs_close(&Cs);
}

void Emulator::State::Emulate(uint64_t Address, const Special &Sp) {
  sim::Board &B = sim::TheBoard();
  sim::CpuModel &Cpu = B.Cpu;
  switch (Sp.What) {
    case Kind::Cpuid:
    case Kind::CpuidSi: {
      const uint32_t Leaf = static_cast<uint32_t>(Reg(UC_X86_REG_RAX));
      const uint32_t Ebx = static_cast<uint32_t>(Reg(UC_X86_REG_RBX));
      // The SI-answering leaf is one call of the access layer, recorded as one.
      std::array<uint32_t, 4> R{};
      if (Sp.What == Kind::Cpuid) R = B.Cpuid(Leaf);
      else if (auto It = Cpu.Cpuid.find(Leaf); It != Cpu.Cpuid.end()) R = It->second;
      SetReg(UC_X86_REG_RAX, R[0]);
      SetReg(UC_X86_REG_RBX, R[1]);
      SetReg(UC_X86_REG_RCX, R[2]);
      SetReg(UC_X86_REG_RDX, R[3]);
      if (Sp.What == Kind::CpuidSi) SetReg(UC_X86_REG_RSI, B.CpuidSi(Leaf, Ebx));
      break;
    }
    case Kind::Rdmsr: {
      const uint32_t Index = static_cast<uint32_t>(Reg(UC_X86_REG_RCX));
      if (!Cpu.Implements(Index)) B.GeneralProtection("RDMSR", Index, Where(Address));
      const uint64_t V = B.Rdmsr(Index);
      SetReg(UC_X86_REG_RAX, V & 0xFFFFFFFF);
      SetReg(UC_X86_REG_RDX, V >> 32);
      break;
    }
    case Kind::Wrmsr: {
      const uint32_t Index = static_cast<uint32_t>(Reg(UC_X86_REG_RCX));
      if (!Cpu.Implements(Index)) B.GeneralProtection("WRMSR", Index, Where(Address));
      B.Wrmsr(Index, (Reg(UC_X86_REG_RDX) << 32) | (Reg(UC_X86_REG_RAX) & 0xFFFFFFFF));
      break;
    }
    case Kind::Rdtsc: {
      const uint64_t Now = B.Rdtsc();
      SetReg(UC_X86_REG_RAX, Now & 0xFFFFFFFF);
      SetReg(UC_X86_REG_RDX, Now >> 32);
      break;
    }
    case Kind::Wbinvd: ++Cpu.Wbinvds; break;
    case Kind::Mfence: ++Cpu.Fences; break;
    case Kind::Pause: B.Pause(); break;
    case Kind::Clflush: B.Clflush(OperandAddress(Address, Sp)); break;
    case Kind::ReadCr4: SetReg(Sp.Reg, Cpu.Cr4); break;
    case Kind::WriteCr4: Cpu.Cr4 = Reg(Sp.Reg); break;
    case Kind::Halt:
      // Nothing on the simulated board raises an interrupt: with interrupts off the processor
      // stops for good, with them on it waits for ever.
      Fatal(std::string("HLT with interrupts ") + ((Reg(UC_X86_REG_EFLAGS) & 0x200) ? "on (no interrupt ever comes)" : "off (the processor stops for good)") +
            " at " + Where(Address));
    case Kind::Aligned: {
      const uint64_t A = OperandAddress(Address, Sp);
      if (A % Sp.Alignment)
        Fatal("#GP(0): " + std::to_string(Sp.Alignment) + "-byte operand at " + Hex(A) +
              " is not aligned, for an instruction that requires it, at " + Where(Address));
      return;  // the instruction itself runs
    }
  }
  SetReg(UC_X86_REG_RIP, Address + Sp.Size);
}

uint64_t Emulator::State::OperandAddress(uint64_t Address, const Special &Sp) {
  uint64_t A = static_cast<uint64_t>(Sp.Disp);
  if (Sp.Base == UC_X86_REG_RIP) A += Address + Sp.Size;
  else if (Sp.Base) A += Reg(Sp.Base);
  if (Sp.Index) A += Reg(Sp.Index) * Sp.Scale;
  return A;
}

// What the guest may touch, as on a machine whose firmware protects images and whose memory
// is only what was allocated: the board's physical space below 4 GiB (its devices, the memory
// they back, and unclaimed MMIO); the guest stack; an image's sections, written only where
// the section is writable; and host memory the sanitizer counts as live (what the simulated
// services allocated, the buffers, tables and globals a test handed over). Anything else (a
// redzone, freed memory, the sanitizer's shadow, an unmapped address) stops the run.
void Emulator::State::Judge(uint64_t A, int Size, bool Write) {
  const uint64_t StackBase = reinterpret_cast<uint64_t>(Stack);
  if (A - StackBase < GuestStackSize && A + Size - StackBase <= GuestStackSize) return;
  const char *Why = nullptr;
  for (auto &Img : Images) {
    if (!Img->Contains(A)) continue;
    const Section *Sec = Img->SectionAt(A);
    if (Sec == nullptr && Write) Why = "the image's headers";
    else if (Sec && Write && !Sec->Writable) Why = "a read-only section of the image";
    else if (!Img->Contains(A + Size - 1)) Why = "past the end of the image";
    if (Why == nullptr) return;
    Fatal(std::string("guest fault: ") + (Write ? "write" : "read") + " of " + std::to_string(Size) + " bytes at " +
          Hex(A) + " (" + Why + (Sec ? std::string(", ") + Sec->Name : std::string()) + " " + Img->Describe(A) +
          ") by " + Where(Reg(UC_X86_REG_RIP)));
  }
  if (Policy)
    if (const char *Refused = Policy(A, static_cast<uint64_t>(Size), Write)) AccessFault(A, Size, Write, Refused);
  if (A < LowSpaceEnd) return;
  // x86-64 sanitizer layout: the application's high memory starts above the shadow.
  constexpr uint64_t HighMemBegin = 0x10007FFF8000ull, HighMemEnd = 0x800000000000ull;
  if (A < HighMemBegin || A + Size > HighMemEnd)
    Why = "no memory of the guest's (the sanitizer's shadow or beyond)";
  else if (void *P = __asan_region_is_poisoned(reinterpret_cast<void *>(A), Size))
    Why = reinterpret_cast<uint64_t>(P) == A ? "host memory nobody allocated or already freed (the sanitizer's redzone)"
                                             : "host memory running past the end of an allocation";
  if (Why != nullptr) AccessFault(A, Size, Write, Why);
  if (Write && Snapshot) SaveWritten(A, Size);
}

void Emulator::State::AccessFault(uint64_t A, uint64_t Size, bool Write, const std::string &Why) {
  Fatal(std::string("guest fault: ") + (Write ? "write" : "read") + " of " + std::to_string(Size) + " bytes at " + Hex(A) +
        ": " + Why + ", by " + Where(Reg(UC_X86_REG_RIP)));
}

// Byte copies the sanitizer does not check: a write is undone into memory the host may have
// freed and poisoned since (an SMRAM pool the image released), and it is only ever given back
// what it held.
__attribute__((no_sanitize("address"))) void CopyUnchecked(volatile uint8_t *To, const volatile uint8_t *From, size_t N) {
  for (size_t I = 0; I < N; ++I) To[I] = From[I];
}

void Emulator::State::SaveWritten(uint64_t A, uint64_t Size) {
  for (uint64_t Done = 0; Done < Size;) {
    Undo U{A + Done, static_cast<uint32_t>(std::min<uint64_t>(Size - Done, sizeof U.Old)), {}};
    CopyUnchecked(U.Old, reinterpret_cast<const uint8_t *>(U.At), U.Size);
    Undos.push_back(U);
    Done += U.Size;
  }
}

void Emulator::State::OnBlock(uint64_t Address, uint32_t Size) {
  JudgeFetch(Address);
  if (Observer) Observer(Address, Size);
  if (Budget == 0) return;
  auto [It, New] = BlockInstructions.try_emplace(Address ^ (uint64_t{Size} << 48), 0);
  if (New) {
    const uint8_t *Code = reinterpret_cast<const uint8_t *>(Address);
    size_t Left = Size;
    uint64_t At = Address;
    cs_insn *I = cs_malloc(BlockCs);
    while (Left > 0 && cs_disasm_iter(BlockCs, &Code, &Left, &At, I)) ++It->second;
    cs_free(I, 1);
  }
  BudgetUsed += It->second;
  if (BudgetUsed > Budget)
    Fatal("instruction budget of " + std::to_string(Budget) + " spent (an endless loop?), in the block at " +
          Where(Address));
}

// Only an image's code sections run: code in data or in host memory the guest could reach
// does not (a call into host code never runs in the guest: it stops at its first fetch).
void Emulator::State::JudgeFetch(uint64_t A) {
  for (auto &Img : Images) {
    if (!Img->Contains(A)) continue;
    const Section *Sec = Img->SectionAt(A);
    if (Sec && Sec->Code) return;
    Fatal("guest fault: instruction fetch at " + Hex(A) + " (" + (Sec ? "section " + Sec->Name : std::string("no section")) +
          ", not executable; " + Img->Describe(A) + ")");
  }
}

std::string Emulator::State::Where(uint64_t Rip) {
  for (auto &Img : Images)
    if (Img->Contains(Rip)) return Hex(Rip) + " (" + Img->Describe(Rip) + " in " + Img->Path() + ")";
  return Hex(Rip);
}

namespace {
// Which arguments of a host function are memory that a device model may back.
std::vector<unsigned> TranslatedArguments(uint64_t Function) {
  const sim::Uefi *U = sim::LiveUefi();
  if (U == nullptr) return {};
  if (Function == reinterpret_cast<uint64_t>(U->BootServices.CopyMem)) return {0, 1};
  if (Function == reinterpret_cast<uint64_t>(U->BootServices.SetMem)) return {0};
  return {};
}

using HostFunction = uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                                                         uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                                                         uint64_t, uint64_t, uint64_t, uint64_t);
}

uint64_t Emulator::State::HostCall(uint64_t Function) {
  const uint64_t Rsp = Reg(UC_X86_REG_RSP);
  uint64_t A[MaxArgs] = {Reg(UC_X86_REG_RCX), Reg(UC_X86_REG_RDX), Reg(UC_X86_REG_R8), Reg(UC_X86_REG_R9)};
  // Arguments past the fourth sit above the return address and the 32-byte home area.
  for (size_t I = 4; I < MaxArgs; ++I) std::memcpy(&A[I], reinterpret_cast<void *>(Rsp + 8 + 8 * I), 8);
  // Memory services given a physical address that a device model backs: the host build has
  // converted it with PhysToPtr before the call, the image (where that conversion is the
  // identity) has not.
  for (unsigned I : TranslatedArguments(Function)) A[I] = reinterpret_cast<uint64_t>(sim::TheBoard().PhysToPtr(A[I]));

  if (Saved.size() <= Depth) Saved.resize(Depth + 1, nullptr);
  if (Saved[Depth] == nullptr) uc_context_alloc(Uc, &Saved[Depth]);
  uc_context_save(Uc, Saved[Depth]);
  const uint64_t OuterRsp = GuestRsp;
  GuestRsp = Rsp;
  const uint64_t R = reinterpret_cast<HostFunction>(Function)(A[0], A[1], A[2], A[3], A[4], A[5], A[6], A[7], A[8],
                                                               A[9], A[10], A[11], A[12], A[13], A[14], A[15]);
  GuestRsp = OuterRsp;
  uc_context_restore(Uc, Saved[Depth]);
  return R;
}

Emulator::Emulator() : S(std::make_unique<State>()) {
  State &St = *S;
  if (uc_open(UC_ARCH_X86, UC_MODE_64, &St.Uc) != UC_ERR_OK) Fatal("cannot open Unicorn");
  St.Stack = static_cast<uint8_t *>(
      mmap(nullptr, GuestStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (St.Stack == MAP_FAILED) Fatal("cannot map the guest stack");
  uc_mem_map_ptr(St.Uc, reinterpret_cast<uint64_t>(St.Stack), GuestStackSize, UC_PROT_READ | UC_PROT_WRITE, St.Stack);
  for (uint64_t P = 0; P < GuestStackSize; P += Page) St.MappedPages.insert(reinterpret_cast<uint64_t>(St.Stack) + P);
  if (uc_mmio_map(St.Uc, Page, LowSpaceEnd - Page, OnLowRead, nullptr, OnLowWrite, nullptr) != UC_ERR_OK)
    Fatal("cannot map the board's physical space");
  uc_hook H;
  uc_hook_add(St.Uc, &H, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(OnUnmapped), &St, 1, 0);
  uc_hook_add(St.Uc, &H, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(OnMemory), &St, 1, 0);
  uc_hook_add(St.Uc, &H, UC_HOOK_BLOCK, reinterpret_cast<void *>(OnBlock), &St, 1, 0);
  uc_hook_add(St.Uc, &H, UC_HOOK_INSN, reinterpret_cast<void *>(OnIn), &St, 1, 0, UC_X86_INS_IN);
  uc_hook_add(St.Uc, &H, UC_HOOK_INSN, reinterpret_cast<void *>(OnOut), &St, 1, 0, UC_X86_INS_OUT);
  if (std::getenv("IMAGE_COUNT_INSTRUCTIONS")) {
    St.Count = true;
    uc_hook_add(St.Uc, &H, UC_HOOK_CODE, reinterpret_cast<void *>(OnEveryInstruction), &St, 1, 0);
  }
  Live = &St;

  struct sigaction Sa {};
  Sa.sa_sigaction = OnFault;
  Sa.sa_flags = SA_SIGINFO | SA_NODEFER;  // a notification run from a service may fault again
  sigemptyset(&Sa.sa_mask);
  sigaction(SIGSEGV, &Sa, &PreviousSegv);
}

Emulator &Emulator::Get() {
  static Emulator *Instance = new Emulator;  // lives until exit: images stay mapped
  return *Instance;
}

PeImage &Emulator::Load(const std::string &Path) {
  auto Img = std::make_unique<PeImage>(Path);
  if (!Img->Error().empty()) Fatal(Img->Error());
  if (uc_mem_map_ptr(S->Uc, Img->Base(), Img->Size(), UC_PROT_ALL, reinterpret_cast<void *>(Img->Base())) !=
      UC_ERR_OK)
    Fatal("cannot map " + Path);
  for (uint64_t P = 0; P < Img->Size(); P += Page) S->MappedPages.insert(Img->Base() + P);
  S->ScanCode(*Img);
  S->Images.push_back(std::move(Img));
  return *S->Images.back();
}

const PeImage *Emulator::ImageAt(uint64_t Address) const {
  for (auto &Img : S->Images)
    if (Img->Contains(Address)) return Img.get();
  return nullptr;
}

uint64_t Emulator::Call(uint64_t Function, const uint64_t *Args, size_t Count) {
  State &St = *S;
  if (Count > MaxArgs) Fatal("too many arguments");
  // A nested call (a notification run from a service) builds its frame below the waiting one.
  uint64_t Top = St.Depth == 0 ? reinterpret_cast<uint64_t>(St.Stack) + GuestStackSize - 256 : St.GuestRsp - 512;
  if (Top < reinterpret_cast<uint64_t>(St.Stack) + 0x10000) Fatal("guest stack exhausted");
  uint64_t Rsp = ((Top - 8 * (MaxArgs + 2)) & ~uint64_t{15}) - 8;  // at entry RSP + 8 is 16-byte aligned
  auto *Frame = reinterpret_cast<uint64_t *>(Rsp);
  Frame[0] = ReturnSentinel;
  for (size_t I = 0; I < MaxArgs; ++I) Frame[1 + I] = I < Count ? Args[I] : 0;  // home area, then the rest
  St.SetReg(UC_X86_REG_RSP, Rsp);
  St.SetReg(UC_X86_REG_RCX, Count > 0 ? Args[0] : 0);
  St.SetReg(UC_X86_REG_RDX, Count > 1 ? Args[1] : 0);
  St.SetReg(UC_X86_REG_R8, Count > 2 ? Args[2] : 0);
  St.SetReg(UC_X86_REG_R9, Count > 3 ? Args[3] : 0);
  if (St.Depth == 0 && St.Before) St.Before();
  ++St.Depth;
  uint64_t Rip = Function;
  for (;;) {
    St.Running = true;
    const uc_err Err = uc_emu_start(St.Uc, Rip, 0, 0, 0);
    St.Running = false;
    Rip = St.Reg(UC_X86_REG_RIP);
    if (St.PendingUnwind) {
      auto Jump = std::move(St.PendingUnwind);
      St.PendingUnwind = nullptr;
      St.Depth = 0;
      St.GuestRsp = 0;
      __asan_handle_no_return();  // the frames jumped over keep no poisoned stack
      Jump();
      Fatal("unwind returned");
    }
    if (Rip == ReturnSentinel) break;
    if (Err == UC_ERR_OK) continue;  // stopped by a hook that moved RIP
    const HostRange *Host = ImageAt(Rip) ? nullptr : St.HostRangeOf(Rip);
    if ((Err == UC_ERR_FETCH_UNMAPPED || Err == UC_ERR_FETCH_PROT) && Host && Host->Exec) {
      const uint64_t R = St.HostCall(Rip);
      uint64_t Rsp2 = St.Reg(UC_X86_REG_RSP), Ret = 0;
      std::memcpy(&Ret, reinterpret_cast<void *>(Rsp2), 8);
      St.SetReg(UC_X86_REG_RAX, R);
      St.SetReg(UC_X86_REG_RSP, Rsp2 + 8);
      Rip = Ret;
      continue;
    }
    Fatal(std::string("guest fault: ") + uc_strerror(Err) + " (address " + Hex(St.BadAccess) + ") at " + St.Where(Rip) +
          " rsp=" + Hex(St.Reg(UC_X86_REG_RSP)));
  }
  --St.Depth;
  const uint64_t Result = St.Reg(UC_X86_REG_RAX);
  if (St.Depth == 0 && St.After) St.After();
  return Result;
}

void Emulator::Unwind(std::function<void()> Jump) {
  if (!S->Running) {
    Jump();
    return;
  }
  S->PendingUnwind = std::move(Jump);
  uc_emu_stop(S->Uc);
}

void Emulator::OnOutermostCall(std::function<void()> Before, std::function<void()> After) {
  S->Before = std::move(Before);
  S->After = std::move(After);
}

void Emulator::ObserveBlocks(BlockObserver Observer) { S->Observer = Observer; }
void Emulator::LimitAccesses(AccessPolicy Policy) { S->Policy = Policy; }

void Emulator::SetInstructionBudget(uint64_t Budget) {
  if (S->BlockCs == 0 && cs_open(CS_ARCH_X86, CS_MODE_64, &S->BlockCs) != CS_ERR_OK) Fatal("capstone: cannot open");
  S->Budget = Budget;
  S->BudgetUsed = 0;
}

void Emulator::MapHostRange(uint64_t Start, uint64_t Size) {
  for (uint64_t P = Start & ~(Page - 1); P < Start + Size; P += Page)
    if (!S->MappedPages.count(P) && !S->MapHost(P)) Fatal("cannot map host memory at " + Hex(P) + " into the guest");
}

void Emulator::TakeSnapshot() {
  State &St = *S;
  St.Sections.clear();
  for (auto &Img : St.Images)
    for (const Section &Sec : Img->Sections())
      if (Sec.Writable) {
        const auto *From = reinterpret_cast<const uint8_t *>(Img->Base() + Sec.Rva);
        St.Sections.emplace_back(Img->Base() + Sec.Rva, std::vector<uint8_t>(From, From + Sec.Size));
      }
  St.Undos.clear();
  St.Snapshot = true;
}

void Emulator::RestoreSnapshot() {
  State &St = *S;
  for (auto &[At, Bytes] : St.Sections) std::memcpy(reinterpret_cast<void *>(At), Bytes.data(), Bytes.size());
  for (auto U = St.Undos.rbegin(); U != St.Undos.rend(); ++U) CopyUnchecked(reinterpret_cast<uint8_t *>(U->At), U->Old, U->Size);
  St.LastRestored = St.Undos.size();
  St.Undos.clear();
  St.BudgetUsed = 0;
}

size_t Emulator::WritesUndone() const { return S->LastRestored; }

uint64_t Emulator::Instructions() const { return S->Executed; }
bool Emulator::Counting() const { return S->Count; }

std::string ImageDirectory(const std::string &Default) {
  const char *Dir = std::getenv("IMAGE_DIR");
  return Dir && *Dir ? Dir : Default;
}

namespace {

void OnFault(int Sig, siginfo_t *Info, void *Context) {
  auto *Uctx = static_cast<ucontext_t *>(Context);
  greg_t *G = Uctx->uc_mcontext.gregs;
  const uint64_t Rip = static_cast<uint64_t>(G[REG_RIP]);
  if (Live && reinterpret_cast<uint64_t>(Info->si_addr) == Rip && Emulator::Get().ImageAt(Rip)) {
    // A host call into the image: the caller's arguments as the UEFI convention placed them.
    const uint64_t Rsp = static_cast<uint64_t>(G[REG_RSP]);
    uint64_t Args[MaxArgs] = {static_cast<uint64_t>(G[REG_RCX]), static_cast<uint64_t>(G[REG_RDX]),
                              static_cast<uint64_t>(G[REG_R8]), static_cast<uint64_t>(G[REG_R9])};
    for (size_t I = 4; I < MaxArgs; ++I) Args[I] = ReadSlot(Rsp + 8 + 8 * I);
    const uint64_t Result = Emulator::Get().Call(Rip, Args, MaxArgs);
    const uint64_t Ret = ReadSlot(Rsp);
    G[REG_RAX] = static_cast<greg_t>(Result);
    G[REG_RIP] = static_cast<greg_t>(Ret);
    G[REG_RSP] = static_cast<greg_t>(Rsp + 8);
    return;
  }
  // Not ours: whoever handled the fault before (the sanitizer's report), or the default action.
  if ((PreviousSegv.sa_flags & SA_SIGINFO) && PreviousSegv.sa_sigaction) {
    PreviousSegv.sa_sigaction(Sig, Info, Context);
  } else if (PreviousSegv.sa_handler != SIG_DFL && PreviousSegv.sa_handler != SIG_IGN) {
    PreviousSegv.sa_handler(Sig);
  } else {
    signal(SIGSEGV, SIG_DFL);
  }
}

}  // namespace

}  // namespace image
