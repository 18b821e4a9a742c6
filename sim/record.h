// What one test case did to the simulated board and services, whole: every port and MMIO
// access (including those made while the access log was off or after a test cleared it), the
// service calls of every simulated system table, PCD calls and debug prints, and the CPU model's
// counters at the end. Two builds of the same driver running the same case must leave the same
// record. Off unless a test binary asks for it (record_listener.cpp: with SIM_RECORD_FILE set,
// each test case writes its record there).
#pragma once
#include <string>
#include <vector>

#include "board.h"

namespace sim {

extern bool Recording;
void RecordAccess(const Access &A, bool Logged);
void RecordLine(const std::string &Line);
void ClearRecord();
// Bytes as the record shows them: in hex up to 64, else their count, first 16 and a hash.
std::string RecordBytes(const void *Data, size_t Size);
// The record so far, one line per event, ending with the CPU model's counters.
std::vector<std::string> RecordLines();

}  // namespace sim
