#include "desktop/app/connect/register_account_dlg.h"

#include "desktop/app/connect/register_account.h"
#include "desktop/app/login/login_info.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace ks::desktop {

using ks::skin::CColorButton;
using ks::skin::CDiyStatic;

// What the dialog and its worker thread share. Every field is guarded by `mutex`.
struct RegisterShared {
  std::mutex mutex;
  std::condition_variable changed;
  CRegisterAccountDlg* dialog = nullptr;  // null once the dialog is gone
  bool registering = false;               // from a passed check until the worker ends
  bool infoPending = false;               // a 0x601 has not been handled yet
  bool loginPending = false;              // the log-in dialog has not taken the account yet
  std::string infoKey;                    // the text a 0x601 points at
  LoginInfo pendingLogin{};               // the record a 0x600 points at
};

namespace {

constexpr int kTemplatePoints = 8;
constexpr QRgb kLabelColour = 0xFF323232;
constexpr QRgb kInfoColour = 0xFFE31B1B;
constexpr QRgb kCaptionColour = 0xFF434343;
constexpr QRgb kTermsCaptionColour = 0xFF787878;

std::atomic<int> g_running{0};

// The text as the request sends it; false when it does not survive the conversion (a lone
// surrogate, for one).
bool Converted(const QString& text, std::string& out) {
  const QByteArray bytes = text.toUtf8();
  if (QString::fromUtf8(bytes) != text) return false;
  out = bytes.toStdString();
  return true;
}

bool BadText(const QString& text) {
  std::string converted;
  return !Converted(text, converted) || ks::login::HasForbiddenChar(converted);
}

QLineEdit* MakeEdit(QWidget* parent, int id, const QRect& du, bool password) {
  auto* e = new QLineEdit(parent);
  ks::ui::SetControlId(e, id);
  e->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  e->setMaxLength(CRegisterAccountDlg::kEditLimit);
  e->setFrame(false);
  if (password) e->setEchoMode(QLineEdit::Password);
  QPalette p = e->palette();
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::Text, Qt::black);
  e->setPalette(p);
  return e;
}

CDiyStatic* MakeStatic(QWidget* parent, int id, const QRect& du) {
  auto* s = new CDiyStatic(parent);
  ks::ui::SetControlId(s, id);
  s->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  s->SetAlignment({ks::ui::Align::Far, ks::ui::Align::Far, ks::ui::kOneLine});
  return s;
}

}  // namespace

