#include "driver_image.h"

#include <cstdio>
#include <cstdlib>

namespace image {

PeImage &Driver() {
  static PeImage &Img = Emulator::Get().Load(ImageDirectory(IMAGE_DEFAULT_DIR) + "/" IMAGE_NAME ".efi");
  return Img;
}

uint64_t Symbol(const char *Name) {
  const uint64_t A = Driver().Symbol(Name);
  if (A == 0) {
    std::fprintf(stderr, "image runner: %s names no symbol %s (dropped by the linker or inlined everywhere)\n",
                 Driver().Path().c_str(), Name);
    std::abort();
  }
  return A;
}

}  // namespace image
