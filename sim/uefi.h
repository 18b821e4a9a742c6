// Simulated UEFI and PI services: a system table whose boot services keep a real protocol
// database, pools and pages that can refuse and report leaks, events and event groups, and
// runtime services over a variable store. Platform protocols (PCD, debug print, SMM base)
// come beside it. One instance per test process; every table points into it.
#pragma once
#include <uefi/uefi.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct GuidLess {
  bool operator()(const EFI_GUID &A, const EFI_GUID &B) const { return std::memcmp(&A, &B, sizeof A) < 0; }
};

std::string GuidToString(const EFI_GUID &G);
// The name a trace shows for a GUID: the known protocol name, else its text.
std::string GuidName(const EFI_GUID &G);
const char *StatusName(EFI_STATUS Status);

class Uefi {
 public:
  Uefi();
  ~Uefi();
  Uefi(const Uefi &) = delete;
  Uefi &operator=(const Uefi &) = delete;

  EFI_SYSTEM_TABLE SystemTable{};
  EFI_BOOT_SERVICES BootServices{};
  EFI_RUNTIME_SERVICES RuntimeServices{};
  EFI_HANDLE ImageHandle;

  // Every service call in order, as "Service(arguments)"; GUIDs appear by GuidName().
  std::vector<std::string> Trace;
  // Appends Call to Trace and records it, with Detail (what the trace leaves out), in order
  // with the board's accesses.
  void Note(const std::string &Call, const std::string &Detail = "");
  std::function<void(const std::string &)> OnLocate;  // runs at every LocateProtocol, before it answers

  // Protocol database.
  struct Protocol {
    EFI_HANDLE Handle;
    EFI_GUID Guid;
    VOID *Interface;
  };
  std::vector<Protocol> Protocols;
  EFI_HANDLE Install(const EFI_GUID &Guid, VOID *Interface, EFI_HANDLE Handle = nullptr);
  VOID *Find(const EFI_GUID &Guid) const;
  size_t CountOf(const EFI_GUID &Guid) const;
  EFI_STATUS InstallStatus = EFI_SUCCESS;  // a status other than success refuses every install
  std::vector<EFI_GUID> LocateCalls;       // every LocateProtocol, in order

  // Pools and pages. Calls are counted from 1; a refused call returns EFI_OUT_OF_RESOURCES.
  struct Allocation {
    size_t Size;
    EFI_MEMORY_TYPE Type;
    bool Pages;
  };
  std::map<VOID *, Allocation> Live;
  std::vector<std::pair<size_t, EFI_MEMORY_TYPE>> PoolRequests;
  std::vector<VOID *> FreedPools;
  std::set<unsigned> RefusePoolCalls, RefusePageCalls;
  unsigned PoolCalls = 0, PageCalls = 0;
  uint8_t FreshPoolByte = 0xA5;  // what a new pool holds before anyone clears it
  std::vector<VOID *> Leaks() const;

  // Events.
  struct Event {
    uint32_t Type;
    EFI_TPL Tpl;
    EFI_EVENT_NOTIFY Notify;
    VOID *Context;
    std::optional<EFI_GUID> Group;
    bool Closed = false;
    unsigned Notified = 0;
  };
  std::vector<std::unique_ptr<Event>> Events;
  Event *EventOf(EFI_EVENT E) const;
  void SignalGroup(const EFI_GUID &Group);  // runs the notification of every open member

  // Variables.
  struct Variable {
    uint32_t Attributes;
    std::vector<uint8_t> Data;
  };
  using VarKey = std::pair<std::u16string, std::string>;  // name, GUID as text
  std::map<VarKey, Variable> Variables;
  EFI_STATUS SetVariableStatus = EFI_SUCCESS;  // a status other than success refuses every write
  void SetVar(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes, std::vector<uint8_t> Data);
  const Variable *GetVar(const std::u16string &Name, const EFI_GUID &Guid) const;
  void DeleteVar(const std::u16string &Name, const EFI_GUID &Guid);
  unsigned GetVariableCalls = 0, SetVariableCalls = 0;
  std::map<unsigned, EFI_STATUS> FailGetVariableCalls;  // call number (from 1) -> status answered instead
  std::vector<std::pair<VOID **, VOID *>> ConvertedPointers;  // address of the pointer, value before

  // Configuration table.
  void AddConfigurationTable(const EFI_GUID &Guid, VOID *Table);

  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTable;
};

Uefi &TheUefi();  // the live instance; aborts if there is none
Uefi *LiveUefi();  // the live instance, or null

// Builds a HOB list in memory that lives as long as the builder.
class HobBuilder {
 public:
  HobBuilder();
  HobBuilder &Guid(const EFI_GUID &Name, const std::vector<uint8_t> &Data);
  HobBuilder &Raw(uint16_t Type, const std::vector<uint8_t> &Body, uint16_t LengthOverride = 0);
  VOID *Finish();  // appends the end-of-list HOB and returns the start
 private:
  std::vector<uint64_t> Storage;
  std::vector<uint8_t> Bytes;
};

// PCD_PROTOCOL and EFI_PCD_PROTOCOL; tokens read as 0 unless set.
class Pcd {
 public:
  Pcd();
  ~Pcd();
  void Install(bool PcdProtocol, bool EfiPcdProtocol);
  std::map<UINTN, uint64_t> Values;
  std::map<UINTN, std::vector<uint8_t>> Pointers;  // GetPtr answers; absent tokens give null
  std::vector<std::pair<std::string, UINTN>> Calls;  // member name and token, in order
  PCD_PROTOCOL Protocol{};
  struct { VOID *Members[8]; } EfiProtocol{};
};
Pcd &ThePcd();

// The print back end: keeps every call with its level, format, arguments and formatted text.
class DebugPrintSink {
 public:
  DebugPrintSink();
  ~DebugPrintSink();
  void Install();
  struct Line {
    UINTN Level;
    std::string Format;
    std::string Text;
  };
  std::vector<Line> Lines;
  DEBUG_PRINT_PROTOCOL Protocol{};
};
DebugPrintSink &TheDebugPrint();

// EFI_SMM_BASE2_PROTOCOL with a minimal SMM system table that keeps its own protocol
// database and protocol notifications.
class SmmBase {
 public:
  SmmBase();
  ~SmmBase();
  void Install();
  EFI_STATUS GetSmstStatus = EFI_SUCCESS;
  EFI_SMM_BASE2_PROTOCOL Protocol{};
  EFI_SMM_SYSTEM_TABLE2 Smst{};
  std::vector<Uefi::Protocol> Protocols;
  struct Notify {
    EFI_GUID Guid;
    EFI_SMM_NOTIFY_FN Function;
  };
  std::deque<Notify> Notifies;  // registrations hand out the entries' addresses, which must stay put
  unsigned RegisterNotifyCalls = 0;
  // Installs a protocol in the SMM database and runs the matching notifications.
  void InstallSmmProtocol(const EFI_GUID &Guid, VOID *Interface);
};
SmmBase &TheSmmBase();

}  // namespace sim
