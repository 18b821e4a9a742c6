// A test binary's view of the driver image it runs: the image named by IMAGE_NAME, loaded on
// first use from $IMAGE_DIR or IMAGE_DEFAULT_DIR, with its functions and globals by name.
// The per-driver headers in tests/image/ turn a host test's references to driver functions
// and globals into these look-ups, so the same test source runs against the image.
#pragma once
#include <cstddef>
#include <cstdint>

#include "emulator.h"

namespace image {

PeImage &Driver();
// Address of a function or global the image's map file names; fails the run if there is none.
uint64_t Symbol(const char *Name);

// An image function: callable with the image's calling convention (the call runs in the
// emulator), and convertible to the host's pointer type for comparisons with the image's own
// function pointers.
template <typename F>
struct ImageFunction;
template <typename R, typename... A>
struct ImageFunction<R(A...)> {
  uint64_t Address;
  using Pointer = R (*)(A...);
  R operator()(A... Args) const { return reinterpret_cast<R(__attribute__((ms_abi)) *)(A...)>(Address)(Args...); }
  operator Pointer() const { return reinterpret_cast<Pointer>(Address); }
};
template <typename R, typename... A>
struct ImageFunction<R __attribute__((ms_abi))(A...)> {
  uint64_t Address;
  using Pointer = R(__attribute__((ms_abi)) *)(A...);
  R operator()(A... Args) const { return reinterpret_cast<Pointer>(Address)(Args...); }
  operator Pointer() const { return reinterpret_cast<Pointer>(Address); }
};

template <typename F>
ImageFunction<F> Function(const char *Name) {
  return {Symbol(Name)};
}

// A global the image does not carry (the linker dropped it: nothing in this driver uses it)
// reads as zero, as it would stay in the image; a zeroed block of its size stands in.
uint64_t GlobalOrBlank(const char *Name, size_t Size);

// The image's global, read and written in place.
template <typename T>
T &Variable(const char *Name) {
  return *reinterpret_cast<T *>(GlobalOrBlank(Name, sizeof(T)));
}

}  // namespace image

#define IMAGE_FUNCTION(Name) (::image::Function<decltype(::Name)>(#Name))
#define IMAGE_VARIABLE(Name) (::image::Variable<decltype(::Name)>(#Name))
// For functions whose names are also protocol members (where a macro would rename the member):
// a host function of the same name and type that runs the image's.
#define IMAGE_THUNK(Result, Name, Parameters, Arguments) \
  Result EFIAPI Name Parameters { return IMAGE_FUNCTION(Name) Arguments; }
