// The main window's side of the agent service control: the window half of the service
// host (notices, the failure box, its timers, ending the program, texts) and the watch,
// whose reading of the service table runs on a worker so that the window never waits.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/shell/system_hosts.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/language_source.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace ks::mainwnd {

namespace {

class WindowServiceHost final : public ks::app::SystemServiceHost {
 public:
  explicit WindowServiceHost(CSettingDlg* dlg) : dlg_(dlg) {}
  void ShowNotice(const std::string& text) override {
    ks::skin::ShowDiyMessageBox(QString::fromStdString(text), ks::ui::LangText("UI", "DIALOG_TITLE"), 0);
  }
  void ShowStartFailed() override { ks::skin::ShowDiyMessageBoxByKey("MSGBOX_SERVICE_START_FAILED", 0); }
  void StopTimers() override {
    dlg_->m_nConnectTimer.Kill();
    dlg_->m_nServiceTimer.Kill();
  }
  void EndProgram() override { dlg_->OnLoginDlgQuit(); }
  std::string Text(const std::string& section, const std::string& key) override {
    return ks::ui::LangText(section, key).toStdString();
  }

 private:
  CSettingDlg* dlg_;
};

}  // namespace

std::unique_ptr<ks::app::ServiceHost> MakeWindowServiceHost(CSettingDlg* dlg) {
  return std::make_unique<WindowServiceHost>(dlg);
}

bool CSettingDlg::InstallAndStartService() { return serviceControl_->InstallAndStartService(); }

bool CSettingDlg::RunElevated(const std::string& program, const std::string& parameters, const std::string& message) {
  return serviceControl_->RunElevated(program, parameters, message);
}

void CSettingDlg::_StopService() { serviceControl_->StopService(); }

void CSettingDlg::StartServiceWatch() {
  m_nServiceTimer.Start(ServiceWatchMs(), [] {
    if (m_pSettingDlg != nullptr) m_pSettingDlg->CheckServiceState();
  });
}

void CSettingDlg::CheckServiceState() {
  if (watchBusy_) return;  // the previous reading has not come back yet
  watchBusy_ = true;
  auto read = options_.serviceState ? options_.serviceState : [] { return ks::app::ReadServiceState(); };
  QPointer<CSettingDlg> self(this);
  QThreadPool::globalInstance()->start([self, read] {
    const std::optional<uint32_t> state = read();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, state] {
          if (self) ks::ui::PostMsg(self.data(), kMsgServiceState, state ? 1 : 0, state ? static_cast<LPARAM>(*state) : 0);
        },
        Qt::QueuedConnection);
  });
}

LRESULT CSettingDlg::OnMsgServiceState(WPARAM wParam, LPARAM lParam) {
  watchBusy_ = false;
  // A reading that arrives after the watch stopped changes nothing.
  if (!m_nServiceTimer.running()) return 0;
  std::optional<uint32_t> state;
  if (wParam != 0) state = static_cast<uint32_t>(lParam);
  serviceControl_->OnWatchState(state, m_csTimers);
  return 0;
}

}  // namespace ks::mainwnd
