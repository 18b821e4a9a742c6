// The part with a real-part profile. Unlike the generic model it knows only its own commands:
// any other opcode, a 4-byte-address opcode it lacks or 0xB7 on a part without an address
// mode, is ignored as a real part ignores it. Bytes are counted from the opcode on: a part in
// 3-byte mode takes exactly three address bytes, and what follows is data, so a fourth address
// byte becomes the first data byte of a program, and a read answers one byte further on.
#include "spi_nor.h"

namespace sim {

namespace {
// Opcodes that carry four address bytes in either mode.
bool AlwaysFourByte(uint8_t Opcode) {
  return Opcode == 0x13 || Opcode == 0x12 || Opcode == 0x21 || Opcode == 0xDC || Opcode == 0x5C || Opcode == 0x53;
}
}  // namespace

void SpiNorPart::UseProfile(const SpiNorProfile &Real) {
  Profile = &Real;
  Resize(Real.Size);
  Status = Real.ProtectBits;
  FourByteMode = false;
  BankRegisterValue = ExtendedAddress = 0;
  IdBytes.clear();
}

unsigned SpiNorPart::ProfileAddressBytes(uint8_t Opcode) const {
  return AlwaysFourByte(Opcode) || FourByteMode ? 4 : 3;
}

// In 3-byte mode the extended address register gives bits 31:24.
bool SpiNorPart::ProfileAddress(unsigned Bytes, const std::vector<uint8_t> &Out, uint32_t &Address) const {
  if (Out.size() < Bytes) return false;
  uint64_t A = Bytes == 3 ? static_cast<uint64_t>(ExtendedAddress) << 24 : 0;
  for (unsigned I = 0; I < Bytes; ++I) A |= static_cast<uint64_t>(Out[I]) << (8 * (Bytes - 1 - I));
  Address = static_cast<uint32_t>(A % Size());  // address bits above the capacity are not decoded
  return true;
}

void SpiNorPart::ProfileErase(const std::vector<Blocks> &Layout, const std::vector<uint8_t> &Out,
                              unsigned AddressBytes) {
  const bool ChipErase = Layout.size() == 1 && Layout[0].Count == 1 && Layout[0].Size >= Size();
  uint32_t Address = 0;
  if (ChipErase ? !Out.empty() : !ProfileAddress(AddressBytes, Out, Address)) return;
  if (!TakeWriteEnable() || Protected(Address)) return;
  uint64_t Start = 0;
  for (const Blocks &B : Layout)
    for (uint32_t I = 0; I < B.Count; ++I, Start += B.Size)
      if (Address < Start + B.Size) {
        StartBusy(B.Size >= 0x10000 ? Erase64KUs : Erase4KUs);
        Pending = {static_cast<uint32_t>(Start), B.Size};
        return;
      }
}

void SpiNorPart::TransferAsProfile(uint8_t Opcode, const std::vector<uint8_t> &Out, std::vector<uint8_t> &In) {
  const SpiNorProfile &P = *Profile;
  if (Busy() && Opcode != 0x05) return;
  const unsigned AddressBytes = ProfileAddressBytes(Opcode);
  if (Opcode == P.IdOpcode) {
    for (size_t I = 0; I < In.size(); ++I) {
      const size_t At = Out.size() + I;  // bytes clocked since the opcode
      if (At >= P.IdDummyBytes && !P.Id.empty()) In[I] = P.Id[(At - P.IdDummyBytes) % P.Id.size()];
    }
    return;
  }
  if (auto Erase = P.Erases.find(Opcode); Erase != P.Erases.end())
    return ProfileErase(Erase->second, Out, AddressBytes);
  const bool AddressModeCommand = P.FourByteEntry != SpiNorProfile::AddressModeEntry::None &&
                                  (Opcode == 0xB7 || Opcode == 0xE9);
  switch (Opcode) {
    case 0x05:
      for (auto &B : In) B = ReadStatus();
      return;
    case 0x06:
      Status |= StatusWriteEnabled;
      return;
    case 0x04:
      Status &= ~StatusWriteEnabled;
      return;
    case 0x50:
      if (P.StatusTakesEnableWriteStatus) StatusWriteLatched = true;
      return;
    case 0x01: {
      const bool Enabled = (P.StatusTakesWriteEnable && (Status & StatusWriteEnabled)) ||
                           (P.StatusTakesEnableWriteStatus && StatusWriteLatched);
      StatusWriteLatched = false;
      if (Out.empty() || !Enabled) return;
      Status = static_cast<uint8_t>(Out[0] & ~(StatusBusy | StatusWriteEnabled));
      StartBusy(WriteStatusUs);
      return;
    }
    case 0x17:
      if (P.BankRegister && !Out.empty()) {
        BankRegisterValue = Out[0];
        FourByteMode = (Out[0] & 0x80) != 0;
      }
      return;
    case 0x16:
      if (P.BankRegister) std::fill(In.begin(), In.end(), BankRegisterValue);
      return;
    case 0xC5:
      if (P.ExtendedAddressRegister && !Out.empty()) ExtendedAddress = Out[0];
      return;
    case 0xC8:
      if (P.ExtendedAddressRegister) std::fill(In.begin(), In.end(), ExtendedAddress);
      return;
    case 0x03:
    case 0x13: {
      uint32_t Address = 0;
      if ((Opcode == 0x13 && !P.NativeRead) || !ProfileAddress(AddressBytes, Out, Address)) return;
      // The part answers from the first byte after its address on; the host keeps only what
      // arrives after its own transmit phase.
      for (size_t I = 0; I < In.size(); ++I)
        In[I] = Memory[(Address + (Out.size() - AddressBytes) + I) % Size()];
      return;
    }
    case 0x02:
    case 0x12: {
      uint32_t Address = 0;
      if ((Opcode == 0x12 && !P.NativeProgram) || !ProfileAddress(AddressBytes, Out, Address)) return;
      if (!TakeWriteEnable() || Protected(Address)) return;
      const size_t Data = Out.size() - AddressBytes;
      const size_t Count = P.Program == SpiNorProfile::Programming::Page ? Data : std::min<size_t>(Data, 1);
      const uint32_t Page = Address / P.PageSize * P.PageSize;
      for (size_t I = 0; I < Count; ++I)
        Memory[Page + (Address - Page + I) % P.PageSize] &= Out[AddressBytes + I];
      StartBusy(ProgramUs);
      return;
    }
    default:
      break;
  }
  if (!AddressModeCommand) return;
  if (P.FourByteEntry == SpiNorProfile::AddressModeEntry::EnterExitAfterWriteEnable && !TakeWriteEnable()) return;
  FourByteMode = Opcode == 0xB7;
}

}  // namespace sim
