// The hosted Wi-Fi network: what the dialog shows for each state, the status line's layout,
// the adapter test, the batch file, and the dialog's start and stop against the netsh and
// elevation stand-ins of a platform folder of the test's own.
#include "desktop/app/connect/ap_dlg.h"
#include "desktop/app/connect/hosted_network.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/util/ks_util.h"

#include <QTest>

#include <QFontMetricsF>

#include <gtest/gtest.h>

#include <cmath>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/desktop/app/connect/connect_language.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop;
using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;
namespace fs = std::filesystem;

TEST(HostedNetworkView, StateTable) {
  struct Case {
    bool started;
    int major;
    bool wireless;
    const char* key;
    unsigned icon;
    bool startVisible, startEnabled, stopVisible;
  } cases[] = {
      {true, 6, true, "AP_STARTED", 331, false, false, true},
      {true, 5, false, "AP_STARTED", 331, false, false, true},  // the flag wins
      {false, 6, true, "AP_OK", 331, true, true, false},
      {false, 10, true, "AP_OK", 331, true, true, false},
      {false, 6, false, "AP_NOWLAN", 266, true, false, false},
      {false, 5, true, "AP_OS", 266, true, false, false},
      {false, 5, false, "AP_OS", 266, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.major));
    const ApView v = ApViewFor(c.started, c.major, c.wireless);
    EXPECT_STREQ(c.key, v.statusKey);
    EXPECT_EQ(c.icon, v.icon);
    EXPECT_EQ(c.startVisible, v.startVisible);
    EXPECT_EQ(c.stopVisible, v.stopVisible);
    if (c.startVisible) {
      EXPECT_EQ(c.startEnabled, v.startEnabled);
    }
  }
}

TEST(HostedNetworkView, StatusLineLayout) {
  struct Case {
    int W, H, w, h;
    QPoint icon;
    QRect text;
  } cases[] = {
      // one line, centred in W - 54: x0 = (322 - 100 - 54) / 2 = 84
      {322, 198, 100, 12, {99, 154}, {123, 160, 104, 16}},
      // exactly the room of one line (A = 268): still one line, x0 = 0
      {322, 198, 268, 12, {15, 154}, {39, 160, 272, 16}},
      // x0 rounds toward zero: (322 - 101 - 54) / 2 = 83
      {322, 198, 101, 13, {98, 154}, {122, 159, 105, 17}},
      // wrapped: n = ceil(600 / 268) = 3, r = 24
      {322, 198, 600, 12, {15, 129}, {43, 135, 268, 37}},
      // one pixel over: two lines
      {322, 198, 269, 12, {15, 141}, {43, 147, 268, 25}},
      // a window too narrow for any line lays out as one line instead of dividing by zero
      {54, 100, 30, 12, {0, 56}, {24, 62, 34, 16}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " text " + std::to_string(c.w));
    const ApStatusLayout l = LayoutApStatus(c.W, c.H, QSize(c.w, c.h));
    EXPECT_EQ(c.icon, l.icon);
    EXPECT_EQ(c.text, l.text);
  }
}

TEST(HostedNetworkAdapters, WirelessInterfaceOrWifiRecord) {
  TempDir sys;
  fs::create_directories(sys / "eth0/device");
  fs::create_directories(sys / "lo");
  EXPECT_FALSE(HasWirelessAdapterIn(sys.path(), ""));
  EXPECT_FALSE(HasWirelessAdapterIn(sys.path(), "index=3 type=ethernet mac=00:11:22:33:44:55 ipv4=10.0.0.2\n"));
  EXPECT_TRUE(HasWirelessAdapterIn(sys.path(), "index=3 type=wifi mac=00:11:22:33:44:55 ipv4=10.0.0.2\n"));
  // A record the adapters file would skip does not count either.
  EXPECT_FALSE(HasWirelessAdapterIn(sys.path(), "type=wifi mac=00:11:22:33:44:55\n"));
  EXPECT_FALSE(HasWirelessAdapterIn(sys / "missing", ""));

  fs::create_directories(sys / "wlan0/wireless");
  EXPECT_TRUE(HasWirelessAdapterIn(sys.path(), ""));
  fs::remove_all(sys / "wlan0");
  fs::create_directories(sys / "wlp2s0");
  WriteFile(sys / "wlp2s0/phy80211", "");
  EXPECT_TRUE(HasWirelessAdapterIn(sys.path(), ""));
}

