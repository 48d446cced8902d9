// Connection requests: the queue's rules, the dialog's one answer per request whichever way
// it ends, and the flow from the link's push to the agent's answer (one dialog at a time,
// ageing, refusal at 25 s of an unanswered request, on screen or waiting).
#include "desktop/app/connect/connect_dlg.h"
#include "desktop/app/connect/connect_requests.h"
#include "desktop/foundation/ui/language_source.h"

#include <QKeyEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/desktop/app/connect/connect_language.h"
#include "tests/desktop/app/connect/recording_ui_data.h"
#include "tests/desktop/ui/ui_test_kit.h"

namespace {

using namespace ks::desktop;
using Answer = kstest::RecordingUIData::Answer;

ConnectRequestInfo Request(uint32_t id, const char* sender = "phone", const char* network = "wifi") {
  ConnectRequestInfo r{};
  std::snprintf(r.sender, sizeof r.sender, "%s", sender);
  std::snprintf(r.network, sizeof r.network, "%s", network);
  r.requestId = id;
  return r;
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::KeyLanguage>());
  }
  void TearDown() override {
    kstest::ProcessEvents();
    ks::ui::SetLanguageSource(nullptr);
  }
};

TEST(ConnectRequestQueueTest, DuplicatesAgeingAndRefusalOrder) {
  ConnectRequestQueue q;
  EXPECT_TRUE(q.Add(Request(7)));
  EXPECT_FALSE(q.Add(Request(7, "other")));  // the first request with the id stays
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(q.Tick().empty());
  EXPECT_TRUE(q.Add(Request(3)));
  EXPECT_TRUE(q.Add(Request(9)));
  ASSERT_EQ(3u, q.Size());

  // 7 is 10 s older: it goes at tick 25, the later two together 10 ticks after.
  for (int i = 0; i < 14; ++i) EXPECT_TRUE(q.Tick().empty());
  auto first = q.Tick();
  ASSERT_EQ(1u, first.size());
  EXPECT_EQ(7u, first[0].requestId);
  EXPECT_STREQ("phone", first[0].sender);
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(q.Tick().empty());
  auto later = q.Tick();
  ASSERT_EQ(2u, later.size());
  EXPECT_EQ(3u, later[0].requestId);
  EXPECT_EQ(9u, later[1].requestId);
  EXPECT_TRUE(q.Empty());
  EXPECT_TRUE(q.Tick().empty());

  // Once out of the queue an id may come again.
  EXPECT_TRUE(q.Add(Request(7)));
  auto taken = q.TakeOldest();
  ASSERT_TRUE(taken);
  EXPECT_EQ(7u, taken->requestId);
  EXPECT_FALSE(q.TakeOldest());
}

class Recorder : public IConnectDlgCallBack {
 public:
  void OnConnectDlgResult(const ConnectDlgResult* r) override { results.push_back({r->requestId, r->accepted}); }
  std::vector<Answer> results;
};

using ConnectDlgTest = GuiTest;

