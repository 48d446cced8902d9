// The main window's side of the update manager, with a real manager against a loopback web
// server: reports arrive as posted events and are handled on the GUI thread; the notice, the
// finish record, the hand-over and the installer start at exit; the no-update and busy
// boxes; the information window at the first start after an update.
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/update/update_events.h"
#include "desktop/app/update/update_notice_dlg.h"
#include "desktop/foundation/ui/msg_event.h"
#include "common/md5/md5.h"
#include "platform/registry.h"
#include "tests/desktop/app/update/update_test_kit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <cstdio>

namespace {

using ks::update::CUpdateDlg;
using ks::update::CUpdateNoticeDlg;
namespace upd = ks::desktop::update;

// Plays the main window: each report only posts; the handlers do what the window does.
class Window : public QWidget, public upd::IUpdateCallback {
 public:
  explicit Window(upd::CUpdateLogic& logic) : logic_(logic) {
    for (unsigned m : {ks::update::kMsgUpdateAvailable, ks::update::kMsgNoUpdate, ks::update::kMsgUpdateReady,
                       ks::update::kMsgUpdateFinish})
      ks::ui::RegisterMsg(m);
  }
  void OnUpdateReady() override { ks::ui::PostMsg(this, ks::update::kMsgUpdateReady); }
  void OnNoUpdate() override { ks::ui::PostMsg(this, ks::update::kMsgNoUpdate); }
  void OnUpdateAvailable() override { ks::ui::PostMsg(this, ks::update::kMsgUpdateAvailable); }
  void OnDownloadFinish() override { ks::ui::PostMsg(this, ks::update::kMsgUpdateFinish); }

  bool ready = false;
  std::vector<unsigned> seen;

 protected:
  bool event(QEvent* e) override {
    const auto type = static_cast<unsigned>(e->type());
    if (type < ks::update::kMsgUpdateAvailable || type > ks::update::kMsgUpdateFinish) return QWidget::event(e);
    seen.push_back(type);
    EXPECT_TRUE(ks::ui::OnGuiThread());
    if (type == ks::update::kMsgUpdateAvailable) logic_.ShowUpdateNotice();
    if (type == ks::update::kMsgNoUpdate) ks::update::ShowNoUpdateBox();
    if (type == ks::update::kMsgUpdateReady) ready = true;
    if (type == ks::update::kMsgUpdateFinish) ks::update::RecordUpdateFinish(logic_);
    return true;
  }

 private:
  upd::CUpdateLogic& logic_;
};

std::string Md5Of(const std::string& s) {
  MD5 m;
  m.update(s.data(), s.size());
  return m.toString();
}

class UpdateEventsTest : public kstest::UpdateWindowTest {
 protected:
  static constexpr const char* kOwn = "1.2.0.4";

  upd::CUpdateLogic::Environment Env(const std::string& own = kOwn) {
    upd::CUpdateLogic::Environment env;
    env.ownVersion = [own] { return own; };
    env.updateUrl = [this] { return server_.url() + "/kestyl/update-pc.html"; };
    env.folder = tmp_ / "data/Kestyl";
    return env;  // "UpdateNotice" is read from the registry
  }
  void Describe(const std::string& version, const std::string& md5) {
    std::string down;
    for (char c : server_.url() + "/inst") down += c == '/' ? std::string("\\/") : std::string(1, c);
    server_.Enqueue("/kestyl/update-pc.html",
                    ks::fake::WebReply::Ok("{\"version\":\"" + version + "\",\"down\":\"" + down +
                                           "\",\"size\":\"1MB\",\"md5\":\"" + md5 + "\"}"));
  }
  void SetKey(bool present) {
    using namespace ks::platform;
    if (!present) {
      RegDeleteTree(HKEY_LOCAL_MACHINE, upd::kRegistryKey);
      return;
    }
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyEx(HKEY_LOCAL_MACHINE, upd::kRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                            nullptr, &key, nullptr));
    RegCloseKey(key);
  }
};

