// CConnectDlg: the owner's yes/no on one mobile client that asks to log in. A frameless,
// always-on-top CDiyDialog (353 x 251, background PNG 253, no minimise button) showing the
// title (1103), "<label><sender>" (1104), "<label><network>" (1105) and a note (1106), with
// OK (id 1, the default button) and Cancel (id 2).
//
// Answers: OK reports {request id, accepted}; Cancel, the close button, Escape and Expire()
// report {request id, refused}. The listener is called exactly once per dialog, before it
// ends, whichever way it ends first; a dialog without a listener ends silently.
//
// The sender and network texts come from another machine: each is read up to its first NUL
// but never past its 64 bytes, invalid UTF-8 shows as U+FFFD and control characters as blanks.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QFont>
#include <QString>

namespace ks::desktop {

class IConnectDlgCallBack {
 public:
  virtual void OnConnectDlgResult(const ConnectDlgResult* result) = 0;

 protected:
  virtual ~IConnectDlgCallBack() = default;
};

// A text field of a request as shown: see the header comment.
QString RequestFieldText(const char* field, size_t capacity);

class CConnectDlg : public ks::skin::CDiyDialog {
  Q_OBJECT
 public:
  static constexpr int kTitleId = 1103;
  static constexpr int kSenderId = 1104;
  static constexpr int kNetworkId = 1105;
  static constexpr int kOtherId = 1106;

  explicit CConnectDlg(QWidget* parent = nullptr);
  ~CConnectDlg() override;

  void SetRequest(const ConnectRequestInfo& request) { m_request = request; }
  const ConnectRequestInfo& Request() const { return m_request; }
  void SetListener(IConnectDlgCallBack* listener) { m_pListener = listener; }

  // The request ran out of time: ends the dialog as a refusal.
  void Expire() { done(ks::skin::IDCANCEL); }

  void Minimize() override {}

  ks::skin::CColorButton* okButton() const { return m_btOk; }
  ks::skin::CColorButton* cancelButton() const { return m_btCancel; }
  ks::skin::CDiyStatic* control(int id) const;

 public slots:
  void done(int result) override;

 protected:
  bool OnInitDialog() override;
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent*) override;

 private:
  void LoadLanguageTexts();

  ConnectRequestInfo m_request{};
  IConnectDlgCallBack* m_pListener = nullptr;
  bool m_bTextsLoaded = false;
  bool m_bAnswered = false;
  QFont m_titleFont, m_infoFont, m_otherFont, m_buttonFont;
  ks::skin::CColorButton* m_btOk;
  ks::skin::CColorButton* m_btCancel;
  ks::skin::CDiyStatic* m_stTitle;
  ks::skin::CDiyStatic* m_stSender;
  ks::skin::CDiyStatic* m_stNetwork;
  ks::skin::CDiyStatic* m_stOther;
};

}  // namespace ks::desktop
