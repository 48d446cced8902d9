// The wake endpoint and the termination watch of the program object.
#include "desktop/app/shell/kestyl_app.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/desktop_instance.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/test_support.h"

#include <gtest/gtest.h>

#include <QLocalSocket>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records the messages posted to it.
class Receiver : public QObject {
 public:
  std::vector<ks::platform::WakeFrame> got;

 protected:
  bool event(QEvent* e) override {
    if (auto* m = dynamic_cast<ks::ui::MsgEvent*>(e)) {
      got.push_back({m->msg(), static_cast<uint32_t>(m->wparam()), static_cast<uint32_t>(m->lparam())});
      return true;
    }
    return QObject::event(e);
  }
};

class WakeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    CKSUtil::AllowWakeMessage();
  }
  ks::test::TempDir dir_;
  std::string path_ = dir_ / "Kestyl-1.sock";
};

// Sends raw bytes on one connection and closes it.
void SendBytes(const std::string& path, const QByteArray& bytes) {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(path));
  ASSERT_TRUE(socket.waitForConnected(5000));
  socket.write(bytes);
  ASSERT_TRUE(socket.waitForBytesWritten(5000));
  socket.disconnectFromServer();
}

QByteArray Frame(uint32_t message, uint32_t wparam, uint32_t lparam) {
  const auto bytes = ks::platform::EncodeWakeFrame({message, wparam, lparam});
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

TEST_F(WakeServerTest, DeliversOnlyTheWakeMessage) {
  Receiver target;
  ks::app::WakeServer server(&target);
  ASSERT_TRUE(server.Listen(path_));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The exit message and unknown numbers are dropped; a frame cut short is dropped too. The
  // wake frame sent last proves the earlier ones were read.
  SendBytes(path_, Frame(0x607, 0, 0) + Frame(0x50A, 1, 2) + Frame(0x604, 3, 4));
  SendBytes(path_, Frame(0x604, 9, 9).left(7));
  ASSERT_EQ(ks::platform::SendWakeFrame({0x604, 5, 6}, path_), 0);
  ASSERT_TRUE(kstest::WaitUntil([&] { return target.got.size() >= 2; }));
  kstest::ProcessEvents();
  ASSERT_EQ(target.got.size(), 2u);
  EXPECT_EQ(target.got[0].message, 0x604u);
  EXPECT_EQ(target.got[0].wparam, 3u);
  EXPECT_EQ(target.got[0].lparam, 4u);
  EXPECT_EQ(target.got[1].wparam, 5u);
}

TEST_F(WakeServerTest, ReplacesAStaleSocketAndRemovesItsOwn) {
  Receiver target;
  {
    ks::app::WakeServer first(&target);
    ASSERT_TRUE(first.Listen(path_));
  }
  EXPECT_NE(::access(path_.c_str(), F_OK), 0) << "the endpoint goes with its server";
  ks::test::WriteFile(path_, "left over");
  ks::app::WakeServer server(&target);
  ASSERT_TRUE(server.Listen(path_));
  ASSERT_EQ(ks::platform::SendWakeFrame({0x604, 0, 0}, path_), 0);
  EXPECT_TRUE(kstest::WaitUntil([&] { return target.got.size() == 1; }));
}

TEST(TerminationWatch, TurnsSigtermIntoACallOnTheGuiThread) {
  kstest::EnsureGuiApp();
  ks::app::TerminationWatch watch;
  ASSERT_TRUE(watch.Installed());
  int got = 0;
  QObject::connect(&watch, &ks::app::TerminationWatch::terminationRequested, [&](int s) { got = s; });
  ::raise(SIGTERM);
  EXPECT_TRUE(kstest::WaitUntil([&] { return got != 0; }));
  EXPECT_EQ(got, SIGTERM);
}

}  // namespace
