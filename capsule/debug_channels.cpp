// Debug output channels: the POST-code port, the serial port and a memory log. None answers
// supported in this build, so the image writes no debug output; each still works when asked.
#include <hw/hw.h>
#include <startup/library.h>

#include "smm_memory.h"

namespace {

constexpr UINT16 POST_CODE_PORT = 0x80;
constexpr UINT32 PORT80_START = 0x5F535452;  // "_STR"
constexpr UINT32 PORT80_END = 0x5F454E44;    // "_END"

constexpr UINT16 SERIAL_DATA_PORT = 0x3F8;
constexpr UINT16 SERIAL_LINE_STATUS_PORT = 0x3FD;
constexpr UINT8 SERIAL_TRANSMIT_EMPTY = 0x60;
constexpr UINT32 SERIAL_POLL_BUDGET = 2000;

constexpr UINT32 MSR_APIC_BASE = 0x1B;
constexpr UINT64 APIC_BASE_BSP = 1ULL << 8;

BOOLEAN NotSupported() { return FALSE; }
VOID NoInitialise() {}

VOID Port80Write(const UINT8 *Buffer, UINTN Length) {
  IoWrite32(POST_CODE_PORT, PORT80_START);
  for (UINTN I = 0; I < Length; ++I) IoWrite8(POST_CODE_PORT, Buffer[I]);
  IoWrite32(POST_CODE_PORT, PORT80_END);
}

VOID SerialWrite(const UINT8 *Buffer, UINTN Length) {
  for (UINTN I = 0; I < Length; ++I) {
    UINT32 Budget = SERIAL_POLL_BUDGET;
    bool Ready = false;
    while (!Ready && Budget > 0) {
      --Budget;
      Ready = (IoRead8(SERIAL_LINE_STATUS_PORT) & SERIAL_TRANSMIT_EMPTY) == SERIAL_TRANSMIT_EMPTY;
    }
    if (Ready) IoWrite8(SERIAL_DATA_PORT, Buffer[I]);  // otherwise the byte is dropped
  }
}

volatile MEMORY_LOG_HEADER *LogHeader() { return static_cast<volatile MEMORY_LOG_HEADER *>(PhysToPtr(MEMORY_LOG_BASE)); }
UINT8 *LogData() { return static_cast<UINT8 *>(PhysToPtr(MEMORY_LOG_BASE + sizeof(MEMORY_LOG_HEADER))); }

VOID MemoryLogInitialise() {
  if (MemoryLogValid()) return;
  volatile MEMORY_LOG_HEADER *Header = LogHeader();
  Header->Signature = MEMORY_LOG_SIGNATURE;
  if (Header->Signature != MEMORY_LOG_SIGNATURE) return;  // no memory behind the address
  Header->Marker1 = MEMORY_LOG_MARKER1;
  Header->Marker2 = MEMORY_LOG_MARKER2;
  Header->WriteOffset = 0;
  MemZero(LogData(), MEMORY_LOG_DATA_SIZE);
}

VOID MemoryLogWrite(const UINT8 *Buffer, UINTN Length) {
  if (!MemoryLogValid()) return;
  if (Length > MEMORY_LOG_DATA_SIZE) {
    ReportFatalCode(FATAL_LOG_TOO_LONG);
    return;  // the display may be off: such a write can never fit
  }
  volatile MEMORY_LOG_HEADER *Header = LogHeader();
  UINT8 *Data = LogData();
  UINT64 Offset = Header->WriteOffset;
  if (Offset + Length > MEMORY_LOG_DATA_SIZE) {
    if (Offset >= MEMORY_LOG_DROP && Offset - MEMORY_LOG_DROP + Length <= MEMORY_LOG_DATA_SIZE) {
      MemMove(Data, Data + MEMORY_LOG_DROP, Offset - MEMORY_LOG_DROP);
      Offset -= MEMORY_LOG_DROP;
      MemZero(Data + Offset, MEMORY_LOG_DATA_SIZE - Offset);
    } else {
      // Dropping the oldest 4 MiB would not make room: start the log afresh.
      MemZero(Data, MEMORY_LOG_DATA_SIZE);
      Offset = 0;
    }
  }
  MemMove(Data + Offset, Buffer, Length);
  Header->WriteOffset = static_cast<UINT32>(Offset + Length);
}

}  // namespace

// Valid only on the bootstrap processor, with both markers and an offset inside the data.
BOOLEAN MemoryLogValid() {
  if ((AsmReadMsr64(MSR_APIC_BASE) & APIC_BASE_BSP) == 0) return FALSE;
  volatile MEMORY_LOG_HEADER *Header = LogHeader();
  return Header->Signature == MEMORY_LOG_SIGNATURE && Header->Marker1 == MEMORY_LOG_MARKER1 &&
         Header->Marker2 == MEMORY_LOG_MARKER2 && Header->WriteOffset <= MEMORY_LOG_DATA_SIZE;
}

const DEBUG_CHANNEL Port80Channel = {NotSupported, NoInitialise, NotSupported, Port80Write};
const DEBUG_CHANNEL SerialChannel = {NotSupported, NoInitialise, NotSupported, SerialWrite};
const DEBUG_CHANNEL MemoryLogChannel = {NotSupported, MemoryLogInitialise, NotSupported, MemoryLogWrite};
const DEBUG_CHANNEL *const DebugChannels[4] = {&Port80Channel, &SerialChannel, &MemoryLogChannel, nullptr};

VOID StartDebugChannels() {
  bool Any = false;
  for (const DEBUG_CHANNEL *const *C = DebugChannels; *C != nullptr; ++C) Any |= (*C)->IsSupported() != 0;
  if (!Any) return;
  for (const DEBUG_CHANNEL *const *C = DebugChannels; *C != nullptr; ++C)
    if ((*C)->IsSupported()) (*C)->Initialise();
}
