// CHtmlDlg: the small banner window shown inside other windows. No browser engine: a
// QTextBrowser shows the page. It shows only pages of the vendor's web site; when a page
// cannot be shown it falls back to the local page HtmlDlg.htm with the banner picture of its
// language; every link goes to the default browser (the new-window path); no context menu.
//
// NavigateUrl(url, local) sets the on-local-page flag and navigates (the result is always
// delivered later, from the event loop, like a browser's navigation):
//   http(s): fetched off the GUI thread (5 s, at most 256 KiB, redirects followed); success
//     (status below 400) -> the document's address is the final URL and its HTML is shown
//     without remote images; failure -> the document is the error page
//     "res://ieframe.dll/navcancl.htm#<url>";
//   file: URLs and paths: the file's HTML; "res://..." addresses: an empty page.
// After each navigation `navigated(documentUrl, onLocalPage)` is emitted, then the address is
// classified (IsAcceptedUrl): rejected and not on the local page -> the local page is loaded
// with the flag set; whenever the flag is set the banner picture is appended to the document
// as <img src="<escaped file URL>">: banner_ch.gif, banner_en.gif, banner_tw.gif by language
// index 0/1/2 (other indices: the folder alone).
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QTextBrowser;

namespace ks::skin {

class CHtmlDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CHtmlDlg(QWidget* parent = nullptr);
  ~CHtmlDlg() override;

  void NavigateUrl(const QString& url, bool local);

  int m_nLanguage = 0;
  bool m_bOnLocalPage = false;
  QString m_strLocalPage;  // <folder>/HtmlDlg.htm

  // Accepted addresses: the program's own page (any address containing ".exe"), the local
  // page, and http(s) addresses whose host is the web server's host (KESTYL_WEB_URL) or a
  // sub-domain of it.
  bool IsAcceptedUrl(const QString& url) const;
  // The banner picture's path for a language index.
  QString BannerPath(int language) const;

  // Folder of HtmlDlg.htm and the banner pictures; default: the configuration folder when
  // it holds HtmlDlg.htm, else the roaming folder beside the program (master copies).
  static void SetPageFolder(const QString& folder);
  static QString PageFolder();
  // Where links go (default: ks::platform::ShellOpen, the user's browser). For tests and the demo.
  static void SetLinkOpener(std::function<void(const QString&)> opener);

  QString DocumentUrl() const { return documentUrl_; }
  QString DocumentHtml() const { return html_; }
  QTextBrowser* browser() const { return browser_; }

  static constexpr int kTimeoutMs = 5000;
  static constexpr int kMaxBytes = 256 * 1024;

 signals:
  void navigated(const QString& documentUrl, bool onLocalPage);

 protected:
  virtual void OnNavigateComplete(const QString& documentUrl);
  void ShowLocalBanner();
  void resizeEvent(QResizeEvent*) override;

 private:
  void Show(const QString& documentUrl, const QString& html);
  QTextBrowser* browser_;
  QString documentUrl_;
  QString html_;
  unsigned generation_ = 0;
};

}  // namespace ks::skin
