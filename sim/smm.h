// Simulated SMM environment: the SMM system table's pool, protocol and configuration-table
// services over an SMRAM arena, SMM access2 describing that arena, Sx dispatch that can refuse
// a registration and records unregistrations, buffer validation, the SMM variable protocol,
// the pre-sleep services, and the memory-log region.
// Services append to TheUefi().Trace, so one trace shows boot-services and SMM calls in order.
#pragma once
#include <uefi/smm_platform.h>

#include <functional>
#include <map>
#include <set>
#include <vector>

#include "uefi.h"

namespace sim {

class Smm {
 public:
  explicit Smm(size_t SmramSize = 1 << 20);
  ~Smm();
  Smm(const Smm &) = delete;
  Smm &operator=(const Smm &) = delete;

  SmmBase Base;  // EFI_SMM_BASE2_PROTOCOL, the SMST and its protocol database
  EFI_SMM_SYSTEM_TABLE2 &Smst() { return Base.Smst; }
  // Puts every SMM protocol a started image expects in place (SMM base2, access2, Sx dispatch,
  // buffer validation, SMM variable, pre-sleep services); tests take away what they need absent.
  void InstallAll();

  // SMRAM: one arena; pool calls are counted from 1 and a refused call gives EFI_OUT_OF_RESOURCES.
  uint8_t *SmramBase() const { return Smram; }
  size_t SmramSize() const { return Size; }
  bool InSmram(const void *P) const;
  VOID *Allocate(size_t Bytes);  // nullptr when the arena is full
  bool Release(VOID *P);
  std::map<VOID *, size_t> SmramLive;
  std::vector<VOID *> SmmFreed;
  std::set<unsigned> RefuseSmmPoolCalls;
  unsigned SmmPoolCalls = 0;
  size_t MaxPool = 1 << 19;  // larger requests are refused
  uint8_t FreshByte = 0x5A;

  // SMM access2: the ranges it reports (by default the arena).
  EFI_SMM_ACCESS2_PROTOCOL Access2{};
  std::vector<EFI_SMRAM_DESCRIPTOR> Ranges;
  EFI_STATUS SecondCapabilitiesStatus = EFI_SUCCESS;  // answer to the call that fills the buffer
  void InstallAccess2();

  // Sx dispatch.
  struct SxRegistration {
    EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
    EFI_SMM_SX_REGISTER_CONTEXT Context;
    EFI_HANDLE Handle;
    bool Active;
  };
  EFI_SMM_SX_DISPATCH2_PROTOCOL SxDispatch{};
  std::vector<SxRegistration> Sx;
  std::set<unsigned> RefuseSxCalls;  // Register calls, counted from 1
  unsigned SxCalls = 0;
  size_t ActiveSx() const;
  void InstallSxDispatch();

  // Buffer validation; accepts everything unless Validate says otherwise.
  SMM_BUFFER_VALIDATION_PROTOCOL Validation{};
  std::function<EFI_STATUS(const VOID *, UINTN)> Validate;
  std::vector<std::pair<const VOID *, UINTN>> ValidateCalls;
  void InstallValidation();

  // SMM variable protocol over the runtime services' variable store. It keeps the store's own
  // functions, so a test may put a trap in the runtime-services table without affecting it.
  EFI_SMM_VARIABLE_PROTOCOL Variable{};
  decltype(EFI_RUNTIME_SERVICES::GetVariable) StoreGetVariable;
  decltype(EFI_RUNTIME_SERVICES::SetVariable) StoreSetVariable;
  void InstallVariable();

  // The pre-sleep services: calls are recorded; a request service may have no table or a null entry.
  PRE_SLEEP_REQUEST_SERVICE PreSleepRequest{};
  VOID *PreSleepTable[19] = {};
  std::vector<std::vector<uint8_t>> PreSleepRequests;  // the 32-byte blocks handed over
  PRE_SLEEP_NOTIFY_SERVICE PreSleepNotify{};
  std::vector<UINTN> PreSleepNotifies;
  void InstallPreSleepServices();

  // SMM configuration table.
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTable;
  void AddConfigurationTable(const EFI_GUID &Guid, VOID *Table);

  EFI_STATUS InstallStatus = EFI_SUCCESS;  // a status other than success refuses SmmInstallProtocolInterface
  VOID *FindProtocol(const EFI_GUID &Guid) const;
  // Notifications registered and not withdrawn, for one GUID.
  size_t ActiveNotifies(const EFI_GUID &Guid) const;

 private:
  uint8_t *Smram;
  size_t Size;
  size_t Next = 0;
};
Smm &TheSmm();

// The 16 MiB memory-log region at 0x08A00000, backed by host memory.
class MemoryLogRegion {
 public:
  static constexpr uint64_t Base = 0x08A00000;
  MemoryLogRegion();
  std::vector<uint8_t> Bytes;
};

}  // namespace sim
