// CLoginDlg: the window in which the owner enters the account (an e-mail address) and the
// password of the vendor's service. The main window creates it once, hidden, shows it
// whenever a log-in is needed and hands its listener (ICLoginDlgCallback) one LoginInfo per
// accepted log-in action. The dialog never talks to the agent itself.
//
// Controls (ids of the window template 102, background PNG 232, decoration layout 102):
//   1004 account edit, 1005 password edit (both limited to 32 characters, white, text
//   0xA0A0A0), 1008 remember-password check box, 1091 log-in button (PNG 379/379/380),
//   1135 register link, 1007 forget-password link (opens ("URL","URL_FORGETPW")),
//   1087/1088 labels, 1095 error line (hidden until ShowErrorText).
// Empty edits show their hints ("UI","LOGIN_EDIT_ACCOUNT") and ("UI","LOGIN_EDIT_PASSWORD")
// as real text, so a field that still holds its hint counts as empty. The password edit
// masks with U+25CF except while it shows its hint.
//
// Log-in action (button 1091, Return anywhere in the dialog, message 0x600 with a record):
// empty account -> message box "MSGBOX_NOACCOUNT"; empty password -> "MSGBOX_NOPASSWORD";
// account rejected by CKSUtil::IsValidEmail -> balloon "REGACCOUNT_INFO_INVALIDEMAIL" on
// 1004; password shorter than 6 characters or holding a forbidden character -> balloon
// "REGACCOUNT_INFO_INVALIDPASS" on 1005. Otherwise the dialog hides, lower-cases the account
// and hands the record over: a password of more than 16 bytes is a stored hash
// (OnLoginInfo), a shorter one is typed text to be hashed (OnLogin with flag 1). The record
// is kept for OnEnChangeEmailEdit, RemPass is written "true"/"false" by the check box, the
// error line is hidden. Closing the window and Escape only hide it.
//
// GUI thread only; 0x600 may be posted from any thread.
#pragma once

#include "desktop/app/login/login_info.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QLabel>
#include <QLineEdit>
#include <QString>

#include <functional>
#include <string>

namespace ks::login {

// The main window's side of the dialog (slot order kept).
class ICLoginDlgCallback {
 public:
  virtual ~ICLoginDlgCallback() = default;
  virtual void OnLogin(LoginInfo* info, int hashPassword) = 0;
  virtual void OnLoginDlgHide() = 0;
  virtual void OnLoginDlgQuit() = 0;
  virtual void OnLoginInfo(LoginInfo* info) = 0;
};

// True when the text holds any of ' ; " = ` * % $ ^ & < > { } [ ].
bool HasForbiddenChar(const std::string& text);

// A balloon under the edit with the text (no title, no icon).
void ShowEditBalloonTip(QWidget* edit, const QString& text);

// Opens a web address in the browser; an empty address does nothing (false). Tests replace
// the opener; the default is CKSUtil::OpenUrl.
bool OpenAddress(const QString& address);
void SetAddressOpener(std::function<void(const std::string&)> opener);

// A text that opens an address when clicked (the forget-password and home-page links).
class CLinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit CLinkLabel(QWidget* parent = nullptr);
  QString m_url;
  // Opens m_url (nothing for an empty one).
  bool Open() const { return OpenAddress(m_url); }

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
};

class CLoginDlg : public ks::skin::CDiyDialog, public ks::desktop::ILanguageCallBack {
  Q_OBJECT
 public:
  static constexpr unsigned kMsgSetLoginInfo = 0x600;
  static constexpr int kAccountEdit = 1004;
  static constexpr int kPasswordEdit = 1005;
  static constexpr int kForgetLink = 1007;
  static constexpr int kRememberBox = 1008;
  static constexpr int kAccountLabel = 1087;
  static constexpr int kPasswordLabel = 1088;
  static constexpr int kLoginButton = 1091;
  static constexpr int kErrorLine = 1095;
  static constexpr int kRegisterLink = 1135;
  static constexpr int kEditLimit = 32;
  static constexpr QChar kPasswordChar = QChar(0x25CF);

  explicit CLoginDlg(QWidget* parent = nullptr);
  ~CLoginDlg() override;

  ICLoginDlgCallback* m_pCallback = nullptr;

  void SetLoginInfo(const LoginInfo& info);
  void ShowErrorText(const QString& text);
  // Sets the language texts now when they are due (as the next paint would) and repaints:
  // what a caller shows after this is not undone by that paint.
  void RedrawNow();

  // Hint routines (the main window runs the two kill-focus ones and the password set-focus
  // one, in this order, before it shows the dialog).
  void OnEnSetfocusEmailEdit();
  void OnEnKillfocusEmailEdit();
  void OnEnSetfocusPasswordEdit();
  void OnEnKillfocusPasswordEdit();
  void OnEnChangeEmailEdit();
  void OnBnClickedLoginButton();
  void OnBnClickedRegisterLink();

  // Texts are set again at the next paint.
  void OnLanguageChanged() override;

  // Where RemPass goes (default: the process-wide configuration, locked). Tests replace it.
  std::function<void(const std::string&)> m_writeRemPass;
  // Clears the registration dialog's log-in pending flag (run by every 0x600).
  std::function<void()> m_clearRegisterPending;

  QLineEdit* accountEdit() const { return account_; }
  QLineEdit* passwordEdit() const { return password_; }
  ks::skin::CColorButton* rememberBox() const { return remember_; }
  ks::skin::CColorButton* loginButton() const { return login_; }
  ks::skin::CLinkButtonCtrl* registerLink() const { return register_; }
  CLinkLabel* forgetLink() const { return forget_; }
  ks::skin::CDiyStatic* errorLine() const { return error_; }
  const LoginInfo& lastLogin() const { return m_lastLogin; }
  bool textsLoaded() const { return m_bTextsLoaded; }

  static QString AccountHint();
  static QString PasswordHint();

 protected:
  bool OnInitDialog() override;
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  void LoadLanguageTexts();
  void ControlsToMembers();
  void MembersToControls();
  void SetPasswordStyle(bool masked);
  void OnMsgSetLoginInfo(const LoginInfo* info);

  QString m_strAccount;
  QString m_strPassword;
  LoginInfo m_lastLogin{};
  bool m_bTextsLoaded = false;
  ks::desktop::ILanguages* m_pLanguages = nullptr;

  QLineEdit* account_;
  QLineEdit* password_;
  ks::skin::CColorButton* remember_;
  ks::skin::CColorButton* login_;
  ks::skin::CLinkButtonCtrl* register_;
  CLinkLabel* forget_;
  ks::skin::CDiyStatic* error_;
  ks::skin::CDiyStatic* accountLabel_;
  ks::skin::CDiyStatic* passwordLabel_;
  QStyle* passwordStyle_;
};

}  // namespace ks::login