TEST_F(UpdateEventsTest, NoticeDownloadFinishRecordAndInstallerAtExit) {
  // The installer records its arguments beside itself.
  const std::string installer = "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/args.log\"\n";
  for (bool keyPresent : {true, false}) {
    SCOPED_TRACE(keyPresent ? "key present" : "key missing");
    SetKey(keyPresent);
    server_.Enqueue("/inst", ks::fake::WebReply::Ok(installer));
    Describe("1.2.0.5", Md5Of(installer));
    upd::CUpdateLogic logic(Env());
    Window window(logic);
    ks::update::ConnectUpdateLogic(logic, &window, &window, nullptr);

    QString noticeClass;
    kstest::ModalAnswerer answerer(
        [&](QWidget* w) {
          noticeClass = QString::fromLatin1(w->metaObject()->className());
          auto* dlg = qobject_cast<CUpdateNoticeDlg*>(w);
          ASSERT_NE(dlg, nullptr);
          EXPECT_EQ(dlg->OfferedVersion(), QStringLiteral("1.2.0.5"));
          QTest::mouseClick(dlg->neverShowBox(), Qt::LeftButton);
          QTest::mouseClick(dlg->updateButton(), Qt::LeftButton);
        },
        20000);
    ASSERT_EQ(logic.StartCheck(false), upd::CUpdateLogic::StartResult::kStarted);
    ASSERT_TRUE(kstest::WaitUntil([&] { return window.ready; }, 30000)) << "the update thread was not released";
    EXPECT_EQ(noticeClass, QStringLiteral("ks::update::CUpdateNoticeDlg"));
    EXPECT_EQ(window.seen, (std::vector<unsigned>{0x504, 0x507, 0x506}));

    uint32_t finish = 0;
    bool notice_present = false;
    const uint32_t notice = NoticeValue(&notice_present);
    EXPECT_EQ(upd::ReadKestylDword(upd::kUpdateFinishValue, finish), keyPresent);
    if (keyPresent) {
      EXPECT_EQ(finish, 1u);
      EXPECT_TRUE(notice_present);
      EXPECT_EQ(notice, 1u);
    }

    const std::string args = tmp_ / "data/Kestyl/args.log";
    {
      ks::test::ScopedEnv admin("KESTYL_ADMIN", "0");
      EXPECT_FALSE(ks::update::StartInstallerAtExit(logic)) << "no installer without administrator rights";
    }
    ks::test::ScopedEnv admin("KESTYL_ADMIN", "1");
    ASSERT_TRUE(ks::update::StartInstallerAtExit(logic));
    ASSERT_TRUE(kstest::WaitUntil([&] { return ks::test::ReadFile(args).find('\n') != std::string::npos; }, 20000));
    EXPECT_EQ(ks::test::ReadFile(args), "/Sp_ /VERYSILENT /NORESTART -mode:auto\n");
    std::remove(args.c_str());
  }
}

TEST_F(UpdateEventsTest, AManualCheckWithoutANewerVersionTellsTheOwner) {
  // Equal, lower, and equal once the missing fourth number counts as 0.
  struct Case {
    const char* own;
    const char* offered;
  } cases[] = {{"1.2.0.4", "1.2.0.4"}, {"1.2.0.4", "1.2.0.3"}, {"1.2.0.0", "1.2.0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    kstest::TraceCapture trace;
    Describe(c.offered, std::string(32, 'a'));
    upd::CUpdateLogic logic(Env(c.own));
    Window window(logic);
    ks::update::ConnectUpdateLogic(logic, &window, &window, nullptr);
    kstest::ModalAnswerer answerer([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }, 20000);
    ASSERT_EQ(logic.StartCheck(false), upd::CUpdateLogic::StartResult::kStarted);
    ASSERT_TRUE(kstest::WaitUntil([&] { return answerer.answered(); }, 30000));
    EXPECT_EQ(window.seen, std::vector<unsigned>{0x505});
    EXPECT_EQ(trace.With(QStringLiteral("box ")),
              QStringList{QStringLiteral("box 0 \"<MSGBOX_UPDATETITLE>\" \"<MSGBOX_NOUPDATE>\"")});
    EXPECT_EQ(Gets("/inst"), 0u);
  }
}

TEST_F(UpdateEventsTest, ACheckCommandWhileOneRunsShowsTheBusyBox) {
  ks::fake::WebReply silent;
  silent.silent = true;
  server_.Enqueue("/kestyl/update-pc.html", silent);
  upd::CUpdateLogic logic(Env());
  Window window(logic);
  ks::update::ConnectUpdateLogic(logic, &window, &window, nullptr);
  ASSERT_EQ(ks::update::StartManualCheck(logic), upd::CUpdateLogic::StartResult::kStarted);
  kstest::ModalAnswerer answerer([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
  EXPECT_EQ(ks::update::StartManualCheck(logic), upd::CUpdateLogic::StartResult::kBusy);
  EXPECT_TRUE(answerer.answered());
  EXPECT_TRUE(answerer.texts().contains(QStringLiteral("<MSGBOX_ISUPDATINGNOW>")));
  logic.Stop();  // ends the hanging request
  EXPECT_TRUE(window.seen.empty());
}

TEST_F(UpdateEventsTest, InformationWindowAtTheFirstStartAfterAnUpdate) {
  struct Case {
    const char* name;
    bool keyPresent;
    int value;  // -1: no value
    bool shown;
  } cases[] = {
      {"finished", true, 1, true},
      {"not finished", true, 0, false},
      {"no value", true, -1, false},
      {"no key", false, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetKey(false);
    SetKey(c.keyPresent);
    if (c.value >= 0) {
      ASSERT_TRUE(upd::WriteKestylDword(upd::kUpdateFinishValue, static_cast<uint32_t>(c.value)));
    }
    CUpdateDlg dlg;
    int countdowns = 0;
    EXPECT_EQ(ks::update::ShowUpdateFinishedInfo(dlg, nullptr, [&] { ++countdowns; }, 50), c.shown);
    EXPECT_EQ(countdowns, c.shown ? 1 : 0);
    uint32_t after = 0;
    const bool present = upd::ReadKestylDword(upd::kUpdateFinishValue, after);
    EXPECT_EQ(present, c.value >= 0);
    if (present) {
      EXPECT_EQ(after, 0u) << "shown once per installed update";
    }
    if (!c.shown) {
      EXPECT_FALSE(dlg.isVisible());
      continue;
    }
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(dlg.frameGeometry().right(), screen.right() - 30);
    EXPECT_EQ(dlg.frameGeometry().bottom(), screen.bottom() - 30);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(kstest::WaitUntil([&] { return !dlg.isVisible(); })) << "closes by itself";
  }
}

}  // namespace
