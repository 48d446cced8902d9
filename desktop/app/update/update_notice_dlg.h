// CUpdateNoticeDlg: the modal notice that offers a newer version of the desktop program.
//
// A CDiyDialog of 633 x 323 pixels (template 158, 362 x 185 du at 9 pt; background PNG 234,
// icon 128, no minimise button) with
//   1045 the sentence ("UI","UPDATE_STATIC_UPDATENOTICE_HEAD") + offered version +
//        ("UI","UPDATE_STATIC_UPDATENOTICE_TAIL"), centred over the full width, font
//        "FONT_UPDATE_STATIC", black;
//   1046 update and 1047 cancel: picture buttons (PNG 219 normal, hover and disabled, 220
//        pressed), black captions "UPDATE_BUTTON_UPDATE" / "UPDATE_BUTTON_CANCEL", font
//        "FONT_SETTING_BUTTON";
//   1043 the never-show check box "UPDATE_STATIC_NEVERSHOW", unchecked at start;
//   the banner: a CHtmlDlg child of 452 x 111 pixels at the left edge under the title band,
//        showing $KESTYL_WEB_URL/kestyl/bannerpc?L=cn|en|tw by the current language
//        (nothing appended for other languages).
// Texts are set at the first paint and at the first paint after each language change; a
// language change also reloads the banner with the new language.
//
// Either button writes HKLM SOFTWARE\Kestyl "UpdateNotice" = 1 when the box is ticked, else
// 0, and ends the dialog: IDOK (1) for update, IDCANCEL (2) for cancel. When the key cannot
// be opened the failed write is logged and the dialog still ends with its answer (the
// update check waits for that answer). Enter, Escape and the caption's close button do
// nothing: only the two buttons end the notice.
#pragma once

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QString>

#include <string>

namespace ks::skin {
class CHtmlDlg;
}

namespace ks::update {

class CUpdateNoticeDlg : public ks::skin::CDiyDialog, public ks::desktop::ILanguageCallBack {
  Q_OBJECT
 public:
  static constexpr int kNeverShowId = 1043;
  static constexpr int kSentenceId = 1045;
  static constexpr int kUpdateId = 1046;
  static constexpr int kCancelId = 1047;
  static constexpr int kBannerWidth = 452;
  static constexpr int kBannerHeight = 111;

  explicit CUpdateNoticeDlg(QWidget* parent = nullptr);
  ~CUpdateNoticeDlg() override;

  // Set before the dialog runs.
  void SetOfferedVersion(const QString& version) { m_strVersion = version; }
  QString OfferedVersion() const { return m_strVersion; }

  void Minimize() override {}
  void reject() override {}  // Escape and the close button leave the notice open
  void OnLanguageChanged() override;

  // The banner address of a language index.
  static QString BannerUrlFor(int language);

  ks::skin::CDiyStatic* sentence() const { return m_staticNotice; }
  ks::skin::CColorButton* updateButton() const { return m_btnUpdate; }
  ks::skin::CColorButton* cancelButton() const { return m_btnCancel; }
  ks::skin::CColorButton* neverShowBox() const { return m_btnNeverShow; }
  ks::skin::CHtmlDlg* banner() const { return m_pBanner; }
  // The address the banner was last sent to ("" before the first navigation).
  QString BannerUrl() const { return m_strBannerUrl; }
  bool textsApplied() const { return m_bTextsApplied; }

 protected:
  bool OnInitDialog() override;
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void OnCloseButton() override {}

 private:
  void ApplyTexts();
  void NavigateBanner();
  void OnButton(int answer);

  QString m_strVersion;
  bool m_bTextsApplied = false;
  QString m_strBannerUrl;
  ks::desktop::ILanguages* m_pLanguages = nullptr;
  ks::skin::CDiyStatic* m_staticNotice;
  ks::skin::CColorButton* m_btnUpdate;
  ks::skin::CColorButton* m_btnCancel;
  ks::skin::CColorButton* m_btnNeverShow;
  ks::skin::CHtmlDlg* m_pBanner = nullptr;
};

// Runs one notice for `version` modally and returns its answer (IDOK 1 or IDCANCEL 2).
int RunUpdateNotice(const std::string& version, QWidget* parent = nullptr);

}  // namespace ks::update
