#include "desktop/app/shell/kestyl_app.h"

#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/shell/startup.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/desktop_instance.h"
#include "platform/instance_lock.h"
#include "platform/session_launcher.h"

#include <QApplication>
#include <QDialog>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ks::app {

int AgentPollMs() {
  const char* text = std::getenv("KESTYL_AGENT_POLL_MS");
  if (text == nullptr || *text == '\0') return 1000;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 600000) return 1000;
  return static_cast<int>(value);
}

// ---- wake endpoint

WakeServer::WakeServer(QObject* target, QObject* parent) : QObject(parent), target_(target) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &WakeServer::OnConnection);
}

WakeServer::~WakeServer() {
  server_.close();
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool WakeServer::Listen(const std::string& path) {
  // We hold the instance lock, so a socket file left there belongs to a copy that died.
  QLocalServer::removeServer(QString::fromStdString(path));
  if (!server_.listen(QString::fromStdString(path))) return false;
  ::chmod(path.c_str(), 0600);
  path_ = path;
  return true;
}

void WakeServer::OnConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      while (socket->bytesAvailable() >= static_cast<qint64>(ks::platform::kWakeFrameSize)) {
        const QByteArray bytes = socket->read(ks::platform::kWakeFrameSize);
        ks::platform::WakeFrame frame;
        if (!ks::platform::DecodeWakeFrame(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                           static_cast<size_t>(bytes.size()), frame)) {
          break;
        }
        // Only the wake message may come from outside: anyone on this machine can connect.
        // Systems without the message filter (before Vista) let it through as it is.
        const bool passes = CKSUtil::IsWakeMessageAllowed(kMsgWake) || !CKSUtil::IsVistaOrLater();
        if (frame.message == kMsgWake && passes && target_) {
          ks::ui::PostMsg(target_.data(), frame.message, frame.wparam, static_cast<intptr_t>(frame.lparam));
        }
      }
    });
  }
}

// ---- SIGTERM / SIGHUP

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (g_signalPipe[1] >= 0) (void)!::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

TerminationWatch::TerminationWatch(QObject* parent) : QObject(parent) {
  if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    while (::read(g_signalPipe[0], &byte, 1) == 1) emit terminationRequested(byte);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

TerminationWatch::~TerminationWatch() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

// ---- the start-up host of the real system

namespace {

// Stops the synchronisation programs. One that does not run needs no taskkill: starting
// the tool twice on every start and exit cost more than the rest of the start-up's checks.
void StopSync() {
  for (const char* name : {"KestylSyncNet", "KestylSync"}) {
    if (CKSUtil::IsProcessRunning(name)) CKSUtil::KillProcess(name);
  }
}

class SystemStartupHost final : public StartupHost {
 public:
  explicit SystemStartupHost(CKestylApp& app) : app_(app) {}

  Lock AcquireInstanceLock() override {
    switch (lock_.Acquire(ks::platform::DesktopRunFolder(), ks::platform::DesktopLockName())) {
      case ks::platform::InstanceLock::Result::kAcquired: return Lock::kAcquired;
      case ks::platform::InstanceLock::Result::kHeldElsewhere: return Lock::kHeldElsewhere;
      default: return Lock::kError;
    }
  }
  void ReleaseInstanceLock() override { lock_.Release(); }
  bool PostWake() override { return ks::platform::SendWakeFrame({kMsgWake, 0, 0}) == 0; }
  bool IsElevated() override { return CKSUtil::IsElevated(); }
  bool StartedByLauncher() override {
    const char* v = std::getenv("KESTYL_ELEVATED");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }
  bool IsAgentRunning() override { return CKSUtil::IsProcessRunning(kAgentProcessName); }
  void Pause() override { std::this_thread::sleep_for(std::chrono::milliseconds(AgentPollMs())); }
  std::string ProgramPath() override {
    const std::string folder = CKSUtil::GetModuleFolder(true);
    return folder.empty() ? std::string() : folder + "/Kestyl";
  }
  bool WriteSessionEnv() override { return ks::platform::WriteSessionEnv(); }
  void ExecInSession(const std::string& quotedPath) override {
    std::vector<std::string> environment;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) environment.emplace_back(*e);
    // A link of its own for one request: no listener, no network watch to start and stop.
    ks::desktop::UIDataOptions options;
    options.listen = false;
    options.watchNetwork = false;
    ks::desktop::IUIData* link = ks::desktop::CUIData::Create(options);
    if (link == nullptr) return;
    static_cast<ks::desktop::CUIData*>(link)->ExecInSession(SessionEnvironmentPrefix(environment) + quotedPath);
    link->Release();
  }
  void RunElevatedNoWait(const std::string& program) override { CKSUtil::RunElevated(program, "", false); }
  void Log(const std::string& line) override { KS_DESKTOP_LOG("CKestylApp::InitInstance", "%s", line.c_str()); }
  int RunMainWindow() override { return app_.RunMainWindow(); }
  void StopSyncPrograms() override { StopSync(); }

 private:
  CKestylApp& app_;
  ks::platform::InstanceLock lock_;
};

}  // namespace