TEST_F(ConnectDlgTest, EveryWayOutAnswersOnce) {
  struct Case {
    const char* name;
    std::function<void(CConnectDlg&)> act;
    int result;
    bool accepted;
  } cases[] = {
      {"ok", [](CConnectDlg& d) { QTest::mouseClick(d.okButton(), Qt::LeftButton); }, 1, true},
      {"return", [](CConnectDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }, 1, true},
      {"cancel", [](CConnectDlg& d) { QTest::mouseClick(d.cancelButton(), Qt::LeftButton); }, 2, false},
      {"escape", [](CConnectDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 2, false},
      {"close button", [](CConnectDlg& d) { QTest::mouseClick(d.m_pCloseButton, Qt::LeftButton); }, 2, false},
      {"window closed", [](CConnectDlg& d) { d.close(); }, 2, false},
      {"expired", [](CConnectDlg& d) { d.Expire(); }, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    CConnectDlg dialog;
    dialog.SetRequest(Request(0xA1B2C3D4));
    dialog.SetListener(&recorder);
    int result = -1;
    kstest::ModalAnswerer answerer([&](QWidget*) {
      c.act(dialog);
      kstest::WaitUntil([&] { return !dialog.isVisible(); });
      // Whatever comes after the first answer changes nothing.
      dialog.done(c.result == 1 ? 2 : 1);
    });
    result = dialog.DoModal();
    EXPECT_TRUE(answerer.answered());
    EXPECT_EQ(c.result, result);
    EXPECT_EQ((std::vector<Answer>{{0xA1B2C3D4u, c.accepted}}), recorder.results);
  }
}

TEST_F(ConnectDlgTest, LayoutTextsAndNoListener) {
  CConnectDlg dialog;
  dialog.SetRequest(Request(5, "Anna's phone", "Home LAN"));
  dialog.show();
  kstest::ProcessEvents();
  EXPECT_EQ(QSize(353, 251), dialog.size());
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_FALSE(dialog.m_pMinButton->isVisible());
  EXPECT_EQ("CONNECT_STATIC_TITLE|", dialog.control(CConnectDlg::kTitleId)->text());
  EXPECT_EQ("CONNECT_STATIC_SENDER|Anna's phone", dialog.control(CConnectDlg::kSenderId)->text());
  EXPECT_EQ("CONNECT_STATIC_NET|Home LAN", dialog.control(CConnectDlg::kNetworkId)->text());
  EXPECT_EQ("CONNECT_STATIC_OTHER|", dialog.control(CConnectDlg::kOtherId)->text());
  EXPECT_EQ("CONNECT_BUTTON_OK|", dialog.okButton()->GetCaption());
  EXPECT_EQ("CONNECT_BUTTON_CANCEL|", dialog.cancelButton()->GetCaption());
  // Template positions in dialog units of an 8-point font.
  EXPECT_EQ(QRect(49, 195, 91, 27), dialog.okButton()->geometry());
  EXPECT_EQ(QRect(213, 195, 91, 27), dialog.cancelButton()->geometry());

  QTest::mouseClick(dialog.okButton(), Qt::LeftButton);  // no listener: ends quietly
  EXPECT_EQ(1, dialog.result());
  EXPECT_FALSE(dialog.isVisible());
}

TEST(RequestFieldTextTest, ForeignTextsAreShownSafely) {
  struct Case {
    std::string bytes;
    QString shown;
  } cases[] = {
      {"", ""},
      {std::string(63, 'n'), QString(63, QLatin1Char('n'))},
      {"caf\xc3\xa9", QString::fromUtf8("caf\xc3\xa9")},
      {"bad\xff" "end", QStringLiteral("bad\uFFFDend")},
      {"line\nbreak\ttab\x1b[31m", QStringLiteral("line break tab [31m")},
      {"c1\xc2\x85x", QStringLiteral("c1 x")},
  };
  for (const Case& c : cases) {
    char field[64] = {};
    std::memcpy(field, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(c.shown, RequestFieldText(field, sizeof field)) << c.bytes;
  }
  // A field without its NUL is read to its end and no further.
  struct {
    char field[64];
    char after[8];
  } unterminated;
  std::memset(unterminated.field, 'x', sizeof unterminated.field);
  std::memcpy(unterminated.after, "SPILL", 6);
  EXPECT_EQ(QString(64, QLatin1Char('x')), RequestFieldText(unterminated.field, sizeof unterminated.field));
}

class ConnectRequestsTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    requests_ = std::make_unique<ConnectRequests>(&link_, [this] { ++idle_; });
  }
  void TearDown() override {
    requests_.reset();
    GuiTest::TearDown();
  }
  void Push(uint32_t id) {
    ConnectRequestInfo r = Request(id);
    requests_->OnConnectRequest(&r);
  }
  CConnectDlg* WaitForDialogOf(uint32_t id) {
    kstest::WaitUntil([&] {
      CConnectDlg* d = requests_->CurrentDialog();
      return d != nullptr && d->isVisible() && d->Request().requestId == id;
    });
    CConnectDlg* d = requests_->CurrentDialog();
    return d != nullptr && d->Request().requestId == id ? d : nullptr;
  }

  kstest::RecordingUIData link_;
  std::unique_ptr<ConnectRequests> requests_;
  int idle_ = 0;
};

TEST_F(ConnectRequestsTest, OneDialogAtATimeTheNextAfterTheAnswer) {
  Push(1);
  CConnectDlg* first = WaitForDialogOf(1);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(1, idle_);  // the queue emptied when the request went on screen
  EXPECT_FALSE(requests_->RequestsWaiting());

  Push(2);
  Push(2);  // a repeated push of a waiting request
  Push(1);  // and of the one on screen
  kstest::ProcessEvents();
  EXPECT_EQ(first, requests_->CurrentDialog());
  EXPECT_TRUE(requests_->RequestsWaiting());
  EXPECT_EQ(1u, requests_->queue().Size());

  QTest::mouseClick(first->okButton(), Qt::LeftButton);
  CConnectDlg* second = WaitForDialogOf(2);
  ASSERT_NE(nullptr, second);
  EXPECT_FALSE(requests_->RequestsWaiting());
  QTest::keyClick(second, Qt::Key_Escape);
  kstest::WaitUntil([&] { return requests_->CurrentDialog() == nullptr; });
  EXPECT_EQ((std::vector<Answer>{{1, true}, {2, false}}), link_.answers());
}

TEST_F(ConnectRequestsTest, UnansweredRequestsAreRefusedAt25Seconds) {
  Push(10);
  CConnectDlg* shown = WaitForDialogOf(10);
  ASSERT_NE(nullptr, shown);
  for (int i = 0; i < 5; ++i) requests_->Tick();
  Push(11);
  Push(12);
  kstest::WaitUntil([&] { return requests_->queue().Size() == 2; });
  const int idleBefore = idle_;

  // The request on screen reaches 25 s first: its dialog ends as a refusal and the next
  // waiting one comes up at once.
  for (int i = 0; i < 19; ++i) requests_->Tick();
  EXPECT_TRUE(link_.answers().empty());
  requests_->Tick();
  EXPECT_EQ((std::vector<Answer>{{10, false}}), link_.answers());
  EXPECT_EQ(2, shown->result());
  CConnectDlg* next = WaitForDialogOf(11);
  ASSERT_NE(nullptr, next);

  // 12 has waited 20 s; five more and it is refused without ever being shown; 11, on screen
  // since it arrived with 12, goes at the same tick.
  for (int i = 0; i < 4; ++i) requests_->Tick();
  EXPECT_EQ(1u, link_.answers().size());
  requests_->Tick();
  EXPECT_EQ((std::vector<Answer>{{10, false}, {12, false}, {11, false}}), link_.answers());
  EXPECT_FALSE(requests_->RequestsWaiting());
  EXPECT_GT(idle_, idleBefore);  // mobile state back to 1 once nothing waits
  kstest::ProcessEvents();
  EXPECT_EQ(nullptr, requests_->CurrentDialog());

  // Ticks with nothing left answer nothing more.
  requests_->Tick();
  EXPECT_EQ(3u, link_.answers().size());
}

TEST_F(ConnectRequestsTest, RequestsFromTheLinkThreadAndTheTrayClick) {
  std::thread link([this] {
    Push(21);
    Push(22);
  });
  link.join();
  CConnectDlg* first = WaitForDialogOf(21);
  ASSERT_NE(nullptr, first);
  // The tray click brings the dialog on screen forward instead of opening another.
  requests_->ShowOldest();
  EXPECT_EQ(first, requests_->CurrentDialog());
  EXPECT_TRUE(requests_->RequestsWaiting());

  // Without the link the answer is dropped; the flow goes on.
  requests_->SetUIData(nullptr);
  QTest::mouseClick(first->okButton(), Qt::LeftButton);
  ASSERT_NE(nullptr, WaitForDialogOf(22));
  EXPECT_TRUE(link_.answers().empty());
}

TEST_F(ConnectRequestsTest, TimerRunsOnceStarted) {
  EXPECT_EQ(0, requests_->TimerId());
  requests_->StartTimer();
  EXPECT_NE(0, requests_->TimerId());
}

}  // namespace
