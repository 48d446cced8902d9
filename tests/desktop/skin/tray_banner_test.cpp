// CTrayIcon in window mode (no tray host offscreen) and CHtmlDlg against a fake web server.
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/skin/tray_icon.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/fake_web_server.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

using ks::skin::CHtmlDlg;
using ks::skin::CTrayIcon;

class Owner : public QObject {
 public:
  std::vector<std::pair<uintptr_t, intptr_t>> got;
  bool event(QEvent* e) override {
    if (e->type() == static_cast<QEvent::Type>(CTrayIcon::kDefaultCallbackMessage)) {
      auto* m = static_cast<ks::ui::MsgEvent*>(e);
      got.emplace_back(m->wparam(), m->lparam());
      return true;
    }
    return QObject::event(e);
  }
};

QStringList ReadLines(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
};

TEST_F(TrayTest, AddModifyDeleteSequenceWithTipsAndMouseMessages) {
  QTemporaryDir dir;
  const QString trace = dir.filePath(QStringLiteral("trace"));
  ks::ui::SetTraceFile(trace);
  Owner owner;
  {
    CTrayIcon tray;
    ASSERT_TRUE(tray.UsesWindow());  // no tray host offscreen
    tray.SetOwner(&owner, CTrayIcon::kDefaultCallbackMessage);
    EXPECT_EQ(tray.SetIcon(0, std::nullopt), 1);  // nothing to delete: nothing happens
    EXPECT_EQ(tray.SetIcon(174, QStringLiteral("Kestyl")), 1);
    ASSERT_NE(tray.trayWindow(), nullptr);
    QWidget* window = tray.trayWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Kestyl tray"));
    EXPECT_EQ(window->size(), QSize(32, 32));
    EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(window, 4, 26), kstest::ArtColour("174")));
    EXPECT_EQ(tray.SetIcon(368, std::nullopt), 1);  // no tip: the previous one stays
    EXPECT_EQ(tray.Tip(), QStringLiteral("Kestyl"));
    EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(window, 4, 26), kstest::ArtColour("368")));
    QTest::mouseClick(window, Qt::RightButton);
    QTest::mouseClick(window, Qt::LeftButton);
    ASSERT_TRUE(kstest::WaitUntil([&] { return owner.got.size() == 4; }));
    const std::vector<std::pair<uintptr_t, intptr_t>> expected = {
        {62547, 0x204}, {62547, 0x205}, {62547, 0x201}, {62547, 0x202}};
    EXPECT_EQ(owner.got, expected);
    EXPECT_EQ(tray.SetIcon(0, std::nullopt), 1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(tray.IconShown());
    EXPECT_EQ(tray.SetIcon(99999, QStringLiteral("x")), 0);  // no such picture: not shown
    EXPECT_FALSE(tray.IconShown());
  }
  ks::ui::SetTraceFile(QString());
  const QStringList expected = {QStringLiteral("tray add 174 \"Kestyl\""), QStringLiteral("tray modify 368 \"Kestyl\""),
                                QStringLiteral("tray delete")};
  QStringList lines = ReadLines(trace).filter(QRegularExpression(QStringLiteral("^tray ")));
  EXPECT_EQ(lines, expected);
}

TEST_F(TrayTest, TextsAreCutAtCharacterBoundariesAndBalloonsBreakLines) {
  struct Case {
    QString text;
    int units;
    int want;
  } cases[] = {
      {QString(200, QLatin1Char('x')), 127, 127},
      {QString(126, QLatin1Char('x')) + QString::fromUtf8("😀"), 127, 126},  // a pair is not split
      {QStringLiteral("short"), 127, 5},
  };
  for (const Case& c : cases) EXPECT_EQ(CTrayIcon::CutAtCharacter(c.text, c.units).size(), c.want);

  Owner owner;
  CTrayIcon tray;
  tray.SetOwner(&owner, CTrayIcon::kDefaultCallbackMessage);
  tray.SetIcon(368, QString(200, QLatin1Char('t')));
  EXPECT_EQ(tray.Tip().size(), 127);
  tray.ShowBalloon(QStringLiteral("line one\\nline two") + QString(300, QLatin1Char('z')), QString(80, QLatin1Char('T')));
  EXPECT_TRUE(tray.LastBalloonText().startsWith(QStringLiteral("line one\nline two")));
  EXPECT_EQ(tray.LastBalloonText().size(), 255);
  EXPECT_EQ(tray.LastBalloonTitle().size(), 63);
  ASSERT_NE(tray.noticeWindow(), nullptr);
  EXPECT_TRUE(tray.noticeWindow()->isVisible());
  EXPECT_EQ(tray.noticeWindow()->windowTitle(), QStringLiteral("Kestyl notice"));
  QTest::mouseClick(tray.noticeWindow(), Qt::LeftButton);
  ASSERT_TRUE(kstest::WaitUntil([&] { return !owner.got.empty(); }));
  EXPECT_EQ(owner.got.back().second, static_cast<intptr_t>(CTrayIcon::kBalloonClick));
  EXPECT_FALSE(tray.noticeWindow()->isVisible());
}

class BannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    qputenv("KESTYL_LOOPBACK", "1");
    qputenv("KESTYL_WEB_URL", QByteArray::fromStdString(server_.url()));
    CHtmlDlg::SetPageFolder(QStringLiteral(KS_ROAMING_DIR));
    CHtmlDlg::SetLinkOpener([this](const QString& url) { opened_ << url; });
  }
  void TearDown() override {
    CHtmlDlg::SetLinkOpener(nullptr);
    qunsetenv("KESTYL_WEB_URL");
  }

  struct Nav {
    QString url;
    bool local;
  };
  std::vector<Nav> Navigate(CHtmlDlg& dlg, const QString& url, size_t count) {
    std::vector<Nav> navs;
    QObject::connect(&dlg, &CHtmlDlg::navigated, [&navs](const QString& u, bool l) { navs.push_back({u, l}); });
    dlg.NavigateUrl(url, false);
    kstest::WaitUntil([&] { return navs.size() >= count; }, 10000);
    kstest::ProcessEvents();
    return navs;
  }

  ks::fake::FakeWebServer server_;
  QStringList opened_;
};

TEST_F(BannerTest, AddressClassification) {
  CHtmlDlg dlg;
  const QString site = QString::fromStdString(server_.url());
  struct Case {
    QString url;
    bool accepted;
  } cases[] = {
      {site + QStringLiteral("/kestyl/bannerpc?L=en"), true},
      {QStringLiteral("http://www.127.0.0.1/x"), true},  // a sub-domain of the site's host
      {QStringLiteral("http://evil.example/?u=") + site, false},
      {QStringLiteral("http://127.0.0.1.evil.example/"), false},
      {QStringLiteral("res://ieframe.dll/navcancl.htm#") + site, false},
      {QStringLiteral("res://Kestyl.exe/106"), true},
      {QUrl::fromLocalFile(dlg.m_strLocalPage).toString(), true},
      {QStringLiteral("file:///etc/passwd"), false},
      {QStringLiteral("ftp://127.0.0.1/"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(dlg.IsAcceptedUrl(c.url), c.accepted) << c.url.toStdString();
}

TEST_F(BannerTest, ASitePageStaysAndAFailedOneFallsBackToTheLocalBanner) {
  server_.Enqueue(ks::fake::WebReply::Ok("<html><body><a href=\"http://127.0.0.1/more\">more</a>"
                                         "<img src=\"http://127.0.0.1/remote.png\"></body></html>"));
  {
    CHtmlDlg dlg;
    dlg.m_nLanguage = 1;
    const QString url = QString::fromStdString(server_.url()) + QStringLiteral("/kestyl/bannerpc?L=en");
    auto navs = Navigate(dlg, url, 1);
    ASSERT_EQ(navs.size(), 1u);
    EXPECT_EQ(navs[0].url, url);
    EXPECT_FALSE(navs[0].local);
    EXPECT_FALSE(dlg.m_bOnLocalPage);
    EXPECT_TRUE(dlg.DocumentHtml().contains(QStringLiteral("more")));
    // A link goes to the opener, never to a second window of ours.
    emit dlg.browser()->anchorClicked(QUrl(QStringLiteral("http://127.0.0.1/more")));
    EXPECT_EQ(opened_, QStringList{QStringLiteral("http://127.0.0.1/more")});
    EXPECT_EQ(dlg.browser()->contextMenuPolicy(), Qt::NoContextMenu);
  }
  struct Case {
    int language;
    const char* picture;
  } cases[] = {{1, "banner_en.gif"}, {2, "banner_tw.gif"}, {0, "banner_ch.gif"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    ks::fake::WebReply notFound;
    notFound.status = 404;
    notFound.reason = "Not Found";
    server_.Enqueue(notFound);
    CHtmlDlg dlg;
    dlg.m_nLanguage = c.language;
    dlg.resize(452, 111);
    dlg.show();
    const QString url = QString::fromStdString(server_.url()) + QStringLiteral("/kestyl/bannerpc?L=xx");
    auto navs = Navigate(dlg, url, 2);
    ASSERT_EQ(navs.size(), 2u);
    EXPECT_EQ(navs[0].url, QStringLiteral("res://ieframe.dll/navcancl.htm#") + url);
    EXPECT_FALSE(navs[0].local);
    EXPECT_EQ(navs[1].url, QUrl::fromLocalFile(dlg.m_strLocalPage).toString(QUrl::FullyEncoded));
    EXPECT_TRUE(navs[1].local);
    const QString img = QStringLiteral("<img src=\"%1\">")
                            .arg(QUrl::fromLocalFile(QDir(QStringLiteral(KS_ROAMING_DIR)).filePath(QString::fromLatin1(c.picture)))
                                     .toString(QUrl::FullyEncoded));
    EXPECT_EQ(dlg.DocumentHtml().count(img), 1) << dlg.DocumentHtml().toStdString();
    auto probe = kstest::ArtProbe(c.picture);
    kstest::ProcessEvents();
    EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(dlg.browser(), probe.probeX, probe.probeY), kstest::ArtColour(c.picture)));
  }
}

// In loopback mode every hop of a redirect is checked before it is followed: a redirect
// out of the allowed hosts (here ::1, which loopback mode's address rule leaves out) is
// never connected to and the banner falls back at once; a redirect within the site is
// followed and names the document.
TEST_F(BannerTest, RedirectsAreCheckedBeforeTheyAreFollowed) {
  int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0) {
    if (listener >= 0) close(listener);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const QString site = QString::fromStdString(server_.url());
  const QString url = site + QStringLiteral("/kestyl/bannerpc?L=en");
  ks::fake::WebReply out;
  out.status = 302;
  out.reason = "Found";
  out.headers.push_back({"Location", "http://[::1]:" + std::to_string(ntohs(a.sin6_port)) + "/page"});
  server_.Enqueue("/kestyl/bannerpc", out);
  {
    CHtmlDlg dlg;
    auto navs = Navigate(dlg, url, 2);
    ASSERT_EQ(navs.size(), 2u);
    EXPECT_EQ(navs[0].url, QStringLiteral("res://ieframe.dll/navcancl.htm#") + url);
    EXPECT_TRUE(navs[1].local);
  }
  int conn = accept(listener, nullptr, nullptr);
  EXPECT_LT(conn, 0) << "a connection went to the address loopback mode refuses";
  if (conn >= 0) close(conn);
  close(listener);

  ks::fake::WebReply inside = out;
  inside.headers = {{"Location", "/kestyl/moved"}};
  server_.Enqueue("/kestyl/bannerpc", inside);
  server_.Enqueue("/kestyl/moved", ks::fake::WebReply::Ok("<html><body>moved here</body></html>"));
  CHtmlDlg dlg;
  auto navs = Navigate(dlg, url, 1);
  ASSERT_EQ(navs.size(), 1u);
  EXPECT_EQ(navs[0].url, site + QStringLiteral("/kestyl/moved"));
  EXPECT_FALSE(navs[0].local);
  EXPECT_TRUE(dlg.DocumentHtml().contains(QStringLiteral("moved here")));
}

}  // namespace

namespace {

// The page folder follows the installation: the configuration folder once it holds the
// page, the master copies beside the program before that.
TEST(BannerPageFolder, ConfigFolderOnceItHoldsThePage) {
  QTemporaryDir root;
  ASSERT_TRUE(QDir(root.path()).mkpath(QStringLiteral("bin/roaming")));
  ASSERT_TRUE(QDir(root.path()).mkpath(QStringLiteral("conf")));
  CKSUtil::SetProgramFolder(root.filePath(QStringLiteral("bin")).toStdString());
  CHtmlDlg::SetPageFolder(QString());
  EXPECT_EQ(QDir(CHtmlDlg::PageFolder()), QDir(root.filePath(QStringLiteral("bin/roaming"))));
  QFile page(root.filePath(QStringLiteral("conf/HtmlDlg.htm")));
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.close();
  EXPECT_EQ(QDir(CHtmlDlg::PageFolder()), QDir(root.filePath(QStringLiteral("conf"))));
  CKSUtil::SetProgramFolder("");
}

}  // namespace