RegisterCheck CheckRegisterInput(const QString& email, const QString& password, const QString& repeated,
                                 bool termsTicked) {
  using D = CRegisterAccountDlg;
  std::string mail;
  if (!Converted(email, mail) || ks::login::HasForbiddenChar(mail) || !CKSUtil::IsValidEmail(mail.c_str()))
    return {"REGACCOUNT_INFO_INVALIDEMAIL", D::kEmailEdit};
  if (email.size() >= 32) return {"REGACCOUNT_INFO_ADDRTOOLONG", D::kEmailEdit};
  if (BadText(password)) return {"REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit};
  if (BadText(repeated)) return {"REGACCOUNT_INFO_INVALIDPASS", D::kRepeatEdit};
  if (password.size() < 6 || password.size() > 16) return {"REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit};
  if (password != repeated) return {"REGACCOUNT_INFO_PASSMISMATCH", D::kPasswordEdit};
  if (!termsTicked) return {"REGACCOUNT_INFO_NOTCHECKED", D::kInfoLine};
  return {};
}

const char* RegisterInfoKey(int result) {
  switch (result) {
    case 2: return "REGACCOUNT_INFO_EMPTY";
    case -30: return "REGACCOUNT_INFO_TIMELIMIT";
    case -11: return "REGACCOUNT_INFO_EMAILREGISTERED";
    case -7: return "REGACCOUNT_INFO_INVALIDEMAIL";
    case -6: return "REGACCOUNT_INFO_INVALIDPASS";
    default: return "REGACCOUNT_INFO_NETWORKERR";
  }
}

CRegisterAccountDlg::CRegisterAccountDlg(QWidget* parent)
    : CDiyDialog(parent), m_shared(std::make_shared<RegisterShared>()) {
  m_nBkImageID = 387;
  m_strBkImageType = QStringLiteral("PNG");
  m_shared->dialog = this;
  m_register = [](const std::string& email, const std::string& password) {
    return RegisterAccount(email.c_str(), password.c_str());
  };
  ks::ui::RegisterMsg(kMsgRegisterInfo);

  m_stEmail = MakeStatic(this, kEmailLabel, {36, 37, 81, 14});
  m_edEmail = MakeEdit(this, kEmailEdit, {126, 37, 164, 12}, false);
  m_stPassword1 = MakeStatic(this, kPasswordLabel, {36, 65, 81, 16});
  m_edPassword1 = MakeEdit(this, kPasswordEdit, {126, 68, 165, 12}, true);
  m_stPassword2 = MakeStatic(this, kRepeatLabel, {37, 98, 79, 14});
  m_edPassword2 = MakeEdit(this, kRepeatEdit, {126, 98, 166, 12}, true);
  m_btAgree = new CColorButton(this);
  ks::ui::SetControlId(m_btAgree, kTermsBox);
  m_btAgree->setGeometry(ks::ui::DuToPx(QRect(64, 126, 17, 9), kTemplatePoints));
  m_btAgree->SetStyle(CColorButton::kCheck);
  m_link = new ks::login::CLinkLabel(this);
  ks::ui::SetControlId(m_link, kTermsLink);
  m_link->setGeometry(ks::ui::DuToPx(QRect(81, 122, 269, 16), kTemplatePoints));
  QPalette lp = m_link->palette();
  lp.setColor(QPalette::WindowText, QColor(0x0C, 0x5B, 0xAD));  // COLORREF 0xAD5B0C
  m_link->setPalette(lp);
  m_stInfo = MakeStatic(this, kInfoLine, {68, 133, 284, 14});
  m_btRegister = new CColorButton(this);
  ks::ui::SetControlId(m_btRegister, kRegisterButton);
  m_btRegister->setGeometry(ks::ui::DuToPx(QRect(126, 152, 111, 22), kTemplatePoints));

  for (QWidget* w : {static_cast<QWidget*>(m_edEmail), static_cast<QWidget*>(m_edPassword1),
                     static_cast<QWidget*>(m_edPassword2), static_cast<QWidget*>(m_btAgree),
                     static_cast<QWidget*>(m_btRegister), static_cast<QWidget*>(m_link)})
    w->installEventFilter(this);
  connect(m_btRegister, &QAbstractButton::clicked, this, [this] { OnBnClickedRegisterButton(); });

  if (auto* tables = dynamic_cast<ks::ui::LanguageTablesSource*>(ks::ui::GetLanguageSource().get())) {
    m_pLanguages = tables->tables();
    if (m_pLanguages) {
      m_pLanguages->AddRef();
      m_pLanguages->RegisterCallBack(this);
    }
  }
}

CRegisterAccountDlg::~CRegisterAccountDlg() {
  {
    // A worker still running finds no window any more and waits for nothing.
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->dialog = nullptr;
    m_shared->infoPending = false;
    m_shared->loginPending = false;
  }
  m_shared->changed.notify_all();
  if (m_pLanguages) {
    m_pLanguages->UnregisterCallBack(this);
    m_pLanguages->Release();
  }
}

void CRegisterAccountDlg::SetOwner(ks::login::CLoginDlg* owner) {
  m_pOwnerLoginDlg = owner;
  if (owner == nullptr) return;
  // The log-in dialog's 0x600 handler reports here that it took the account; the state it
  // holds outlives this dialog, so a late report is harmless.
  std::shared_ptr<RegisterShared> shared = m_shared;
  auto release = [shared] {
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->loginPending = false;
    }
    shared->changed.notify_all();
  };
  owner->m_clearRegisterPending = release;
  connect(owner, &QObject::destroyed, this, release);
}

void CRegisterAccountDlg::SetRegisterFunction(RegisterFunction fn) { m_register = std::move(fn); }

bool CRegisterAccountDlg::Registering() const {
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  return m_shared->registering;
}

int CRegisterAccountDlg::RunningRegistrations() { return g_running.load(); }

void CRegisterAccountDlg::OnLanguageChanged() {
  m_bTextsLoaded = false;
  update();
}

bool CRegisterAccountDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  m_staticFont = ks::ui::CreateLanguageFont("FONT_REGACCOUNT_STATIC");
  m_buttonFont = ks::ui::CreateLanguageFont("FONT_REGACCOUNT_LOGINBTN");
  m_editFont = ks::ui::CreateLanguageFont("FONT_REGACCOUNT_EDIT");
  m_linkFont = ks::ui::CreateLanguageFont("FONT_REGACCOUNT_LICENSE");
  for (QLineEdit* e : {m_edEmail, m_edPassword1, m_edPassword2}) e->setFont(m_editFont);

  m_btAgree->setChecked(true);
  m_btAgree->m_textColor = kTermsCaptionColour;
  m_btRegister->SetCaption(ks::ui::LangText("UI", "REGACCOUNT_BUTTON_REGISTERANDLOGIN"));
  m_btRegister->m_textColor = kCaptionColour;
  m_btRegister->SetTextFont(m_buttonFont);
  m_btRegister->SetImages(381, 381, 382, 381);
  for (CDiyStatic* s : {m_stEmail, m_stPassword1, m_stPassword2, m_stInfo}) {
    s->SetTextFont(m_staticFont);
    s->setFont(m_staticFont);
    s->m_textColor = s == m_stInfo ? kInfoColour : kLabelColour;
  }
  m_link->setFont(m_linkFont);
  LoadLanguageTexts();
  return true;
}

