// The CMOS real-time clock as the capsule checks read it (24-hour BCD, as OVMF sets it up).
#pragma once
#include <hw/hw.h>
#include <uefi/uefi.h>

inline UINT8 RtcByte(UINT8 Register) {
  IoWrite8(0x70, Register);
  return IoRead8(0x71);
}
inline void RtcSet(UINT8 Register, UINT8 Value) {
  IoWrite8(0x70, Register);
  IoWrite8(0x71, Value);
}
inline UINT32 FromBcd(UINT8 V) { return (V >> 4) * 10 + (V & 0x0F); }

// Seconds since midnight of the RTC's current time.
inline UINT32 RtcSeconds() {
  while (RtcByte(0x0A) & 0x80) {
  }
  return FromBcd(RtcByte(0x04)) * 3600 + FromBcd(RtcByte(0x02)) * 60 + FromBcd(RtcByte(0x00));
}
inline UINT32 AlarmSeconds() { return FromBcd(RtcByte(0x05)) * 3600 + FromBcd(RtcByte(0x03)) * 60 + FromBcd(RtcByte(0x01)); }

// No alarm interrupt for the rest of the run; reading status C clears a pending one.
inline void RtcAlarmOff() {
  RtcSet(0x0B, RtcByte(0x0B) & ~0x20);
  RtcByte(0x0C);
}
