#include "desktop/foundation/skin/html_dlg.h"

#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/fetch/fetch.h"
#include "desktop/foundation/web/web.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QFileInfo>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

#include <mutex>
#include <string>
#include <thread>

namespace ks::skin {
namespace {

std::mutex g_mutex;
QString g_folder;
std::function<void(const QString&)> g_opener;

// Shows local images only: remote pictures are never fetched.
class BannerBrowser : public QTextBrowser {
 public:
  using QTextBrowser::QTextBrowser;
  QVariant loadResource(int type, const QUrl& name) override {
    if (type == QTextDocument::ImageResource) {
      if (!name.isLocalFile()) return QVariant();
      QImage image(name.toLocalFile());
      return image.isNull() ? QVariant() : QVariant(image);
    }
    return QVariant();
  }
};

struct FetchResult {
  bool ok = false;
  std::string finalUrl;
  std::string body;
};

// GET with up to 5 redirects, 5 s in all, at most kMaxBytes; success for a status below
// 400 on an allowed final address (every hop is checked by the transfer).
FetchResult Fetch(const std::string& url) {
  FetchResult r;
  if (!ks::desktop::web::IsAllowedUrl(url)) return r;
  ks::desktop::fetch::Request request;
  request.url = url;
  request.follow_redirects = true;
  request.max_redirects = 5;
  request.total_timeout_ms = CHtmlDlg::kTimeoutMs;
  request.max_bytes = CHtmlDlg::kMaxBytes;
  request.sink = [&r](const char* data, size_t n) {
    r.body.append(data, n);
    return true;
  };
  const ks::desktop::fetch::Result result = ks::desktop::fetch::Perform(request);
  r.finalUrl = result.effective_url;
  r.ok = result.code == ks::desktop::fetch::Code::kOk && result.status > 0 && result.status < 400 &&
         ks::desktop::web::IsAllowedUrl(r.finalUrl);
  return r;
}

QString ReadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(f.read(CHtmlDlg::kMaxBytes));
}

}  // namespace

CHtmlDlg::CHtmlDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(parent ? Qt::Widget : Qt::Dialog | Qt::FramelessWindowHint);
  resize(ks::ui::DuToPx(QSize(316, 183), 9));
  browser_ = new BannerBrowser(this);
  browser_->setFrameShape(QFrame::NoFrame);
  browser_->setOpenLinks(false);
  browser_->setContextMenuPolicy(Qt::NoContextMenu);
  browser_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  browser_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  browser_->document()->setDocumentMargin(0);
  browser_->setGeometry(rect());
  connect(browser_, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
    std::function<void(const QString&)> opener;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      opener = g_opener;
    }
    const QString text = url.toString(QUrl::FullyEncoded);
    if (opener) opener(text);
    else ks::platform::ShellOpen(text.toStdString());
  });
  m_strLocalPage = QDir(PageFolder()).filePath(QStringLiteral("HtmlDlg.htm"));
  Show(QStringLiteral("res://Kestyl.exe/106"), QStringLiteral("<html><body style=\"margin: 0px;\"></body></html>"));
}

CHtmlDlg::~CHtmlDlg() = default;

void CHtmlDlg::SetPageFolder(const QString& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_folder = folder;
}

QString CHtmlDlg::PageFolder() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_folder.isEmpty()) return g_folder;
  // The configuration folder holds the page once the program copied its default files
  // there; before that the master copy beside the program is shown.
  const QString conf = QString::fromStdString(CKSUtil::GetConfigFolder());
  if (QFileInfo::exists(QDir(conf).filePath(QStringLiteral("HtmlDlg.htm")))) return conf;
  return QString::fromStdString(CKSUtil::GetRoamingFolder());
}

void CHtmlDlg::SetLinkOpener(std::function<void(const QString&)> opener) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_opener = std::move(opener);
}

void CHtmlDlg::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  browser_->setGeometry(rect());
}

