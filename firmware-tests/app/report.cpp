#include "report.h"

#include "smm_env.h"

namespace {

constexpr EFI_GUID gEfiLoadedImageDevicePathProtocolGuid = {0xBC62157E, 0x3E33, 0x4FEC, {0x99, 0x20, 0x2D, 0x3B, 0x36, 0xD7, 0x50, 0xDF}};
constexpr UINT64 F_SEGMENT = 0xF0000;
constexpr UINTN F_SEGMENT_SIZE = 0x10000;
constexpr UINTN MAX_PROTOCOLS = 4096;
constexpr UINTN MAX_VARIABLES = 256;
constexpr UINTN NAME_CHARS = 64;
constexpr UINTN DATA_MAX = 0x10000;
constexpr UINTN DATA_KEPT = 512;  // bytes kept per variable, to show which ones changed

struct PROTOCOL_ENTRY {
  EFI_HANDLE Handle;
  EFI_GUID Guid;
};

struct VARIABLE_ENTRY {
  CHAR16 Name[NAME_CHARS];
  EFI_GUID Guid;
  UINT32 Attributes;
  UINTN Size;
  UINT64 Hash;
  UINT8 Head[DATA_KEPT];
};

struct SNAPSHOT {
  PROTOCOL_ENTRY *Protocols;
  UINTN ProtocolCount;
  VARIABLE_ENTRY *Variables;
  UINTN VariableCount;
  UINT8 *FSegment;
};

VOID *Allocate(UINTN Size) {
  VOID *P = nullptr;
  return EFI_ERROR(Bs->AllocatePool(EfiBootServicesData, Size, &P)) ? nullptr : P;
}

UINT64 Fnv(const UINT8 *Data, UINTN Size) {
  UINT64 H = 0xCBF29CE484222325ULL;
  for (UINTN I = 0; I < Size; ++I) H = (H ^ Data[I]) * 0x100000001B3ULL;
  return H;
}

bool NameEq(const CHAR16 *A, const CHAR16 *B) {
  while (*A && *A == *B) ++A, ++B;
  return *A == *B;
}

void TakeProtocols(SNAPSHOT &S) {
  S.ProtocolCount = 0;
  EFI_HANDLE *Handles = nullptr;
  UINTN HandleCount = 0;
  if (EFI_ERROR(Bs->LocateHandleBuffer(AllHandles, nullptr, nullptr, &HandleCount, &Handles))) return;
  for (UINTN H = 0; H < HandleCount; ++H) {
    EFI_GUID **Guids = nullptr;
    UINTN GuidCount = 0;
    if (EFI_ERROR(Bs->ProtocolsPerHandle(Handles[H], &Guids, &GuidCount))) continue;
    for (UINTN G = 0; G < GuidCount && S.ProtocolCount < MAX_PROTOCOLS; ++G)
      S.Protocols[S.ProtocolCount++] = {Handles[H], *Guids[G]};
    Bs->FreePool(Guids);
  }
  Bs->FreePool(Handles);
}

void TakeVariables(SNAPSHOT &S, UINT8 *Data) {
  S.VariableCount = 0;
  CHAR16 Name[NAME_CHARS * 4] = {};
  EFI_GUID Guid{};
  for (;;) {
    UINTN NameSize = sizeof(Name);
    if (EFI_ERROR(Rs->GetNextVariableName(&NameSize, Name, &Guid))) break;
    if (S.VariableCount == MAX_VARIABLES) break;
    VARIABLE_ENTRY &V = S.Variables[S.VariableCount++];
    UINTN I = 0;
    for (; I + 1 < NAME_CHARS && Name[I]; ++I) V.Name[I] = Name[I];
    V.Name[I] = 0;
    V.Guid = Guid;
    V.Size = DATA_MAX;
    V.Attributes = 0;
    if (EFI_ERROR(Rs->GetVariable(Name, &Guid, &V.Attributes, &V.Size, Data))) V.Size = 0;
    V.Hash = Fnv(Data, V.Size);
    for (UINTN K = 0; K < DATA_KEPT; ++K) V.Head[K] = K < V.Size ? Data[K] : 0;
  }
}

void Take(SNAPSHOT &S, UINT8 *Scratch) {
  TakeProtocols(S);
  TakeVariables(S, Scratch);
  Bs->CopyMem(S.FSegment, reinterpret_cast<VOID *>(F_SEGMENT), F_SEGMENT_SIZE);
}

bool SnapshotAlloc(SNAPSHOT &S) {
  S.Protocols = static_cast<PROTOCOL_ENTRY *>(Allocate(sizeof(PROTOCOL_ENTRY) * MAX_PROTOCOLS));
  S.Variables = static_cast<VARIABLE_ENTRY *>(Allocate(sizeof(VARIABLE_ENTRY) * MAX_VARIABLES));
  S.FSegment = static_cast<UINT8 *>(Allocate(F_SEGMENT_SIZE));
  return S.Protocols && S.Variables && S.FSegment;
}

bool HasProtocol(const SNAPSHOT &S, const PROTOCOL_ENTRY &E) {
  for (UINTN I = 0; I < S.ProtocolCount; ++I)
    if (S.Protocols[I].Handle == E.Handle && S.Protocols[I].Guid == E.Guid) return true;
  return false;
}

const VARIABLE_ENTRY *FindVariable(const SNAPSHOT &S, const VARIABLE_ENTRY &V) {
  for (UINTN I = 0; I < S.VariableCount; ++I)
    if (S.Variables[I].Guid == V.Guid && NameEq(S.Variables[I].Name, V.Name)) return &S.Variables[I];
  return nullptr;
}

void ReportDiff(const SNAPSHOT &Before, const SNAPSHOT &After, EFI_HANDLE Image) {
  UINTN Changes = 0;
  for (UINTN I = 0; I < After.ProtocolCount; ++I) {
    const PROTOCOL_ENTRY &E = After.Protocols[I];
    if (HasProtocol(Before, E)) continue;
    if (E.Handle == Image && (E.Guid == gEfiLoadedImageProtocolGuid || E.Guid == gEfiLoadedImageDevicePathProtocolGuid))
      continue;
    Log << "REPORT   installed protocol " << E.Guid << " on handle ";
    Log.Hex(reinterpret_cast<UINT64>(E.Handle)).End();
    ++Changes;
  }
  for (UINTN I = 0; I < Before.ProtocolCount; ++I)
    if (!HasProtocol(After, Before.Protocols[I])) {
      Log << "REPORT   removed protocol " << Before.Protocols[I].Guid;
      Log.End();
      ++Changes;
    }
  for (UINTN I = 0; I < After.VariableCount; ++I) {
    const VARIABLE_ENTRY &V = After.Variables[I];
    const VARIABLE_ENTRY *Old = FindVariable(Before, V);
    if (Old && Old->Hash == V.Hash && Old->Size == V.Size && Old->Attributes == V.Attributes) continue;
    Log << "REPORT   variable " << (Old ? "changed " : "created ") << V.Name << " (" << V.Size << " bytes, attributes ";
    Log.Hex(V.Attributes) << ")";
    Log.End();
    if (Old && Old->Size == V.Size) {
      UINTN Shown = 0;
      for (UINTN K = 0; K < V.Size && K < DATA_KEPT && Shown < 16; ++K) {
        if (Old->Head[K] == V.Head[K]) continue;
        if (Shown++ == 0) Log << "REPORT     byte (old -> new):";
        Log << " " << static_cast<UINT64>(K) << " (";
        Log.Hex(Old->Head[K], 2) << " -> ";
        Log.Hex(V.Head[K], 2) << ")";
      }
      if (Shown) Log.End();
    }
    ++Changes;
  }
  for (UINTN I = 0; I < Before.VariableCount; ++I)
    if (!FindVariable(After, Before.Variables[I])) {
      Log << "REPORT   variable deleted " << Before.Variables[I].Name;
      Log.End();
      ++Changes;
    }
  UINTN Ranges = 0;
  for (UINTN I = 0; I < F_SEGMENT_SIZE; ++I) {
    if (Before.FSegment[I] == After.FSegment[I]) continue;
    if (++Ranges > 8) {
      Log << "REPORT   (more F-segment changes not shown)";
      Log.End();
      break;
    }
    UINTN J = I;
    while (J < F_SEGMENT_SIZE && Before.FSegment[J] != After.FSegment[J]) ++J;
    Log << "REPORT   memory written at ";
    Log.Hex(F_SEGMENT + I) << ", " << static_cast<UINT64>(J - I) << " bytes:";
    for (UINTN K = I; K < J && K < I + 16; ++K) Log << " ", Log.Hex(After.FSegment[K], 2);
    Log.End();
    ++Changes;
    I = J;
  }
  if (Changes == 0) {
    Log << "REPORT   no protocol, variable or F-segment change";
    Log.End();
  }
}

}  // namespace


