// The x86-64 emulator the driver images run in (Unicorn). Guest memory is host memory at the
// same addresses: the images, a guest stack, and any host page a service hands over (mapped
// when the guest first touches it). The low 4 GiB are the board's physical space: device-owned
// ranges (flash windows, the F-segment, the memory log) show their models' backing, every other
// address is an MMIO access on the simulated board. Port I/O and the processor instructions of
// the access layer go to the same board and CPU model as the host build.
//
// Calls cross both ways with the UEFI calling convention. A guest call to a host address (a
// service in a simulated table) stops the emulator, runs the host function and resumes. A host
// call to an image address (a test calling an entry point, a service running an event
// notification) faults, since image memory is not executable on the host, and the fault
// handler runs the function in the emulator and returns its result to the caller.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pe_image.h"

namespace image {

class Emulator {
 public:
  // The process's emulator, created on first use.
  static Emulator &Get();

  // Loads a driver image for the life of the process; aborts with the reason if it cannot.
  PeImage &Load(const std::string &Path);
  const PeImage *ImageAt(uint64_t Address) const;

  // Runs the guest function at Function with up to 16 integer arguments.
  uint64_t Call(uint64_t Function, const uint64_t *Args, size_t Count);

  // Leaves the guest for good: Jump (a long jump back into host code) runs once the emulator
  // has stopped, or at once when no guest code is running.
  void Unwind(std::function<void()> Jump);

  // Instructions executed so far; counted only when IMAGE_COUNT_INSTRUCTIONS is set, since
  // counting costs a hook on every instruction.
  uint64_t Instructions() const;
  bool Counting() const;

  // Before and after each call from the host into the guest (not those made from a service).
  void OnOutermostCall(std::function<void()> Before, std::function<void()> After);

  // For running one image over many inputs (the fuzz targets):
  // - Observer sees every block of guest code as it starts (address and size in bytes);
  // - Policy judges every guest access outside the images and the guest stack first, and
  //   names why it refuses one (null: allowed); a refusal stops the run like any guest fault;
  // - a run that executes more than Budget instructions from the last RestoreSnapshot (or
  //   SetInstructionBudget) stops, as an endless loop; 0 sets no budget.
  using BlockObserver = void (*)(uint64_t Address, uint32_t Size);
  using AccessPolicy = const char *(*)(uint64_t Address, uint64_t Size, bool Write);
  void ObserveBlocks(BlockObserver Observer);
  void LimitAccesses(AccessPolicy Policy);
  void SetInstructionBudget(uint64_t Budget);
  // Maps host memory [Start, Start + Size) into the guest now, with the access its host
  // mapping allows at this moment (the guest otherwise maps it at first touch).
  void MapHostRange(uint64_t Start, uint64_t Size);
  // TakeSnapshot keeps every image's writable sections as they stand, and from then on every
  // guest write to other memory above 4 GiB (but the guest stack) keeps the bytes it replaces.
  // RestoreSnapshot puts all of it back, newest first, so the next run starts where the
  // snapshot was; only what the guest changed is touched, so host objects that share a page
  // with guest-written memory keep their own state.
  void TakeSnapshot();
  void RestoreSnapshot();
  size_t WritesUndone() const;  // by the last RestoreSnapshot

  struct State;

 private:
  Emulator();
  std::unique_ptr<State> S;
};

// Directory the tests and run-image take images from: $IMAGE_DIR, else the build's default.
std::string ImageDirectory(const std::string &Default);

}  // namespace image
