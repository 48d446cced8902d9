#include "agent/net/socket/comm.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/socket/socket.h"
#include "agent/service/handler_tables.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"

namespace {

using namespace ks::net;
using namespace std::chrono_literals;

class CommInit : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_LOCAL_ADDR", "127.0.0.1", 1);  // tests never listen beyond loopback
    ks::state::ClearStop();
  }
  void TearDown() override {
    OS_Exit();
    ks::state::ClearStop();
    ks::state::SetLocalBindPort(0);
    ::unsetenv("KESTYL_LOCAL_ADDR");
  }
};

bool CanConnect(uint16_t port) {
  int s = OS_SockCreateTcp();
  bool ok = OS_SockConnect(&s, port, "127.0.0.1", 1000) == 0;
  OS_SockClose(&s);
  return ok;
}

TEST_F(CommInit, TakenPortFailsWith4130) {
  int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  ks::state::SetLocalBindPort(ntohs(a.sin_port));

  EXPECT_EQ(OS_Init(), KS_LOCAL_PORT_UNKNOWN);
  EXPECT_FALSE(ProcessLocalServer().Running());
  ::close(taken);
}

TEST_F(CommInit, AnyFreePortIsStoredAndExitStopsTheServer) {
  ks::state::SetLocalBindPort(0);
  ASSERT_EQ(OS_Init(&ks::service::RegBusinessFun), 0);
  uint16_t port = ks::state::LocalBindPort();
  ASSERT_NE(port, 0);
  EXPECT_TRUE(CanConnect(port));
  EXPECT_EQ(ks::service::RegBusinessFun(), 0);  // the start-up sequence's own call is harmless

  EXPECT_EQ(OS_Exit(), 0);
  EXPECT_TRUE(ks::state::StopRequested());
  EXPECT_FALSE(ProcessLocalServer().Running());
  EXPECT_FALSE(CanConnect(port));

  // It can be brought up again (tests, and a service restarted in-process).
  ks::state::ClearStop();
  ks::state::SetLocalBindPort(0);
  ASSERT_EQ(OS_Init(), 0);
  EXPECT_TRUE(CanConnect(ks::state::LocalBindPort()));
}

TEST_F(CommInit, StopFlagEndsTheServerLoop) {
  ks::state::SetLocalBindPort(0);
  ASSERT_EQ(OS_Init(), 0);
  ks::state::RequestStop();
  for (int i = 0; i < 500 && ProcessLocalServer().Running(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(ProcessLocalServer().Running());
}

TEST(SharedMutexes, AreRecursiveAndLiveForever) {
  std::lock_guard<std::recursive_mutex> a(g_MutexUserInfo());
  std::lock_guard<std::recursive_mutex> b(g_MutexUserInfo());  // re-entry
  EXPECT_EQ(&g_MutexLogOnRtn(), &g_MutexLogOnRtn());
  EXPECT_NE(&g_MutexLogOnRtn(), &g_StopDownLoadMutex());
  OS_Exit();  // "closing" them destroys nothing
  std::lock_guard<std::recursive_mutex> c(g_MutexLastHBTime());
  ks::state::ClearStop();
}

}  // namespace
