// Linked into every host test binary: with SIM_RECORD_FILE set, each test case writes its
// whole record there, so another build's run of the same case can be compared with it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <sim/record.h>

namespace {

class RecordWriter : public ::testing::EmptyTestEventListener {
 public:
  explicit RecordWriter(std::string Path) : Path(std::move(Path)) {}
  void OnTestStart(const ::testing::TestInfo &) override { sim::ClearRecord(); }
  void OnTestEnd(const ::testing::TestInfo &) override {
    std::ofstream Out(Path, std::ios::trunc);
    for (const std::string &L : sim::RecordLines()) Out << L << '\n';
  }

 private:
  std::string Path;
};

const bool Registered = [] {
  const char *Path = std::getenv("SIM_RECORD_FILE");
  if (Path == nullptr || *Path == 0) return false;
  sim::Recording = true;
  ::testing::UnitTest::GetInstance()->listeners().Append(new RecordWriter(Path));
  return true;
}();

}  // namespace
