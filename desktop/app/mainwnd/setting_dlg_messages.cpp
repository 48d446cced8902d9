// The main window's message map: private messages by number, menu commands, control
// notifications, and the window-level messages (creation, wake, exit, hide).
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QMouseEvent>

namespace ks::mainwnd {

bool CSettingDlg::event(QEvent* e) {
  if (PreTranslateMessage(e)) return true;
  if (e->type() >= QEvent::User && e->type() <= QEvent::MaxUser) {
    if (auto* m = dynamic_cast<ks::ui::MsgEvent*>(e)) {
      const WPARAM w = m->wparam();
      const LPARAM l = m->lparam();
      switch (m->msg()) {
        case kMsgTrayIcon: OnSystemTray(w, l); return true;
        case kMsgUpdateAvailable: OnMsgUpdateAvailable(w, l); return true;
        case kMsgNoUpdate: OnMsgNoUpdate(w, l); return true;
        case kMsgUpdateReady: OnMsgUpdateReady(w, l); return true;
        case kMsgUpdateFinish: OnMsgUpdateFinish(w, l); return true;
        case kMsgNetworkGone: OnMsgNetworkGone(w, l); return true;
        case kMsgNetworkBack: OnMsgNetworkBack(w, l); return true;
        case kMsgStartLogin: OnMsgStartLogin(w, l); return true;
        case kMsgConnectRequest: OnMsgConnectRequest(w, l); return true;
        case kMsgShowConnectDlg: OnMsgShowConnectDlg(w, l); return true;
        case kMsgHideWindow: OnMsgHideWindow(w, l); return true;
        case kMsgWake: OnMsgWake(w, l); return true;
        case kMsgExit: OnMsgExit(w, l); return true;
        case kMsgServiceState: OnMsgServiceState(w, l); return true;
        default: break;
      }
    }
  }
  return CDiyDialog::event(e);
}

void CSettingDlg::PostCommand(unsigned id) {
  QMetaObject::invokeMethod(this, [this, id] { OnCommand(id); }, Qt::QueuedConnection);
}

void CSettingDlg::OnCommand(unsigned id) {
  switch (id) {
    case kCmdChangeAccount: OnTrayMenuChangeAccount(); break;
    case kCmdLogin: OnTrayMenuLogin(); break;
    case kCmdSetting: OnTrayMenuSetting(); break;
    case kCmdUpdate: OnTrayMenuUpdate(); break;
    case kCmdExit: OnTrayMenuExit(); break;
    case kCmdOpenFolder: OnTrayMenuOpenFolder(); break;
    case kCmdAbout: OnTrayMenuAbout(); break;
    case kCmdDownload: OnTrayMenuDownload(); break;
    case kCmdHelp: OnTrayMenuHelp(); break;
    case kCmdFeedback: OnTrayMenuFeedback(); break;
    case kCmdAp: OnTrayMenuAp(); break;
    default: break;
  }
}

void CSettingDlg::ConnectControls() {
  using Button = ks::skin::CColorButton;
  connect(&m_btnDelete, &Button::clicked, this, [this] { OnBnClickedDeleteButton(); });
  connect(&m_btnAdd, &Button::clicked, this, [this] { OnBnClickedAddButton(); });
  connect(&m_btnOk, &Button::clicked, this, [this] { OnBnClickedOkButton(); });
  connect(&m_btnCancel, &Button::clicked, this, [this] { OnBnClickedCancelButton(); });
  connect(&m_btnMoveFolder, &Button::clicked, this, [this] { OnBnClickedMoveFolderButton(); });
  connect(&m_btnAutoStart, &Button::clicked, this, [this] { OnBnClickedAutoStartCheck(); });
  connect(&m_btnSwitchAccount, &Button::clicked, this, [this] { OnBnClickedSwitchAccountButton(); });
  connect(&m_btnPhotoSorting, &Button::clicked, this, [this] { OnBnClickedPhotoSortingCheck(); });
  connect(&m_btnWakeup, &Button::clicked, this, [this] { OnBnClickedWakeupButton(); });
  connect(&m_comboLanguage, &ks::skin::CColorCombobox::selChange, this, [this] { OnCbnSelchangeLanguageCombo(); });
  // Clicks on the share list arrive through its viewport (eventFilter).
  m_listShare.viewport()->installEventFilter(this);
  connect(&m_menuTray, &ks::skin::CDiyMenu::command, this, [this](unsigned id) { PostCommand(id); });
  connect(&m_menuTrayLogin, &ks::skin::CDiyMenu::command, this, [this](unsigned id) { PostCommand(id); });
}

void CSettingDlg::ConnectPageButtons() {
  connect(m_pBtnShare, &QAbstractButton::clicked, this, [this] { OnBnClickedShareButton(); });
  connect(m_pBtnSetting, &QAbstractButton::clicked, this, [this] { OnBnClickedSettingButton(); });
  connect(m_pBtnTrans, &QAbstractButton::clicked, this, [this] { OnBnClickedTransButton(); });
  connect(m_pBtnAccount, &QAbstractButton::clicked, this, [this] { OnBnClickedAccountButton(); });
  connect(m_pBtnSync, &QAbstractButton::clicked, this, [this] { OnBnClickedSyncButton(); });
}

bool CSettingDlg::eventFilter(QObject* watched, QEvent* e) {
  if (watched == m_listShare.viewport()) {
    auto rowAt = [this](QEvent* ev) {
      const QPoint pos = static_cast<QMouseEvent*>(ev)->position().toPoint();
      const QModelIndex index = m_listShare.indexAt(pos);
      return index.isValid() ? index.row() : -1;
    };
    switch (e->type()) {
      case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
          QMetaObject::invokeMethod(this, [this] { OnNMClickShareList(); }, Qt::QueuedConnection);
        } else if (static_cast<QMouseEvent*>(e)->button() == Qt::RightButton) {
          const int row = rowAt(e);
          QMetaObject::invokeMethod(this, [this, row] { OnNMRClickShareList(row); }, Qt::QueuedConnection);
        }
        break;
      case QEvent::MouseButtonDblClick: {
        const int row = rowAt(e);
        QMetaObject::invokeMethod(this, [this, row] { OnNMDblclkShareList(row); }, Qt::QueuedConnection);
        break;
      }
      default: break;
    }
  }
  return CDiyDialog::eventFilter(watched, e);
}

int CSettingDlg::OnCreate() {
  m_trayIcon.SetOwner(this, kMsgTrayIcon);
  m_trayIcon.SetIcon(kTrayIconId, QStringLiteral("Kestyl"));
  return 0;
}

LRESULT CSettingDlg::OnMsgHideWindow(WPARAM, LPARAM) {
  hide();
  return 0;
}

LRESULT CSettingDlg::OnMsgWake(WPARAM, LPARAM) {
  // A second start: treated as a left click on the tray icon.
  ks::ui::PostMsg(this, kMsgTrayIcon, 0, kWmLButtonDown);
  return 0;
}

LRESULT CSettingDlg::OnMsgExit(WPARAM, LPARAM) {
  PostCommand(kCmdExit);
  return 0;
}

void CSettingDlg::paintEvent(QPaintEvent* e) { OnPaint(e); }

void CSettingDlg::Minimize() { OnSysCommand(kScMinimize); }

}  // namespace ks::mainwnd
