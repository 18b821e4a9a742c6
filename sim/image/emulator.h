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

  struct State;

 private:
  Emulator();
  std::unique_ptr<State> S;
};

// Directory the tests and run-image take images from: $IMAGE_DIR, else the build's default.
std::string ImageDirectory(const std::string &Default);

}  // namespace image
