// Runs every selected test case in a child process of its own; call it in place of
// RUN_ALL_TESTS, after InitGoogleTest and anything the children should inherit.
#pragma once

int RunEachCaseInItsOwnProcess();
