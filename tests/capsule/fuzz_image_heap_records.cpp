// libFuzzer target over the shipped image: the start-up's heap-record import over HOB lists
// built from the input, run on MediaCapsuleSmm.efi in the image runner and then on the host
// build, each with fresh services and SMRAM. The image may touch only what start-up is given
// (the system table and its services, the HOB list, its SMRAM allocations, its debug
// channels), must end within its instruction budget, and must leave what the host build
// leaves: the same list of records in SMRAM blocks of the same sizes, the same service calls
// and the same device accesses.
//
// The input is read as the host target reads it (fuzz_input::HobList).
#include <capsule/media_capsule.h>
#include <capsule/smm_memory.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <sim/board.h>
#include <sim/record.h>
#include <sim/smm.h>
#include <sim/uefi.h>
#include <startup/library.h>

#include <cstring>

#include "fuzz_input.h"
#include "image_fuzz.h"

namespace {

using image_fuzz::Call;
using image_fuzz::Global;

constexpr uint64_t InstructionBudget = 2'000'000;

struct Outcome {
  bool Installed = false;                   // the list's record is the one installed
  std::vector<std::vector<uint8_t>> Nodes;  // each record: header and data, in list order
  std::vector<size_t> Blocks;               // the SMRAM blocks that stand, by size in address order
  std::vector<std::string> Trace;
  std::vector<sim::Access> Log;
};

// One set of services and SMRAM for every run, put back after each: the image then meets the
// same tables at the same addresses, which the runner has mapped once.
struct World {
  sim::Uefi U;
  sim::Smm S{1 << 16};
  std::vector<uint64_t> Hobs;
  std::vector<sim::Uefi::Protocol> ProtocolsAtStart;
  World() {
    Hobs.reserve((0x8000 + 1024) / 8);
    U.AddConfigurationTable(EFI_HOB_LIST_GUID, Hobs.data());
    ProtocolsAtStart = U.Protocols;
    sim::TheBoard().Logging = true;
    image_fuzz::Load(InstructionBudget);
    image_fuzz::Allow(U);
    image_fuzz::Allow(reinterpret_cast<uint64_t>(U.ConfigurationTable.data()),
                      U.ConfigurationTable.size() * sizeof(EFI_CONFIGURATION_TABLE));
    image_fuzz::Allow(S.Base.Smst);
    image_fuzz::Allow(reinterpret_cast<uint64_t>(Hobs.data()), Hobs.capacity() * 8);
    image_fuzz::Allow(sim::MemoryLogRegion::Base, 16 << 20);  // the memory-log channel's region
    image::Emulator::Get().TakeSnapshot();
    image_fuzz::StartJudging();
  }
  void Restore() {
    while (!S.SmramLive.empty()) S.Release(S.SmramLive.begin()->first);
    S.SmmFreed.clear();
    S.SmmPoolCalls = 0;
    U.Protocols = ProtocolsAtStart;
    U.Trace.clear();
    U.LocateCalls.clear();
    sim::TheBoard().Log.clear();
    sim::TheBoard().StartRun();
  }
};
World *W;

Outcome Run(bool Image) {
  sim::Uefi &U = W->U;
  sim::Smm &S = W->S;
  Outcome O;
  if (Image) {
    Call("StoreLibraryTables", {reinterpret_cast<uint64_t>(&U.SystemTable)});
    Global<EFI_SMM_SYSTEM_TABLE2 *>("SmmSystemTable") = &S.Smst();
    Global<VOID *>("HobList") = nullptr;
    Global<LIST_ENTRY *>("HeapRecordList") = nullptr;
    Global<HEAP_RECORD_LIST_PROTOCOL *>("HeapRecordListRecord") = nullptr;
    Global<CFG_PCD_BUFFER>("CfgPcdBuffer").Field4 = 0;
    image_fuzz::StartInput();
    Call("ImportHeapRecords", {});
  } else {
    ::StoreLibraryTables(&U.SystemTable);
    ::SmmSystemTable = &S.Smst();
    ::HobList = nullptr;
    ::HeapRecordList = nullptr;
    ::HeapRecordListRecord = nullptr;
    ::CfgPcdBuffer.Field4 = 0;
    ::ImportHeapRecords();
  }
  auto *Record = Image ? Global<HEAP_RECORD_LIST_PROTOCOL *>("HeapRecordListRecord") : ::HeapRecordListRecord;
  LIST_ENTRY *Head = Image ? Global<LIST_ENTRY *>("HeapRecordList") : ::HeapRecordList;
  O.Installed = Record != nullptr && U.Find(gHeapRecordListProtocolGuid) == Record && Head == &Record->ListHead;
  // The walk is bounded by the blocks that stand: a list longer than that has gone round.
  size_t Left = S.SmramLive.size();
  for (LIST_ENTRY *E = Head ? Head->ForwardLink : nullptr; E && E != Head && Left-- > 0; E = E->ForwardLink) {
    auto *Node = reinterpret_cast<HEAP_RECORD_NODE *>(E);
    auto It = S.SmramLive.find(Node);
    if (It == S.SmramLive.end() || It->second < sizeof(HEAP_RECORD_NODE))
      image_fuzz::Finding(std::string(Image ? "image" : "host build") + ": a list entry outside its SMRAM blocks");
    const auto *From = reinterpret_cast<const uint8_t *>(&Node->Header);
    O.Nodes.emplace_back(From, From + It->second - offsetof(HEAP_RECORD_NODE, Header));
  }
  for (auto &[P, Size] : S.SmramLive) O.Blocks.push_back(Size);
  O.Trace = U.Trace;
  O.Log = sim::TheBoard().Log;
  if (Image) image::Emulator::Get().RestoreSnapshot();  // while the memory the image wrote still stands
  W->Restore();
  return O;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (W == nullptr) W = new World;
  size_t Count = 0;
  const std::vector<uint64_t> List = fuzz_input::HobList(Data, Size, Count);
  W->Hobs.assign(List.begin(), List.end());  // within its capacity: the table's address holds
  const Outcome Image = Run(true);
  const Outcome Host = Run(false);
  std::string What;
  if (Image.Installed != Host.Installed)
    What = "installed records differ";
  else if (Image.Nodes != Host.Nodes)
    What =
        "records differ: image " + std::to_string(Image.Nodes.size()) + ", host " + std::to_string(Host.Nodes.size());
  else if (Image.Blocks != Host.Blocks)
    What = "SMRAM blocks differ";
  else if (Image.Trace != Host.Trace)
    What = "service calls differ";
  else if (Image.Log != Host.Log)
    What = "device accesses differ";
  if (!What.empty()) image_fuzz::Finding("the image and the host build: " + What);
  if (Host.Nodes.size() > Count) image_fuzz::Finding("more records than heap HOBs");
  return 0;
}
