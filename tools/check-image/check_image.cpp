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

#include <sim/image/pe_file.h>

namespace fs = std::filesystem;

namespace {

struct Image {
  std::string Name;
  std::vector<uint8_t> Bytes;
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
  image::PeFile Pe;
  std::string Field, Detail;
  if (!image::ReadPeFile(Img.Bytes, Pe, Field, Detail)) return Fail(Img, Field.c_str(), Detail);
  if (Pe.Machine != image::PeFile::MACHINE_X64) return Fail(Img, "Machine", Hex(Pe.Machine) + ", expected 0x8664");
  if (Pe.Characteristics & 0x0001) return Fail(Img, "Characteristics", "relocations stripped");
  if (Pe.Subsystem != Want.Subsystem)
    return Fail(Img, "Subsystem", Hex(Pe.Subsystem) + ", expected " + Hex(Want.Subsystem));
  if (Pe.ImageBase != 0) return Fail(Img, "ImageBase", Hex(Pe.ImageBase) + ", expected 0");
  const std::string Stem = fs::path(Img.Name).stem().string();
  if (auto It = Want.SectionAlignment.find(Stem); It != Want.SectionAlignment.end() && Pe.SectionAlignment != It->second)
    return Fail(Img, "SectionAlignment", Hex(Pe.SectionAlignment) + ", expected " + Hex(It->second));
  const image::PeDirectory Imports = Pe.Directory(image::PeFile::DIRECTORY_IMPORT);
  if (Imports.VirtualAddress != 0 || Imports.Size != 0)
    return Fail(Img, "Import directory",
                "not empty (RVA " + Hex(Imports.VirtualAddress) + ", size " + Hex(Imports.Size) + ")");
  // An image whose code holds no absolute address needs no base relocations: what must not be
  // set is the flag that says they were stripped (checked above).
  const bool NoRelocations = Pe.Directory(image::PeFile::DIRECTORY_BASERELOC).Size == 0;
  bool EntryOk = false;
  for (const image::PeSection &S : Pe.Sections)
    if (Pe.AddressOfEntryPoint >= S.VirtualAddress && Pe.AddressOfEntryPoint < S.VirtualAddress + S.VirtualSize &&
        (S.Characteristics & 0x20000000))
      EntryOk = true;
  if (!EntryOk)
    return Fail(Img, "AddressOfEntryPoint", Hex(Pe.AddressOfEntryPoint) + " is not inside an executable section");
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