void CRegisterAccountDlg::LoadLanguageTexts() {
  m_bTextsLoaded = true;
  m_stEmail->setText(ks::ui::LangText("UI", "REGACCOUNT_STATIC_EMAIL"));
  m_stPassword1->setText(ks::ui::LangText("UI", "REGACCOUNT_STATIC_PASS1"));
  m_stPassword2->setText(ks::ui::LangText("UI", "REGACCOUNT_STATIC_PASS2"));
  m_stInfo->setText(ks::ui::LangText("UI", "REGACCOUNT_INFO_EMPTY"));
  m_link->m_url = ks::ui::LangText("URL", "URL_LICENSE");
  m_link->setText(ks::ui::LangText("UI", "REGACCOUNT_LINK_LICENSE"));
  m_btRegister->SetCaption(ks::ui::LangText("UI", "REGACCOUNT_BUTTON_REGISTERANDLOGIN"));
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  update();
}

void CRegisterAccountDlg::paintEvent(QPaintEvent* e) {
  if (!m_bTextsLoaded) LoadLanguageTexts();
  CDiyDialog::paintEvent(e);
}

void CRegisterAccountDlg::showEvent(QShowEvent* e) {
  CDiyDialog::showEvent(e);
  m_edEmail->setFocus();
}

void CRegisterAccountDlg::ShowInfoText(const char* key) {
  m_stInfo->setText(ks::ui::LangText("UI", key));
  update();
}

void CRegisterAccountDlg::ClearFields() {
  for (QLineEdit* e : {m_edEmail, m_edPassword1, m_edPassword2}) e->clear();
}

void CRegisterAccountDlg::OnBnClickedRegisterButton() {
  std::unique_lock<std::mutex> lock(m_shared->mutex);
  if (m_shared->registering) return;  // one registration at a time
  const QString email = m_edEmail->text();
  const QString password = m_edPassword1->text();
  const RegisterCheck check =
      CheckRegisterInput(email, password, m_edPassword2->text(), m_btAgree->isChecked());
  lock.unlock();
  if (check.key != nullptr) {
    if (check.control == kInfoLine) {
      ShowInfoText(check.key);
    } else {
      QWidget* edit = check.control == kEmailEdit ? m_edEmail : check.control == kRepeatEdit ? m_edPassword2 : m_edPassword1;
      ks::login::ShowEditBalloonTip(edit, ks::ui::LangText("UI", check.key));
    }
    return;
  }
  lock.lock();
  m_shared->registering = true;
  lock.unlock();
  ShowInfoText("REGACCOUNT_INFO_REGISTERING");
  ++g_running;
  std::thread(RunWorker, m_shared, m_register, email.toStdString(), password.toStdString()).detach();
}

