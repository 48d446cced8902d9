// Test helper: runs a program (fork + exec, no shell) and collects its exit code and its
// standard output and error together. Independent of platform/process.h on purpose, so a
// fault there cannot hide in the tests of the tools.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ks::test {

struct ProgramResult {
  int exitCode = -1;  // -1: did not exit normally
  std::string output;
};

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set in the child
  std::vector<std::string> unsetEnv;                     // removed in the child
  int uid = -1;          // setresuid/setresgid in the child when >= 0 (tests run as root)
  std::string input;     // written to the standard input, then closed
};

ProgramResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// Folder of the built programs (build/bin).
std::string BinDir();

}  // namespace ks::test
