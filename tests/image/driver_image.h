// A test binary's view of the driver image it runs: the image named by IMAGE_NAME, loaded on
// first use from $IMAGE_DIR or IMAGE_DEFAULT_DIR, with its functions and globals by name.
// The per-driver headers in tests/image/ turn a host test's references to driver functions
// and globals into these look-ups, so the same test source runs against the image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include <sim/image/emulator.h>

namespace image {

PeImage &Driver();
// Address of a function or global the image's map file names; fails the run if there is none.
uint64_t Symbol(const char *Name);

// An image function: callable with the image's calling convention (the call runs in the
// emulator), and convertible to the host's pointer type for comparisons with the image's own
// function pointers.
template <typename F>
struct ImageFunction;
// A host function with the host's calling convention that runs the image function in its
// slot: what a call through a host-typed pointer needs. Slots are handed out per signature.
template <typename R, typename... A>
struct HostCallable {
  static constexpr unsigned Slots = 8;
  static inline uint64_t Targets[Slots] = {};
  template <unsigned N>
  static R Run(A... Args) {
    return reinterpret_cast<R(__attribute__((ms_abi)) *)(A...)>(Targets[N])(Args...);
  }
  template <unsigned... N>
  static R (*For(uint64_t Address, std::integer_sequence<unsigned, N...>))(A...) {
    static R (*const Runners[])(A...) = {&Run<N>...};
    for (unsigned I = 0; I < Slots; ++I)
      if (Targets[I] == Address || Targets[I] == 0) {
        Targets[I] = Address;
        return Runners[I];
      }
    return nullptr;
  }
  static R (*For(uint64_t Address))(A...) {
    return Address ? For(Address, std::make_integer_sequence<unsigned, Slots>{}) : nullptr;
  }
};

template <typename R, typename... A>
struct ImageFunction<R(A...)> {
  uint64_t Address;
  using Pointer = R (*)(A...);
  R operator()(A... Args) const { return reinterpret_cast<R(__attribute__((ms_abi)) *)(A...)>(Address)(Args...); }
  // As a host-convention pointer, it is a host function that runs the image's.
  operator Pointer() const { return HostCallable<R, A...>::For(Address); }
  // Its address, and its value compared with a pointer the image stored, is the image's own.
  Pointer operator&() const { return reinterpret_cast<Pointer>(Address); }
  friend bool operator==(Pointer P, const ImageFunction &F) { return reinterpret_cast<uint64_t>(P) == F.Address; }
  friend bool operator==(const ImageFunction &F, Pointer P) { return reinterpret_cast<uint64_t>(P) == F.Address; }
};

template <typename R, typename... A>
struct ImageFunction<R __attribute__((ms_abi))(A...)> {
  uint64_t Address;
  using Pointer = R(__attribute__((ms_abi)) *)(A...);
  R operator()(A... Args) const { return reinterpret_cast<Pointer>(Address)(Args...); }
  operator Pointer() const { return reinterpret_cast<Pointer>(Address); }
  Pointer operator&() const { return reinterpret_cast<Pointer>(Address); }
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
// A global whose name is also a record member (where a macro would rename the member): a host
// global of the same name and type that mirrors the image's, copied into the image before each
// call from the host and back after it.
namespace image {
void Mirror(void *Host, const char *Name, size_t Size);
}
#define IMAGE_MIRROR(Name)          \
  decltype(::Name) Name{};          \
  static const bool Name##Mirrored = (::image::Mirror(&Name, #Name, sizeof Name), true);

// For functions whose names are also protocol members (where a macro would rename the member):
// a host function of the same name and type that runs the image's.
#define IMAGE_THUNK(Result, Name, Parameters, Arguments) \
  Result EFIAPI Name Parameters { return IMAGE_FUNCTION(Name) Arguments; }
