#include "desktop/app/shell/service_control.h"

namespace ks::app {

namespace {

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string RepairScriptText(const std::string& programFolder, const std::string& systemFolder,
                             bool installed) {
  std::string text;
  if (!installed) text += "\"" + programFolder + "/KestylClient\" -i Kestyl\n";
  text += "\n" + systemFolder + "/sc " + kServiceDescriptionParameters;
  text += "\n" + systemFolder + "/net start Kestyl";
  return text;
}

bool ServiceControl::RunElevated(const std::string& program, const std::string& parameters,
                                 const std::string& message) {
  auto notice = [&] {
    host_.ShowNotice(message.size() > 1 ? message : Message("MSGBOX_UAC"));
  };
  if (host_.IsVistaOrLater()) {
    if (host_.IsUacEnabled() && !host_.IsElevated()) notice();
    return host_.RunAs(program, parameters) == 0;
  }
  if (host_.IsUserAdmin()) {
    host_.RunCommand(program + " " + parameters);
    return true;
  }
  notice();
  return host_.RunAs(program, parameters) == 0;
}

bool ServiceControl::InstallAndStartService() {
  std::string text;
  for (int query = 0; query < 2; ++query) {
    text = host_.RunCommand(kServiceQuery);
    if (!Has(text, "STATE") || Has(text, "RUNNING")) break;
    host_.Pause(1000);
  }
  if (!Has(text, "RUNNING")) {
    const bool installed = Has(text, "STATE");
    const std::string script = RepairScriptText(host_.ProgramFolder(), host_.SystemFolder(), installed);
    bool ranScript = false;
    if ((host_.IsVistaOrLater() || host_.IsUserAdmin()) && host_.WriteScript(kRepairScriptName, script)) {
      RunElevated(host_.ConfigFolder() + "/" + kRepairScriptName, "", Message("MSGBOX_UAC_STARTSERVICE"));
      host_.RemoveScript(kRepairScriptName);
      ranScript = true;
    }
    if (!ranScript) {
      RunElevated("sc", kServiceDescriptionParameters, Message("MSGBOX_UAC_UPDATE_SERVICE_DESC"));
      RunElevated("net", "start Kestyl", Message("MSGBOX_UAC_STARTSERVICE"));
    }
  }
  if (Has(host_.RunCommand(kServiceQuery), "RUNNING")) return true;
  host_.StopTimers();
  host_.ShowStartFailed();
  return false;
}

void ServiceControl::StopService() {
  const std::string text = host_.RunCommand(kServiceQuery);
  if (!Has(text, "STATE") || Has(text, "STOPPED") || !host_.IsUserAdmin()) return;
  RunElevated("sc", "stop Kestyl", Message("MSGBOX_UAC_STOPSERVICE"));
  const bool debug = host_.DebugOn();
  if (debug) host_.Log("CSettingDlg::_StopService", "sc stop Kestyl");
  bool running = true;
  for (int check = 0; check < 11; ++check) {
    running = host_.IsProcessRunning(kAgentProcessName);
    if (!running) break;
    host_.Pause(1000);
  }
  if (running && debug) host_.Log("CSettingDlg::_StopService", "taskkill KestylClient.exe");
  RunElevated("taskkill", "/im KestylClient.exe /f", Message("MSGBOX_UAC_STOPSERVICE"));
}

ServiceControl::WatchResult ServiceControl::OnWatchState(std::optional<uint32_t> state, ClosingGate& gate) {
  if (!state) return WatchResult::kNothing;
  if (*state != 1) {  // SERVICE_STOPPED
    stoppedCount_ = 0;
    return WatchResult::kNothing;
  }
  ++stoppedCount_;
  if (repairing_) return WatchResult::kBusy;
  repairing_ = true;
  std::unique_lock<std::recursive_mutex> hold(gate.lock);
  if (gate.closing) {
    repairing_ = false;
    return WatchResult::kClosing;
  }
  if (stoppedCount_ <= kMaxWatchRepairs) {
    const bool ok = InstallAndStartService();
    hold.unlock();
    repairing_ = false;
    return ok ? WatchResult::kRepaired : WatchResult::kRepairFailed;
  }
  // Kept set: the program is ending, nothing more is repaired.
  host_.StopTimers();
  hold.unlock();
  host_.EndProgram();
  return WatchResult::kEnded;
}

}  // namespace ks::app
