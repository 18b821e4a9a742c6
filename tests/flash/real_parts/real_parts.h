// The real parts in spi-nor-parts.json, each as the profile the simulated part takes.
#pragma once
#include <sim/devices/spi_nor_profile.h>

#include <string>
#include <vector>

namespace flash_test {

struct RealPart {
  std::string Vendor, Name, Id, IdCommand, Reference;
  sim::SpiNorProfile Profile;
  std::string Label() const { return Vendor + " " + Name; }
};

// Every record of the file, with the corrections of the second merged in; the process stops
// with a message if a file cannot be read.
std::vector<RealPart> LoadRealParts(const std::string &Path, const std::string &CorrectionsPath);

}  // namespace flash_test
