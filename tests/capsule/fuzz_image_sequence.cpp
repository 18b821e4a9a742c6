// libFuzzer target over the shipped image: an input is a sequence of the calls other SMM code
// and the SMI dispatcher make (StageBlock requests, commands 1 and 2, the S5 and S4 entry
// handlers), run on MediaCapsuleSmm.efi in the image runner and then on the host build of the
// same source, from the same state. Each run must keep to what the image may touch, end
// within its instruction budget, and give what the host build gives: the statuses, the staged
// bytes, the descriptor pool, the variables, the device accesses and service calls.
//
// Both builds are started once; the host build is then given the image's staging buffer and
// descriptor pool, so that their results compare byte for byte. After each run everything
// either wrote is put back: the pages the image wrote, the host build's globals, the staging
// pages (write-tracked), the devices and the services' records.
//
// Records, each a kind byte and its fields (missing bytes read as zero):
//   kind 0x00-0x7F  StageBlock: source u64, offset u32, length u32, rewrite u32; kind bits
//                   0-1 pick the source (as given, in the caller's buffer, in the staging
//                   buffer, near the buffer's end), bit 2 makes the validation rewrite the
//                   request's length while it runs, bits 3-4 both set pass no request
//   kind 0x80-0x9F  Command: the 25-byte request; Reserved[0] bit 0 points the image address
//                   into the caller's buffer, bit 1 makes it 0, bits 2-3 both set pass none;
//                   the command byte is taken modulo 5
//   kind 0xA0-0xAF  16 bytes into the caller's buffer at offset u16
//   kind 0xB0-0xBF  the platform from here on: bit 0, the variable store refuses every write;
//                   bit 1, the SMM variable protocol is gone
//   kind 0xC0-0xDF  the S5 entry handler, 0xE0-0xFF the S4 one; the machine then sleeps,
//                   resets or powers off, so the input ends here
#include <capsule/media_capsule.h>
#include <sim/board.h>
#include <sim/devices/cmos_rtc.h>
#include <sim/record.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <array>
#include <csetjmp>
#include <cstring>
#include <sstream>

#include "fuzz_input.h"
#include "image_fuzz.h"

namespace {

using image_fuzz::Call;
using image_fuzz::Global;

constexpr size_t OwnedSize = 1 << 12;
constexpr unsigned MaxCommands = 16;  // command 2 looks up the series from its first each time
constexpr uint64_t InstructionBudget = 2'000'000;

struct Outcome {
  std::vector<EFI_STATUS> Statuses;
  bool Reset = false;
  UINT32 StagedSize = 0;
  UINT8 CapsulePending = 0;
  std::vector<uint8_t> Pool;
  std::map<sim::Uefi::VarKey, std::pair<uint32_t, std::vector<uint8_t>>> Variables;
  std::vector<sim::Access> Log;
  std::vector<std::string> Trace;
  std::vector<std::pair<const VOID *, UINTN>> Validated;
  std::vector<std::vector<uint8_t>> PreSleepRequests;
  std::vector<UINTN> PreSleepNotifies;
  std::map<uint64_t, std::vector<uint8_t>> StagingPages;  // pages written, as left
  MEDIA_CAPSULE_INFO Info{};
};

jmp_buf ResetJump;
bool InImage = false;

struct World {
  sim::Uefi U;
  sim::Smm S;
  sim::CmosRtc Rtc;
  sim::RegisterFile Pm;
  std::vector<uint8_t> Owned = std::vector<uint8_t>(OwnedSize), OwnedAtStart;
  STAGE_BLOCK_REQUEST Request{};
  CAPSULE_COMMAND_REQUEST CommandRequest{};
  MEDIA_CAPSULE_INFO Info{};
  uint32_t RewriteLength = 0;
  bool Rewrite = false;

  uint64_t Staging = 0;
  VOID *Pool = nullptr;
  image_fuzz::WriteTracker StagingPages;
  // The host build's state that an input changes, as it stood after the start.
  UINT32 HostStagedSize = 0;
  UINT8 HostPending = 0;
  EFI_SMM_VARIABLE_PROTOCOL *HostSmmVariable = nullptr;
  std::vector<uint8_t> PoolAtStart;
  std::array<uint8_t, 128> RtcAtStart{};
  std::map<uint64_t, uint64_t> PmAtStart;
  std::vector<sim::Uefi::Protocol> SmmProtocolsAtStart;
  sim::CpuModel CpuAtStart;

