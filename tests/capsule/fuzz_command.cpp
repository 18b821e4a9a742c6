// libFuzzer target: Command requests against a started image with staged data. The validation
// fake accepts only buffers the fuzzer owns; every description that command 2 publishes must
// lie inside the descriptor pool and end properly.
#include <board.h>
#include <smm.h>
#include <uefi.h>

#include <cstdlib>
#include <cstring>

#include <capsule/media_capsule.h>

namespace {

struct World {
  sim::Uefi U;
  sim::Smm S;
  std::vector<uint8_t> Owned = std::vector<uint8_t>(1 << 12);
  World() {
    S.InstallAll();
    S.Validate = [this](const VOID *Buffer, UINTN Length) -> EFI_STATUS {
      auto At = reinterpret_cast<uintptr_t>(Buffer), Base = reinterpret_cast<uintptr_t>(Owned.data());
      return At >= Base && Length <= Owned.size() && At - Base <= Owned.size() - Length ? EFI_SUCCESS
                                                                                        : EFI_ACCESS_DENIED;
    };
    sim::TheBoard().Logging = false;
    if (MediaCapsuleSmmEntry(U.ImageHandle, &U.SystemTable) != EFI_SUCCESS) std::abort();
  }
};

void CheckDescription(UINT64 First) {
  const auto Pool = reinterpret_cast<UINT64>(DescriptorPool);
  for (UINT64 At = First;; At += sizeof(EFI_CAPSULE_BLOCK_DESCRIPTOR)) {
    if (At < Pool || At + sizeof(EFI_CAPSULE_BLOCK_DESCRIPTOR) > Pool + DESCRIPTOR_POOL_SIZE || At % 8) __builtin_trap();
    EFI_CAPSULE_BLOCK_DESCRIPTOR D;
    std::memcpy(&D, reinterpret_cast<VOID *>(At), sizeof D);
    if (D.Length == 0) {
      if (D.Union.DataBlock != 0) __builtin_trap();  // a continuation pointer was never meant
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static World *W = new World;
  sim::TheBoard().StartRun();  // the run budget is per input
  W->U.Variables.clear();
  W->U.Trace.clear();  // the records of the simulation would otherwise grow without end
  W->S.ValidateCalls.clear();
  CapsulePending = 0;
  if (Size < 2) return 0;
  // The owned buffer's first bytes come from the input (a leading GUID or not), then a block
  // of it is staged.
  const size_t Head = std::min<size_t>(Size - 2, 16);
  std::memcpy(W->Owned.data(), Data + 2, Head);
  const STAGE_BLOCK_REQUEST Block{reinterpret_cast<uintptr_t>(W->Owned.data()), 0, static_cast<UINT32>(Data[0] * 16u + Data[1] % 16)};
  StageBlock(&Block);
  Data += 2 + Head;
  Size -= 2 + Head;
  while (Size >= sizeof(CAPSULE_COMMAND_REQUEST)) {
    CAPSULE_COMMAND_REQUEST R;
    std::memcpy(&R, Data, sizeof R);
    Data += sizeof R;
    Size -= sizeof R;
    UINT64 Address;
    std::memcpy(&Address, R.Data, 8);
    // Point most caller addresses into the owned buffer, where the validator can say yes.
    if (R.Reserved[0] & 1) Address = reinterpret_cast<uintptr_t>(W->Owned.data()) + Address % W->Owned.size();
    if (R.Reserved[0] & 2) Address = 0;
    std::memcpy(R.Data, &Address, 8);
    R.Command = R.Command % 5;
    const size_t Before = W->U.Variables.size();
    const EFI_STATUS Status = Command(&R);
    if (R.Command != 2 || Status != EFI_SUCCESS) continue;
    if (W->U.Variables.size() != Before + 1 || CapsulePending != 1) __builtin_trap();
    for (auto &[Key, V] : W->U.Variables) {
      if (Key.first.rfind(u"CapsuleUpdateData", 0) != 0) continue;
      UINT64 First;
      if (V.Data.size() != 8 || V.Attributes != 7) __builtin_trap();
      std::memcpy(&First, V.Data.data(), 8);
      CheckDescription(First);
    }
  }
  return 0;
}
