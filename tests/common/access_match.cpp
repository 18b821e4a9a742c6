#include "access_match.h"

#include <algorithm>
#include <sstream>

namespace sim {

::testing::AssertionResult AccessesMatch(const std::vector<Access> &Actual, const std::vector<Access> &Expected) {
  size_t First = 0;
  while (First < Actual.size() && First < Expected.size() && Actual[First] == Expected[First]) ++First;
  if (First == Actual.size() && First == Expected.size()) return ::testing::AssertionSuccess();
  std::ostringstream Out;
  Out << "access traces differ at #" << First << " (expected " << Expected.size() << " accesses, got "
      << Actual.size() << ")\n";
  const size_t From = First >= 4 ? First - 4 : 0;
  const size_t To = std::max(Actual.size(), Expected.size());
  Out << "      #  expected                                  actual\n";
  for (size_t I = From; I < To && I < First + 8; ++I) {
    std::string E = I < Expected.size() ? ToString(Expected[I]) : "-";
    std::string A = I < Actual.size() ? ToString(Actual[I]) : "-";
    E.resize(40, ' ');
    Out << (I == First ? "  >> " : "     ") << I << "  " << E << "  " << A << "\n";
  }
  return ::testing::AssertionFailure() << Out.str();
}

std::vector<Access> WritesOf(const std::vector<Access> &Log) {
  std::vector<Access> Out;
  std::copy_if(Log.begin(), Log.end(), std::back_inserter(Out), [](const Access &A) { return A.Write; });
  return Out;
}

}  // namespace sim
