// Sleep-entry redirection: while a capsule is pending, an S5 or S4 entry becomes an S3 suspend
// that the RTC alarm ends three seconds later, so that memory and the capsule survive.
#include <hw/hw.h>
#include <startup/library.h>

#include "media_capsule.h"

namespace {

constexpr UINT16 RTC_INDEX_PORT = 0x70;
constexpr UINT16 RTC_DATA_PORT = 0x71;
constexpr UINT8 RTC_NMI_MASK = 0x80;
constexpr UINT8 RTC_SECONDS = 0x00, RTC_SECONDS_ALARM = 0x01, RTC_MINUTES = 0x02, RTC_MINUTES_ALARM = 0x03,
                RTC_HOURS = 0x04, RTC_HOURS_ALARM = 0x05, RTC_STATUS_A = 0x0A, RTC_STATUS_B = 0x0B,
                RTC_STATUS_C = 0x0C, RTC_STATUS_D = 0x0D, RTC_CENTURY = 0x32;
constexpr UINT8 RTC_UPDATE_IN_PROGRESS = 0x80;
constexpr UINT8 RTC_24_HOUR = 0x02;
constexpr UINT8 RTC_ALARM_INTERRUPT = 0x20;
constexpr UINT8 RTC_VALID_RAM = 0x80;
constexpr UINT8 WAKE_SECONDS = 3;

constexpr UINT16 PM1_ENABLE_PORT = 0x802;
constexpr UINT16 PM1_RTC_WAKE = 0x0400;
constexpr UINT16 PM1_CONTROL_PORT = 0x804;
constexpr UINT32 PM1_SLEEP_TYPE_MASK = 0x1C00;
constexpr UINT32 PM1_SLEEP_TYPE_S3 = 0x0C00;

struct PLATFORM_PM_UPDATE {
  UINT64 Address;
  UINT8 Clear;
  UINT8 Set;
};
// Byte read-modify-writes in this order; the second register is written twice.
constexpr PLATFORM_PM_UPDATE PlatformPmUpdates[] = {
    {0xFED803BE, 0x00, 0x20},
    {0xFED8030B, 0x03, 0x00},
    {0xFED8030B, 0x00, 0x01},
    {0xFED802B0, 0x0C, 0x00},
};

constexpr UINT16 RESET_CONTROL_PORT = 0xCF9;
constexpr UINT8 RESET_PREPARE = 0x02, RESET_NOW = 0x06;
constexpr UINT16 POST_CODE_PORT = 0x80;
constexpr UINT8 POST_CODE_WAKE_ARMED = 0x75;
constexpr UINTN PRE_SLEEP_NOTIFY_PHASE = 2;

// In 12-hour mode the hour byte is 1 to 12 in BCD with bit 7 set for PM, which RtcRead gives
// as 1 to 12 plus 80 and RtcWrite turns back into the same byte.
constexpr UINT8 RTC_PM = 80;
UINT8 NextHour12(UINT8 Hours) {
  const UINT8 Pm = Hours >= RTC_PM ? RTC_PM : 0;
  const UINT8 Hour = static_cast<UINT8>(Hours - Pm);
  if (Hour == 11) return static_cast<UINT8>((RTC_PM - Pm) + 12);  // 11 AM to 12 PM, 11 PM to 12 AM
  if (Hour == 12) return static_cast<UINT8>(Pm + 1);              // 12 to 1, same half of the day
  return static_cast<UINT8>(Hours + 1);
}

bool IsBcdRegister(UINT8 Register) { return Register <= 0x09 || Register == RTC_CENTURY; }

VOID RtcSelect(UINT8 Register) {
  IoWrite8(RTC_INDEX_PORT, static_cast<UINT8>((IoRead8(RTC_INDEX_PORT) & RTC_NMI_MASK) | (Register & 0x7F)));
}

VOID NotifyPreSleep() {
  PRE_SLEEP_NOTIFY_SERVICE *Service = nullptr;
  if (SmmSystemTable->SmmLocateProtocol(&gPreSleepNotifyServiceGuid, nullptr, reinterpret_cast<VOID **>(&Service)) ==
          EFI_SUCCESS &&
      Service != nullptr)
    Service->Notify(PRE_SLEEP_NOTIFY_PHASE);
}

using PRE_SLEEP_HOOK = VOID (*)();
constexpr PRE_SLEEP_HOOK PreSleepHooks[] = {NotifyPreSleep, nullptr};

VOID RequestPreSleep() {
  PRE_SLEEP_REQUEST_SERVICE *Service = nullptr;
  if (EFI_ERROR(SmmSystemTable->SmmLocateProtocol(&gPreSleepRequestServiceGuid, nullptr,
                                                  reinterpret_cast<VOID **>(&Service))) ||
      Service == nullptr || Service->Table == nullptr || Service->Table[PRE_SLEEP_REQUEST_ENTRY] == nullptr)
    return;
  UINT8 Request[32];
  MemZero(Request, sizeof Request);
  reinterpret_cast<PRE_SLEEP_REQUEST_FN>(Service->Table[PRE_SLEEP_REQUEST_ENTRY])(Request);
}

}  // namespace