bool CKestylApp::init() {
  StopSync();
  CKSConfig* config = CKSConfig::GetInstance();
  if (!config->Load()) {
    if (!config->DefaultFilesExist()) return false;
    if (!config->CopyDefaultFiles()) return false;
  }
  config->WriteSyncOn("false", true);
  const bool loaded = config->Load();
  const bool enabled = !loaded || config->ReadGlobalLoggerOn(true) == "true";
  CKSLog::GetInstance()->SetConsole(false);
  CKSLog::GetInstance()->Start(CKSUtil::GetConfigFolder(), enabled);
  if (loaded) {
    KS_DESKTOP_LOG("CKestylApp::init", "Config Loaded.");
  } else {
    KS_DESKTOP_LOG("CKestylApp::init", "Failed to load config");
  }
  return loaded;
}

int CKestylApp::RunMainWindow() {
  init();
  int code = 0;
  ks::mainwnd::CSettingDlg dlg;
  dlg.m_bHideOnClose = true;
  CKSUtil::AllowWakeMessage();
  WakeServer wake(&dlg);
  if (!wake.Listen(ks::platform::WakeEndpointPath())) {
    KS_DESKTOP_LOG("CKestylApp::InitInstance", "Wake endpoint not served: %s", ks::platform::WakeEndpointPath().c_str());
  }
  TerminationWatch termination;
  QObject::connect(&termination, &TerminationWatch::terminationRequested, &dlg, [&dlg, &code](int) {
    // The end of the session: the service keeps running. Dialogs that run modally (the
    // wizard, a message box) are ended too, or their loops would keep the program up.
    if (dlg.OnQueryEndSession()) {
      code = 0;
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* modal = qobject_cast<QDialog*>(w);
        if (modal == nullptr || modal == &dlg || !modal->isVisible() || !modal->isModal()) continue;
        modal->reject();
        // A dialog that refuses the ordinary cancel (the update notice stays open for Escape
        // and its close button) is ended all the same: its answer is no, the program closes.
        if (modal->isVisible()) modal->done(QDialog::Rejected);
      }
      dlg.EndDialog(ks::skin::IDCANCEL);
    }
  });
  dlg.DoModal();
  return code;
}

int CKestylApp::Run(const std::vector<std::string>& arguments) {
  std::string commandLine;
  for (const std::string& a : arguments) commandLine += (commandLine.empty() ? "" : " ") + a;
  SystemStartupHost host(*this);
  const int code = RunStartup(host, IsAutoStart(commandLine));
  CKSConfig* config = CKSConfig::GetInstance();
  if (config->ReadDebugOn() == "true") {
    KS_DESKTOP_LOG("CKestylApp::ExitInstance", "CKestylApp::ExitInstance() begin - will not record end event");
  }
  CKSLog::Shutdown();
  return code;
}

}  // namespace ks::app
