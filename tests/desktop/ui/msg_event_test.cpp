// Private messages as events: posting from workers, delayed posting, and CallOnGui's
// refusal on the GUI thread.
#include "desktop/foundation/ui/msg_event.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QObject>
#include <QPointer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Received {
  unsigned msg;
  uintptr_t w;
  intptr_t l;
  bool onGui;
};

class Receiver : public QObject {
 public:
  std::vector<Received> got;
  bool event(QEvent* e) override {
    if (e->type() >= QEvent::User && e->type() <= QEvent::MaxUser) {
      auto* m = static_cast<ks::ui::MsgEvent*>(e);
      got.push_back({m->msg(), m->wparam(), m->lparam(), ks::ui::OnGuiThread()});
      return true;
    }
    return QObject::event(e);
  }
};

class MsgEventTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
};

TEST_F(MsgEventTest, MessagesFromWorkersArriveOnTheGuiThreadWithTheirNumberAndParameters) {
  Receiver r;
  std::thread worker([&] {
    EXPECT_TRUE(ks::ui::PostMsg(&r, 0x450, 62547, 0x205));
    EXPECT_TRUE(ks::ui::PostMsg(&r, 0x603, 0, -1));
  });
  worker.join();
  ASSERT_TRUE(kstest::WaitUntil([&] { return r.got.size() == 2; }));
  EXPECT_EQ(r.got[0].msg, 0x450u);
  EXPECT_EQ(r.got[0].w, 62547u);
  EXPECT_EQ(r.got[0].l, 0x205);
  EXPECT_TRUE(r.got[0].onGui);
  EXPECT_EQ(r.got[1].msg, 0x603u);
  EXPECT_EQ(r.got[1].l, -1);
  EXPECT_FALSE(ks::ui::PostMsg(nullptr, 0x450));
}

TEST_F(MsgEventTest, DelayedMessageArrivesOnceAndIsDroppedWithItsTarget) {
  Receiver r;
  ks::ui::PostMsgDelayed(&r, 0x504, 7, 8, 20);
  ASSERT_TRUE(kstest::WaitUntil([&] { return r.got.size() == 1; }));
  EXPECT_EQ(r.got[0].msg, 0x504u);
  EXPECT_EQ(r.got[0].w, 7u);

  auto* gone = new Receiver;
  QPointer<QObject> watch(gone);
  ks::ui::PostMsgDelayed(gone, 0x505, 0, 0, 0);
  delete gone;
  kstest::ProcessEvents();  // the timer died with its target; nothing is delivered anywhere
  EXPECT_TRUE(watch.isNull());
  EXPECT_EQ(r.got.size(), 1u);
}

TEST_F(MsgEventTest, CallOnGuiRunsOnTheGuiThreadForWorkersAndRefusesOnTheGuiThread) {
  std::optional<int> fromWorker;
  bool ranOnGui = false;
  std::thread worker([&] {
    fromWorker = ks::ui::CallOnGui([&] {
      ranOnGui = ks::ui::OnGuiThread();
      return 42;
    });
  });
  ASSERT_TRUE(kstest::WaitUntil([&] { return ranOnGui; }));
  worker.join();
  ASSERT_TRUE(fromWorker.has_value());
  EXPECT_EQ(*fromWorker, 42);

  bool ran = false;
  auto refused = ks::ui::CallOnGui([&] { ran = true; });
  EXPECT_FALSE(refused.has_value());
  EXPECT_FALSE(ran);
}

TEST_F(MsgEventTest, AnExceptionOnTheGuiThreadReachesTheWorkerAsNoResult) {
  std::optional<int> result = 1;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    result = ks::ui::CallOnGui([]() -> int { throw std::runtime_error("x"); });
    done = true;
  });
  ASSERT_TRUE(kstest::WaitUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_FALSE(result.has_value());
}

using MsgEventDeathTest = MsgEventTest;

TEST_F(MsgEventDeathTest, ANumberTakenByAnotherRegistrationOrOutsideTheRangeAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        QEvent::registerEventType(0x7F01);
        ks::ui::RegisterMsg(0x7F01);
      },
      "already taken");
  EXPECT_DEATH(ks::ui::RegisterMsg(0x20), "outside");
  EXPECT_DEATH(ks::ui::RegisterMsg(70000), "outside");
}

}  // namespace
