// Recording stand-ins of the service control's and the start-up road's hosts: every call
// becomes one line of `calls`, and the answers come from scripted queues.
#pragma once

#include "desktop/app/shell/autostart.h"
#include "desktop/app/shell/service_control.h"
#include "desktop/app/shell/startup.h"

#include <deque>
#include <string>
#include <vector>

namespace kstest {

inline constexpr const char* kStopped = "SERVICE_NAME: Kestyl\n        STATE              : 1  STOPPED\n";
inline constexpr const char* kRunning = "SERVICE_NAME: Kestyl\n        STATE              : 4  RUNNING\n";
inline constexpr const char* kMissing =
    "[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\n\nThe specified service does not exist.\n";

class RecordingServiceHost : public ks::app::ServiceHost {
 public:
  std::vector<std::string> calls;
  std::deque<std::string> queries;  // answers of "sc query Kestyl", in order; the last repeats
  bool scriptWritable = true;
  bool vista = true;
  bool uac = true;
  bool elevated = true;
  bool admin = true;
  bool debug = false;
  int runAsResult = 0;
  std::deque<bool> agentRunning;  // answers of IsProcessRunning; the last repeats
  std::string script;             // text of the last script written

  std::string RunCommand(const std::string& command) override {
    calls.push_back("run " + command);
    if (command != ks::app::kServiceQuery) return "";
    std::string answer = queries.empty() ? "ERROR" : queries.front();
    if (queries.size() > 1) queries.pop_front();
    return answer;
  }
  void Pause(int ms) override { calls.push_back("pause " + std::to_string(ms)); }
  bool WriteScript(const std::string& name, const std::string& text) override {
    calls.push_back("write " + name);
    if (scriptWritable) script = text;
    return scriptWritable;
  }
  void RemoveScript(const std::string& name) override { calls.push_back("remove " + name); }
  int RunAs(const std::string& program, const std::string& parameters) override {
    calls.push_back("runas " + program + (parameters.empty() ? "" : " " + parameters));
    return runAsResult;
  }
  void ShowNotice(const std::string& text) override { calls.push_back("notice " + text); }
  void ShowStartFailed() override { calls.push_back("box MSGBOX_SERVICE_START_FAILED"); }
  void StopTimers() override { calls.push_back("stop timers"); }
  void EndProgram() override { calls.push_back("end program"); }
  std::string Text(const std::string& section, const std::string& key) override {
    return section == "MESSAGEBOX" ? "[" + key + "]" : "";
  }
  bool IsVistaOrLater() override { return vista; }
  bool IsUacEnabled() override { return uac; }
  bool IsElevated() override { return elevated; }
  bool IsUserAdmin() override { return admin; }
  bool IsProcessRunning(const std::string& name) override {
    calls.push_back("running? " + name);
    bool answer = agentRunning.empty() ? false : agentRunning.front();
    if (agentRunning.size() > 1) agentRunning.pop_front();
    return answer;
  }
  bool DebugOn() override { return debug; }
  void Log(const std::string& function, const std::string& line) override {
    calls.push_back("log " + function + " " + line);
  }
  std::string ProgramFolder() override { return "/opt/k s/bin"; }
  std::string ConfigFolder() override { return "/opt/k s/conf"; }
  std::string SystemFolder() override { return "/opt/k s/bin/system"; }
};

class RecordingAutoStartHost : public ks::app::AutoStartHost {
 public:
  std::vector<std::string> calls;
  bool keyOpens = true;
  std::deque<bool> autoStart;  // answers of IsServiceAutoStart; the last repeats
  bool runValue = false;
  bool entry = false;

  bool OpenRunKey() override {
    calls.push_back("open");
    return keyOpens;
  }
  void CloseRunKey() override { calls.push_back("close"); }
  bool IsServiceAutoStart() override {
    bool answer = autoStart.empty() ? false : autoStart.front();
    if (autoStart.size() > 1) autoStart.pop_front();
    return answer;
  }
  bool RunElevated(const std::string& program, const std::string& parameters,
                   const std::string& messageKey) override {
    calls.push_back("elevated " + program + " " + parameters + " / " + messageKey);
    return true;
  }
  void SetRunValue(const std::string& text) override {
    calls.push_back("set run " + text);
    runValue = true;
  }
  void DeleteRunValue() override {
    calls.push_back("delete run");
    runValue = false;
  }
  void WriteAutostartEntry(const std::string&) override {
    calls.push_back("write entry");
    entry = true;
  }
  void RemoveAutostartEntry() override {
    calls.push_back("remove entry");
    entry = false;
  }
};

class RecordingStartupHost : public ks::app::StartupHost {
 public:
  std::vector<std::string> calls;
  Lock lock = Lock::kAcquired;
  bool wakeListens = true;
  bool elevated = false;
  bool launcher = false;
  std::deque<bool> agentRunning{false};
  std::string programPath = "/opt/k s/bin/Kestyl";
  int mainWindowCode = 0;

  Lock AcquireInstanceLock() override {
    calls.push_back("lock");
    return lock;
  }
  void ReleaseInstanceLock() override { calls.push_back("unlock"); }
  bool PostWake() override {
    calls.push_back("wake");
    return wakeListens;
  }
  bool IsElevated() override { return elevated; }
  bool StartedByLauncher() override { return launcher; }
  bool IsAgentRunning() override {
    calls.push_back("agent?");
    bool answer = agentRunning.front();
    if (agentRunning.size() > 1) agentRunning.pop_front();
    return answer;
  }
  void Pause() override { calls.push_back("pause"); }
  std::string ProgramPath() override { return programPath; }
  bool WriteSessionEnv() override {
    calls.push_back("session env");
    return true;
  }
  void ExecInSession(const std::string& commandLine) override { calls.push_back("exec " + commandLine); }
  void RunElevatedNoWait(const std::string& program) override { calls.push_back("runas " + program); }
  void Log(const std::string& line) override { calls.push_back("log " + line); }
  int RunMainWindow() override {
    calls.push_back("main window");
    return mainWindowCode;
  }
  void StopSyncPrograms() override { calls.push_back("stop sync"); }
};

}  // namespace kstest
