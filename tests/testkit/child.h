#pragma once
// Programs a test starts as child processes. In a cross build the suite runs
// under user-mode emulation, where a machine without a handler for the board's
// binaries cannot execute them directly: they start through the same emulator
// CMake runs the tests with.
#include <string>
#include <vector>

// True when the suite runs under an emulator (a cross build).
bool tests_run_emulated();
// The words that start `program` with `args`: the emulator's first, if any.
std::vector<std::string> child_command(const std::string& program, const std::vector<std::string>& args = {});
// Replaces the calling (forked) process with `command`; returns only on failure.
void exec_command(const std::vector<std::string>& command);