// An installation <tmp>/bin with its conf folder and a platform folder; the system tools are
// the built stand-ins, so netsh keeps its state in the platform folder.
class HostedNetworkInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_ / "bin");
    fs::create_directories(tmp_ / "conf");
    fs::create_directories(tmp_ / "platform");
    CKSUtil::SetProgramFolder(tmp_ / "bin");
    SetHostedNetworkStarted(false);
  }
  void TearDown() override {
    CKSUtil::SetProgramFolder("");
    SetHostedNetworkStarted(false);
  }
  void AddWifiRecord() {
    WriteFile(tmp_ / "platform/adapters", "index=9 type=wifi desc=Test Wi-Fi mac=02:00:00:00:00:09 ipv4=10.9.0.2\n");
  }
  std::string ShellLog() const { return ReadFile(tmp_ / "platform/shell.log"); }
  std::string Calls() const { return ReadFile(tmp_ / "platform/netsh/calls.log"); }
  bool BatchLeft() const { return fs::exists(fs::symlink_status(tmp_ / ("conf/" + std::string(kApBatchFileName)))); }

  TempDir tmp_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", (tmp_ / "platform").c_str()};
  EnvGuard tools_{"KESTYL_SYSTEM_DIR", KS_BIN_DIR "/system"};
  EnvGuard runas_{"KESTYL_RUNAS", nullptr};
  EnvGuard winver_{"KESTYL_WINVER", nullptr};
  EnvGuard admin_{"KESTYL_ADMIN", nullptr};
};

