// A PE32+ driver image loaded into host memory the emulator maps one to one: sections copied
// to their RVAs, base relocations applied for the load address, and the names its map file
// gives to functions and globals.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace image {

struct Section {
  std::string Name;
  uint64_t Rva, Size;
  bool Code;          // code or executable
  bool Writable;
};

class PeImage {
 public:
  // Loads Path (and the map file beside it); on failure Error() says why and Base() is 0.
  explicit PeImage(const std::string &Path);
  ~PeImage();
  PeImage(const PeImage &) = delete;
  PeImage &operator=(const PeImage &) = delete;

  const std::string &Error() const { return Err; }
  const std::string &Path() const { return File; }
  uint64_t Base() const { return reinterpret_cast<uint64_t>(Memory); }
  uint64_t Size() const { return MappedSize; }
  uint64_t Entry() const { return Base() + EntryRva; }
  const std::vector<Section> &Sections() const { return Secs; }
  bool Contains(uint64_t Address) const { return Address >= Base() && Address - Base() < MappedSize; }
  // The section Address lies in; nullptr for the headers and the gaps between sections.
  const Section *SectionAt(uint64_t Address) const;

  // Address of a public or static symbol by its source name ("ReadPirq", "Ns::Name"); 0 if the
  // map file does not name it (the linker dropped it, or it was inlined everywhere).
  uint64_t Symbol(const std::string &Name) const;
  // The symbol an address falls in, as "Name+0x12", for fault reports and traces.
  std::string Describe(uint64_t Address) const;
  // Every symbol the map file names, by RVA, and the RVAs of those that are functions.
  const std::map<uint64_t, std::string> &SymbolsByRva() const { return ByAddress; }
  const std::set<uint64_t> &FunctionRvas() const { return Functions; }

 private:
  bool Load(const std::vector<uint8_t> &File);
  void LoadMap(const std::string &MapPath);
  std::string File, Err;
  uint8_t *Memory = nullptr;
  uint64_t MappedSize = 0, EntryRva = 0;
  std::vector<Section> Secs;
  std::map<std::string, uint64_t> Names;      // source name -> RVA
  std::map<uint64_t, std::string> ByAddress;  // RVA -> source name
  std::set<uint64_t> Functions;
};

// The source name a map file's (MSVC-decorated) symbol stands for: "?ReadPirq@@YA..." gives
// "ReadPirq", "?Table@Flash@@3..." gives "Flash::Table"; undecorated names stay as they are.
std::string UndecoratedName(const std::string &Decorated);

}  // namespace image
