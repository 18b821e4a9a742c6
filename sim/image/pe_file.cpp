#include "pe_file.h"

#include <cstring>

namespace image {

namespace {
template <typename T>
bool Get(const std::vector<uint8_t> &F, uint64_t At, T &Out) {
  if (At > F.size() || F.size() - At < sizeof(T)) return false;
  std::memcpy(&Out, F.data() + At, sizeof(T));
  return true;
}
}  // namespace

bool ReadPeFile(const std::vector<uint8_t> &F, PeFile &P, std::string &Field, std::string &Detail) {
  auto Fail = [&](const char *Which, const char *Why) {
    Field = Which;
    Detail = Why;
    return false;
  };
  uint16_t Mz = 0;
  uint32_t Pe = 0, Signature = 0;
  if (!Get(F, 0, Mz) || Mz != 0x5A4D) return Fail("DOS header", "no MZ signature");
  if (!Get(F, 0x3C, Pe)) return Fail("e_lfanew", "truncated");
  if (!Get(F, Pe, Signature) || Signature != 0x4550) return Fail("PE signature", "missing");
  uint16_t NumSections = 0, OptSize = 0;
  if (!Get(F, Pe + 4, P.Machine) || !Get(F, Pe + 6, NumSections) || !Get(F, Pe + 20, OptSize) ||
      !Get(F, Pe + 22, P.Characteristics))
    return Fail("COFF header", "truncated");
  const uint64_t Opt = Pe + 24;
  if (!Get(F, Opt, P.Magic)) return Fail("Magic", "truncated");
  if (P.Magic != PeFile::PE32_PLUS) return Fail("Magic", "not PE32+");
  if (OptSize < 112) return Fail("SizeOfOptionalHeader", "too small");
  uint32_t NumDirs = 0;
  if (!Get(F, Opt + 16, P.AddressOfEntryPoint) || !Get(F, Opt + 24, P.ImageBase) ||
      !Get(F, Opt + 32, P.SectionAlignment) || !Get(F, Opt + 36, P.FileAlignment) ||
      !Get(F, Opt + 56, P.SizeOfImage) || !Get(F, Opt + 60, P.SizeOfHeaders) || !Get(F, Opt + 68, P.Subsystem) ||
      !Get(F, Opt + 108, NumDirs))
    return Fail("optional header", "truncated");
  if (NumDirs > 16 || 112 + uint64_t{NumDirs} * 8 > OptSize) return Fail("NumberOfRvaAndSizes", "beyond the optional header");
  P.Directories.resize(NumDirs);
  for (uint32_t I = 0; I < NumDirs; ++I)
    if (!Get(F, Opt + 112 + I * 8, P.Directories[I].VirtualAddress) || !Get(F, Opt + 116 + I * 8, P.Directories[I].Size))
      return Fail("data directories", "truncated");
  const uint64_t Table = Opt + OptSize;
  for (unsigned I = 0; I < NumSections; ++I) {
    const uint64_t H = Table + I * 40;
    if (H + 40 > F.size()) return Fail("Section table", "truncated");
    PeSection S;
    char Name[9] = {};
    std::memcpy(Name, F.data() + H, 8);
    S.Name = Name;
    Get(F, H + 8, S.VirtualSize);
    Get(F, H + 12, S.VirtualAddress);
    Get(F, H + 16, S.SizeOfRawData);
    Get(F, H + 20, S.PointerToRawData);
    Get(F, H + 36, S.Characteristics);
    P.Sections.push_back(S);
  }
  return true;
}

}  // namespace image
