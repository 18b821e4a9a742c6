#include "uefi.h"

#include "record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
Uefi *gUefi = nullptr;
Pcd *gPcd = nullptr;
DebugPrintSink *gPrint = nullptr;
SmmBase *gSmm = nullptr;

template <typename T>
T &Live(T *P, const char *What) {
  if (P == nullptr) {
    std::fprintf(stderr, "sim: no live %s\n", What);
    std::abort();
  }
  return *P;
}

// ---- boot services --------------------------------------------------------------------

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  Uefi &U = TheUefi();
  ++U.PoolCalls;
  U.PoolRequests.push_back({Size, Type});
  U.Note("AllocatePool(" + std::to_string(Type) + "," + std::to_string(Size) + ")");
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (U.RefusePoolCalls.count(U.PoolCalls)) return EFI_OUT_OF_RESOURCES;
  VOID *P = std::malloc(Size ? Size : 1);
  std::memset(P, U.FreshPoolByte, Size);
  U.Live[P] = {Size, Type, false};
  *Buffer = P;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  Uefi &U = TheUefi();
  auto It = U.Live.find(Buffer);
  if (It == U.Live.end() || It->second.Pages) return EFI_INVALID_PARAMETER;
  U.Note("FreePool(" + std::to_string(It->second.Size) + ")");
  U.Live.erase(It);
  U.FreedPools.push_back(Buffer);
  std::free(Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI AllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE Type, UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory) {
  Uefi &U = TheUefi();
  ++U.PageCalls;
  if (Memory == nullptr) return EFI_INVALID_PARAMETER;
  if (U.RefusePageCalls.count(U.PageCalls)) return EFI_OUT_OF_RESOURCES;
  RecordLine(Format("call AllocatePages(%d,%zu)", Type, size_t{Pages}));
  VOID *P = std::aligned_alloc(4096, Pages * 4096);
  if (P == nullptr) return EFI_OUT_OF_RESOURCES;
  std::memset(P, U.FreshPoolByte, Pages * 4096);
  U.Live[P] = {Pages * 4096, Type, true};
  *Memory = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(P);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages) {
  Uefi &U = TheUefi();
  auto It = U.Live.find(reinterpret_cast<VOID *>(Memory));
  RecordLine(Format("call FreePages(%zu)%s", size_t{Pages}, It == U.Live.end() ? " of no allocation" : ""));
  if (It == U.Live.end() || !It->second.Pages || It->second.Size != Pages * 4096) return EFI_NOT_FOUND;
  std::free(It->first);
  U.Live.erase(It);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, const VOID *Context,
                                const EFI_GUID *Group, EFI_EVENT *Event) {
  Uefi &U = TheUefi();
  U.Note("CreateEventEx(" + (Group ? GuidName(*Group) : std::string("-")) + ")");
  if (Event == nullptr) return EFI_INVALID_PARAMETER;
  auto E = std::make_unique<Uefi::Event>();
  E->Type = Type;
  E->Tpl = Tpl;
  E->Notify = Notify;
  E->Context = const_cast<VOID *>(Context);
  if (Group) E->Group = *Group;
  *Event = E.get();
  U.Events.push_back(std::move(E));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context, EFI_EVENT *Event) {
  return CreateEventEx(Type, Tpl, Notify, Context, nullptr, Event);
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event) {
  Uefi &U = TheUefi();
  Uefi::Event *E = U.EventOf(Event);
  if (E == nullptr) return EFI_INVALID_PARAMETER;
  if (E->Group) {
    U.SignalGroup(*E->Group);
  } else if (E->Notify && !E->Closed) {
    ++E->Notified;
    E->Notify(E, E->Context);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event) {
  Uefi::Event *E = TheUefi().EventOf(Event);
  if (E == nullptr) return EFI_INVALID_PARAMETER;
  E->Closed = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid, EFI_INTERFACE_TYPE,
                                           VOID *Interface) {
  Uefi &U = TheUefi();
  if (Handle == nullptr || Guid == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(U.InstallStatus)) return U.InstallStatus;
  *Handle = U.Install(*Guid, Interface, *Handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...) {
  Uefi &U = TheUefi();
  U.Note("InstallMultipleProtocolInterfaces");
  if (Handle == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(U.InstallStatus)) return U.InstallStatus;
  VA_LIST Args;
  VA_START(Args, Handle);
  std::vector<std::pair<EFI_GUID, VOID *>> Pairs;
  for (;;) {
    auto *Guid = VA_ARG(Args, const EFI_GUID *);
    if (Guid == nullptr) break;
    Pairs.push_back({*Guid, VA_ARG(Args, VOID *)});
  }
  VA_END(Args);
  for (auto &[Guid, Interface] : Pairs) *Handle = U.Install(Guid, Interface, *Handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID *Old, VOID *New) {
  for (auto &P : TheUefi().Protocols)
    if (P.Handle == Handle && P.Guid == *Guid && P.Interface == Old) {
      P.Interface = New;
      return EFI_SUCCESS;
    }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID *Interface) {
  auto &Ps = TheUefi().Protocols;
  for (auto It = Ps.begin(); It != Ps.end(); ++It)
    if (It->Handle == Handle && It->Guid == *Guid && It->Interface == Interface) {
      Ps.erase(It);
      return EFI_SUCCESS;
    }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface) {
  for (auto &P : TheUefi().Protocols)
    if (P.Handle == Handle && P.Guid == *Guid) {
      *Interface = P.Interface;
      return EFI_SUCCESS;
    }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID *Guid, VOID *, VOID **Interface) {
  Uefi &U = TheUefi();
  if (Guid == nullptr || Interface == nullptr) return EFI_INVALID_PARAMETER;
  U.LocateCalls.push_back(*Guid);
  U.Note("LocateProtocol(" + GuidName(*Guid) + ")");
  if (U.OnLocate) U.OnLocate(GuidName(*Guid));
  for (auto &P : U.Protocols)
    if (P.Guid == *Guid) {
      *Interface = P.Interface;
      return EFI_SUCCESS;
    }
  *Interface = nullptr;
  return EFI_NOT_FOUND;
}

VOID EFIAPI CopyMem(VOID *Destination, const VOID *Source, UINTN Length) { std::memmove(Destination, Source, Length); }
VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); }

// ---- runtime services -----------------------------------------------------------------

Uefi::VarKey KeyOf(const CHAR16 *Name, const EFI_GUID *Guid) { return {std::u16string(Name), GuidToString(*Guid)}; }

EFI_STATUS EFIAPI GetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                              VOID *Data) {
  Uefi &U = TheUefi();
  ++U.GetVariableCalls;
  U.Note("GetVariable(" + std::string(Name ? std::string(Name, Name + std::char_traits<char16_t>::length(Name)) : "") + ")",
         (Guid ? " " + GuidName(*Guid) : std::string(" -")) +
             (DataSize ? Format(" room %zu", size_t{*DataSize}) : std::string(" no size")) +
             (Attributes ? " wants attributes" : ""));
  if (auto Fail = U.FailGetVariableCalls.find(U.GetVariableCalls); Fail != U.FailGetVariableCalls.end())
    return Fail->second;
  if (Name == nullptr || Guid == nullptr || DataSize == nullptr) return EFI_INVALID_PARAMETER;
  auto It = U.Variables.find(KeyOf(Name, Guid));
  if (It == U.Variables.end()) return EFI_NOT_FOUND;
  const auto &V = It->second;
  if (*DataSize < V.Data.size()) {
    *DataSize = V.Data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Data == nullptr && !V.Data.empty()) return EFI_INVALID_PARAMETER;
  *DataSize = V.Data.size();
  if (!V.Data.empty()) std::memcpy(Data, V.Data.data(), V.Data.size());
  if (Attributes) *Attributes = V.Attributes;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize,
                              const VOID *Data) {
  Uefi &U = TheUefi();
  ++U.SetVariableCalls;
  U.Note("SetVariable(" + std::string(Name ? std::string(Name, Name + std::char_traits<char16_t>::length(Name)) : "") + ")",
         (Guid ? " " + GuidName(*Guid) : std::string(" -")) + Format(" attributes 0x%X size %zu ", Attributes, size_t{DataSize}) +
             (DataSize && Data ? RecordBytes(Data, DataSize) : std::string("no data")));
  if (Name == nullptr || Guid == nullptr || (DataSize && Data == nullptr)) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(U.SetVariableStatus)) return U.SetVariableStatus;
  if (DataSize == 0 || Attributes == 0) {
    return U.Variables.erase(KeyOf(Name, Guid)) ? EFI_SUCCESS : EFI_NOT_FOUND;
  }
  auto *Bytes = static_cast<const uint8_t *>(Data);
  U.Variables[KeyOf(Name, Guid)] = {Attributes, std::vector<uint8_t>(Bytes, Bytes + DataSize)};
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ConvertPointer(UINTN, VOID **Address) {
  if (Address == nullptr) return EFI_INVALID_PARAMETER;
  TheUefi().ConvertedPointers.push_back({Address, *Address});
  return EFI_SUCCESS;
}

