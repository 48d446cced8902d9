// Mobile connection requests and the wake-on-LAN set-up of the main window.
//
// The requests themselves are kept by the connection flow (connect_requests.h): a copy per
// request, one confirmation dialog at a time on the GUI thread, never under a lock, every
// request answered (refused at the latest at 25 s, before the agent's own wait ends).
#include "desktop/app/connect/connect_requests.h"
#include "desktop/app/connect/wake_on_lan.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/language_source.h"

namespace ks::mainwnd {

using ks::desktop::ConnectRequests;

namespace {

ConnectRequests* Flow(QObject* flow) { return static_cast<ConnectRequests*>(flow); }

}  // namespace

QObject* CSettingDlg::MakeConnectFlow() {
  // When the last waiting request leaves the queue the mobile state is back to 1 and the
  // flashing stops.
  auto* flow = new ConnectRequests(nullptr, [this] {
    m_iMobileStatic = 1;
    UpdateTrayFlash();
  }, this);
  flow->SetUIDataSource([this] { return m_pUIData; });
  // A request queued behind the dialog on screen starts the flashing at once.
  connect(flow, &ConnectRequests::requestQueued, this, [this] { UpdateTrayFlash(); });
  return flow;
}

bool CSettingDlg::ConnectRequestsWaiting() const {
  return m_pConnectFlow != nullptr && Flow(m_pConnectFlow)->RequestsWaiting();
}

// The tray flashes (icons 255 and 254, every 500 ms, the first frame at once) while requests
// wait; when none is left the icon goes back to the one of the log-in and mobile state.
void CSettingDlg::UpdateTrayFlash() {
  const bool waiting = ConnectRequestsWaiting();
  if (waiting && !m_nTrayFlashTimer.running()) {
    m_nTrayFlashTimer.Start(500, [this] { TrayIconTimerProc(); });
    TrayIconTimerProc();
  } else if (!waiting && m_nTrayFlashTimer.running()) {
    m_nTrayFlashTimer.Kill();
    _SetTrayIcon(0);
  }
}

// The link's connection thread: a copy goes to the queue and 0x50B to the flow; the thread
// never waits for the owner.
void CSettingDlg::OnConnectRequest(const ks::desktop::ConnectRequestInfo* request) {
  if (request == nullptr) return;
  std::lock_guard<std::mutex> lock(m_csConnectRequest);
  Flow(m_pConnectFlow)->OnConnectRequest(request);
}

// Shows the oldest waiting request unless a dialog is on screen already.
void CSettingDlg::ProcessConnectRequests() {
  if (Flow(m_pConnectFlow)->CurrentDialog() == nullptr) Flow(m_pConnectFlow)->ShowOldest();
}

// The tray icon's click: the dialog on screen comes forward, else the oldest waiting request
// is shown.
void CSettingDlg::ShowConnectDlg() { Flow(m_pConnectFlow)->ShowOldest(); }

void CSettingDlg::ConnectRequestTimerProc() {
  if (!m_bAdapterKeysSeeded) {
    // Once per run, soon after start: the adapters the wake-up button walks over.
    m_bAdapterKeysSeeded = true;
    ks::desktop::SeedAdapterClassKeys();
  }
  Flow(m_pConnectFlow)->Tick();
  // Requests held back behind the dialog make the tray icon flash until they are taken.
  UpdateTrayFlash();
}

void CSettingDlg::OnBnClickedWakeupButton() {
  ks::desktop::EnableWakeOnLan();
  // The notice comes whatever the registry said: the real switch is the system's business.
  ks::skin::ShowDiyMessageBox(ks::ui::LangText("MESSAGEBOX", "MSGBOX_WAKEUP_NOTICE"), QStringLiteral("Kestyl"), 0);
  m_btnWakeup.update();
}

}  // namespace ks::mainwnd