void CHtmlDlg::Show(const QString& documentUrl, const QString& html) {
  documentUrl_ = documentUrl;
  html_ = html;
  browser_->setHtml(html);
}

void CHtmlDlg::NavigateUrl(const QString& url, bool local) {
  m_bOnLocalPage = local;
  const unsigned generation = ++generation_;
  QPointer<CHtmlDlg> self(this);
  const QUrl parsed(url);
  const QString scheme = parsed.scheme().toLower();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
    // On the global pool, which waits for its fetches when the program ends (a detached thread
    // could still be inside the HTTP library while the process tears it down).
    QThreadPool::globalInstance()->start([self, generation, url] {
      FetchResult r = Fetch(url.toStdString());
      QCoreApplication* app = QCoreApplication::instance();
      if (app == nullptr) return;
      QMetaObject::invokeMethod(
          app,
          [self, generation, url, r] {
            if (!self || self->generation_ != generation) return;
            if (r.ok) {
              self->Show(QString::fromStdString(r.finalUrl), QString::fromUtf8(r.body.data(), static_cast<qsizetype>(r.body.size())));
            } else {
              self->Show(QStringLiteral("res://ieframe.dll/navcancl.htm#") + url,
                         QStringLiteral("<html><body></body></html>"));
            }
            self->OnNavigateComplete(self->documentUrl_);
          },
          Qt::QueuedConnection);
    });
    return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, generation, url, parsed, scheme] {
        if (generation_ != generation) return;
        if (scheme == QLatin1String("res")) {
          Show(url, QStringLiteral("<html><body style=\"margin: 0px;\"></body></html>"));
        } else {
          const QString path = scheme == QLatin1String("file") ? parsed.toLocalFile() : url;
          Show(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded), ReadFile(path));
        }
        OnNavigateComplete(documentUrl_);
      },
      Qt::QueuedConnection);
}

bool CHtmlDlg::IsAcceptedUrl(const QString& url) const {
  if (url.contains(QLatin1String(".exe"), Qt::CaseInsensitive)) return true;
  const QUrl parsed(url);
  if (parsed.isLocalFile()) return QDir::cleanPath(parsed.toLocalFile()) == QDir::cleanPath(m_strLocalPage);
  const QString scheme = parsed.scheme().toLower();
  if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return false;
  const QString host = parsed.host().toLower();
  const QString site = QString::fromStdString(ks::desktop::web::UrlHost(ks::desktop::web::WebUrl())).toLower();
  if (host.isEmpty() || site.isEmpty()) return false;
  return host == site || host.endsWith(QLatin1Char('.') + site);
}

QString CHtmlDlg::BannerPath(int language) const {
  static const char* const kFiles[] = {"banner_ch.gif", "banner_en.gif", "banner_tw.gif"};
  const QString folder = QFileInfo(m_strLocalPage).absolutePath();
  if (language < 0 || language > 2) return folder;
  return QDir(folder).filePath(QString::fromLatin1(kFiles[language]));
}

void CHtmlDlg::OnNavigateComplete(const QString& documentUrl) {
  emit navigated(documentUrl, m_bOnLocalPage);
  if (!IsAcceptedUrl(documentUrl) && !m_bOnLocalPage) NavigateUrl(m_strLocalPage, true);
  if (m_bOnLocalPage) ShowLocalBanner();
}

void CHtmlDlg::ShowLocalBanner() {
  const QString src = QUrl::fromLocalFile(BannerPath(m_nLanguage)).toString(QUrl::FullyEncoded).toHtmlEscaped();
  const QString tag = QStringLiteral("<img src=\"%1\">").arg(src);
  QString html = html_;
  const int end = html.lastIndexOf(QLatin1String("</body>"), -1, Qt::CaseInsensitive);
  if (end >= 0) html.insert(end, tag);
  else html.append(tag);
  Show(documentUrl_, html);
}

}  // namespace ks::skin
