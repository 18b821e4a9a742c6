#include "pe_image.h"

#include <algorithm>
#include <cctype>

#include "pe_file.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace image {

std::string UndecoratedName(const std::string &D) {
  if (D.empty() || D[0] != '?') return D;
  // ?Name@Scope1@Scope2@@<type>: the innermost name first, scopes outwards.
  std::vector<std::string> Parts;
  size_t At = 1;
  while (At < D.size() && D[At] != '@') {
    const size_t End = D.find('@', At);
    if (End == std::string::npos) break;
    Parts.push_back(D.substr(At, End - At));
    At = End + 1;
  }
  std::string Out;
  for (auto It = Parts.rbegin(); It != Parts.rend(); ++It) Out += (Out.empty() ? "" : "::") + *It;
  return Out;
}

PeImage::PeImage(const std::string &Path) : File(Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    Err = "cannot open " + Path + " (build the firmware preset, or set IMAGE_DIR)";
    return;
  }
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (!Load(Bytes)) {
    if (Memory) munmap(Memory, MappedSize);
    Memory = nullptr;
    return;
  }
  std::string MapPath = Path;
  if (MapPath.size() > 4 && MapPath.compare(MapPath.size() - 4, 4, ".efi") == 0) MapPath.resize(MapPath.size() - 4);
  LoadMap(MapPath + ".map");
}

PeImage::~PeImage() {
  if (Memory) munmap(Memory, MappedSize);
}

