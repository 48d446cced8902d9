// CAboutDlg: the modal About box. A CDiyDialog of 447 x 385 pixels (template 156, background
// PNG 371, no minimise button) with the logo of the current language (control 1040: PNG
// 372 simplified Chinese and unknown languages, 374 English, 373 traditional Chinese), the
// web sign 1148 (PNG 375), the about line 1067 ("UI","ABOUT_STATIC_ABOUT2") and the
// home-page link 1064 ("UI","ABOUT_STATIC_LINK2") that opens ("URL","URL_HOMEPAGE"); an
// empty address leaves the link inert. Texts are read at the first paint and again after
// OnLanguageChanged. Only the caption's close button (and Escape) end it: IDCANCEL.
#pragma once

#include "desktop/app/login/login_dlg.h"
#include "desktop/app/login/switch_account_dlg.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

namespace ks::login {

class CAboutDlg : public ks::skin::CDiyDialog, public ks::desktop::ILanguageCallBack {
  Q_OBJECT
 public:
  static constexpr int kLogoId = 1040;
  static constexpr int kLinkId = 1064;
  static constexpr int kAboutLineId = 1067;
  static constexpr int kWebSignId = 1148;

  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

  void Minimize() override {}
  void OnLanguageChanged() override;

  // The logo picture of a language index.
  static unsigned LogoImageFor(int language);

  // Runs one About box modally; while one is open (or shown by this call) another call does
  // nothing and returns -1.
  static int ShowOnce(QWidget* parent = nullptr);

  CPictureStatic* logo() const { return logo_; }
  CPictureStatic* webSign() const { return webSign_; }
  CLinkLabel* link() const { return link_; }
  ks::skin::CDiyStatic* aboutLine() const { return line_; }
  bool textsLoaded() const { return textsLoaded_; }

 protected:
  bool OnInitDialog() override;
  void paintEvent(QPaintEvent* e) override;

 private:
  void LoadLanguageTexts();

  bool textsLoaded_ = false;
  CPictureStatic* logo_;
  CPictureStatic* webSign_;
  CLinkLabel* link_;
  ks::skin::CDiyStatic* line_;
};

}  // namespace ks::login
