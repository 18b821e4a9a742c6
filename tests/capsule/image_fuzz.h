// What the libFuzzer targets over the shipped image share: the image loaded once into the
// image runner, its blocks turned into libFuzzer's extra counters (edges between blocks) and
// into the share of its basic blocks reached, the memory each run may touch, and a tracker of
// the host pages any run writes in a range (the staging buffer both builds share).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sim/image/emulator.h>

namespace image_fuzz {

// Loads the image ($IMAGE_DIR, else the firmware build's) into the runner, with the block
// observer and the instruction budget in place. Prints, at exit, the share of the image's
// basic blocks the process ran.
image::PeImage &Load(uint64_t InstructionBudget);
uint64_t Call(const char *Function, std::initializer_list<uint64_t> Args);
template <typename T>
T &Global(const char *Name);
uint64_t SymbolOf(const char *Name);

// Starts an input's coverage: the edge before the first block is from nowhere.
void StartInput();

// What the image may touch besides its own sections and the guest stack. Every access the
// image makes elsewhere is judged: inside a range allowed for the campaign, for the current
// input (cleared by ClearInputRanges), or inside an SMRAM allocation of the live simulated SMM
// that stands at the moment; else the run stops with the instruction and its function.
// From StartJudging on (the start-up, which reads the boot services' tables, comes before).
void StartJudging();
void Allow(uint64_t Start, uint64_t Size);
void AllowForInput(uint64_t Start, uint64_t Size);
void ClearInputRanges();
template <typename T>
void Allow(const T &Object) {
  Allow(reinterpret_cast<uint64_t>(&Object), sizeof Object);
}

// The host pages of [Start, Start + Size) written since the last Restore, whoever wrote them
// (the image through the emulator or the host build): the range is kept read-only and a
// first write to a page saves it and lets the write through.
class WriteTracker {
 public:
  void Track(uint64_t Start, uint64_t Size);
  // Puts every page written back and makes it read-only again.
  void Restore();
  const std::map<uint64_t, std::vector<uint8_t>> &Saved() const { return Originals; }
  // The page's content before this run: saved, or as it stands when nothing wrote it.
  const uint8_t *Original(uint64_t Page) const;
  bool Covers(uint64_t Address) const { return Address >= Start && Address < End; }
  void Save(uint64_t Page);  // from the fault handler

 private:
  uint64_t Start = 0, End = 0;
  std::map<uint64_t, std::vector<uint8_t>> Originals;
};

// A finding: the reason, printed, then the run ends as a crash libFuzzer keeps the input of.
[[noreturn]] void Finding(const std::string &Why);

}  // namespace image_fuzz

template <typename T>
T &image_fuzz::Global(const char *Name) {
  return *reinterpret_cast<T *>(SymbolOf(Name));
}
