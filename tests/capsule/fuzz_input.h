// How the capsule fuzz targets read their inputs, shared by the host build's targets and
// those over the image, so that one corpus serves both.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <capsule/media_capsule.h>
#include <capsule/smm_memory.h>
#include <uefi/uefi.h>

namespace fuzz_input {

// The next sizeof(T) bytes; missing bytes read as zero.
template <typename T>
T Take(const uint8_t *&Data, size_t &Size) {
  T V{};
  const size_t N = Size < sizeof V ? Size : sizeof V;
  std::memcpy(&V, Data, N);
  Data += N;
  Size -= N;
  return V;
}

// A StageBlock request record: the kind byte (bits 0-1 pick the source: as given, in the
// caller's buffer, in the staging buffer, near the caller's buffer's end; bit 2 has the
// validation rewrite the request's length while it runs), the source, offset, length and
// the length the rewrite writes.
struct StageRecord {
  bool Rewrite;
  uint32_t RewriteLength;
};
inline StageRecord TakeStageRecord(uint8_t Kind, const uint8_t *&Data, size_t &Size, STAGE_BLOCK_REQUEST &Request,
                                   const std::vector<uint8_t> &Owned, uint64_t Staging) {
  const auto Source = Take<uint64_t>(Data, Size);
  Request.Offset = Take<uint32_t>(Data, Size);
  Request.Length = Take<uint32_t>(Data, Size);
  const auto RewriteLength = Take<uint32_t>(Data, Size);
  const auto Base = reinterpret_cast<uintptr_t>(Owned.data());
  switch (Kind & 3) {
    case 0:
      Request.Source = Source;
      break;
    case 1:
      Request.Source = Base + Source % Owned.size();
      break;
    case 2:
      Request.Source = Staging + static_cast<uint32_t>(Source);
      break;
    case 3:
      Request.Source = Base + (Owned.size() - (Source & 0xFF));
      break;
  }
  return {(Kind & 4) != 0, RewriteLength};
}

// A HOB list from the input, HOBs laid end to end with their lengths as a producer writes
// them: each a kind byte, a length in 8-byte units (low 6 bits) and its body; their
// contents, the record headers and some lengths are the fuzzer's. Hobs counts them.
inline std::vector<uint64_t> HobList(const uint8_t *Data, size_t Size, size_t &Hobs) {
  std::vector<uint8_t> Bytes;
  Hobs = 0;
  while (Size >= 2 && Bytes.size() < 0x8000) {
    const uint8_t Kind = Data[0], Units = Data[1] & 0x3F;
    Data += 2;
    Size -= 2;
    const size_t Length = 8 + Units * 8;
    std::vector<uint8_t> Hob(Length, 0);
    const size_t Body = std::min(Size, Length - 8);
    std::memcpy(Hob.data() + 8, Data, Body);
    Data += Body;
    Size -= Body;
    EFI_HOB_GENERIC_HEADER H{EFI_HOB_TYPE_GUID_EXTENSION, static_cast<uint16_t>(Length), 0};
    switch (Kind % 5) {
      case 0:  // a heap HOB whose record header is the fuzzer's
      case 1:  // a heap HOB whose record is importable, with the fuzzer's DataSize and Kind
        if (Length >= 24) std::memcpy(Hob.data() + 8, &gHeapRecordHobGuid, 16);
        if (Kind % 5 == 1 && Length >= 40) {
          std::memcpy(Hob.data() + 24, &HEAP_RECORD_SIGNATURE, 4);
          Hob[24 + 13] = 1;
        }
        break;
      case 2:
        H.HobType = static_cast<uint16_t>(Kind >> 3);
        break;  // any type, any GUID
      case 3:
        H.HobLength = Kind >> 5;
        break;  // a length below 8: the walk ends here
      case 4:
        H.HobType = EFI_HOB_TYPE_RESOURCE_DESCRIPTOR;
        break;
    }
    std::memcpy(Hob.data(), &H, sizeof H);
    Bytes.insert(Bytes.end(), Hob.begin(), Hob.end());
    ++Hobs;
  }
  const EFI_HOB_GENERIC_HEADER End{EFI_HOB_TYPE_END_OF_HOB_LIST, 8, 0};
  Bytes.insert(Bytes.end(), reinterpret_cast<const uint8_t *>(&End), reinterpret_cast<const uint8_t *>(&End) + 8);
  std::vector<uint64_t> List(Bytes.size() / 8);
  std::memcpy(List.data(), Bytes.data(), Bytes.size());
  return List;
}

}  // namespace fuzz_input