bool PeImage::Load(const std::vector<uint8_t> &F) {
  PeFile P;
  std::string Field, Detail;
  if (!ReadPeFile(F, P, Field, Detail)) return Err = File + ": not a PE32+ image: " + Field + ": " + Detail, false;
  if (P.Machine != PeFile::MACHINE_X64) return Err = File + ": not an x86-64 PE32+ image", false;
  EntryRva = P.AddressOfEntryPoint;

  // Host memory that the guest sees at the same address; never executable on the host, so a
  // host call into the image faults and is handed to the emulator.
  MappedSize = (uint64_t{P.SizeOfImage} + 0xFFF) & ~uint64_t{0xFFF};
  void *M = mmap(nullptr, MappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (M == MAP_FAILED) return Err = File + ": cannot map " + std::to_string(MappedSize) + " bytes", false;
  Memory = static_cast<uint8_t *>(M);
  if (P.SizeOfHeaders > F.size() || P.SizeOfHeaders > MappedSize) return Err = File + ": bad SizeOfHeaders", false;
  std::memcpy(Memory, F.data(), P.SizeOfHeaders);

  for (const PeSection &S : P.Sections) {
    const uint32_t VSize = S.VirtualSize, RawSize = S.SizeOfRawData;
    const uint64_t Copy = std::min(VSize ? VSize : RawSize, RawSize);
    if (uint64_t{S.VirtualAddress} + std::max(VSize, RawSize) > MappedSize ||
        uint64_t{S.PointerToRawData} + Copy > F.size())
      return Err = File + ": section " + S.Name + " lies outside the image", false;
    std::memcpy(Memory + S.VirtualAddress, F.data() + S.PointerToRawData, Copy);
    Secs.push_back({S.Name, S.VirtualAddress, VSize ? VSize : RawSize, S.Executable(), (S.Characteristics & 0x80000000) != 0});
  }

  // Base relocations: the image is linked at ImageBase and loaded at Memory.
  const uint32_t RelocRva = P.Directory(PeFile::DIRECTORY_BASERELOC).VirtualAddress;
  const uint32_t RelocSize = P.Directory(PeFile::DIRECTORY_BASERELOC).Size;
  const uint64_t Delta = Base() - P.ImageBase;
  for (uint64_t At = RelocRva; At + 8 <= uint64_t{RelocRva} + RelocSize;) {
    uint32_t Page = 0, BlockSize = 0;
    std::memcpy(&Page, Memory + At, 4);
    std::memcpy(&BlockSize, Memory + At + 4, 4);
    if (BlockSize < 8 || At + BlockSize > MappedSize) return Err = File + ": bad relocation block", false;
    for (uint64_t E = At + 8; E + 2 <= At + BlockSize; E += 2) {
      uint16_t Entry;
      std::memcpy(&Entry, Memory + E, 2);
      const unsigned Type = Entry >> 12;
      const uint64_t Target = uint64_t{Page} + (Entry & 0xFFF);
      if (Type == 0) continue;  // padding
      if (Type == 10 && Target + 8 <= MappedSize) {  // DIR64
        uint64_t V;
        std::memcpy(&V, Memory + Target, 8);
        V += Delta;
        std::memcpy(Memory + Target, &V, 8);
      } else if (Type == 3 && Target + 4 <= MappedSize) {  // HIGHLOW
        uint32_t V;
        std::memcpy(&V, Memory + Target, 4);
        V += static_cast<uint32_t>(Delta);
        std::memcpy(Memory + Target, &V, 4);
      } else {
        return Err = File + ": relocation type " + std::to_string(Type) + " not supported", false;
      }
    }
    At += BlockSize;
  }
  return true;
}

void PeImage::LoadMap(const std::string &MapPath) {
  std::ifstream In(MapPath);
  // " 0001:00000101       LegacyInterruptEntry       0000000000001101     legacy_interrupt.cpp.obj"
  std::string L;
  std::vector<std::pair<uint64_t, uint64_t>> Text;  // RVA ranges of the ".text" contributions
  std::vector<std::pair<uint64_t, std::string>> Found;
  while (std::getline(In, L)) {
    unsigned Sec = 0, Off = 0, Length = 0;
    char Decorated[1024];
    // " 0001:00000000 00001b23H .text                   CODE"
    if (std::sscanf(L.c_str(), " %4x:%8x %8xH %1023s", &Sec, &Off, &Length, Decorated) == 4) {
      if (std::string(Decorated) == ".text" && Sec >= 1 && Sec <= Secs.size())
        Text.push_back({Secs[Sec - 1].Rva + Off, Secs[Sec - 1].Rva + Off + Length});
      continue;
    }
    unsigned long long Rva = 0;
    int Used = 0;
    if (std::sscanf(L.c_str(), " %4x:%8x %1023s %16llx%n", &Sec, &Off, Decorated, &Rva, &Used) != 4 || Used == 0) continue;
    const std::string Name = UndecoratedName(Decorated);
    Names.emplace(Name, Rva);  // the first (public) entry wins over a static of the same name
    ByAddress.emplace(Rva, Name);
    Found.push_back({Rva, Decorated});
  }
  // Functions lie in the code contributions; a decorated name's type code follows its last
  // "@@", a digit for data and a letter for a function, and string literals are "??_C@".
  for (auto &[Rva, D] : Found) {
    const size_t At = D.rfind("@@");
    const bool Data = D.rfind("??_C@", 0) == 0 || (D[0] == '?' && At != std::string::npos && At + 2 < D.size() &&
                                                   std::isdigit(static_cast<unsigned char>(D[At + 2])));
    const bool InText = std::any_of(Text.begin(), Text.end(), [R = Rva](auto &T) { return R >= T.first && R < T.second; });
    if (!Data && InText) Functions.insert(Rva);
  }
}

const Section *PeImage::SectionAt(uint64_t Address) const {
  if (!Contains(Address)) return nullptr;
  const uint64_t Rva = Address - Base();
  for (const Section &S : Secs)
    if (Rva >= S.Rva && Rva - S.Rva < S.Size) return &S;
  return nullptr;
}

uint64_t PeImage::Symbol(const std::string &Name) const {
  auto It = Names.find(Name);
  return It == Names.end() ? 0 : Base() + It->second;
}

std::string PeImage::Describe(uint64_t Address) const {
  if (!Contains(Address)) return "";
  const uint64_t Rva = Address - Base();
  auto It = ByAddress.upper_bound(Rva);
  char Buf[32];
  if (It == ByAddress.begin()) {
    std::snprintf(Buf, sizeof Buf, "+0x%llx", static_cast<unsigned long long>(Rva));
    return Buf;
  }
  --It;
  std::snprintf(Buf, sizeof Buf, "+0x%llx", static_cast<unsigned long long>(Rva - It->first));
  return It->second + Buf;
}

}  // namespace image
