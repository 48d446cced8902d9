// The main window's class: construction, destruction, the modal run and the timers.
#include "desktop/app/mainwnd/setting_dlg.h"

#include "desktop/app/shell/system_hosts.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"

#include <QEventLoop>
#include <QLineEdit>

#include <cstdlib>
#include <unistd.h>

namespace ks::mainwnd {

CSettingDlg* m_pSettingDlg = nullptr;
bool g_bLoginStarted = false;

int ServiceWatchMs() {
  const char* text = std::getenv("KESTYL_SERVICE_WATCH_MS");
  if (text == nullptr || *text == '\0') return kServiceWatchMsDefault;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 3600000) return kServiceWatchMsDefault;
  return static_cast<int>(value);
}

ThreadTimer::ThreadTimer() : timer_(std::make_unique<QTimer>()) {
  QObject::connect(timer_.get(), &QTimer::timeout, [this] {
    // A copy: the procedure may kill or restart this timer.
    auto proc = proc_;
    if (proc) proc();
  });
}

ThreadTimer::~ThreadTimer() = default;

void ThreadTimer::Start(int ms, std::function<void()> proc) {
  proc_ = std::move(proc);
  timer_->start(ms);
}

void ThreadTimer::Kill() { timer_->stop(); }

int ThreadTimer::id() const { return timer_->isActive() ? timer_->timerId() : 0; }

namespace {

bool DebugOn() { return CKSConfig::GetInstance()->ReadDebugOn() == "true"; }

}  // namespace

CSettingDlg::CSettingDlg(const SettingDlgOptions& options, QWidget* parent)
    : CDiyDialog(parent),
      m_listShare(this),
      m_listTrans(this),
      m_btnOk(this),
      m_btnCancel(this),
      m_btnAdd(this),
      m_btnDelete(this),
      m_btnAutoStart(this),
      m_btnWakeup(this),
      m_btnPhotoSorting(this),
      m_btnMoveFolder(this),
      m_btnSwitchAccount(this),
      m_staticPhotoSorting(this),
      m_static1051(this),
      m_static1054(this),
      m_static1078(this),
      m_static1079(this),
      m_static1084(this),
      m_static1137(this),
      m_static1167(this),
      m_comboLanguage(this),
      options_(options) {
  m_nLayoutID = 129;
  setObjectName(QStringLiteral("KestylSettingDlg"));
  m_hIcon = ks::ui::LoadIconResource(128);
  m_nBkImageID = 337;
  m_strBkImageType = QStringLiteral("PNG");
  resize(kWindowWidth, kWindowHeight);

  if (options_.uiData != nullptr) {
    m_pUIData = options_.uiData;
    m_pUIData->AddRef();
  } else {
    m_pUIData = ks::desktop::CUIData::GetInstance();
  }
  if (options_.languages != nullptr) {
    m_pLanguages = options_.languages;
    m_pLanguages->AddRef();
  } else {
    m_pLanguages = ks::desktop::CLanguages::GetInstance();
  }

  CreateControls();
  ConnectControls();

  if (options_.serviceHost == nullptr) {
    ownServiceHost_ = MakeWindowServiceHost(this);
    options_.serviceHost = ownServiceHost_.get();
  }
  if (options_.autoStartHost == nullptr) {
    ownAutoStartHost_ = MakeWindowAutoStartHost(this);
    options_.autoStartHost = ownAutoStartHost_.get();
  }
  serviceControl_ = std::make_unique<ks::app::ServiceControl>(*options_.serviceHost);

  if (options_.startServiceCheck) {
    if (!InstallAndStartService()) {
      EndProcess(1);
      return;
    }
    if (options_.serviceHost->IsUserAdmin()) StartServiceWatch();
  }
}

