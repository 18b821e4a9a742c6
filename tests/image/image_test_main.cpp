// main() of the image test binaries. Each case runs against the driver image; afterwards the
// host test binary runs the same case, and the two records (every access, service call, PCD
// call, debug print and the CPU model's counters) must be equal. The first difference is named.
#include <gtest/gtest.h>
#include <sim/record.h>
#include <tests/case_per_process.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> HostRecord(const std::string &Test, std::string &Error) {
  char Path[] = "/tmp/image-host-record.XXXXXX";
  const int Fd = mkstemp(Path);
  if (Fd < 0) return Error = "cannot create a record file", std::vector<std::string>{};
  close(Fd);
  const std::string Command = std::string("SIM_RECORD_FILE=") + Path + " '" HOST_TEST_BINARY "' --gtest_filter='" +
                              Test + "' >/dev/null 2>&1";
  const int Status = std::system(Command.c_str());
  std::vector<std::string> Lines;
  std::ifstream In(Path);
  for (std::string L; std::getline(In, L);) Lines.push_back(L);
  std::remove(Path);
  if (Lines.empty()) Error = "the host run (" HOST_TEST_BINARY ") wrote no record, status " + std::to_string(Status);
  return Lines;
}

class CompareWithHost : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo &) override { sim::ClearRecord(); }
  void OnTestEnd(const ::testing::TestInfo &Info) override {
    if (Info.result()->Skipped() || std::getenv("IMAGE_NO_HOST_COMPARE")) return;
    const std::vector<std::string> Image = sim::RecordLines();
    std::string Error;
    const std::vector<std::string> Host =
        HostRecord(std::string(Info.test_suite_name()) + "." + Info.name(), Error);
    if (!Error.empty()) {
      ADD_FAILURE() << Error;
      return;
    }
    size_t First = 0;
    while (First < Host.size() && First < Image.size() && Host[First] == Image[First]) ++First;
    if (First == Host.size() && First == Image.size()) return;
    std::ostringstream Out;
    Out << "the image run differs from the host run at event #" << First << " (host " << Host.size()
        << " events, image " << Image.size() << "):\n";
    for (size_t I = First >= 3 ? First - 3 : 0; I < First + 4 && I < std::max(Host.size(), Image.size()); ++I) {
      std::string H = I < Host.size() ? Host[I] : "-";
      H.resize(std::max<size_t>(H.size(), 44), ' ');
      Out << (I == First ? "  >> " : "     ") << "host  " << H << "  image  " << (I < Image.size() ? Image[I] : "-")
          << "\n";
    }
    ADD_FAILURE() << Out.str();
  }
};

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef IMAGE_HOST_ONLY
  if (GTEST_FLAG_GET(filter) == "*") GTEST_FLAG_SET(filter, "-" IMAGE_HOST_ONLY);
#endif
  sim::Recording = true;
  // Ahead of the result printer, so that a difference counts before the case is reported.
  auto &Listeners = ::testing::UnitTest::GetInstance()->listeners();
  auto *Printer = Listeners.Release(Listeners.default_result_printer());
  Listeners.Append(new CompareWithHost);
  if (Printer) Listeners.Append(Printer);
  // One process per case, as under CTest: the image's globals and the emulator start afresh.
  return RunEachCaseInItsOwnProcess();
}