UINT8 RtcRead(UINT8 Register) {
  RtcSelect(Register);
  const UINT8 Value = IoRead8(RTC_DATA_PORT);
  if (!IsBcdRegister(Register)) return Value;
  if (Value >= 0xA0 || (Value & 0x0F) > 9) return 0;
  return static_cast<UINT8>((Value >> 4) * 10 + (Value & 0x0F));
}

VOID RtcWrite(UINT8 Register, UINT8 Value) {
  if (Register <= 0x09) Value = static_cast<UINT8>((Value / 10) * 16 + Value % 10);
  RtcSelect(Register);
  IoWrite8(RTC_DATA_PORT, Value);
}

VOID ArmRtcWakeAndSuspend() {
  WriteBackInvalidateCaches();
  RtcRead(RTC_STATUS_C);
  // Deliberately unbounded: the RTC ends every update within about 2 ms.
  while ((RtcRead(RTC_STATUS_A) & RTC_UPDATE_IN_PROGRESS) != 0) {
  }
  UINT8 Hours = RtcRead(RTC_HOURS);
  UINT8 Minutes = RtcRead(RTC_MINUTES);
  UINT8 Seconds = static_cast<UINT8>(RtcRead(RTC_SECONDS) + WAKE_SECONDS);
  if (Seconds > 59) {
    Seconds -= 60;
    if (++Minutes > 59) {
      Minutes = 0;
      if ((RtcRead(RTC_STATUS_B) & RTC_24_HOUR) == 0) {
        Hours = NextHour12(Hours);
      } else if (++Hours > 23) {
        Hours = 0;
      }
    }
  }
  RtcWrite(RTC_HOURS_ALARM, Hours);
  RtcWrite(RTC_MINUTES_ALARM, Minutes);
  RtcWrite(RTC_SECONDS_ALARM, Seconds);
  RtcWrite(RTC_STATUS_D, RtcRead(RTC_STATUS_D) & RTC_VALID_RAM);
  RtcWrite(RTC_STATUS_B, RtcRead(RTC_STATUS_B) | RTC_ALARM_INTERRUPT);
  IoWrite16(PM1_ENABLE_PORT, IoRead16(PM1_ENABLE_PORT) | PM1_RTC_WAKE);
  const UINT32 Control = IoRead32(PM1_CONTROL_PORT);
  for (const PLATFORM_PM_UPDATE &U : PlatformPmUpdates)
    MmioWrite8(U.Address, static_cast<UINT8>((MmioRead8(U.Address) & ~U.Clear) | U.Set));
  IoWrite32(PM1_CONTROL_PORT, (Control & ~PM1_SLEEP_TYPE_MASK) | PM1_SLEEP_TYPE_S3);
  for (const PRE_SLEEP_HOOK *Hook = PreSleepHooks; *Hook != nullptr; ++Hook) (*Hook)();
  IoWrite8(POST_CODE_PORT, POST_CODE_WAKE_ARMED);
}

EFI_STATUS PrepareCapsuleWake() {
  if (!CapsuleVariablePresent()) return EFI_NOT_READY;
  RequestPreSleep();
  ArmRtcWakeAndSuspend();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SleepEntryHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  // Without a pending capsule the requested sleep goes ahead unchanged.
  if (CapsulePending != 1) return EFI_WARN_INTERRUPT_SOURCE_QUIESCED;
  if (!EFI_ERROR(PrepareCapsuleWake())) return EFI_SUCCESS;
  // The capsule's variable is gone: nothing would process it after the wake, so reset instead.
  IoWrite8(RESET_CONTROL_PORT, RESET_PREPARE);
  IoWrite8(RESET_CONTROL_PORT, RESET_NOW);
  for (;;) CpuPause();
}