// ---- platform protocols ---------------------------------------------------------------

uint64_t PcdValue(const char *Member, UINTN Token) {
  Pcd &P = ThePcd();
  P.Calls.push_back({Member, Token});
  RecordLine(std::string("pcd ") + Member + "(" + std::to_string(Token) + ")");
  auto It = P.Values.find(Token);
  return It == P.Values.end() ? 0 : It->second;
}
UINT8 EFIAPI PcdGet8(UINTN T) { return static_cast<UINT8>(PcdValue("Get8", T)); }
UINT16 EFIAPI PcdGet16(UINTN T) { return static_cast<UINT16>(PcdValue("Get16", T)); }
UINT32 EFIAPI PcdGet32(UINTN T) { return static_cast<UINT32>(PcdValue("Get32", T)); }
UINT64 EFIAPI PcdGet64(UINTN T) { return PcdValue("Get64", T); }
BOOLEAN EFIAPI PcdGetBool(UINTN T) { return PcdValue("GetBool", T) ? 1 : 0; }
VOID *EFIAPI PcdGetPtr(UINTN T) {
  Pcd &P = ThePcd();
  P.Calls.push_back({"GetPtr", T});
  RecordLine("pcd GetPtr(" + std::to_string(T) + ")");
  auto It = P.Pointers.find(T);
  return It == P.Pointers.end() ? nullptr : It->second.data();
}
UINTN EFIAPI PcdGetSize(UINTN T) {
  auto It = ThePcd().Pointers.find(T);
  return It == ThePcd().Pointers.end() ? 0 : It->second.size();
}

