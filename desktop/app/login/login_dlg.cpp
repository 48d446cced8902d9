#include "desktop/app/login/login_dlg.h"

#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/balloon_tip.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"
#include "desktop/foundation/web/web.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QSignalBlocker>

#include <mutex>
#include <utility>

namespace ks::login {
namespace {

constexpr int kTemplatePoints = 9;

// The sixteen characters a password may not hold, each followed by a bar.
constexpr const char* kForbidden = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";

class PasswordCharStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* ret) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return CLoginDlg::kPasswordChar.unicode();
    return QProxyStyle::styleHint(hint, option, widget, ret);
  }
};

std::mutex& OpenerMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& Opener() {
  static std::function<void(const std::string&)> opener;
  return opener;
}

QLineEdit* MakeEdit(QWidget* parent, int id, const QRect& du) {
  auto* e = new QLineEdit(parent);
  ks::ui::SetControlId(e, id);
  e->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  e->setMaxLength(CLoginDlg::kEditLimit);
  e->setFrame(false);
  QPalette p = e->palette();
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::Text, QColor(0xA0, 0xA0, 0xA0));
  e->setPalette(p);
  return e;
}

ks::skin::CDiyStatic* MakeStatic(QWidget* parent, int id, const QRect& du) {
  auto* s = new ks::skin::CDiyStatic(parent);
  ks::ui::SetControlId(s, id);
  s->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  s->SetAlignment({ks::ui::Align::Far, ks::ui::Align::Far, ks::ui::kOneLine});
  return s;
}

}  // namespace

bool HasForbiddenChar(const std::string& text) {
  const std::string all = kForbidden;
  size_t start = 0;
  while (start < all.size()) {
    size_t bar = all.find('|', start);
    if (bar == std::string::npos) bar = all.size();
    const std::string piece = all.substr(start, bar - start);
    if (!piece.empty() && text.find(piece) != std::string::npos) return true;
    start = bar + 1;
  }
  return false;
}

void ShowEditBalloonTip(QWidget* edit, const QString& text) { ks::ui::ShowEditBalloon(edit, QString(), text); }

void SetAddressOpener(std::function<void(const std::string&)> opener) {
  std::lock_guard<std::mutex> lock(OpenerMutex());
  Opener() = std::move(opener);
}

bool OpenAddress(const QString& address) {
  if (address.trimmed().isEmpty()) return false;
  std::function<void(const std::string&)> opener;
  {
    std::lock_guard<std::mutex> lock(OpenerMutex());
    opener = Opener();
  }
  const std::string url = address.toStdString();
  if (opener)
    opener(url);
  else
    CKSUtil::OpenUrl(url, false);
  return true;
}

CLinkLabel::CLinkLabel(QWidget* parent) : QLabel(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) Open();
  QLabel::mouseReleaseEvent(e);
}

void CLinkLabel::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space) {
    Open();
    return;
  }
  QLabel::keyPressEvent(e);
}

