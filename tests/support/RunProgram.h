#pragma once
// Runs another program to its end, for tests that drive real clients.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrine::test {

struct ProgramRun {
    int exitCode = -1;   // -1 when it did not exit normally (or was killed at the deadline)
    std::string output;  // standard output and error together
};

// Runs `args` (its program found by FindProgram), killed after `timeout`. With `port`, the
// program's standard input and output are that file opened read-write (as `<>PORT >&0` in a shell),
// and only its standard error is captured.
ProgramRun RunProgram(std::vector<std::string> args, const std::filesystem::path& port = {},
                      std::chrono::seconds timeout = std::chrono::seconds(30));

// The full path of a program in PATH (or in sbin), or "" when there is none.
std::string FindProgram(const std::string& name);
bool HaveProgram(const std::string& name);

}  // namespace kestrine::test
