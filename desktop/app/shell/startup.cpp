#include "desktop/app/shell/startup.h"

namespace ks::app {

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string SessionEnvironmentPrefix(const std::vector<std::string>& environment) {
  std::string out;
  for (const std::string& entry : environment) {
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || entry.compare(0, 7, "KESTYL_") != 0) continue;
    const std::string name = entry.substr(0, eq);
    const std::string value = entry.substr(eq + 1);
    if (name == "KESTYL_ELEVATED" || name == "KESTYL_PLATFORM_DIR") continue;
    bool fine = true;
    for (char c : name) fine = fine && ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
    for (char c : value) fine = fine && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
    if (fine) out += name + "=" + ShellQuote(value) + " ";
  }
  return out;
}

bool IsAutoStart(const std::string& commandLine) {
  return commandLine.size() > 1 && commandLine.find("autostartup", 1) != std::string::npos;
}

namespace {

int HandOver(StartupHost& host, bool autostart) {
  if (autostart) {
    for (int check = 0; check < kAgentChecks; ++check) {
      if (host.IsAgentRunning()) break;
      if (check + 1 < kAgentChecks) host.Pause();
    }
    for (int pause = 0; pause < kAgentExtraPauses; ++pause) host.Pause();
  }
  const bool agent = host.IsAgentRunning();
  host.ReleaseInstanceLock();
  const std::string path = host.ProgramPath();
  if (path.empty() || path.find_first_of("\n\r") != std::string::npos) {
    host.Log("Program path cannot be handed over: " + std::string(path.empty() ? "unknown" : "line break"));
    return 0;
  }
  if (agent) {
    if (!host.WriteSessionEnv()) host.Log("Session environment not written");
    host.ExecInSession(ShellQuote(path));
  } else {
    host.RunElevatedNoWait(path);
  }
  return 0;
}

}  // namespace

int RunStartup(StartupHost& host, bool autostart) {
  if (host.AcquireInstanceLock() == StartupHost::Lock::kHeldElsewhere) {
    host.PostWake();
    return 0;
  }
  if (!host.IsElevated() && !host.StartedByLauncher()) return HandOver(host, autostart);
  const int code = host.RunMainWindow();
  host.StopSyncPrograms();
  host.ReleaseInstanceLock();
  return code;
}

}  // namespace ks::app
