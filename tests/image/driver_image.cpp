#include "driver_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace image {

namespace {
struct Mirrored {
  void *Host;
  const char *Name;
  size_t Size;
};
std::vector<Mirrored> &Mirrors() {
  static std::vector<Mirrored> M;
  return M;
}
}  // namespace

PeImage &Driver() {
  static PeImage &Img = [] () -> PeImage & {
    PeImage &I = Emulator::Get().Load(ImageDirectory(IMAGE_DEFAULT_DIR) + "/" IMAGE_NAME ".efi");
    Emulator::Get().OnOutermostCall(
        [] {
          for (auto &M : Mirrors()) std::memcpy(reinterpret_cast<void *>(Symbol(M.Name)), M.Host, M.Size);
        },
        [] {
          for (auto &M : Mirrors()) std::memcpy(M.Host, reinterpret_cast<void *>(Symbol(M.Name)), M.Size);
        });
    return I;
  }();
  return Img;
}

void Mirror(void *Host, const char *Name, size_t Size) { Mirrors().push_back({Host, Name, Size}); }

uint64_t Symbol(const char *Name) {
  const uint64_t A = Driver().Symbol(Name);
  if (A == 0) {
    std::fprintf(stderr, "image runner: %s names no symbol %s (dropped by the linker or inlined everywhere)\n",
                 Driver().Path().c_str(), Name);
    std::abort();
  }
  return A;
}

uint64_t GlobalOrBlank(const char *Name, size_t Size) {
  if (const uint64_t A = Driver().Symbol(Name)) return A;
  static std::map<std::string, std::vector<uint64_t>> Blanks;
  auto &B = Blanks[Name];
  if (B.empty()) B.assign((Size + 7) / 8, 0);
  return reinterpret_cast<uint64_t>(B.data());
}

}  // namespace image