void ReportAllImages() {
  // The board's platform as the drivers expect it: PCD and print protocols, the legacy-region
  // protocol, and a "Setup" record for the board drivers to work on.
  static UINT8 Setup[SETUP_SIZE];
  for (UINTN I = 0; I < SETUP_SIZE; ++I) Setup[I] = static_cast<UINT8>(I * 37 + 11);
  Setup[272] = 2;
  Rs->SetVariable(u"Setup", &gSetupVariableGuid, 7, SETUP_SIZE, Setup);
  Log << "REPORT (a 273-byte \"Setup\" is stored first; ReadyToBoot is signalled after each start)";
  Log.End();
  TestPlatform Platform;
  Platform.Enter();
  // The F-segment as RAM (read-only until a driver opens it), so that before and after compare
  // the same memory rather than the flash view the chipset shows at reset.
  SetFSegmentWritable(false);
  EFI_HANDLE LegacyHandle = nullptr;
  Bs->InstallProtocolInterface(&LegacyHandle, &gLegacyRegionProtocolGuid, EFI_NATIVE_INTERFACE, &TestLegacyRegion);
  SNAPSHOT Before{}, After{};
  auto *Scratch = static_cast<UINT8 *>(Allocate(DATA_MAX));
  if (!SnapshotAlloc(Before) || !SnapshotAlloc(After) || Scratch == nullptr) {
    Check(false, "report: out of memory for snapshots");
    return;
  }
  for (UINTN I = 0; I < EmbeddedImageCount; ++I) {
    const EMBEDDED_IMAGE &Image = EmbeddedImages[I];
    Log << "REPORT " << Image.Name << ".efi (" << static_cast<UINT64>(Image.End - Image.Start) << " bytes)";
    Log.End();
    // The SMM driver starts inside the test's SMM environment; what it installs there is listed.
    const bool Smm = StrEq(Image.Name, "MediaCapsuleSmm");
    SmmEnvironment Env;
    if (Smm) Env.Enter();
    const UINTN SmmBefore = Env.SmmProtocolCount();
    Take(Before, Scratch);
    DRIVER_RUN Run = RunDriver(Image.Name);
    SignalReadyToBoot();
    Take(After, Scratch);
    Log << "REPORT   LoadImage: ";
    Log.Status(Run.LoadStatus) << ", StartImage: ";
    Log.Status(Run.StartStatus).End();
    ReportDiff(Before, After, Run.Handle);
    if (Smm) {
      for (UINTN P = SmmBefore; P < Env.SmmProtocolCount(); ++P) {
        Log << "REPORT   installed SMM protocol " << Env.SmmProtocolGuid(P);
        Log.End();
      }
      Log << "REPORT   SMM sleep-entry registrations: " << static_cast<UINT64>(SxRegistrationCount);
      Log.End();
      Env.Leave();
    }
  }
  Bs->UninstallProtocolInterface(LegacyHandle, &gLegacyRegionProtocolGuid, &TestLegacyRegion);
  Platform.Leave();
}