CLoginDlg::CLoginDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 232;
  m_strBkImageType = QStringLiteral("PNG");
  m_nLayoutID = 102;
  m_bHideOnClose = true;
  setFixedSize(ks::ui::DuToPx(QSize(241, 133), kTemplatePoints));
  ks::ui::RegisterMsg(kMsgSetLoginInfo);

  accountLabel_ = MakeStatic(this, kAccountLabel, {8, 38, 52, 10});
  account_ = MakeEdit(this, kAccountEdit, {63, 37, 142, 12});
  passwordLabel_ = MakeStatic(this, kPasswordLabel, {8, 63, 52, 10});
  password_ = MakeEdit(this, kPasswordEdit, {63, 62, 142, 12});
  remember_ = new ks::skin::CColorButton(this);
  ks::ui::SetControlId(remember_, kRememberBox);
  remember_->setGeometry(ks::ui::DuToPx(QRect(63, 81, 88, 11), kTemplatePoints));
  forget_ = new CLinkLabel(this);
  ks::ui::SetControlId(forget_, kForgetLink);
  forget_->setGeometry(ks::ui::DuToPx(QRect(157, 82, 66, 9), kTemplatePoints));
  QPalette lp = forget_->palette();
  lp.setColor(QPalette::WindowText, QColor(0x0C, 0x5B, 0xAD));  // COLORREF 0xAD5B0C
  forget_->setPalette(lp);
  login_ = new ks::skin::CColorButton(this);
  ks::ui::SetControlId(login_, kLoginButton);
  login_->setGeometry(ks::ui::DuToPx(QRect(156, 105, 52, 16), kTemplatePoints));
  register_ = new ks::skin::CLinkButtonCtrl(this);
  ks::ui::SetControlId(register_, kRegisterLink);
  register_->setGeometry(ks::ui::DuToPx(QRect(30, 107, 50, 14), kTemplatePoints));
  error_ = MakeStatic(this, kErrorLine, {31, 121, 125, 10});
  error_->hide();

  passwordStyle_ = new PasswordCharStyle;
  passwordStyle_->setParent(this);
  password_->setStyle(passwordStyle_);

  for (QWidget* w : {static_cast<QWidget*>(remember_), static_cast<QWidget*>(login_), static_cast<QWidget*>(register_)})
    w->setFocusPolicy(Qt::StrongFocus);
  setTabOrder(account_, password_);
  setTabOrder(password_, remember_);
  setTabOrder(remember_, login_);
  setTabOrder(login_, register_);
  setTabOrder(register_, forget_);

  for (QWidget* w : {static_cast<QWidget*>(account_), static_cast<QWidget*>(password_), static_cast<QWidget*>(remember_),
                     static_cast<QWidget*>(login_), static_cast<QWidget*>(register_), static_cast<QWidget*>(forget_)})
    w->installEventFilter(this);

  connect(login_, &QAbstractButton::clicked, this, [this] { OnBnClickedLoginButton(); });
  connect(register_, &QAbstractButton::clicked, this, [this] { OnBnClickedRegisterLink(); });
  connect(account_, &QLineEdit::textChanged, this, [this] { OnEnChangeEmailEdit(); });

  m_writeRemPass = [](const std::string& value) { CKSConfig::GetInstance()->WriteRemPass(value, true); };

  // The language tables tell their listeners about a change of language.
  if (auto* tables = dynamic_cast<ks::ui::LanguageTablesSource*>(ks::ui::GetLanguageSource().get())) {
    m_pLanguages = tables->tables();
    if (m_pLanguages) {
      m_pLanguages->AddRef();
      m_pLanguages->RegisterCallBack(this);
    }
  }
}

CLoginDlg::~CLoginDlg() {
  if (m_pLanguages) {
    m_pLanguages->UnregisterCallBack(this);
    m_pLanguages->Release();
  }
}

QString CLoginDlg::AccountHint() { return ks::ui::LangText("UI", "LOGIN_EDIT_ACCOUNT"); }
QString CLoginDlg::PasswordHint() { return ks::ui::LangText("UI", "LOGIN_EDIT_PASSWORD"); }

bool CLoginDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  setWindowIcon(ks::ui::LoadIconResource(128));
  const QFont editFont = ks::ui::CreateLanguageFont("FONT_UI_LOGIN_EDIT");
  const QFont staticFont = ks::ui::CreateLanguageFont("FONT_LOGIN_STATIC");
  const QFont staticFont1 = ks::ui::CreateLanguageFont("FONT_LOGIN_STATIC1");
  const QFont buttonFont = ks::ui::CreateLanguageFont("FONT_LOGIN_LOGIN");
  account_->setFont(editFont);
  password_->setFont(editFont);

  login_->SetCaption(ks::ui::LangText("UI", "LOGIN_BUTTON_LOGIN"));
  login_->m_textColor = 0xFF343434;
  login_->SetTextFont(buttonFont);
  login_->SetImages(379, 379, 380, 0);

  register_->setText(QString());
  register_->m_textColor = 0xFF000000;
  register_->SetTextFont(buttonFont);
  register_->SetLinkText(ks::ui::LangText("UI", "LOGIN_LINK_REGISTER"));

  remember_->SetStyle(ks::skin::CColorButton::kCheck);
  remember_->SetCaption(ks::ui::LangText("UI", "LOGIN_CHECKBOX_REMEMBERPW"));
  remember_->m_textColor = 0xFF787878;
  remember_->SetTextFont(staticFont1);

  error_->SetTextFont(staticFont1);
  error_->m_textColor = 0xFFE31B1B;
  accountLabel_->SetTextFont(staticFont);
  accountLabel_->m_textColor = 0xFF323232;
  passwordLabel_->SetTextFont(staticFont);
  passwordLabel_->m_textColor = 0xFF323232;

  QFont linkFont = ks::ui::CreateLanguageFont("FONT_LOGIN_FORGETPW", true);
  forget_->setFont(linkFont);

  remember_->setChecked(true);
  OnEnKillfocusPasswordEdit();
  account_->setFocus();
  return true;
}

