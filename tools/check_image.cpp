// Image checker: every UEFI driver image must be a PE32+ file for x86-64, subsystem "EFI boot
// service driver", image base 0, no imports, relocations not stripped, and its entry point in
// an executable section. Prints one line per image with its size; exits 1 on any failure.
//
//   check_image [--subsystem N] [--section-alignment NAME=ALIGN]... FILE|DIR...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Image {
  std::string Name;
  std::vector<uint8_t> Bytes;

  template <typename T>
  bool Read(size_t Offset, T &Value) const {
    if (Offset > Bytes.size() || Bytes.size() - Offset < sizeof(T)) return false;
    std::memcpy(&Value, Bytes.data() + Offset, sizeof(T));
    return true;
  }
};

struct Options {
  unsigned Subsystem = 0xB;
  std::map<std::string, uint32_t> SectionAlignment;  // image stem -> required alignment
};

int Fail(const Image &Img, const char *Field, const std::string &Detail) {
  std::printf("FAIL %s: %s: %s\n", Img.Name.c_str(), Field, Detail.c_str());
  return 1;
}

std::string Hex(uint64_t V) {
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "0x%llX", static_cast<unsigned long long>(V));
  return Buf;
}

int Check(const Image &Img, const Options &Want) {
  uint16_t Mz = 0;
  uint32_t PeOffset = 0;
  if (!Img.Read(0, Mz) || Mz != 0x5A4D) return Fail(Img, "DOS header", "no MZ signature");
  if (!Img.Read(0x3C, PeOffset)) return Fail(Img, "e_lfanew", "truncated");
  uint32_t PeSig = 0;
  if (!Img.Read(PeOffset, PeSig) || PeSig != 0x00004550) return Fail(Img, "PE signature", "missing");
  const size_t Coff = PeOffset + 4;
  uint16_t Machine = 0, Sections = 0, OptSize = 0, Characteristics = 0;
  Img.Read(Coff + 0, Machine);
  Img.Read(Coff + 2, Sections);
  Img.Read(Coff + 16, OptSize);
  Img.Read(Coff + 18, Characteristics);
  if (Machine != 0x8664) return Fail(Img, "Machine", Hex(Machine) + ", expected 0x8664");
  if (Characteristics & 0x0001) return Fail(Img, "Characteristics", "relocations stripped");
  const size_t Opt = Coff + 20;
  uint16_t Magic = 0;
  if (!Img.Read(Opt, Magic) || Magic != 0x20B) return Fail(Img, "Magic", Hex(Magic) + ", expected 0x20B (PE32+)");
  uint32_t Entry = 0, SectionAlign = 0, NumDirs = 0;
  uint64_t ImageBase = 1;
  uint16_t Subsystem = 0;
  Img.Read(Opt + 16, Entry);
  Img.Read(Opt + 24, ImageBase);
  Img.Read(Opt + 32, SectionAlign);
  Img.Read(Opt + 68, Subsystem);
  Img.Read(Opt + 108, NumDirs);
  if (Subsystem != Want.Subsystem) return Fail(Img, "Subsystem", Hex(Subsystem) + ", expected " + Hex(Want.Subsystem));
  if (ImageBase != 0) return Fail(Img, "ImageBase", Hex(ImageBase) + ", expected 0");
  const std::string Stem = fs::path(Img.Name).stem().string();
  if (auto It = Want.SectionAlignment.find(Stem); It != Want.SectionAlignment.end() && SectionAlign != It->second)
    return Fail(Img, "SectionAlignment", Hex(SectionAlign) + ", expected " + Hex(It->second));
  auto Directory = [&](unsigned Index, uint32_t &Rva, uint32_t &Size) {
    Rva = Size = 0;
    if (Index >= NumDirs) return;
    Img.Read(Opt + 112 + Index * 8, Rva);
    Img.Read(Opt + 112 + Index * 8 + 4, Size);
  };
  uint32_t Rva, Size;
  Directory(1, Rva, Size);
  if (Rva != 0 || Size != 0) return Fail(Img, "Import directory", "not empty (RVA " + Hex(Rva) + ", size " + Hex(Size) + ")");
  // An image whose code holds no absolute address needs no base relocations: what must not be
  // set is the flag that says they were stripped (checked above).
  Directory(5, Rva, Size);
  const bool NoRelocations = Size == 0;
  if (OptSize < 112) return Fail(Img, "SizeOfOptionalHeader", "too small");
  const size_t SectionTable = Opt + OptSize;
  bool EntryOk = false;
  for (uint16_t I = 0; I < Sections; ++I) {
    const size_t S = SectionTable + I * 40;
    uint32_t VSize = 0, VAddr = 0, Flags = 0;
    if (!Img.Read(S + 8, VSize) || !Img.Read(S + 12, VAddr) || !Img.Read(S + 36, Flags))
      return Fail(Img, "Section table", "truncated");
    if (Entry >= VAddr && Entry < VAddr + VSize && (Flags & 0x20000000)) EntryOk = true;
  }
  if (!EntryOk) return Fail(Img, "AddressOfEntryPoint", Hex(Entry) + " is not inside an executable section");
  std::printf("ok   %-28s %6zu bytes%s\n", Img.Name.c_str(), Img.Bytes.size(),
              NoRelocations ? " (position-independent: no base relocations needed)" : "");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options Opt;
  std::vector<fs::path> Files;
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    if (Arg == "--subsystem" && I + 1 < argc) {
      Opt.Subsystem = std::stoul(argv[++I], nullptr, 0);
    } else if (Arg == "--section-alignment" && I + 1 < argc) {
      std::string V = argv[++I];
      auto Eq = V.find('=');
      if (Eq == std::string::npos) { std::fprintf(stderr, "--section-alignment NAME=ALIGN\n"); return 2; }
      Opt.SectionAlignment[V.substr(0, Eq)] = std::stoul(V.substr(Eq + 1), nullptr, 0);
    } else if (fs::is_directory(Arg)) {
      for (const auto &E : fs::directory_iterator(Arg))
        if (E.path().extension() == ".efi") Files.push_back(E.path());
    } else {
      Files.emplace_back(Arg);
    }
  }
  std::sort(Files.begin(), Files.end());
  if (Files.empty()) {
    std::printf("FAIL no .efi images found (build the firmware preset first)\n");
    return 1;
  }
  int Failures = 0;
  for (const auto &F : Files) {
    Image Img{F.filename().string(), {}};
    std::ifstream In(F, std::ios::binary);
    if (!In) { std::printf("FAIL %s: cannot open\n", F.c_str()); ++Failures; continue; }
    Img.Bytes.assign(std::istreambuf_iterator<char>(In), {});
    Failures += Check(Img, Opt);
  }
  std::printf("%zu images, %d failed\n", Files.size(), Failures);
  return Failures ? 1 : 0;
}
