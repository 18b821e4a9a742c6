// libFuzzer target: the heap-record import over HOB lists built from the input
// (fuzz_input::HobList).
#include <sim/board.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <cstring>

#include <capsule/media_capsule.h>
#include <capsule/smm_memory.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  sim::TheBoard().Logging = false;
  sim::TheBoard().StartRun();  // the run budget is per input
  sim::Uefi U;
  sim::Smm S(1 << 16);
  StoreLibraryTables(&U.SystemTable);
  SmmSystemTable = &S.Smst();
  HobList = nullptr;
  HeapRecordList = nullptr;
  HeapRecordListRecord = nullptr;
  CfgPcdBuffer.Field4 = 0;

  size_t Hobs = 0;
  std::vector<uint64_t> List = fuzz_input::HobList(Data, Size, Hobs);
  U.AddConfigurationTable(EFI_HOB_LIST_GUID, List.data());

  ImportHeapRecords();

  // Every node is an SMRAM block of exactly its header's DataSize + 32 bytes, one per HOB at most.
  if (HeapRecordListRecord == nullptr || U.Find(gHeapRecordListProtocolGuid) != HeapRecordListRecord) __builtin_trap();
  size_t Nodes = 0;
  for (LIST_ENTRY *E = HeapRecordList->ForwardLink; E != HeapRecordList;) {
    auto *Node = reinterpret_cast<HEAP_RECORD_NODE *>(E);
    auto It = S.SmramLive.find(Node);
    if (It == S.SmramLive.end() || It->second != Node->Header.DataSize + 32ull) __builtin_trap();
    if (Node->Header.Signature != HEAP_RECORD_SIGNATURE || Node->Header.Import != 1) __builtin_trap();
    if (E->ForwardLink->BackLink != E || ++Nodes > Hobs) __builtin_trap();
    E = E->ForwardLink;
    S.Release(Node);
  }
  S.Release(HeapRecordListRecord);
  if (!S.SmramLive.empty()) __builtin_trap();
  return 0;
}