EFI_STATUS EFIAPI PrintSink(UINTN Level, const CHAR8 *Format, VA_LIST Args) {
  std::string Text;
  for (const char *F = Format; *F; ++F) {
    if (*F != '%' || F[1] == 0) {
      Text += *F;
      continue;
    }
    ++F;
    switch (*F) {
      case 'a': Text += VA_ARG(Args, const char *); break;
      case 'r': Text += StatusName(VA_ARG(Args, EFI_STATUS)); break;
      case 'd': Text += std::to_string(VA_ARG(Args, int)); break;
      case 'x': {
        char B[24];
        std::snprintf(B, sizeof B, "%x", VA_ARG(Args, unsigned));
        Text += B;
        break;
      }
      case '%': Text += '%'; break;
      default: Text += '%'; Text += *F;
    }
  }
  TheDebugPrint().Lines.push_back({Level, Format, Text});
  RecordLine("print " + std::to_string(Level) + " " + Text);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *, EFI_SMM_SYSTEM_TABLE2 **Smst) {
  SmmBase &S = TheSmmBase();
  if (EFI_ERROR(S.GetSmstStatus)) return S.GetSmstStatus;
  *Smst = &S.Smst;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL *, BOOLEAN *InSmram) {
  *InSmram = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmLocateProtocol(const EFI_GUID *Guid, VOID *, VOID **Interface) {
  for (auto &P : TheSmmBase().Protocols)
    if (P.Guid == *Guid) {
      *Interface = P.Interface;
      return EFI_SUCCESS;
    }
  *Interface = nullptr;
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID *Guid, EFI_SMM_NOTIFY_FN Function, VOID **Registration) {
  SmmBase &S = TheSmmBase();
  ++S.RegisterNotifyCalls;
  if (Guid == nullptr || Registration == nullptr) return EFI_INVALID_PARAMETER;
  S.Notifies.push_back({*Guid, Function});
  *Registration = &S.Notifies.back();
  return EFI_SUCCESS;
}

}  // namespace