TEST_F(HostedNetworkInstall, BatchFileIsOwnerOnlyAndNeverFollowsALink) {
  EXPECT_EQ("/s/netsh wlan set hostednetwork mode=allow ssid=kestyl key=58203746 keyUsage=persistent\r\n"
            "/s/netsh wlan start hostednetwork",
            ApBatchText("/s"));
  EXPECT_EQ("\"/a b/netsh\" wlan set hostednetwork mode=allow ssid=kestyl key=58203746 keyUsage=persistent\r\n"
            "\"/a b/netsh\" wlan start hostednetwork",
            ApBatchText("/a b"));

  const std::string victim = tmp_ / "victim";
  WriteFile(victim, "keep");
  const std::string batch = tmp_ / ("conf/" + std::string(kApBatchFileName));
  fs::create_symlink(victim, batch);
  EXPECT_EQ(batch, WriteApBatchFile("text"));
  EXPECT_EQ("keep", ReadFile(victim));
  EXPECT_EQ("text", ReadFile(batch));
  struct stat st{};
  ASSERT_EQ(0, ::lstat(batch.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // A configuration folder that cannot hold the file: "" and nothing left.
  fs::remove_all(tmp_ / "conf");
  WriteFile(tmp_ / "conf", "not a folder");
  EXPECT_EQ("", WriteApBatchFile("text"));
}

// The dialog with its notices recorded instead of shown.
class TestApDlg : public CApDlg {
 public:
  std::vector<QString> notices;
 protected:
  void ShowNotice(const QString& text) override { notices.push_back(text); }
};

class ApDialog : public HostedNetworkInstall {
 protected:
  void SetUp() override {
    HostedNetworkInstall::SetUp();
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::KeyLanguage>());
  }
  void TearDown() override {
    kstest::ProcessEvents();
    ks::ui::SetLanguageSource(nullptr);
    HostedNetworkInstall::TearDown();
  }
  static QString Status(const CApDlg& d) { return d.statusStatic()->text(); }
  // Hosts that really have a wireless interface show "AP_OK" without any record.
  static bool HostHasWireless() { return HasWirelessAdapterIn("/sys/class/net", ""); }
};

TEST_F(ApDialog, StartAndStopWithAWifiAdapter) {
  AddWifiRecord();
  auto dlg = std::make_unique<TestApDlg>();
  dlg->show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->isVisible(); }));
  EXPECT_EQ(QSize(322, 198), dlg->size());
  EXPECT_EQ("AP_OK|", Status(*dlg));
  EXPECT_EQ("AP_STATIC_TITLE|", dlg->titleStatic()->text());
  EXPECT_EQ(331u, dlg->statusIcon()->Image());
  EXPECT_TRUE(dlg->startButton()->isVisible());
  EXPECT_TRUE(dlg->startButton()->isEnabled());
  EXPECT_FALSE(dlg->stopButton()->isVisible());

  QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
  EXPECT_EQ("AP_STARTED|", Status(*dlg));
  EXPECT_EQ(331u, dlg->statusIcon()->Image());
  EXPECT_FALSE(dlg->startButton()->isVisible());
  EXPECT_TRUE(dlg->stopButton()->isVisible());
  EXPECT_TRUE(HostedNetworkStarted());
  EXPECT_FALSE(BatchLeft());
  const std::string shell = ShellLog();
  EXPECT_NE(std::string::npos, shell.find("runas accept " + tmp_ / ("conf/" + std::string(kApBatchFileName))))
      << shell;
  EXPECT_NE(std::string::npos, Calls().find("wlan set hostednetwork mode=allow ssid=kestyl key=58203746"));
  EXPECT_TRUE(dlg->notices.empty());  // the tests run elevated: no prompt, no notice

  // A dialog made afresh shows the network this program started.
  dlg.reset();
  dlg = std::make_unique<TestApDlg>();
  dlg->show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->isVisible(); }));
  EXPECT_EQ("AP_STARTED|", Status(*dlg));
  EXPECT_TRUE(dlg->stopButton()->isVisible());
  EXPECT_FALSE(dlg->startButton()->isVisible());

  QTest::mouseClick(dlg->stopButton(), Qt::LeftButton);
  EXPECT_EQ("AP_OK|", Status(*dlg));
  EXPECT_TRUE(dlg->startButton()->isVisible());
  EXPECT_FALSE(dlg->stopButton()->isVisible());
  EXPECT_FALSE(HostedNetworkStarted());
  const std::string calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("wlan stop hostednetwork\n", calls.substr(calls.rfind('\n', calls.size() - 2) + 1));
  EXPECT_FALSE(HostedNetworkIsUp());
}

TEST_F(ApDialog, DeclinedPromptLeavesNoBatchFileAndReportsTheDevice) {
  AddWifiRecord();
  EnvGuard decline("KESTYL_RUNAS", "decline");
  TestApDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }));
  QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
  EXPECT_EQ("AP_DEVICE_UNAVAILABLE|", Status(dlg));
  EXPECT_EQ(266u, dlg.statusIcon()->Image());
  EXPECT_TRUE(dlg.startButton()->isVisible());
  EXPECT_FALSE(dlg.stopButton()->isVisible());
  EXPECT_FALSE(HostedNetworkStarted());
  EXPECT_FALSE(BatchLeft());
  EXPECT_NE(std::string::npos, ShellLog().find("runas decline "));
}

