#include "desktop/app/login/login_road.h"

#include "desktop/app/login/tray_menu.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/util/ks_util.h"
#include "desktop/foundation/web/web.h"
#include "platform/elevation.h"

#include <QGuiApplication>
#include <QScreen>

#include <cstring>

namespace ks::login {

namespace {

QString Ui(const char* key) { return ks::ui::LangText("UI", key); }
QString Box(const char* key) { return ks::ui::LangText("MESSAGEBOX", key); }

bool DebugOn() {
  CKSConfig* config = CKSConfig::GetInstance();
  return config != nullptr && config->DebugOn() == "true";
}

// The address of the banner in the language shown now.
QString BannerUrlNow() {
  return QString::fromStdString(BannerAddress(ks::desktop::web::WebUrl(), ks::ui::CurrentLanguage()));
}

void CentreOnScreen(QWidget* window) {
  if (window == nullptr) return;
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect frame = window->frameGeometry();
  window->move(area.center().x() - frame.width() / 2 + 1, area.center().y() - frame.height() / 2 + 1);
}

}  // namespace

LoginRoad::LoginRoad(ks::desktop::IUIData* uiData, QWidget* mainWindow, CLoginDlg* loginDlg, ks::skin::CTrayIcon* tray,
                     ks::skin::CDiyMenu* menuTray, ks::skin::CDiyMenu* menuTrayLogin, Hooks hooks, LoginFields fields,
                     QObject* parent)
    : QObject(parent),
      uiData_(uiData),
      main_(mainWindow),
      loginDlg_(loginDlg),
      tray_(tray),
      menuTray_(menuTray),
      menuTrayLogin_(menuTrayLogin),
      hooks_(std::move(hooks)),
      f_(fields.loginStatus ? fields : OwnFields()) {
  if (uiData_ != nullptr) uiData_->AddRef();
  ks::ui::RegisterMsg(kMsgNetworkGone);
  ks::ui::RegisterMsg(kMsgNetworkBack);
  if (!hooks_.readRemPass)
    hooks_.readRemPass = [] {
      CKSConfig* config = CKSConfig::GetInstance();
      return config ? config->ReadRemPass(true) : std::string();
    };
  if (!hooks_.showBox)
    hooks_.showBox = [](const QString& text) { ks::skin::ShowDiyMessageBox(text, Ui("DIALOG_TITLE"), 0); };
  if (!hooks_.osMajor)
    hooks_.osMajor = [] {
      int major = -1, minor = 0;
      ks::platform::WindowsVersion(major, minor);
      return major;
    };
  statusTimer_.setSingleShot(true);
  // Timers do nothing once the window is closing.
  connect(&statusTimer_, &QTimer::timeout, this, [this] {
    if (!Closing()) CheckStatusProc(statusTimerId_);
  });
  trayTimer_.setInterval(kTrayFrameMs);
  connect(&trayTimer_, &QTimer::timeout, this, [this] {
    // The flash of waiting connection requests has its own timer and owns the icon meanwhile.
    if (!Closing() && !RequestsWaiting()) TrayIconTimerProc();
  });
  bannerTimer_.setInterval(kBannerRefreshMs);
  bannerTimer2_.setInterval(kBannerRefreshMs);
  connect(&bannerTimer_, &QTimer::timeout, this, [this] {
    if (!Closing()) RefreshBanner();
  });
  connect(&bannerTimer2_, &QTimer::timeout, this, [this] {
    if (!Closing()) RefreshBanner();
  });
  if (uiData_ != nullptr) worker_ = std::thread([this] { RunPollWorker(); });
}

LoginRoad::~LoginRoad() {
  statusTimer_.stop();
  trayTimer_.stop();
  bannerTimer_.stop();
  bannerTimer2_.stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (uiData_ != nullptr) uiData_->Release();
}

// ---- log-in callbacks ----

void LoginRoad::OnLogin(LoginInfo* info, int hashPassword) {
  if (info == nullptr || info->account[0] == '\0' || info->password[0] == '\0') return;
  *f_.loggedOut = false;
  *f_.isLoging = 1;
  *f_.loginStatus = kLoginBusy;
  if (hooks_.setAccountText) hooks_.setAccountText(Ui("SETTING_STATIC_ACCOUNT") +
                          QString::fromUtf8(info->account, static_cast<int>(strnlen(info->account, sizeof info->account))));
  _SetTrayIcon();
  if (info != f_.loginInfo) std::memcpy(f_.loginInfo, info, sizeof(LoginInfo));
  SetTitleAccount(f_.loginInfo->account);
  if (uiData_ == nullptr) {
    HideMainWindow();
    return;
  }
  if (uiData_->Login(f_.loginInfo, hashPassword != 0) != 0)
    KS_DESKTOP_LOG("CSettingDlg::OnLogin", "the password could not be hashed; nothing was sent");
  if (loginDlg_) {
    loginDlg_->hide();
    loginDlg_->SetLoginInfo(*f_.loginInfo);
  }
}

void LoginRoad::OnLoginInfo(LoginInfo* info) {
  if (info == nullptr) return;
  // Bounded copies: a record whose texts lack their terminator cannot run past its fields.
  LoginInfo copy{};
  copy.remember = info->remember;
  CopyField(copy.account, sizeof copy.account - 1, std::string(info->account, strnlen(info->account, sizeof info->account)));
  CopyField(copy.password, sizeof copy.password - 1,
            std::string(info->password, strnlen(info->password, sizeof info->password)));
  *f_.loginInfo = copy;
  OnLogin(f_.loginInfo, 0);
}

void LoginRoad::OnLoginDlgHide() {
  _SetTrayIcon();
  HideMainWindow();
}

void LoginRoad::OnLoginDlgQuit() {
  if (g_bLoginStarted) {
    if (hooks_.quit) hooks_.quit();
  } else if (hooks_.endProgram) {
    hooks_.endProgram();
  } else {
    CKSUtil::RunCommand("taskkill /IM Kestyl.exe /F", nullptr, false, false);
  }
}

int LoginRoad::StartLogin() {
  if (uiData_ == nullptr) {
    g_bLoginStarted = true;
    return 1;
  }
  HideMainWindow();
  std::string root;
  uiData_->GetDefShare(&root, true);
  if (!root.empty() && hooks_.setDataFolder) hooks_.setDataFolder(root);
  uiData_->GetLogOnInfo(f_.loginInfo);
  if (hooks_.readRemPass() == "false") {
    f_.loginInfo->account[0] = '\0';
    uiData_->Logout();
    uiData_->GetLogOnInfo(f_.loginInfo);
  }
  const size_t length = strnlen(f_.loginInfo->account, sizeof(LoginInfo::account));
  if (length > 0 && length < 32) {
    // The agent logs in with its saved account by itself; the window only shows it.
    SetTitleAccount(f_.loginInfo->account);
    if (loginDlg_) loginDlg_->SetLoginInfo(*f_.loginInfo);
    *f_.loginStatus = kLoginBusy;
    _SetTrayIcon();
  } else {
    HideMainWindow();
    ShowLoginDialogOffScreen();
  }
  StartStatusPoll();
  bannerTimer2_.start();
  g_bLoginStarted = true;
  return 1;
}

void LoginRoad::SetTitleAccount(const char* account) {
  const QString name = QString::fromUtf8(account, static_cast<int>(strnlen(account, sizeof(LoginInfo::account))));
  if (auto* dialog = qobject_cast<ks::skin::CDiyDialog*>(main_.data())) dialog->m_strTitle = name;
  if (main_) main_->setWindowTitle(QStringLiteral("Kestyl ") + Ui("SETTING_STATIC_ACCOUNT") + name);
}

void LoginRoad::ShowLoginDialogOffScreen() {
  if (!loginDlg_) return;
  // The dialog paints its skin out of sight first and is centred once that is done.
  loginDlg_->move(-10000, -10000);
  loginDlg_->show();
  QPointer<CLoginDlg> dlg = loginDlg_;
  QTimer::singleShot(kCentreDelayMs, dlg, [dlg] { CentreOnScreen(dlg); });
}

void LoginRoad::HideMainWindow() {
  if (main_) main_->hide();
}

// ---- network ----

void LoginRoad::OnNetConnected() { ks::ui::PostMsg(this, kMsgNetworkBack); }
void LoginRoad::OnNetDisconnected() { ks::ui::PostMsg(this, kMsgNetworkGone); }

void LoginRoad::OnMsgNetworkGone() {
  if (!*f_.networkAlive) return;
  *f_.networkAlive = false;
  *f_.isLoging = 0;
  *f_.loginStatus = kLoginIdle;
  _SetTrayIcon();
  if (tray_) tray_->ShowBalloon(Box("MSGBOX_ONNET"), QStringLiteral("Kestyl"));
}

void LoginRoad::OnMsgNetworkBack() {
  if (*f_.networkAlive) return;
  *f_.networkAlive = true;
  *f_.loginStatus = kLoginBusy;
  _SetTrayIcon();
  // The kept record already holds the stored hash of the password.
  OnLogin(f_.loginInfo, 0);
}

bool LoginRoad::event(QEvent* e) {
  const auto type = static_cast<unsigned>(e->type());
  if (type == kMsgNetworkGone) {
    OnMsgNetworkGone();
    return true;
  }
  if (type == kMsgNetworkBack) {
    OnMsgNetworkBack();
    return true;
  }
  return QObject::event(e);
}

// ---- status poll ----

bool LoginRoad::Closing() const { return hooks_.closing && hooks_.closing(); }
bool LoginRoad::RequestsWaiting() const { return hooks_.requestsWaiting && hooks_.requestsWaiting(); }

void LoginRoad::StopTimers() {
  StopStatusPoll();
  trayTimer_.stop();
  bannerTimer_.stop();
  bannerTimer2_.stop();
}

LoginFields LoginRoad::OwnFields() {
  return {&m_state.loginStatus, &m_state.mobileStatic,   &m_state.networkAlive, &m_state.isLoging,
          &m_state.loginSetupDone, &m_state.loggedOut, &m_loginInfo};
}

LoginState LoginRoad::Snapshot() const {
  LoginState st;
  st.loginStatus = *f_.loginStatus;
  st.mobileStatic = *f_.mobileStatic;
  st.networkAlive = *f_.networkAlive;
  st.isLoging = *f_.isLoging != 0;
  st.loginSetupDone = *f_.loginSetupDone;
  st.loggedOut = *f_.loggedOut;
  st.statusTimer = statusTimerId_;
  st.requestsWaiting = RequestsWaiting();
  return st;
}

void LoginRoad::StartStatusPoll() {
  if (++pollGeneration_ == 0) ++pollGeneration_;
  statusTimerId_ = pollGeneration_;
  statusTimer_.start(kStatusPollMs);
}

void LoginRoad::StopStatusPoll() {
  statusTimer_.stop();
  statusTimerId_ = 0;
}

void LoginRoad::CheckStatusProc(unsigned tick) {
  if (uiData_ == nullptr || tick == 0 || tick != statusTimerId_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) return;  // the previous question is still out; its answer re-arms the poll
    busy_ = true;
    job_ = true;
    jobTick_ = tick;
    jobLoginStatus_ = *f_.loginStatus;
  }
  wake_.notify_all();
}

