// main() of every host test binary.
#include <gtest/gtest.h>

#include "case_per_process.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  return RunEachCaseInItsOwnProcess();
}
