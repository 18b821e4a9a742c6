// The headers of a PE32+ file, read once and checked for bounds: what the image checker judges
// and what the image runner loads from. Fields keep the PE format's names.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace image {

struct PeSection {
  std::string Name;
  uint32_t VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData, Characteristics;
  bool Executable() const { return (Characteristics & 0x20000020) != 0; }  // code or execute
};

struct PeDirectory {
  uint32_t VirtualAddress = 0, Size = 0;
};

struct PeFile {
  uint16_t Machine = 0, Characteristics = 0, Magic = 0, Subsystem = 0;
  uint32_t AddressOfEntryPoint = 0, SectionAlignment = 0, FileAlignment = 0, SizeOfImage = 0, SizeOfHeaders = 0;
  uint64_t ImageBase = 0;
  std::vector<PeDirectory> Directories;  // as many as NumberOfRvaAndSizes says, up to 16
  std::vector<PeSection> Sections;

  static constexpr uint16_t MACHINE_X64 = 0x8664, PE32_PLUS = 0x20B;
  static constexpr unsigned DIRECTORY_IMPORT = 1, DIRECTORY_BASERELOC = 5;
  PeDirectory Directory(unsigned Index) const { return Index < Directories.size() ? Directories[Index] : PeDirectory{}; }
};

// Reads the headers of Bytes; on failure returns false with Field naming the header field that
// is missing or wrong and Detail saying how.
bool ReadPeFile(const std::vector<uint8_t> &Bytes, PeFile &Out, std::string &Field, std::string &Detail);

}  // namespace image
