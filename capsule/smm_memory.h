// SMRAM-aware pools, the heap-record import, the fatal-code display and the debug channels.
#pragma once
#include <uefi/smm_platform.h>
#include <uefi/uefi.h>

extern EFI_SMRAM_DESCRIPTOR *SmramRanges;
extern UINTN SmramRangeCount;
extern LIST_ENTRY *HeapRecordList;          // the published list head
extern HEAP_RECORD_LIST_PROTOCOL *HeapRecordListRecord;  // ours, when this image published it

VOID ReadSmramRanges();
VOID *SmmPoolAllocate(UINTN Size);
VOID PoolFree(VOID *Buffer);
VOID ReleaseOwnPool(VOID *Buffer);
BOOLEAN IsBufferInSmram(EFI_PHYSICAL_ADDRESS Address);
VOID ImportHeapRecords();
const EFI_HOB_GUID_TYPE *NextHeapRecordHob(const EFI_HOB_GENERIC_HEADER *Hob);

inline constexpr UINT32 FATAL_HEAP_KIND8 = 0x80134;
inline constexpr UINT32 FATAL_HEAP_OTHER = 0x80137;
inline constexpr UINT32 FATAL_HEAP_INSTALL = 0x80225;
inline constexpr UINT32 FATAL_LOG_TOO_LONG = 0x20850309;
inline constexpr UINT32 SIMULATION_CPUID_LEAF = 0xBACCD00B;
VOID ReportFatalCode(UINT32 Code);
BOOLEAN IsSimulationPlatform();
VOID WaitFatalDisplay();

struct DEBUG_CHANNEL {
  BOOLEAN (*IsSupported)();
  VOID (*Initialise)();
  BOOLEAN (*IsSupportedAgain)();
  VOID (*Write)(const UINT8 *Buffer, UINTN Length);
};
extern const DEBUG_CHANNEL Port80Channel, SerialChannel, MemoryLogChannel;
extern const DEBUG_CHANNEL *const DebugChannels[4];
VOID StartDebugChannels();

inline constexpr UINT64 MEMORY_LOG_BASE = 0x08A00000;
inline constexpr UINT32 MEMORY_LOG_DATA_SIZE = 0xFFFFF0;
inline constexpr UINT32 MEMORY_LOG_DROP = 0x400000;
struct MEMORY_LOG_HEADER {
  UINT32 Signature;  // "DMEM"
  UINT32 Marker1;
  UINT32 WriteOffset;
  UINT32 Marker2;
};
static_assert(sizeof(MEMORY_LOG_HEADER) == 16);
inline constexpr UINT32 MEMORY_LOG_SIGNATURE = 0x4D454D44, MEMORY_LOG_MARKER1 = 0x55AA55AA,
                        MEMORY_LOG_MARKER2 = 0xBB66BB66;
BOOLEAN MemoryLogValid();