// A status too long for one line wraps, and the status line is high enough for every line
// it wraps to (the drawing leaves out a line that does not fit whole).
TEST_F(ApDialog, WrappedStatusKeepsEveryLine) {
  struct LongTexts : kstest::KeyLanguage {
    QString Text(const std::string& section, const std::string& key) const override {
      if (key == "AP_DEVICE_UNAVAILABLE") return QStringLiteral("The hotspot could not be started. Check the wireless adapter.");
      return KeyLanguage::Text(section, key);
    }
  };
  ks::ui::SetLanguageSource(std::make_shared<LongTexts>());
  AddWifiRecord();
  EnvGuard decline("KESTYL_RUNAS", "decline");
  TestApDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }));
  QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
  ks::skin::CDiyStatic* status = dlg.statusStatic();
  const QFontMetricsF metrics(status->font());
  const qreal room = dlg.width() - 54;
  ASSERT_GT(metrics.horizontalAdvance(status->text()), room) << "the text must wrap";
  const int lines = static_cast<int>(std::ceil(metrics.horizontalAdvance(status->text()) / room));
  EXPECT_GE(status->height() + 0.01, lines * metrics.height());
}

TEST_F(ApDialog, WithoutABatchFileTheTwoRunsGoDirect) {
  AddWifiRecord();
  fs::remove_all(tmp_ / "conf");
  WriteFile(tmp_ / "conf", "not a folder");
  TestApDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }));
  QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
  EXPECT_EQ("AP_STARTED|", Status(dlg));
  const std::string shell = ShellLog();
  const size_t set = shell.find("runas accept " KS_BIN_DIR "/system/netsh wlan set hostednetwork mode=allow ssid=kestyl");
  const size_t start = shell.find("runas accept " KS_BIN_DIR "/system/netsh wlan start hostednetwork");
  ASSERT_NE(std::string::npos, set) << shell;
  ASSERT_NE(std::string::npos, start) << shell;
  EXPECT_LT(set, start);
}

TEST_F(ApDialog, NoWirelessAdapterOrAnOldSystemDisablesStart) {
  if (HostHasWireless()) GTEST_SKIP() << "this host has a wireless interface";
  WriteFile(tmp_ / "platform/adapters", "index=3 type=ethernet mac=02:00:00:00:00:03 ipv4=10.3.0.2\n");
  {
    TestApDlg dlg;
    dlg.show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }));
    EXPECT_EQ("AP_NOWLAN|", Status(dlg));
    EXPECT_EQ(266u, dlg.statusIcon()->Image());
    EXPECT_TRUE(dlg.startButton()->isVisible());
    EXPECT_FALSE(dlg.startButton()->isEnabled());
  }
  AddWifiRecord();
  EnvGuard winver("KESTYL_WINVER", "5.1");
  TestApDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }));
  EXPECT_EQ("AP_OS|", Status(dlg));
  EXPECT_FALSE(dlg.startButton()->isEnabled());
}

TEST_F(ApDialog, OldSystemWithoutAdministratorShowsTheNoticeFirst) {
  EnvGuard winver("KESTYL_WINVER", "5.1");
  EnvGuard admin("KESTYL_ADMIN", "0");
  TestApDlg dlg;
  EXPECT_TRUE(dlg.RunElevated("netsh", "wlan show hostednetwork", "MSGBOX_UAC_STARTAP|"));
  EXPECT_TRUE(dlg.RunElevated("netsh", "wlan show hostednetwork", "x"));
  ASSERT_EQ(2u, dlg.notices.size());
  EXPECT_EQ("MSGBOX_UAC_STARTAP|", dlg.notices[0]);
  EXPECT_EQ("MSGBOX_UAC|", dlg.notices[1]);  // a text of one character is no notice
  EXPECT_NE(std::string::npos, ShellLog().find("runas accept " KS_BIN_DIR "/system/netsh wlan show hostednetwork"));

  // An administrator on the old system runs it directly, without prompt or notice.
  EnvGuard isAdmin("KESTYL_ADMIN", "1");
  TestApDlg admin2;
  EXPECT_TRUE(admin2.RunElevated("netsh", "wlan show hostednetwork", "n"));
  EXPECT_TRUE(admin2.notices.empty());
}

}  // namespace
