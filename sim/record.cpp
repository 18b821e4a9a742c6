#include "record.h"

#include <cstdio>

namespace sim {

namespace {

std::vector<std::string> &Lines() {
  static std::vector<std::string> L;
  return L;
}

}  // namespace

bool Recording = false;

void RecordAccess(const Access &A) {
  if (Recording) Lines().push_back(ToString(A));
}
void RecordLine(const std::string &Line) {
  if (Recording) Lines().push_back(Line);
}
void ClearRecord() { Lines().clear(); }

std::vector<std::string> RecordLines() {
  std::vector<std::string> Out = Lines();
  const CpuModel &C = TheBoard().Cpu;
  char Buf[160];
  std::snprintf(Buf, sizeof Buf, "cpu tsc=%llu pauses=%llu fences=%llu wbinvd=%llu flushes=%zu cr4=0x%llX",
                static_cast<unsigned long long>(C.Tsc), static_cast<unsigned long long>(C.Pauses),
                static_cast<unsigned long long>(C.Fences), static_cast<unsigned long long>(C.Wbinvds),
                C.FlushedLines.size(), static_cast<unsigned long long>(C.Cr4));
  Out.push_back(Buf);
  return Out;
}

}  // namespace sim