void CLoginDlg::LoadLanguageTexts() {
  auto source = ks::ui::GetLanguageSource();
  if (!source) return;
  if (m_pLanguages && !m_pLanguages->IsLoaded()) {
    m_pLanguages->LoadDefaultLanguage();
    m_bTextsLoaded = false;
  } else {
    m_bTextsLoaded = true;
  }
  accountLabel_->setText(ks::ui::LangText("UI", "LOGIN_STATIC_ACCOUNT"));
  error_->setText(ks::ui::LangText("MESSAGEBOX", "MSGBOX_IDORPWERROR"));
  error_->hide();
  passwordLabel_->setText(ks::ui::LangText("UI", "LOGIN_STATIC_PASSWORD"));
  forget_->setToolTip(ks::ui::LangText("TOOLTIP", "TOOTIP_FORGETPW"));
  forget_->m_url = ks::ui::LangText("URL", "URL_FORGETPW");
  forget_->setText(ks::ui::LangText("UI", "LOGIN_LINK_FORGETPW"));
  login_->SetCaption(ks::ui::LangText("UI", "LOGIN_BUTTON_LOGIN"));
  login_->m_textColor = 0xFF343434;
  register_->SetLinkText(ks::ui::LangText("UI", "LOGIN_LINK_REGISTER"));
  remember_->SetCaption(ks::ui::LangText("UI", "LOGIN_CHECKBOX_REMEMBERPW"));
  remember_->m_textColor = 0xFF787878;
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  update();
}

void CLoginDlg::OnLanguageChanged() {
  QMetaObject::invokeMethod(this, [this] {
    m_bTextsLoaded = false;
    update();
  }, Qt::QueuedConnection);
}

void CLoginDlg::ControlsToMembers() {
  m_strAccount = account_->text();
  m_strPassword = password_->text();
}

void CLoginDlg::MembersToControls() {
  if (account_->text() != m_strAccount) account_->setText(m_strAccount);
  if (password_->text() != m_strPassword) password_->setText(m_strPassword);
}

void CLoginDlg::SetPasswordStyle(bool masked) {
  password_->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
}

void CLoginDlg::SetLoginInfo(const LoginInfo& info) {
  m_strAccount = QString::fromUtf8(info.account, static_cast<int>(strnlen(info.account, sizeof info.account)));
  m_strPassword = QString::fromUtf8(info.password, static_cast<int>(strnlen(info.password, sizeof info.password)));
  remember_->setChecked(info.remember == 1);
  m_lastLogin = info;
  m_lastLogin.account[sizeof m_lastLogin.account - 1] = '\0';
  m_lastLogin.password[sizeof m_lastLogin.password - 1] = '\0';
  if (m_strPassword != PasswordHint()) SetPasswordStyle(true);
  // Both fields are put in together: the account's change notice would empty the password.
  const QSignalBlocker quiet(account_);
  MembersToControls();
}

void CLoginDlg::ShowErrorText(const QString& text) {
  error_->setText(text);
  error_->show();
}

void CLoginDlg::RedrawNow() {
  if (!m_bTextsLoaded) LoadLanguageTexts();
  repaint();
}

void CLoginDlg::OnEnSetfocusEmailEdit() {
  ControlsToMembers();
  if (m_strAccount == AccountHint()) m_strAccount.clear();
  MembersToControls();
}

void CLoginDlg::OnEnKillfocusEmailEdit() {
  ControlsToMembers();
  if (m_strAccount.isEmpty()) m_strAccount = AccountHint();
  MembersToControls();
}

void CLoginDlg::OnEnKillfocusPasswordEdit() {
  ControlsToMembers();
  if (m_strPassword.isEmpty()) {
    SetPasswordStyle(false);
    m_strPassword = PasswordHint();
  }
  MembersToControls();
}

void CLoginDlg::OnEnSetfocusPasswordEdit() {
  ControlsToMembers();
  if (m_strPassword == PasswordHint()) m_strPassword.clear();
  SetPasswordStyle(true);
  MembersToControls();
}

void CLoginDlg::OnEnChangeEmailEdit() {
  ControlsToMembers();
  if (!m_strPassword.isEmpty()) {
    m_strPassword.clear();
    MembersToControls();
    return;
  }
  const QString last = QString::fromUtf8(m_lastLogin.account, static_cast<int>(strnlen(m_lastLogin.account, sizeof m_lastLogin.account)));
  if (m_strAccount == last) {
    if (m_lastLogin.remember == 1) {
      m_strPassword = QString::fromUtf8(m_lastLogin.password,
                                        static_cast<int>(strnlen(m_lastLogin.password, sizeof m_lastLogin.password)));
      remember_->setChecked(true);
      KS_DESKTOP_LOG("CLoginDlg::OnEnChangeEmailEdit", "m_btPWRemember:%s", remember_->isChecked() ? "true" : "false");
      SetPasswordStyle(true);
      MembersToControls();
    }
    return;
  }
  m_strPassword.clear();
  MembersToControls();
}