CSettingDlg::~CSettingDlg() {
  if (DebugOn()) KS_DESKTOP_LOG("CSettingDlg::~CSettingDlg", "CSettingDlg::~CSettingDlg() begin");
  // The share list goes with the members, after this body: its viewport's last events must
  // not reach a filter that asks the half-destroyed list for its viewport.
  m_listShare.viewport()->removeEventFilter(this);
  m_nServiceTimer.Kill();
  m_nConnectTimer.Kill();
  m_nStatusTimer.Kill();
  m_nBannerTimer.Kill();
  m_nBannerTimer2.Kill();
  m_nTrayFlashTimer.Kill();
  if (m_pUIData != nullptr) m_pUIData->ClearCallBack();
  if (m_updateLogic) m_updateLogic->Stop();
  if (!destroyed_) OnDestroy();

  delete m_pBtnAccount;
  delete m_pBtnShare;
  delete m_pBtnTrans;
  delete m_pBtnSetting;
  delete m_pBtnSync;
  m_pBtnAccount = m_pBtnShare = m_pBtnTrans = m_pBtnSetting = m_pBtnSync = nullptr;
  delete m_pConnectRequest;
  m_pConnectRequest = nullptr;
  delete m_pApDlg;
  m_pApDlg = nullptr;
  delete m_pSyncDlg;
  m_pSyncDlg = nullptr;
  for (auto* request : m_connectRequests) delete request;
  m_connectRequests.clear();
  delete m_pBannerDlg;
  m_pBannerDlg = nullptr;

  if (m_pUIData != nullptr) {
    m_pUIData->Release();
    m_pUIData = nullptr;
  }
  // Not waited for: the hosted network stops on its own time.
  CKSUtil::RunCommand("netsh wlan stop hostednetwork", nullptr, false, false);
  if (m_bUpdateReady) StartUpdateInstaller();
  if (m_pLanguages != nullptr) {
    m_pLanguages->Release();
    m_pLanguages = nullptr;
  }
  if (m_pSettingDlg == this) m_pSettingDlg = nullptr;
  if (DebugOn()) KS_DESKTOP_LOG("CSettingDlg::~CSettingDlg", "CSettingDlg::~CSettingDlg() end");
}

int CSettingDlg::DoModal() {
  if (!created_) {
    created_ = true;
    if (OnCreate() == -1) return -1;
  }
  if (!initDone_) {
    initDone_ = true;
    OnInitDialog();
  }
  // A dialog ended during initialisation (in the wizard's loop) needs no loop of its own.
  if (result_ == 0) {
    QEventLoop loop;
    loop_ = &loop;
    loop.exec(QEventLoop::DialogExec);
    loop_ = nullptr;
  }
  if (!destroyed_) OnDestroy();
  ks::ui::TraceResult(this, result_);
  return result_;
}

void CSettingDlg::EndDialog(int result) {
  result_ = result;
  hide();
  if (loop_ != nullptr) loop_->exit(result);
}

void CSettingDlg::setVisible(bool visible) {
  // The window is initialised by DoModal, never by the first show.
  QDialog::setVisible(visible);
}

void CSettingDlg::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    m_bAutoStartCheck = m_btnAutoStart.isChecked() ? 1 : 0;
    m_bPhotoSortingCheck = m_btnPhotoSorting.isChecked() ? 1 : 0;
    if (m_editDataFolder != nullptr) m_strDataFolderEdit = m_editDataFolder->text();
  } else {
    m_btnAutoStart.setChecked(m_bAutoStartCheck != 0);
    m_btnPhotoSorting.setChecked(m_bPhotoSortingCheck != 0);
    if (m_editDataFolder != nullptr) m_editDataFolder->setText(m_strDataFolderEdit);
  }
}

QWidget* CSettingDlg::GetDlgItem(int id) const {
  for (QWidget* child : findChildren<QWidget*>()) {
    if (ks::ui::ControlId(child) == id) return child;
  }
  return nullptr;
}

void CSettingDlg::EndProcess(int code) {
  // The self-termination ends this process only, never other copies.
  KS_DESKTOP_LOG("CSettingDlg::CSettingDlg", "The agent service cannot be started: ending the program (%d).", code);
  if (options_.endProcess) {
    options_.endProcess(code);
    return;
  }
  CKSLog::Shutdown();
  ::_exit(code);
}

}  // namespace ks::mainwnd
