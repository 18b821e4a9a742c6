// libFuzzer target: sequences of StageBlock requests against a started image. The validation
// fake accepts only buffers the fuzzer owns, and may rewrite the request while it validates.
#include <sim/board.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <cstdlib>
#include <cstring>

#include <capsule/media_capsule.h>

#include "fuzz_input.h"

namespace {

struct World {
  sim::Uefi U;
  sim::Smm S;
  std::vector<uint8_t> Owned = std::vector<uint8_t>(1 << 16);
  STAGE_BLOCK_REQUEST Request{};
  uint32_t RewriteLength = 0;
  bool Rewrite = false;

  World() {
    S.InstallAll();
    S.Validate = [this](const VOID *Buffer, UINTN Length) -> EFI_STATUS {
      if (Rewrite) Request.Length = RewriteLength;  // the caller changes its record mid-call
      auto At = reinterpret_cast<uintptr_t>(Buffer), Base = reinterpret_cast<uintptr_t>(Owned.data());
      return At >= Base && Length <= Owned.size() && At - Base <= Owned.size() - Length ? EFI_SUCCESS
                                                                                        : EFI_ACCESS_DENIED;
    };
    sim::TheBoard().Logging = false;
    if (MediaCapsuleSmmEntry(U.ImageHandle, &U.SystemTable) != EFI_SUCCESS) std::abort();
    for (size_t I = 0; I < Owned.size(); ++I) Owned[I] = static_cast<uint8_t>(I * 13 + 5);
  }
};


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static World *W = new World;
  sim::TheBoard().StartRun();  // the run budget is per input
  uint32_t Model = StagedSize;
  W->U.Trace.clear();  // the records of the simulation would otherwise grow without end
  W->S.ValidateCalls.clear();
  while (Size > 0) {
    const auto Kind = fuzz_input::Take<uint8_t>(Data, Size);
    const auto Record = fuzz_input::TakeStageRecord(Kind, Data, Size, W->Request, W->Owned, StagingBuffer);
    W->Rewrite = Record.Rewrite;
    W->RewriteLength = Record.RewriteLength;
    const STAGE_BLOCK_REQUEST Asked = W->Request;
    const EFI_STATUS Status = MediaCapsuleProtocol.StageBlock((Kind & 0xF0) == 0xF0 ? nullptr : &W->Request);
    if ((Kind & 0xF0) == 0xF0) {
      if (Status != EFI_INVALID_PARAMETER) __builtin_trap();
      continue;
    }
    if (Status != EFI_SUCCESS) {
      if (StagedSize != Model) __builtin_trap();
      continue;
    }
    // Accepted: it fitted as asked, and the bytes asked for are in place.
    if (Asked.Length > STAGING_CAPACITY || Asked.Offset > STAGING_CAPACITY - Asked.Length) __builtin_trap();
    if (std::memcmp(reinterpret_cast<uint8_t *>(StagingBuffer) + Asked.Offset,
                    reinterpret_cast<const uint8_t *>(Asked.Source), Asked.Length) != 0)
      __builtin_trap();
    if (Asked.Offset == 0) Model = 0;
    Model = Asked.Length > 0xFFFFFFFFu - Model ? 0xFFFFFFFFu : Model + Asked.Length;
    if (StagedSize != Model) __builtin_trap();
  }
  return 0;
}
