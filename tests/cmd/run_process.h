// Runs a program to its end with its own environment and captures stdout and stderr.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ks::test {

struct ProcessResult {
  bool started = false;
  bool timed_out = false;  // killed at the deadline
  int exit_code = -1;      // -1 when it did not exit normally
  std::string out;
  std::string err;
  long elapsed_ms = 0;
};

// `env` entries "NAME=value" are added to (or replace those of) this process's environment;
// "NAME" alone removes the variable. The child is killed after `deadline_ms`.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, int deadline_ms = 60000);

}  // namespace ks::test