bool LoginRoad::PollInFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void LoginRoad::RunPollWorker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || job_; });
    if (stopping_) return;
    job_ = false;
    const unsigned tick = jobTick_;
    const int recorded = jobLoginStatus_;
    lock.unlock();
    const int s = uiData_->GetLogOnStatus();
    // No reply while logging in leaves everything as it is: the mobile state is not asked.
    const int transfer = (s == kAgentNoReply && recorded == kLoginBusy) ? 0 : uiData_->GetTransferState();
    QMetaObject::invokeMethod(
        this,
        [this, tick, s, transfer] {
          {
            std::lock_guard<std::mutex> guard(mutex_);
            busy_ = false;
          }
          if (!Closing()) ApplyStatus(tick, s, transfer);
        },
        Qt::QueuedConnection);
    lock.lock();
  }
}

void LoginRoad::ApplyStatus(unsigned tick, int s, int transferState) {
  const StatusPlan plan = StatusStep(Snapshot(), tick, s);
  if (plan.ignored) return;
  statusTimer_.start(plan.nextMs);
  if (plan.slowed) return;
  if (plan.runSetup) {
    if (hooks_.loginSetup) hooks_.loginSetup();
    *f_.loginSetupDone = true;
  }
  if (plan.setLoging) {
    if (DebugOn()) KS_DESKTOP_LOG("CSettingDlg::CheckStatusProc", "Set m_pSettingDlg->m_IsLoging = TRUE;");
    *f_.isLoging = 1;
  }
  if (plan.showError) _ShowLoginError();
  *f_.loginStatus = s;
  *f_.mobileStatic = transferState;
  _SetTrayIcon();
}