void CLoginDlg::OnBnClickedLoginButton() {
  ControlsToMembers();
  const QString title = ks::ui::LangText("UI", "DIALOG_TITLE");
  if (m_strAccount.isEmpty() || m_strAccount == AccountHint()) {
    ks::skin::ShowDiyMessageBox(ks::ui::LangText("MESSAGEBOX", "MSGBOX_NOACCOUNT"), title, ks::skin::MB_OK);
    return;
  }
  if (m_strPassword.isEmpty() || m_strPassword == PasswordHint()) {
    ks::skin::ShowDiyMessageBox(ks::ui::LangText("MESSAGEBOX", "MSGBOX_NOPASSWORD"), title, ks::skin::MB_OK);
    return;
  }
  const std::string account = m_strAccount.toUtf8().toStdString();
  if (!CKSUtil::IsValidEmail(account.c_str())) {
    ShowEditBalloonTip(account_, ks::ui::LangText("UI", "REGACCOUNT_INFO_INVALIDEMAIL"));
    return;
  }
  const std::string password = m_strPassword.toUtf8().toStdString();
  if (HasForbiddenChar(password) || m_strPassword.size() < 6) {
    ShowEditBalloonTip(password_, ks::ui::LangText("UI", "REGACCOUNT_INFO_INVALIDPASS"));
    return;
  }

  const bool remember = remember_->isChecked();
  LoginInfo info{};
  info.remember = remember ? 1 : 0;
  m_strAccount = m_strAccount.toLower();
  CopyField(info.account, 32, m_strAccount.toUtf8().toStdString());
  CopyField(info.password, 32, password);

  hide();
  if (m_pCallback) {
    if (std::strlen(info.password) > 16)
      m_pCallback->OnLoginInfo(&info);
    else
      m_pCallback->OnLogin(&info, 1);
  }
  m_lastLogin = info;
  KS_DESKTOP_LOG("CLoginDlg::OnBnClickedLoginButton", "SaveRemPass:%s", remember ? "true" : "false");
  if (m_writeRemPass) m_writeRemPass(remember ? "true" : "false");
  error_->hide();
}

void CLoginDlg::OnBnClickedRegisterLink() {
  OpenAddress(QString::fromStdString(ks::desktop::web::PageUrl(ks::desktop::web::kRegisterPage)));
}

void CLoginDlg::OnMsgSetLoginInfo(const LoginInfo* info) {
  if (info) {
    SetLoginInfo(*info);
    OnBnClickedLoginButton();
  }
  if (m_clearRegisterPending) m_clearRegisterPending();
}

bool CLoginDlg::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kMsgSetLoginInfo)) {
    auto* m = static_cast<ks::ui::MsgEvent*>(e);
    OnMsgSetLoginInfo(reinterpret_cast<const LoginInfo*>(m->lparam()));
    return true;
  }
  return CDiyDialog::event(e);
}

bool CLoginDlg::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
      OnBnClickedLoginButton();
      return true;
    }
  } else if (e->type() == QEvent::FocusIn) {
    if (watched == account_) OnEnSetfocusEmailEdit();
    if (watched == password_) OnEnSetfocusPasswordEdit();
  } else if (e->type() == QEvent::FocusOut) {
    if (watched == account_) OnEnKillfocusEmailEdit();
    if (watched == password_) OnEnKillfocusPasswordEdit();
  }
  return CDiyDialog::eventFilter(watched, e);
}

void CLoginDlg::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    OnBnClickedLoginButton();
    return;
  }
  if (e->key() == Qt::Key_Escape) {
    hide();
    return;
  }
  CDiyDialog::keyPressEvent(e);
}

void CLoginDlg::closeEvent(QCloseEvent* e) {
  e->ignore();
  hide();
}

void CLoginDlg::showEvent(QShowEvent* e) {
  CDiyDialog::showEvent(e);
  ControlsToMembers();
  if (m_strPassword != PasswordHint()) SetPasswordStyle(true);
}

void CLoginDlg::paintEvent(QPaintEvent* e) {
  if (!m_bTextsLoaded) LoadLanguageTexts();
  CDiyDialog::paintEvent(e);
}

}  // namespace ks::login
