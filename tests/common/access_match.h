// Access-order assertions: on a mismatch, both traces are printed around the first
// difference, the way a logic analyser shows them.
#pragma once
#include <gtest/gtest.h>

#include <sim/board.h>

namespace sim {

::testing::AssertionResult AccessesMatch(const std::vector<Access> &Actual, const std::vector<Access> &Expected);

// Only the writes of a trace.
std::vector<Access> WritesOf(const std::vector<Access> &Log);

}  // namespace sim

#define EXPECT_ACCESSES(Actual, ...) EXPECT_TRUE(::sim::AccessesMatch((Actual), std::vector<::sim::Access>(__VA_ARGS__)))