// ---- log-in errors ----

void LoginRoad::_ShowLoginError() {
  if (DebugOn())
    KS_DESKTOP_LOG("CSettingDlg::_ShowLoginError", "_ShowLoginError():m_iLoginStatus=%d, m_IsLoging=%d, iShowMessageBox=%d",
                   *f_.loginStatus, *f_.isLoging, m_errors.showMessageBox);
  const LoginErrorPlan plan = LoginErrorStep(m_errors, Snapshot());
  switch (plan.kind) {
    case LoginErrorKind::kSkipped:
      KS_DESKTOP_LOG("CSettingDlg::_ShowLoginError", "0 != iShowMessageBox || !m_IsLoging");
      return;
    case LoginErrorKind::kBackToDialog:
      m_errors.showMessageBox = 0;
      *f_.isLoging = 0;
      HideMainWindow();
      if (loginDlg_) {
        const QString text = Box("MSGBOX_IDORPWERROR");
        loginDlg_->ShowErrorText(text);
        loginDlg_->show();
        // Its first paint sets the texts and hides the error line: that runs now, and the
        // error line is shown after it.
        loginDlg_->RedrawNow();
        loginDlg_->ShowErrorText(text);
      }
      break;
    case LoginErrorKind::kConnectFail:
      m_errors.showMessageBox = 1;
      if (plan.balloon && tray_) tray_->ShowBalloon(Box("MSGBOX_CONNECTFAIL"), Ui("DIALOG_TITLE"));
      m_errors.showMessageBox = 0;
      *f_.isLoging = 0;
      break;
    case LoginErrorKind::kSilent:
      if (*f_.loginStatus < 0 && DebugOn())
        KS_DESKTOP_LOG("CSettingDlg::_ShowLoginError", "m_iLoginStatus = %d", *f_.loginStatus);
      break;
    case LoginErrorKind::kOtherBox: {
      m_errors.showMessageBox = 1;
      const std::string text = OtherErrorText(Box("MSGBOX_OTHER").toStdString(), *f_.loginStatus);
      if (DebugOn()) KS_DESKTOP_LOG("CSettingDlg::_ShowLoginError", "%s", text.c_str());
      // Polls go on while the box is open; the busy flag keeps them from a second box.
      hooks_.showBox(QString::fromStdString(text));
      HideMainWindow();
      *f_.isLoging = 0;
      if (loginDlg_) loginDlg_->show();
      m_errors.showMessageBox = 0;
      break;
    }
  }
  *f_.loginStatus = kLoginIdle;
  *f_.mobileStatic = 1;
  _SetTrayIcon();
}

