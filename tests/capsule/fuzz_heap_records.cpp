// libFuzzer target: the heap-record import over HOB lists built from the input. HOBs are laid
// end to end with their lengths, as a producer writes them; their contents, the record
// headers and some lengths are the fuzzer's.
#include <sim/board.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <cstring>

#include <capsule/media_capsule.h>
#include <capsule/smm_memory.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>

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

  std::vector<uint8_t> Bytes;
  size_t Hobs = 0;
  while (Size >= 2 && Bytes.size() < 0x8000) {
    const uint8_t Kind = Data[0], Units = Data[1] & 0x3F;
    Data += 2;
    Size -= 2;
    const size_t Length = 8 + Units * 8;
    std::vector<uint8_t> Hob(Length, 0);
    const size_t Body = std::min(Size, Length - 8);
    std::memcpy(Hob.data() + 8, Data, Body);
    Data += Body;
    Size -= Body;
    EFI_HOB_GENERIC_HEADER H{EFI_HOB_TYPE_GUID_EXTENSION, static_cast<uint16_t>(Length), 0};
    switch (Kind % 5) {
      case 0:  // a heap HOB whose record header is the fuzzer's
      case 1:  // a heap HOB whose record is importable, with the fuzzer's DataSize and Kind
        if (Length >= 24) std::memcpy(Hob.data() + 8, &gHeapRecordHobGuid, 16);
        if (Kind % 5 == 1 && Length >= 40) {
          std::memcpy(Hob.data() + 24, &HEAP_RECORD_SIGNATURE, 4);
          Hob[24 + 13] = 1;
        }
        break;
      case 2: H.HobType = static_cast<uint16_t>(Kind >> 3); break;  // any type, any GUID
      case 3: H.HobLength = Kind >> 5; break;  // a length below 8: the walk ends here
      case 4: H.HobType = EFI_HOB_TYPE_RESOURCE_DESCRIPTOR; break;
    }
    std::memcpy(Hob.data(), &H, sizeof H);
    Bytes.insert(Bytes.end(), Hob.begin(), Hob.end());
    ++Hobs;
  }
  const EFI_HOB_GENERIC_HEADER End{EFI_HOB_TYPE_END_OF_HOB_LIST, 8, 0};
  Bytes.insert(Bytes.end(), reinterpret_cast<const uint8_t *>(&End), reinterpret_cast<const uint8_t *>(&End) + 8);
  std::vector<uint64_t> List(Bytes.size() / 8);
  std::memcpy(List.data(), Bytes.data(), Bytes.size());
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
