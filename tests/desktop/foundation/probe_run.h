// Test helper: an installation tree <tmp>/bin with the probe program and the master copies
// (<tmp>/bin/roaming), and a runner for the probe (fork + exec, no shell) that collects its
// exit status and its standard output.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/test_support.h"

namespace ks::test {

struct ProbeResult {
  int exitCode = -1;  // -1: did not exit normally
  std::string out;
  bool killed = false;  // BackgroundProgram::Finish: it had not ended in time and was killed
  double seconds = 0;   // BackgroundProgram::Finish: from the signal (or the call) to its end
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Runs argv[0] (a path) with `env` added to (or replacing in) this process's environment;
// as user `uid` (and its group) when it is >= 0 (the tests run as root).
ProbeResult RunProgram(const std::vector<std::string>& argv, const EnvList& env = {}, int uid = -1);

// A program started in the background (fork + exec, no shell), its standard output on a
// pipe. Finish ends it; the destructor kills and reaps one that was never finished.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv, const EnvList& env = {}, int uid = -1);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `signal` (none when 0), then waits up to timeoutMs for the program's end while
  // reading its output; past that it is killed (`killed`). `seconds` is how long it took
  // to end after the signal.
  ProbeResult Finish(int signal = 0, int timeoutMs = 120000);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

class ProbeInstall {
 public:
  // `binName` is the program folder's name below the temporary root ("bin", "Bin").
  explicit ProbeInstall(const std::string& binName = "bin");
  const std::string& root() const { return tmp_.path(); }
  std::string bin() const { return tmp_.path() + "/" + binName_; }
  std::string conf() const { return tmp_.path() + "/conf"; }
  // Runs <bin>/kestyl-probe with `args`; `env` is added to (or replaces in) this process's.
  ProbeResult Run(const std::vector<std::string>& args, const EnvList& env = {}, int uid = -1) const;
  // <bin>/kestyl-probe with `args` in the background.
  std::unique_ptr<BackgroundProgram> Start(const std::vector<std::string>& args, const EnvList& env = {},
                                           int uid = -1) const;

 private:
  TempDir tmp_;
  std::string binName_;
};

}  // namespace ks::test