// ---- tray ----

void LoginRoad::_SetTrayIcon() {
  if (DebugOn())
    KS_DESKTOP_LOG("CSettingDlg::_SetTrayIcon", "CSettingDlg::_SetTrayIcon() m_iMobileStatic %d m_iLoginStatus %d",
                   *f_.mobileStatic, *f_.loginStatus);
  const TrayPlan plan = TrayIconFor(Snapshot());
  if (plan.noNetwork) KS_DESKTOP_LOG("CSettingDlg::_SetTrayIcon", "Network is disabled.");
  if (plan.icon != 0 && tray_) tray_->SetIcon(plan.icon, Ui("DIALOG_TITLE"));
  if (plan.timer == TrayTimer::kStart) trayTimer_.start();
  if (plan.timer == TrayTimer::kStop) trayTimer_.stop();
  if (plan.line != TrayLine::kKeep && menuTray_ && menuTrayLogin_)
    SetMobileLine(*menuTray_, *menuTrayLogin_, plan.line == TrayLine::kOnline);
}

void LoginRoad::TrayIconTimerProc() {
  // The flashing starts with its first icon, and the animation it interrupted starts over.
  const bool waiting = RequestsWaiting();
  if (waiting != flashing_) {
    flashing_ = waiting;
    m_iTrayFrame = 0;
  }
  const TrayFrame frame = TrayFrameFor(*f_.mobileStatic, *f_.loginStatus, m_iTrayFrame, waiting);
  if (!frame.acts) return;
  if (frame.icon != 0 && tray_) tray_->SetIcon(frame.icon, frame.transferTip ? m_strTrayTip : QStringLiteral("Kestyl"));
  m_iTrayFrame = frame.nextFrame;
}

void LoginRoad::BuildTrayMenu() {
  if (menuTray_ && menuTrayLogin_) ks::login::BuildTrayMenu(*menuTray_, *menuTrayLogin_, hooks_.osMajor());
}

// ---- banner ----

void LoginRoad::CreateBannerWindow() {
  if (banner_ || !main_) return;
  banner_ = new ks::skin::CHtmlDlg(main_);
  banner_->m_nLanguage = ks::ui::CurrentLanguage();
  banner_->NavigateUrl(BannerUrlNow(), false);
  // A child of the main window under its title band.
  banner_->setWindowFlags(Qt::Widget);
  banner_->setGeometry(0, 41, 483, 113);
  banner_->show();
}

void LoginRoad::RefreshBanner() {
  if (banner_) banner_->NavigateUrl(BannerUrlNow(), false);
}

void LoginRoad::StartBannerTimer() { bannerTimer_.start(); }

void LoginRoad::OnLanguageChanged() {
  if (banner_) banner_->m_nLanguage = ks::ui::CurrentLanguage();
  RefreshBanner();
}

}  // namespace ks::login
