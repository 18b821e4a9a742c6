// libFuzzer target: Command requests against a started image with staged data. The validation
// fake accepts only buffers the fuzzer owns; every description that command 2 publishes must
// lie inside the descriptor pool and end properly.
#include <sim/board.h>
#include <sim/smm.h>
#include <sim/uefi.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <capsule/media_capsule.h>

namespace {

// The SMM variable store of this target: fixed slots found by a hash of name and GUID, emptied
// per input by a generation count, not instrumented for coverage. Command 2 looks the series
// of names up from its first each time, so a run's cost grows with the square of the variables
// it holds: the simulation's store, with a trace line and two strings per call, made most of
// the run. Like a real store it fills up, here at 16 variables: two-digit names and a full
// store are reached, and no input costs more than 16 look-ups per schedule.
class VariableStore {
#define STORE_UNINSTRUMENTED __attribute__((no_sanitize("coverage")))
 public:
  static constexpr size_t Slots = 64, Capacity = 16, MaxName = 40, MaxData = 1024;
  struct Slot {
    uint32_t Generation = 0;
    CHAR16 Name[MaxName];
    EFI_GUID Guid;
    UINT32 Attributes;
    UINTN Size;
    uint8_t Data[MaxData];
  };
  void Clear() {
    ++Generation;
    Count = Used = 0;
    Holes = false;
    LastSet = nullptr;
  }
  const Slot *LastSet = nullptr;  // the slot the last successful write filled
  size_t Size() const { return Count; }
  template <typename F>
  void ForEach(F Visit) const {
    for (size_t I = 0; I < Used; ++I)
      if (InOrder[I]->Generation == Generation) Visit(*InOrder[I]);
  }

  STORE_UNINSTRUMENTED EFI_STATUS Get(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
    if (Name == nullptr || Guid == nullptr || DataSize == nullptr) return EFI_INVALID_PARAMETER;
    Slot *S = Find(Name, *Guid, false);
    if (S == nullptr) return EFI_NOT_FOUND;
    if (*DataSize < S->Size) {
      *DataSize = S->Size;
      return EFI_BUFFER_TOO_SMALL;
    }
    if (Data == nullptr && S->Size) return EFI_INVALID_PARAMETER;
    *DataSize = S->Size;
    if (S->Size) std::memcpy(Data, S->Data, S->Size);
    if (Attributes) *Attributes = S->Attributes;
    return EFI_SUCCESS;
  }
  STORE_UNINSTRUMENTED EFI_STATUS Set(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, const VOID *Data) {
    if (Name == nullptr || Guid == nullptr || (DataSize && Data == nullptr)) return EFI_INVALID_PARAMETER;
    if (DataSize == 0 || Attributes == 0) {
      Slot *S = Find(Name, *Guid, false);
      if (S == nullptr) return EFI_NOT_FOUND;
      S->Generation = 0;  // a hole: later slots of the same chain stay reachable below
      Holes = true;
      --Count;
      return EFI_SUCCESS;
    }
    if (DataSize > MaxData || NameLength(Name) >= MaxName) return EFI_OUT_OF_RESOURCES;
    Slot *S = Find(Name, *Guid, Count < Capacity);
    if (S == nullptr) return EFI_OUT_OF_RESOURCES;
    LastSet = S;
    S->Attributes = Attributes;
    S->Size = DataSize;
    std::memcpy(S->Data, Data, DataSize);
    return EFI_SUCCESS;
  }

 private:
  STORE_UNINSTRUMENTED static size_t NameLength(const CHAR16 *Name) {
    size_t N = 0;
    while (Name[N]) ++N;
    return N;
  }
  STORE_UNINSTRUMENTED static bool SameName(const CHAR16 *A, const CHAR16 *B) {
    for (;; ++A, ++B) {
      if (*A != *B) return false;
      if (*A == 0) return true;
    }
  }
  STORE_UNINSTRUMENTED Slot *Find(const CHAR16 *Name, const EFI_GUID &Guid, bool Create) {
    uint64_t Hash = 1469598103934665603ull;
    for (const CHAR16 *C = Name; *C; ++C) Hash = (Hash ^ *C) * 1099511628211ull;
    for (size_t I = 0; I < sizeof Guid; ++I) Hash = (Hash ^ reinterpret_cast<const uint8_t *>(&Guid)[I]) * 1099511628211ull;
    Slot *Free = nullptr;
    // Linear probing; a deleted slot does not end a chain, so once one exists every slot is
    // looked at.
    for (size_t Step = 0; Step < Slots; ++Step) {
      Slot &S = Table[(Hash + Step) % Slots];
      if (S.Generation != Generation) {
        if (Free == nullptr) Free = &S;
        if (!Holes) break;
        continue;
      }
      if (S.Guid == Guid && SameName(S.Name, Name)) return &S;
    }
    if (!Create || Free == nullptr || Used == Slots) return nullptr;
    Free->Generation = Generation;
    std::memcpy(Free->Name, Name, (NameLength(Name) + 1) * sizeof(CHAR16));
    Free->Guid = Guid;
    ++Count;
    InOrder[Used++] = Free;
    return Free;
  }
  std::array<Slot, Slots> Table{};
  std::array<Slot *, Slots> InOrder{};  // slots in the order they were taken, for ForEach
  uint32_t Generation = 1;
  size_t Count = 0, Used = 0;
  bool Holes = false;
};

VariableStore *Store;

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
    // Each media record locates the variable protocol again; the simulation would write a
    // trace line for every look-up.
    S.Smst().SmmLocateProtocol = [](const EFI_GUID *Guid, VOID *, VOID **Interface) EFIAPI -> EFI_STATUS {
      if (Interface == nullptr) return EFI_INVALID_PARAMETER;
      *Interface = sim::TheSmm().FindProtocol(*Guid);
      return *Interface ? EFI_SUCCESS : EFI_NOT_FOUND;
    };
    Store = new VariableStore;
    S.Variable.SmmGetVariable = [](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                                   VOID *Data) EFIAPI { return Store->Get(Name, Guid, Attributes, DataSize, Data); };
    S.Variable.SmmSetVariable = [](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize,
                                   const VOID *Data) EFIAPI { return Store->Set(Name, Guid, Attributes, DataSize, Data); };
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

bool IsCapsuleVariable(const VariableStore::Slot &V) {
  return std::u16string_view(V.Name).rfind(u"CapsuleUpdateData", 0) == 0;
}

void CheckPublished(const VariableStore::Slot &V) {
  UINT64 First;
  if (V.Size != 8 || V.Attributes != 7) __builtin_trap();
  std::memcpy(&First, V.Data, 8);
  CheckDescription(First);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static World *W = new World;
  sim::TheBoard().StartRun();  // the run budget is per input
  Store->Clear();
  // The simulation's records are emptied as the input ends, so that an input frees what it
  // allocated and the fuzzer does not suspect a leak after each one.
  struct Records {
    World *W;
    ~Records() {
      W->U.Trace.clear();
      W->S.ValidateCalls.clear();
    }
  } Emptied{W};
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
    const size_t Before = Store->Size();
    const EFI_STATUS Status = Command(&R);
    if (R.Command != 2 || Status != EFI_SUCCESS) continue;
    if (Store->Size() != Before + 1 || CapsulePending != 1 || !IsCapsuleVariable(*Store->LastSet)) __builtin_trap();
    CheckPublished(*Store->LastSet);
  }
  // A later schedule may have written over what an earlier one published.
  Store->ForEach([](const VariableStore::Slot &V) {
    if (IsCapsuleVariable(V)) CheckPublished(V);
  });
  return 0;
}
