// CRegisterAccountDlg: creates an account of the vendor's service and logs in with it in
// one step. A CDiyDialog (353 x 184 dialog units, PNG 387) with the e-mail (1101), password
// (1121) and repeated password (1149) edits (31 characters each), the terms box (1152,
// ticked), the terms link (1063, ("URL", "URL_LICENSE")), the info line (1153) and the
// register button (1135; Return anywhere in the dialog does the same).
//
// Register action (GUI thread): nothing while a registration runs; else the input checks of
// CheckRegisterInput, of which the first that fails decides (one balloon on its edit, or
// the info line for the terms box); all passed: info "REGACCOUNT_INFO_REGISTERING" and a
// worker thread runs the request (register_account.h RegisterAccount, replaceable for
// tests). The worker's result becomes an info key (RegisterInfoKey) shown through message
// 0x601; on success (2) the dialog then empties its fields, hides and posts 0x600 with the
// new account (lower-cased e-mail, typed password, remember 1) to the owning log-in dialog,
// whose handler reports back through CLoginDlg::m_clearRegisterPending. Both hand-overs run
// on the GUI thread; the worker only waits for them.
//
// Closing (close button, Escape) while idle empties the fields, shows the owner and hides
// the dialog; while registering it minimises instead.
//
// The worker and the dialog share one reference-counted state: the destructor detaches the
// dialog from it (the worker then finishes without touching the window, and no hand-over
// waits for ever), so the dialog may go while a request is blocked. The texts handed over
// (the 0x601 key, the 0x600 record) live in that state, so an event dropped on the way
// loses nothing.
#pragma once

#include "desktop/app/login/login_dlg.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QFont>
#include <QLineEdit>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace ks::desktop {

inline constexpr unsigned kMsgRegisterInfo = 0x601;

// The first input check that fails: the language key of section "UI" and the control that
// shows it (an edit's id, or 1153 for the info line); key null when every check passed.
struct RegisterCheck {
  const char* key = nullptr;
  int control = 0;
};
RegisterCheck CheckRegisterInput(const QString& email, const QString& password, const QString& repeated,
                                 bool termsTicked);

// The info key of a registration result: 2 -> "REGACCOUNT_INFO_EMPTY", -30 TIMELIMIT,
// -11 EMAILREGISTERED, -7 INVALIDEMAIL, -6 INVALIDPASS, anything else NETWORKERR.
const char* RegisterInfoKey(int result);

struct RegisterShared;

class CRegisterAccountDlg : public ks::skin::CDiyDialog, public ILanguageCallBack {
  Q_OBJECT
 public:
  static constexpr int kEmailEdit = 1101;
  static constexpr int kPasswordEdit = 1121;
  static constexpr int kRepeatEdit = 1149;
  static constexpr int kTermsBox = 1152;
  static constexpr int kTermsLink = 1063;
  static constexpr int kInfoLine = 1153;
  static constexpr int kRegisterButton = 1135;
  static constexpr int kEmailLabel = 1150;
  static constexpr int kPasswordLabel = 1075;
  static constexpr int kRepeatLabel = 1151;
  static constexpr int kEditLimit = 31;

  using RegisterFunction = std::function<int(const std::string& email, const std::string& password)>;

  explicit CRegisterAccountDlg(QWidget* parent = nullptr);
  ~CRegisterAccountDlg() override;

  // The log-in dialog that owns this one: shown again when this one closes, and the
  // receiver of a new account. Takes over its m_clearRegisterPending.
  void SetOwner(ks::login::CLoginDlg* owner);
  // Replaces the request (default: RegisterAccount). Set before the first register action.
  void SetRegisterFunction(RegisterFunction fn);

  void OnBnClickedRegisterButton();
  void ShowInfoText(const char* key);
  bool Registering() const;
  // Texts are set again at the next paint.
  void OnLanguageChanged() override;

  // Registrations whose worker thread has not finished yet, process-wide.
  static int RunningRegistrations();

  QLineEdit* emailEdit() const { return m_edEmail; }
  QLineEdit* passwordEdit() const { return m_edPassword1; }
  QLineEdit* repeatEdit() const { return m_edPassword2; }
  ks::skin::CColorButton* termsBox() const { return m_btAgree; }
  ks::skin::CColorButton* registerButton() const { return m_btRegister; }
  ks::skin::CDiyStatic* infoLine() const { return m_stInfo; }
  ks::login::CLinkLabel* termsLink() const { return m_link; }

 public slots:
  void reject() override;

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
  void CloseOrMinimize();
  void HandOverAccount();
  void ClearFields();
  static void RunWorker(std::shared_ptr<RegisterShared> shared, RegisterFunction fn, std::string email,
                        std::string password);

  std::shared_ptr<RegisterShared> m_shared;
  RegisterFunction m_register;
  QPointer<ks::login::CLoginDlg> m_pOwnerLoginDlg;
  bool m_bTextsLoaded = false;
  ILanguages* m_pLanguages = nullptr;
  QFont m_staticFont, m_buttonFont, m_editFont, m_linkFont;
  QLineEdit* m_edEmail;
  QLineEdit* m_edPassword1;
  QLineEdit* m_edPassword2;
  ks::skin::CColorButton* m_btAgree;
  ks::skin::CColorButton* m_btRegister;
  ks::login::CLinkLabel* m_link;
  ks::skin::CDiyStatic* m_stEmail;
  ks::skin::CDiyStatic* m_stPassword1;
  ks::skin::CDiyStatic* m_stPassword2;
  ks::skin::CDiyStatic* m_stInfo;
};

}  // namespace ks::desktop
