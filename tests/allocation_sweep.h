// Every allocation refused in turn. An image is started once with nothing refused, which counts
// its boot-services pool, page and SMM pool calls, and then once per call with that call
// refused. Each start runs in a child process of its own, so that it begins from freshly
// loaded image globals; the child checks what the start left behind and reports its verdict
// through its exit status (its failure messages reach the test's output directly).
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <vector>

#include <sim/smm.h>
#include <sim/uefi.h>

namespace allocation_sweep {

enum class Kind { None, Pool, Pages, SmmPool };

struct Refusal {
  Kind What = Kind::None;
  unsigned Call = 0;  // counted from 1, as the simulated services count them
  // Refuses this call in the given services (Smm may be null for a DXE image).
  void Apply(sim::Uefi &U, sim::Smm *S) const {
    if (What == Kind::Pool) U.RefusePoolCalls = {Call};
    if (What == Kind::Pages) U.RefusePageCalls = {Call};
    if (What == Kind::SmmPool && S != nullptr) S->RefuseSmmPoolCalls = {Call};
  }
};

struct Calls {
  unsigned Pool = 0, Pages = 0, SmmPool = 0;
  static Calls Of(const sim::Uefi &U, const sim::Smm *S) { return {U.PoolCalls, U.PageCalls, S ? S->SmmPoolCalls : 0}; }
};

// Runs one start with the refusal applied, checks it with gtest assertions and returns the
// calls it made.
using START = std::function<Calls(const Refusal &)>;

namespace detail {
// Failures recorded so far in the running test (a child inherits the parent's).
inline int FailedParts() {
  const testing::TestResult &Result = *testing::UnitTest::GetInstance()->current_test_info()->result();
  int Failed = 0;
  for (int I = 0; I < Result.total_part_count(); ++I) Failed += Result.GetTestPartResult(I).failed();
  return Failed;
}

// Returns the child's exit verdict (true: passed) and its call counts.
inline bool RunInChild(const START &Start, const Refusal &R, Calls &Made) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return false;
  std::fflush(nullptr);
  const pid_t Child = fork();
  if (Child == 0) {
    close(Pipe[0]);
    const int FailedBefore = FailedParts();
    const Calls C = Start(R);
    if (write(Pipe[1], &C, sizeof C) != static_cast<ssize_t>(sizeof C)) _exit(3);
    std::fflush(nullptr);
    _exit(FailedParts() != FailedBefore ? 1 : 0);
  }
  close(Pipe[1]);
  const bool Read = read(Pipe[0], &Made, sizeof Made) == static_cast<ssize_t>(sizeof Made);
  close(Pipe[0]);
  int Status = 0;
  if (Child < 0 || waitpid(Child, &Status, 0) != Child) return false;
  return Read && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}
}  // namespace detail

// Returns the number of allocation points swept (every call of the normal start).
inline unsigned Sweep(const char *Image, const START &Start) {
  Calls Normal;
  EXPECT_TRUE(detail::RunInChild(Start, {}, Normal)) << Image << ": the start with nothing refused";
  unsigned Points = 0;
  const std::pair<Kind, unsigned> Kinds[] = {{Kind::Pool, Normal.Pool}, {Kind::Pages, Normal.Pages}, {Kind::SmmPool, Normal.SmmPool}};
  static const char *const Names[] = {"", "pool", "pages", "SMM pool"};
  for (auto [What, Count] : Kinds) {
    for (unsigned Call = 1; Call <= Count; ++Call, ++Points) {
      Calls Made;
      EXPECT_TRUE(detail::RunInChild(Start, {What, Call}, Made))
          << Image << ": " << Names[static_cast<int>(What)] << " call " << Call << " refused";
    }
  }
  std::printf("%s: %u allocation points swept (%u pool, %u pages, %u SMM pool)\n", Image, Points, Normal.Pool,
              Normal.Pages, Normal.SmmPool);
  return Points;
}

}  // namespace allocation_sweep