std::string GuidToString(const EFI_GUID &G) {
  char B[40];
  std::snprintf(B, sizeof B, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2, G.Data3, G.Data4[0],
                G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return B;
}

std::string GuidName(const EFI_GUID &G) {
  static const std::map<EFI_GUID, const char *, GuidLess> Names = {
      {gPcdProtocolGuid, "PcdProtocol"},
      {gEfiPcdProtocolGuid, "EfiPcdProtocol"},
      {gDebugPrintProtocolGuid, "DebugPrint"},
      {gEfiSmmBase2ProtocolGuid, "SmmBase2"},
      {gEfiPciRootBridgeIoProtocolGuid, "PciRootBridgeIo"},
      {gEfiLegacyInterruptProtocolGuid, "LegacyInterrupt"},
      {EFI_HOB_LIST_GUID, "HobList"},
  };
  auto It = Names.find(G);
  return It == Names.end() ? GuidToString(G) : It->second;
}

const char *StatusName(EFI_STATUS S) {
  static const std::map<EFI_STATUS, const char *> Names = {
      {EFI_SUCCESS, "Success"},
      {EFI_INVALID_PARAMETER, "Invalid Parameter"},
      {EFI_UNSUPPORTED, "Unsupported"},
      {EFI_BUFFER_TOO_SMALL, "Buffer Too Small"},
      {EFI_DEVICE_ERROR, "Device Error"},
      {EFI_OUT_OF_RESOURCES, "Out of Resources"},
      {EFI_NOT_FOUND, "Not Found"},
      {EFI_ACCESS_DENIED, "Access Denied"},
  };
  auto It = Names.find(S);
  return It == Names.end() ? "Unknown" : It->second;
}

Uefi::Uefi() : ImageHandle(reinterpret_cast<EFI_HANDLE>(0x1000)) {
  gUefi = this;
  BootServices.Hdr = {0x56524553544f4f42ULL, (2 << 16) | 70, sizeof(EFI_BOOT_SERVICES), 0, 0};
  BootServices.AllocatePool = AllocatePool;
  BootServices.FreePool = FreePool;
  BootServices.AllocatePages = AllocatePages;
  BootServices.FreePages = FreePages;
  BootServices.CreateEvent = CreateEvent;
  BootServices.CreateEventEx = CreateEventEx;
  BootServices.SignalEvent = SignalEvent;
  BootServices.CloseEvent = CloseEvent;
  BootServices.InstallProtocolInterface = InstallProtocolInterface;
  BootServices.ReinstallProtocolInterface = ReinstallProtocolInterface;
  BootServices.UninstallProtocolInterface = UninstallProtocolInterface;
  BootServices.HandleProtocol = HandleProtocol;
  BootServices.LocateProtocol = LocateProtocol;
  BootServices.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfaces;
  BootServices.CopyMem = CopyMem;
  BootServices.SetMem = SetMem;
  RuntimeServices.Hdr = {0x56524553544e5552ULL, (2 << 16) | 70, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  RuntimeServices.GetVariable = GetVariable;
  RuntimeServices.SetVariable = SetVariable;
  RuntimeServices.ConvertPointer = ConvertPointer;
  SystemTable.Hdr = {0x5453595320494249ULL, (2 << 16) | 70, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  SystemTable.BootServices = &BootServices;
  SystemTable.RuntimeServices = &RuntimeServices;
}

void Uefi::Note(const std::string &Call, const std::string &Detail) {
  Trace.push_back(Call);
  RecordLine("call " + Call + Detail);
}

Uefi::~Uefi() {
  for (auto &[P, A] : Live) std::free(P);
  gUefi = nullptr;
}

Uefi &TheUefi() { return Live(gUefi, "Uefi"); }
Uefi *LiveUefi() { return gUefi; }

EFI_HANDLE Uefi::Install(const EFI_GUID &Guid, VOID *Interface, EFI_HANDLE Handle) {
  static uintptr_t NextHandle = 0x2000;
  if (Handle == nullptr) Handle = reinterpret_cast<EFI_HANDLE>(NextHandle += 0x10);
  Protocols.push_back({Handle, Guid, Interface});
  return Handle;
}

VOID *Uefi::Find(const EFI_GUID &Guid) const {
  for (auto &P : Protocols)
    if (P.Guid == Guid) return P.Interface;
  return nullptr;
}

size_t Uefi::CountOf(const EFI_GUID &Guid) const {
  size_t N = 0;
  for (auto &P : Protocols) N += P.Guid == Guid;
  return N;
}

std::vector<VOID *> Uefi::Leaks() const {
  std::vector<VOID *> Out;
  for (auto &[P, A] : Live) Out.push_back(P);
  return Out;
}

Uefi::Event *Uefi::EventOf(EFI_EVENT E) const {
  for (auto &Ev : Events)
    if (Ev.get() == E) return Ev.get();
  return nullptr;
}

void Uefi::SignalGroup(const EFI_GUID &Group) {
  for (size_t I = 0; I < Events.size(); ++I) {
    Event &E = *Events[I];
    if (E.Group && *E.Group == Group && !E.Closed && E.Notify) {
      ++E.Notified;
      E.Notify(&E, E.Context);
    }
  }
}

void Uefi::SetVar(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes, std::vector<uint8_t> Data) {
  Variables[{Name, GuidToString(Guid)}] = {Attributes, std::move(Data)};
}

const Uefi::Variable *Uefi::GetVar(const std::u16string &Name, const EFI_GUID &Guid) const {
  auto It = Variables.find({Name, GuidToString(Guid)});
  return It == Variables.end() ? nullptr : &It->second;
}

void Uefi::DeleteVar(const std::u16string &Name, const EFI_GUID &Guid) { Variables.erase({Name, GuidToString(Guid)}); }

void Uefi::AddConfigurationTable(const EFI_GUID &Guid, VOID *Table) {
  ConfigurationTable.push_back({Guid, Table});
  SystemTable.NumberOfTableEntries = ConfigurationTable.size();
  SystemTable.ConfigurationTable = ConfigurationTable.data();
}

HobBuilder::HobBuilder() = default;

HobBuilder &HobBuilder::Raw(uint16_t Type, const std::vector<uint8_t> &Body, uint16_t LengthOverride) {
  const size_t Length = (8 + Body.size() + 7) & ~size_t{7};
  EFI_HOB_GENERIC_HEADER H{Type, static_cast<uint16_t>(LengthOverride ? LengthOverride : Length), 0};
  const size_t At = Bytes.size();
  Bytes.resize(At + Length, 0);
  std::memcpy(&Bytes[At], &H, sizeof H);
  if (!Body.empty()) std::memcpy(&Bytes[At + 8], Body.data(), Body.size());
  return *this;
}

HobBuilder &HobBuilder::Guid(const EFI_GUID &Name, const std::vector<uint8_t> &Data) {
  std::vector<uint8_t> Body(sizeof(EFI_GUID));
  std::memcpy(Body.data(), &Name, sizeof Name);
  Body.insert(Body.end(), Data.begin(), Data.end());
  return Raw(EFI_HOB_TYPE_GUID_EXTENSION, Body);
}

VOID *HobBuilder::Finish() {
  Raw(EFI_HOB_TYPE_END_OF_HOB_LIST, {});
  Storage.assign((Bytes.size() + 7) / 8, 0);  // 8-byte aligned, as HOBs are
  std::memcpy(Storage.data(), Bytes.data(), Bytes.size());
  return Storage.data();
}

// An object that goes away takes its protocols out of the database with it, so that no later
// look-up in the same test finds a dead interface.
static void Withdraw(const VOID *A, const VOID *B = nullptr) {
  if (gUefi == nullptr) return;
  auto &P = gUefi->Protocols;
  P.erase(std::remove_if(P.begin(), P.end(), [&](const Uefi::Protocol &X) { return X.Interface == A || X.Interface == B; }),
          P.end());
}

Pcd::Pcd() {
  gPcd = this;
  Protocol.Get8 = PcdGet8;
  Protocol.Get16 = PcdGet16;
  Protocol.Get32 = PcdGet32;
  Protocol.Get64 = PcdGet64;
  Protocol.GetPtr = PcdGetPtr;
  Protocol.GetBool = PcdGetBool;
  Protocol.GetSize = PcdGetSize;
}
Pcd::~Pcd() {
  gPcd = nullptr;
  Withdraw(&Protocol, &EfiProtocol);
}
void Pcd::Install(bool PcdProtocol, bool EfiPcdProtocol) {
  if (PcdProtocol) TheUefi().Install(gPcdProtocolGuid, &Protocol);
  if (EfiPcdProtocol) TheUefi().Install(gEfiPcdProtocolGuid, &EfiProtocol);
}
Pcd &ThePcd() { return Live(gPcd, "Pcd"); }

DebugPrintSink::DebugPrintSink() {
  gPrint = this;
  Protocol.Print = PrintSink;
}
DebugPrintSink::~DebugPrintSink() {
  gPrint = nullptr;
  Withdraw(&Protocol);
}
void DebugPrintSink::Install() { TheUefi().Install(gDebugPrintProtocolGuid, &Protocol); }
DebugPrintSink &TheDebugPrint() { return Live(gPrint, "DebugPrintSink"); }

SmmBase::SmmBase() {
  gSmm = this;
  Protocol.InSmm = InSmm;
  Protocol.GetSmstLocation = GetSmstLocation;
  Smst.SmmLocateProtocol = SmmLocateProtocol;
  Smst.SmmRegisterProtocolNotify = SmmRegisterProtocolNotify;
}
SmmBase::~SmmBase() { gSmm = nullptr; }
void SmmBase::Install() { TheUefi().Install(gEfiSmmBase2ProtocolGuid, &Protocol); }
void SmmBase::InstallSmmProtocol(const EFI_GUID &Guid, VOID *Interface) {
  auto Handle = reinterpret_cast<EFI_HANDLE>(0x9000 + Protocols.size() * 0x10);
  Protocols.push_back({Handle, Guid, Interface});
  for (size_t I = 0; I < Notifies.size(); ++I)
    if (Notifies[I].Guid == Guid) Notifies[I].Function(&Guid, Interface, Handle);
}
SmmBase &TheSmmBase() { return Live(gSmm, "SmmBase"); }

}  // namespace sim