  World() {
    image_fuzz::Load(InstructionBudget);
    S.InstallAll();
    S.Validate = [this](const VOID *Buffer, UINTN Length) -> EFI_STATUS {
      if (Rewrite) Request.Length = RewriteLength;  // the caller changes its record mid-call
      auto At = reinterpret_cast<uintptr_t>(Buffer), Base = reinterpret_cast<uintptr_t>(Owned.data());
      if (!(At >= Base && Length <= Owned.size() && At - Base <= Owned.size() - Length)) return EFI_ACCESS_DENIED;
      image_fuzz::AllowForInput(At, Length);
      return EFI_SUCCESS;
    };
    Rtc.Attach(sim::TheBoard());
    Rtc.SetTime(0x23, 0x59, 0x58);
    sim::TheBoard().MapIo(0x802, 8, &Pm);
    sim::TheBoard().MapMmio(0xFED80000, 0x1000, &Pm);
    sim::TheBoard().Budget.Touches = 100'000;
    sim::TheBoard().OnAccess = [](const sim::Access &A) {
      if (!(A.Bus == sim::Space::Io && A.Write && A.Address == 0xCF9 && A.Value == 0x06)) return;
      if (InImage)
        image::Emulator::Get().Unwind([] { longjmp(ResetJump, 1); });
      else
        longjmp(ResetJump, 1);
    };
    InImage = true;
    if (Call("MediaCapsuleSmmEntry",
             {reinterpret_cast<uint64_t>(U.ImageHandle), reinterpret_cast<uint64_t>(&U.SystemTable)}) != EFI_SUCCESS)
      image_fuzz::Finding("the image did not start");
    InImage = false;
    if (::MediaCapsuleSmmEntry(U.ImageHandle, &U.SystemTable) != EFI_SUCCESS)
      image_fuzz::Finding("the host build did not start");
    Staging = Global<EFI_PHYSICAL_ADDRESS>("StagingBuffer");
    Pool = Global<VOID *>("DescriptorPool");
    ::StagingBuffer = Staging;
    ::MediaCapsuleProtocol.StagingBuffer = Staging;
    ::DescriptorPool = Pool;

    for (size_t I = 0; I < Owned.size(); ++I) Owned[I] = static_cast<uint8_t>(I * 13 + 5);
    OwnedAtStart = Owned;
    // What other SMM code and the dispatcher hand over or own, and what the image was given.
    image_fuzz::Allow(Request);
    image_fuzz::Allow(CommandRequest);
    image_fuzz::Allow(Info);
    image_fuzz::Allow(S.Base.Smst);
    image_fuzz::Allow(S.Validation);
    image_fuzz::Allow(S.Variable);
    image_fuzz::Allow(S.PreSleepRequest);
    image_fuzz::Allow(S.PreSleepTable);
    image_fuzz::Allow(S.PreSleepNotify);
    image_fuzz::Allow(Staging, STAGING_CAPACITY);
    image_fuzz::Allow(0xFED80000, 0x1000);  // the power-management registers

    HostStagedSize = ::StagedSize;
    HostPending = ::CapsulePending;
    HostSmmVariable = ::SmmVariable;
    PoolAtStart.assign(static_cast<uint8_t *>(Pool), static_cast<uint8_t *>(Pool) + DESCRIPTOR_POOL_SIZE);
    RtcAtStart = Rtc.Registers;
    PmAtStart = Pm.Values;
    CpuAtStart = sim::TheBoard().Cpu;
    SmmProtocolsAtStart = S.Base.Protocols;
    image::Emulator::Get().MapHostRange(Staging, STAGING_CAPACITY);
    StagingPages.Track(Staging, STAGING_CAPACITY);
    image::Emulator::Get().TakeSnapshot();
    image_fuzz::StartJudging();
    Restore();
  }

