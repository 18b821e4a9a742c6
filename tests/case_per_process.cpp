// Each selected case runs in a child process of its own, so that it starts from freshly loaded
// driver and library globals, exactly as under CTest (which starts one process per case). Run
// by hand, a binary therefore gives the verdicts CTest gives. The child's output is passed back
// and shown for a failed case (for every case with CASE_OUTPUT=all in the environment).
#include "case_per_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// gtest's filter syntax: positive patterns, then '-' and negative patterns, each ':'-separated,
// with '*' and '?' as wildcards.
bool Matches(const char *Pattern, const char *PatternEnd, const char *Name) {
  if (Pattern == PatternEnd) return *Name == '\0';
  if (*Pattern == '*') return Matches(Pattern + 1, PatternEnd, Name) || (*Name && Matches(Pattern, PatternEnd, Name + 1));
  if (*Name == '\0') return false;
  return (*Pattern == '?' || *Pattern == *Name) && Matches(Pattern + 1, PatternEnd, Name + 1);
}

bool MatchesAny(const std::string &Patterns, const std::string &Name) {
  size_t Start = 0;
  for (;;) {
    const size_t End = Patterns.find(':', Start);
    const std::string One = Patterns.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    if (Matches(One.data(), One.data() + One.size(), Name.c_str())) return true;
    if (End == std::string::npos) return false;
    Start = End + 1;
  }
}

bool Selected(const std::string &Filter, const std::string &Name) {
  const size_t Dash = Filter.find('-');
  std::string Positive = Filter.substr(0, Dash);
  const std::string Negative = Dash == std::string::npos ? "" : Filter.substr(Dash + 1);
  if (Positive.empty()) Positive = "*";
  return MatchesAny(Positive, Name) && !(Dash != std::string::npos && MatchesAny(Negative, Name));
}

std::vector<std::string> SelectedCases() {
  const std::string Filter = GTEST_FLAG_GET(filter);
  const bool Disabled = GTEST_FLAG_GET(also_run_disabled_tests);
  std::vector<std::string> Names;
  const testing::UnitTest &Unit = *testing::UnitTest::GetInstance();
  for (int S = 0; S < Unit.total_test_suite_count(); ++S) {
    const testing::TestSuite &Suite = *Unit.GetTestSuite(S);
    for (int T = 0; T < Suite.total_test_count(); ++T) {
      const std::string Name = std::string(Suite.name()) + "." + Suite.GetTestInfo(T)->name();
      if (!Disabled && (std::strncmp(Suite.name(), "DISABLED_", 9) == 0 ||
                        std::strncmp(Suite.GetTestInfo(T)->name(), "DISABLED_", 9) == 0))
        continue;
      if (Selected(Filter, Name)) Names.push_back(Name);
    }
  }
  return Names;
}

// Runs one case in a child; returns its wait status and fills Output with what it printed.
int RunInChild(const std::string &Name, std::string &Output) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return -1;
  std::fflush(nullptr);
  const pid_t Child = fork();
  if (Child == 0) {
    close(Pipe[0]);
    dup2(Pipe[1], STDOUT_FILENO);
    dup2(Pipe[1], STDERR_FILENO);
    close(Pipe[1]);
    GTEST_FLAG_SET(filter, Name);
    std::exit(RUN_ALL_TESTS());
  }
  close(Pipe[1]);
  char Buffer[4096];
  for (ssize_t N; (N = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Output.append(Buffer, static_cast<size_t>(N));
  close(Pipe[0]);
  int Status = 0;
  if (Child < 0 || waitpid(Child, &Status, 0) != Child) return -1;
  return Status;
}

}  // namespace

int RunEachCaseInItsOwnProcess() {
  // A death test's child re-runs this binary for its one statement: run it as gtest would.
  if (!GTEST_FLAG_GET(internal_run_death_test).empty() || GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

  const std::vector<std::string> Cases = SelectedCases();
  const char *Show = std::getenv("CASE_OUTPUT");
  const bool ShowAll = Show != nullptr && std::strcmp(Show, "all") == 0;
  std::vector<std::string> Failed;
  std::printf("[==========] Running %zu tests, each in its own process.\n", Cases.size());
  for (const std::string &Name : Cases) {
    std::printf("[ RUN      ] %s\n", Name.c_str());
    std::string Output;
    const auto Start = std::chrono::steady_clock::now();
    const int Status = RunInChild(Name, Output);
    const auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
    if (Status == 0) {
      if (ShowAll) std::fputs(Output.c_str(), stdout);
      std::printf("[       OK ] %s (%lld ms)\n", Name.c_str(), static_cast<long long>(Ms));
      continue;
    }
    std::fputs(Output.c_str(), stdout);
    if (Status != -1 && WIFSIGNALED(Status))
      std::printf("[  FAILED  ] %s: killed by signal %d (%s)\n", Name.c_str(), WTERMSIG(Status), strsignal(WTERMSIG(Status)));
    else
      std::printf("[  FAILED  ] %s (%lld ms)\n", Name.c_str(), static_cast<long long>(Ms));
    Failed.push_back(Name);
  }
  std::printf("[==========] %zu tests ran.\n", Cases.size());
  std::printf("[  PASSED  ] %zu tests.\n", Cases.size() - Failed.size());
  if (!Failed.empty()) {
    std::printf("[  FAILED  ] %zu tests, listed below:\n", Failed.size());
    for (const std::string &Name : Failed) std::printf("[  FAILED  ] %s\n", Name.c_str());
  }
  return Failed.empty() ? 0 : 1;
}
