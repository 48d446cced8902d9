// Powering the PC down on a mobile client's request.
//
// PowerControl::Hibernate asks the system to hibernate and reports whether it agreed. The
// Linux implementation runs a configured command line ("systemctl hibernate" and the like)
// through /bin/sh and counts exit status 0 as agreement. A process-wide override lets
// tests put a recording fake in place of the real thing.
#pragma once

#include <atomic>
#include <string>

namespace ks::platform {

class PowerControl {
 public:
  virtual ~PowerControl() = default;
  // True when the system accepted the request to hibernate.
  virtual bool Hibernate() = 0;
};

// Runs `command` with /bin/sh -c in a process group of its own and waits for it (at most
// `timeoutSeconds`; a command still running then is killed with everything it started and
// counts as a refusal). An empty command is a refusal.
class CommandPowerControl : public PowerControl {
 public:
  explicit CommandPowerControl(std::string command, int timeoutSeconds = 60);
  bool Hibernate() override;

 private:
  std::string command_;
  int timeoutSeconds_;
};

// Records every request and answers with a scripted result; for tests.
class RecordingPowerControl : public PowerControl {
 public:
  explicit RecordingPowerControl(bool result = true) : result_(result) {}
  bool Hibernate() override;
  int calls() const { return calls_.load(); }
  void set_result(bool r) { result_.store(r); }

 private:
  std::atomic<bool> result_;
  std::atomic<int> calls_{0};
};

// The installed override, or null when none is installed (callers then use the real
// command). The caller keeps ownership and uninstalls it (null) before destroying it.
PowerControl* InstalledPowerControl();
void InstallPowerControl(PowerControl* control);

}  // namespace ks::platform