  void Restore() {
    image::Emulator::Get().RestoreSnapshot();
    StagingPages.Restore();
    ::StagedSize = HostStagedSize;
    ::CapsulePending = HostPending;
    ::SmmVariable = HostSmmVariable;
    std::memcpy(Pool, PoolAtStart.data(), PoolAtStart.size());
    std::memcpy(Owned.data(), OwnedAtStart.data(), Owned.size());
    image_fuzz::ClearInputRanges();
    U.Trace.clear();
    U.LocateCalls.clear();
    U.Variables.clear();
    U.SetVariableStatus = EFI_SUCCESS;
    S.Base.Protocols = SmmProtocolsAtStart;
    S.ValidateCalls.clear();
    S.PreSleepRequests.clear();
    S.PreSleepNotifies.clear();
    sim::Board &B = sim::TheBoard();
    B.Log.clear();
    B.Cpu.Tsc = CpuAtStart.Tsc;
    B.Cpu.Pauses = CpuAtStart.Pauses;
    B.Cpu.Fences = CpuAtStart.Fences;
    B.Cpu.Wbinvds = CpuAtStart.Wbinvds;
    B.Cpu.FlushedLines = CpuAtStart.FlushedLines;
    B.StartRun();
    Rtc.Registers = RtcAtStart;
    Rtc.Index = 0;
    Rtc.UpdateReads = 0;
    Pm.Values = PmAtStart;
  }
};

World *W;

uint64_t Ptr(const void *P) { return reinterpret_cast<uint64_t>(P); }

EFI_STATUS StageBlockOf(bool Image, const STAGE_BLOCK_REQUEST *R) {
  return Image ? Call("StageBlock", {Ptr(R)}) : ::StageBlock(R);
}
EFI_STATUS CommandOf(bool Image, const CAPSULE_COMMAND_REQUEST *R) {
  return Image ? Call("Command", {Ptr(R)}) : ::Command(R);
}

// The build's registration for the sleep type, as the dispatcher holds it.
EFI_STATUS SleepEntry(bool Image, EFI_SLEEP_TYPE Type) {
  const uint64_t Handler =
      Image ? image_fuzz::SymbolOf("SleepEntryHandler") : Ptr(reinterpret_cast<void *>(&::SleepEntryHandler));
  for (const auto &R : W->S.Sx)
    if (R.Active && Ptr(reinterpret_cast<void *>(R.Handler)) == Handler && R.Context.Type == Type) {
      if (!Image) return R.Handler(R.Handle, &R.Context, nullptr, nullptr);
      return Call("SleepEntryHandler", {Ptr(R.Handle), Ptr(&R.Context), 0, 0});
    }
  image_fuzz::Finding("no sleep-entry registration of the build");
}

Outcome Run(bool Image, const uint8_t *Data, size_t Size) {
  Outcome O;
  InImage = Image;
  image_fuzz::StartInput();
  unsigned Commands = 0;
  if (setjmp(ResetJump) != 0) {
    O.Reset = true;
  } else {
    while (Size > 0) {
      const auto Kind = fuzz_input::Take<uint8_t>(Data, Size);
      if (Kind < 0x80) {
        const auto Record = fuzz_input::TakeStageRecord(Kind, Data, Size, W->Request, W->Owned, W->Staging);
        W->Rewrite = Record.Rewrite;
        W->RewriteLength = Record.RewriteLength;
        O.Statuses.push_back(StageBlockOf(Image, (Kind & 0x18) == 0x18 ? nullptr : &W->Request));
      } else if (Kind < 0xA0) {
        CAPSULE_COMMAND_REQUEST &R = W->CommandRequest;
        R = fuzz_input::Take<CAPSULE_COMMAND_REQUEST>(Data, Size);
        if (++Commands > MaxCommands) continue;
        UINT64 Address;
        std::memcpy(&Address, R.Data, 8);
        if (R.Reserved[0] & 1) Address = Ptr(W->Owned.data()) + Address % OwnedSize;
        if (R.Reserved[0] & 2) Address = 0;
        std::memcpy(R.Data, &Address, 8);
        R.Command = R.Command % 5;
        O.Statuses.push_back(CommandOf(Image, (R.Reserved[0] & 0xC) == 0xC ? nullptr : &R));
      } else if (Kind >= 0xB0 && Kind < 0xC0) {
        if (Kind & 1) W->U.SetVariableStatus = EFI_OUT_OF_RESOURCES;
        if (Kind & 2)
          std::erase_if(W->S.Base.Protocols, [](const auto &P) { return P.Guid == gEfiSmmVariableProtocolGuid; });
      } else if (Kind < 0xC0) {
        const auto Offset = fuzz_input::Take<uint16_t>(Data, Size) % (OwnedSize - 16);
        const auto Bytes = fuzz_input::Take<std::array<uint8_t, 16>>(Data, Size);
        std::memcpy(W->Owned.data() + Offset, Bytes.data(), Bytes.size());
      } else {
        O.Statuses.push_back(SleepEntry(Image, Kind < 0xE0 ? SxS5 : SxS4));
        break;
      }
    }
    O.Statuses.push_back(Image ? Call("GetInfo", {Ptr(&W->Info)}) : ::GetInfo(&W->Info));
    O.Info = W->Info;
  }
  InImage = false;
  O.StagedSize = Image ? Global<UINT32>("StagedSize") : ::StagedSize;
  O.CapsulePending = Image ? Global<UINT8>("CapsulePending") : ::CapsulePending;
  O.Pool.assign(static_cast<uint8_t *>(W->Pool), static_cast<uint8_t *>(W->Pool) + DESCRIPTOR_POOL_SIZE);
  for (auto &[Key, V] : W->U.Variables) O.Variables[Key] = {V.Attributes, V.Data};
  O.Log = std::move(sim::TheBoard().Log);  // both are emptied by the restore
  O.Trace = std::move(W->U.Trace);
  O.Validated = W->S.ValidateCalls;
  O.PreSleepRequests = W->S.PreSleepRequests;
  O.PreSleepNotifies = W->S.PreSleepNotifies;
  for (auto &[P, Bytes] : W->StagingPages.Saved()) {
    const auto *At = reinterpret_cast<const uint8_t *>(P);
    O.StagingPages[P].assign(At, At + 0x1000);
  }
  return O;
}

template <typename T>
std::string Show(const T &V) {
  std::ostringstream Out;
  if constexpr (std::is_same_v<T, std::vector<EFI_STATUS>>) {
    for (EFI_STATUS S : V) Out << sim::StatusName(S) << " (0x" << std::hex << S << std::dec << ") ";
  } else if constexpr (std::is_same_v<T, std::vector<sim::Access>>) {
    for (const sim::Access &A : V) Out << "\n    " << sim::ToString(A);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    for (const std::string &L : V) Out << "\n    " << L;
  } else {
    Out << sim::RecordBytes(&V, sizeof V);
  }
  return Out.str();
}

void Compare(const Outcome &Image, const Outcome &Host) {
  std::string What;
  // The two sides are only shown for the first difference.
  auto Check = [&What](bool Same, const char *Name, auto I, auto H) {
    if (!Same && What.empty()) What = std::string(Name) + " differ: image " + I() + "\n  host " + H();
  };
  Check(
      Image.Statuses == Host.Statuses, "statuses", [&] { return Show(Image.Statuses); },
      [&] { return Show(Host.Statuses); });
  Check(
      Image.Reset == Host.Reset, "resets", [&] { return std::to_string(Image.Reset); },
      [&] { return std::to_string(Host.Reset); });
  Check(
      Image.StagedSize == Host.StagedSize, "staged sizes", [&] { return std::to_string(Image.StagedSize); },
      [&] { return std::to_string(Host.StagedSize); });
  Check(
      Image.CapsulePending == Host.CapsulePending, "pending flags",
      [&] { return std::to_string(Image.CapsulePending); }, [&] { return std::to_string(Host.CapsulePending); });
  Check(
      Image.Pool == Host.Pool, "descriptor pools",
      [&] { return sim::RecordBytes(Image.Pool.data(), Image.Pool.size()); },
      [&] { return sim::RecordBytes(Host.Pool.data(), Host.Pool.size()); });
  Check(
      Image.Variables == Host.Variables, "variables",
      [&] { return std::to_string(Image.Variables.size()) + " variables"; },
      [&] { return std::to_string(Host.Variables.size()) + " variables"; });
  Check(
      Image.Log == Host.Log, "device accesses", [&] { return Show(Image.Log); }, [&] { return Show(Host.Log); });
  Check(
      Image.Trace == Host.Trace, "service calls", [&] { return Show(Image.Trace); }, [&] { return Show(Host.Trace); });
  Check(
      Image.Validated == Host.Validated, "validated buffers", [&] { return std::to_string(Image.Validated.size()); },
      [&] { return std::to_string(Host.Validated.size()); });
  Check(
      Image.PreSleepRequests == Host.PreSleepRequests && Image.PreSleepNotifies == Host.PreSleepNotifies,
      "pre-sleep calls", [&] { return std::to_string(Image.PreSleepRequests.size() + Image.PreSleepNotifies.size()); },
      [&] { return std::to_string(Host.PreSleepRequests.size() + Host.PreSleepNotifies.size()); });
  Check(
      std::memcmp(&Image.Info, &Host.Info, sizeof Image.Info) == 0, "GetInfo answers", [&] { return Show(Image.Info); },
      [&] { return Show(Host.Info); });
  // Staging pages either run wrote: the host run's as they stand, the image's as it left them.
  std::set<uint64_t> Pages;
  for (auto &[P, B] : Image.StagingPages) Pages.insert(P);
  for (auto &[P, B] : Host.StagingPages) Pages.insert(P);
  for (uint64_t P : Pages) {
    auto I = Image.StagingPages.find(P), H = Host.StagingPages.find(P);
    const uint8_t *IBytes = I != Image.StagingPages.end() ? I->second.data() : W->StagingPages.Original(P);
    const uint8_t *HBytes = H != Host.StagingPages.end() ? H->second.data() : reinterpret_cast<const uint8_t *>(P);
    size_t At = 0;
    while (At < 0x1000 && IBytes[At] == HBytes[At]) ++At;
    if (At < 0x1000)
      Check(
          false, "staged bytes",
          [&] {
            return "at staging offset " + std::to_string(P - W->Staging + At) + ": " + sim::RecordBytes(IBytes + At, 1);
          },
          [&] { return sim::RecordBytes(HBytes + At, 1); });
  }
  if (!What.empty()) image_fuzz::Finding("the image and the host build " + What);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (W == nullptr) {
    sim::TheBoard().Logging = true;
    W = new World;
  }
  const Outcome Image = Run(true, Data, Size);
  W->Restore();
  const Outcome Host = Run(false, Data, Size);
  Compare(Image, Host);
  W->Restore();
  return 0;
}
