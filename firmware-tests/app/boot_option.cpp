#include "boot_option.h"

#include <uefi/hob.h>

#include "checks.h"

namespace {

// The boot manager's memory-type bins: those this boot started with (a HOB, from the
// "MemoryTypeInformation" variable or the platform's defaults), the peak pages of each type so
// far (a configuration table), and the variable it keeps for the next boot. Before it starts a
// boot option it resets the machine if any peak exceeds its bin.
struct MEMORY_TYPE_BIN {
  UINT32 Type;
  UINT32 NumberOfPages;
};
constexpr EFI_GUID MemoryTypeInformationGuid = {
    0x4C19049F, 0x4137, 0x4DD3, {0x9C, 0x10, 0x8B, 0x97, 0xA8, 0x3F, 0xFD, 0xFA}};
constexpr CHAR16 MemoryTypeInformationName[] = u"MemoryTypeInformation";

VOID *ConfigurationTable(const EFI_GUID &Guid) {
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I)
    if (St->ConfigurationTable[I].VendorGuid == Guid) return St->ConfigurationTable[I].VendorTable;
  return nullptr;
}

// The bins of this boot, with the terminating entry; Count 0 without the HOB.
const MEMORY_TYPE_BIN *BootBins(UINTN &Count) {
  Count = 0;
  const auto *Hob = static_cast<const UINT8 *>(ConfigurationTable(EFI_HOB_LIST_GUID));
  for (UINTN Guard = 0; Hob && Guard < 4096; ++Guard) {
    const auto *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || Header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) break;
    const auto *Guid = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION && Guid->Name == MemoryTypeInformationGuid) {
      Count = (Header->HobLength - sizeof(EFI_HOB_GUID_TYPE)) / sizeof(MEMORY_TYPE_BIN);
      return reinterpret_cast<const MEMORY_TYPE_BIN *>(Guid + 1);
    }
    Hob += Header->HobLength;
  }
  return nullptr;
}

void LogBins(const char *What, const MEMORY_TYPE_BIN *Bins, UINTN Count) {
  Log << "NOTE " << What << ":";
  for (UINTN I = 0; Bins && I + 1 < Count; ++I) {
    Log << " type " << static_cast<UINT64>(Bins[I].Type) << " ";
    Log.Hex(Bins[I].NumberOfPages);
  }
  if (Bins == nullptr) Log << " none";
  Log.End();
}

}  // namespace

void ReportMemoryTypes() {
  UINTN Count = 0;
  const MEMORY_TYPE_BIN *Bins = BootBins(Count);
  LogBins("memory-type bins this boot started with (pages)", Bins, Count);
  LogBins("peak pages of each type so far",
          static_cast<const MEMORY_TYPE_BIN *>(ConfigurationTable(MemoryTypeInformationGuid)), Count);
  static MEMORY_TYPE_BIN Stored[32];
  UINTN Size = sizeof Stored;
  const EFI_STATUS Status =
      Rs->GetVariable(MemoryTypeInformationName, &MemoryTypeInformationGuid, nullptr, &Size, Stored);
  if (Status == EFI_SUCCESS)
    LogBins("\"MemoryTypeInformation\" for the next boot", Stored, Size / sizeof(MEMORY_TYPE_BIN));
  else
    Log << "NOTE \"MemoryTypeInformation\": ", Log.Status(Status).End();
}

// What an integrator's sizing does: this boot's bins (the platform's defaults on a fresh store)
// as the variable, with the reserved bin grown by the staging buffer, and optionally no more.
void SeedMemoryTypes(UINT32 ExtraReservedPages) {
  UINTN Count = 0;
  const MEMORY_TYPE_BIN *Bins = BootBins(Count);
  static MEMORY_TYPE_BIN Seed[32];
  bool Reserved = false;
  for (UINTN I = 0; Bins && I < Count && I < 32; ++I) {
    Seed[I] = Bins[I];
    if (I + 1 < Count && Seed[I].Type == 0) Seed[I].NumberOfPages += ExtraReservedPages, Reserved = true;
  }
  LogBins("memory-type bins stored for the next boot", Seed, Count);
  const EFI_STATUS Status = Bins && Reserved
                                ? Rs->SetVariable(MemoryTypeInformationName, &MemoryTypeInformationGuid,
                                                  EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS,
                                                  Count * sizeof(MEMORY_TYPE_BIN), Seed)
                                : EFI_NOT_FOUND;
  CheckStatus(Status, EFI_SUCCESS,
              "\"MemoryTypeInformation\" stored from this boot's bins, the reserved bin among them");
}