void CRegisterAccountDlg::RunWorker(std::shared_ptr<RegisterShared> s, RegisterFunction fn, std::string email,
                                    std::string password) {
  const int result = fn ? fn(email, password) : kRegisterNetworkError;
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    if (s->dialog != nullptr) {
      s->infoKey = RegisterInfoKey(result);
      s->infoPending = ks::ui::PostMsg(s->dialog, kMsgRegisterInfo, 0, reinterpret_cast<intptr_t>(&s->infoKey));
      s->changed.wait(lock, [&s] { return !s->infoPending || s->dialog == nullptr; });
    }
    if (result == 2 && s->dialog != nullptr) {
      // Hiding the window and posting to the log-in dialog belong to the GUI thread. A call
      // queued for a window destroyed meanwhile is dropped, and the destructor ends the wait.
      LoginInfo info{};
      info.remember = 1;
      ks::login::CopyField(info.account, 32, QString::fromStdString(email).toLower().toStdString());
      ks::login::CopyField(info.password, 32, password);
      s->pendingLogin = info;
      s->loginPending = true;
      CRegisterAccountDlg* dialog = s->dialog;
      QMetaObject::invokeMethod(dialog, [dialog] { dialog->HandOverAccount(); }, Qt::QueuedConnection);
      s->changed.wait(lock, [&s] { return !s->loginPending || s->dialog == nullptr; });
    }
    s->registering = false;
    s->loginPending = false;
  }
  // Wipe the password of this thread's copy before it goes.
  std::fill(password.begin(), password.end(), '\0');
  --g_running;
}

void CRegisterAccountDlg::HandOverAccount() {
  ClearFields();
  hide();
  bool posted = false;
  if (m_pOwnerLoginDlg) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    posted = ks::ui::PostMsg(m_pOwnerLoginDlg.data(), ks::login::CLoginDlg::kMsgSetLoginInfo, 1,
                             reinterpret_cast<intptr_t>(&m_shared->pendingLogin));
  }
  if (!posted) {
    {
      std::lock_guard<std::mutex> lock(m_shared->mutex);
      m_shared->loginPending = false;
    }
    m_shared->changed.notify_all();
  }
}

bool CRegisterAccountDlg::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kMsgRegisterInfo)) {
    auto* m = static_cast<ks::ui::MsgEvent*>(e);
    std::string key;
    {
      std::lock_guard<std::mutex> lock(m_shared->mutex);
      if (m->lparam() != 0) key = *reinterpret_cast<const std::string*>(m->lparam());
    }
    if (!key.empty()) ShowInfoText(key.c_str());
    {
      std::lock_guard<std::mutex> lock(m_shared->mutex);
      m_shared->infoPending = false;
    }
    m_shared->changed.notify_all();
    return true;
  }
  return CDiyDialog::event(e);
}

bool CRegisterAccountDlg::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
      OnBnClickedRegisterButton();
      return true;
    }
  }
  return CDiyDialog::eventFilter(watched, e);
}

void CRegisterAccountDlg::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    OnBnClickedRegisterButton();
    return;
  }
  CDiyDialog::keyPressEvent(e);
}

void CRegisterAccountDlg::closeEvent(QCloseEvent* e) {
  e->ignore();
  CloseOrMinimize();
}

void CRegisterAccountDlg::reject() { CloseOrMinimize(); }

void CRegisterAccountDlg::CloseOrMinimize() {
  if (Registering()) {
    // A running registration is never cut off: the window only goes out of the way.
    Minimize();
    return;
  }
  ClearFields();
  ShowInfoText("REGACCOUNT_INFO_EMPTY");
  if (m_pOwnerLoginDlg) m_pOwnerLoginDlg->show();
  hide();
}

}  // namespace ks::desktop
