// Shared set-up of the MediaCapsuleSmm tests: simulated UEFI and SMM with every protocol the
// image expects, page and boot-services install calls added to the trace.
#pragma once
#include <tests/common/access_match.h>
#include <sim/board.h>
#include <gtest/gtest.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <capsule/media_capsule.h>
#include <capsule/smm_memory.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>
#include <tests/common/known_guids.h>

namespace capsule_test {

using namespace sim;

struct CapsuleTest : ::testing::Test {
  Uefi U;
  Smm S;
  Pcd P;
  HobBuilder Hobs;

  static inline EFI_STATUS(EFIAPI *RealAllocatePages)(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *);
  static inline EFI_STATUS(EFIAPI *RealFreePages)(EFI_PHYSICAL_ADDRESS, UINTN);
  static inline EFI_STATUS(EFIAPI *RealInstall)(EFI_HANDLE *, const EFI_GUID *, EFI_INTERFACE_TYPE, VOID *);

  static EFI_STATUS EFIAPI TracedAllocatePages(EFI_ALLOCATE_TYPE T, EFI_MEMORY_TYPE M, UINTN N, EFI_PHYSICAL_ADDRESS *A) {
    TheUefi().Trace.push_back("AllocatePages(" + std::to_string(T) + "," + std::to_string(M) + "," + std::to_string(N) + ")");
    return RealAllocatePages(T, M, N, A);
  }
  static EFI_STATUS EFIAPI TracedFreePages(EFI_PHYSICAL_ADDRESS A, UINTN N) {
    TheUefi().Trace.push_back("FreePages(" + std::to_string(N) + ")");
    return RealFreePages(A, N);
  }
  static EFI_STATUS EFIAPI TracedInstall(EFI_HANDLE *H, const EFI_GUID *G, EFI_INTERFACE_TYPE T, VOID *I) {
    TheUefi().Trace.push_back("InstallProtocolInterface(" + GuidName(*G) + ")");
    return RealInstall(H, G, T, I);
  }

  CapsuleTest() {
    RealAllocatePages = U.BootServices.AllocatePages;
    RealFreePages = U.BootServices.FreePages;
    RealInstall = U.BootServices.InstallProtocolInterface;
    U.BootServices.AllocatePages = TracedAllocatePages;
    U.BootServices.FreePages = TracedFreePages;
    U.BootServices.InstallProtocolInterface = TracedInstall;
    S.InstallAll();
  }

  void AddHobList() { U.AddConfigurationTable(known::EfiHobListGuid, Hobs.Finish()); }
  EFI_STATUS Start() { return MediaCapsuleSmmEntry(U.ImageHandle, &U.SystemTable); }
  MEDIA_CAPSULE_SMM_PROTOCOL *Protocol() {
    return static_cast<MEDIA_CAPSULE_SMM_PROTOCOL *>(S.FindProtocol(known::MediaCapsuleSmmProtocolGuid));
  }
  HEAP_RECORD_LIST_PROTOCOL *HeapList() {
    return static_cast<HEAP_RECORD_LIST_PROTOCOL *>(U.Find(known::HeapRecordListProtocolGuid));
  }
  // The trace from the first line equal to From, inclusive.
  std::vector<std::string> TraceFrom(const std::string &From) {
    auto It = std::find(U.Trace.begin(), U.Trace.end(), From);
    return {It, U.Trace.end()};
  }
};

// The data of a heap-record GUID HOB: header and data bytes.
inline std::vector<uint8_t> HeapRecord(uint8_t Import, std::vector<uint8_t> Data, uint8_t Kind = 0,
                                       uint32_t Signature = 0x50414548) {  // "HEAP"
  HEAP_RECORD_HEADER H{Signature, 0, static_cast<uint32_t>(Data.size()), Kind, Import, 0};
  std::vector<uint8_t> Out(sizeof H);
  std::memcpy(Out.data(), &H, sizeof H);
  Out.insert(Out.end(), Data.begin(), Data.end());
  return Out;
}

inline std::vector<HEAP_RECORD_NODE *> Nodes(const LIST_ENTRY *Head) {
  std::vector<HEAP_RECORD_NODE *> Out;
  for (LIST_ENTRY *E = Head->ForwardLink; E != Head; E = E->ForwardLink)
    Out.push_back(reinterpret_cast<HEAP_RECORD_NODE *>(E));
  return Out;
}

}  // namespace capsule_test
