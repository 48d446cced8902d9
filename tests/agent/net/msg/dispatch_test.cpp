#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/service/handler_tables.h"
#include "agent/util/codes.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::net;

std::atomic<int> g_calls{0};
const uint8_t* g_lastBody = nullptr;
size_t g_lastLength = 0;
int g_lastUdt = 0, g_lastDirect = 0;
bool g_lastConnOpen = true;

int Counting(const uint8_t* body, size_t len, const MsgHead*, Channel* conn, std::vector<uint8_t>* reply,
             int* udt, int* direct) {
  ++g_calls;
  g_lastBody = body;
  g_lastLength = len;
  g_lastUdt = *udt;
  g_lastDirect = *direct;
  g_lastConnOpen = conn->IsOpen();
  reply->assign({1, 2, 3});
  return 7;
}
int Other(const uint8_t*, size_t, const MsgHead*, Channel*, std::vector<uint8_t>*, int*, int*) { return 99; }
int Throwing(const uint8_t*, size_t, const MsgHead*, Channel*, std::vector<uint8_t>*, int*, int*) {
  throw std::runtime_error("handler failure");
}
int ThrowingInt(const uint8_t*, size_t, const MsgHead*, Channel*, std::vector<uint8_t>*, int*, int*) { throw 5; }

class DispatchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static std::once_flag once;  // the registry outlives repeated runs
    std::call_once(once, [] {
      for (uint16_t t : {0x6001, 0x5000, 0x5015, 0x1013, 0x4FFF, 0x5016}) ASSERT_EQ(OS_RegFunction(t, Counting), 0);
      ASSERT_EQ(OS_RegFunction(0x6002, Throwing), 0);
      ASSERT_EQ(OS_RegFunction(0x6003, ThrowingInt), 0);
    });
  }
  int Run(uint16_t type, Origin origin, std::vector<uint8_t>* reply = nullptr) {
    return Dispatch(MsgHead{8, type, 1}, nullptr, 0, nullptr, reply, -1, 1, origin);
  }
};

TEST_F(DispatchTest, DuplicateOrNullRegistrationIsRefusedAndTheFirstKept) {
  EXPECT_EQ(OS_RegFunction(0x6001, Other), KS_REGISTER_REFUSED);
  EXPECT_EQ(OS_RegFunction(0x6004, nullptr), KS_REGISTER_REFUSED);
  EXPECT_FALSE(IsRegistered(0x6004));
  EXPECT_EQ(Run(0x6001, Origin::kLan), 7);  // Counting, not Other
}

TEST_F(DispatchTest, PassesTheRealBodyLengthAndItsArguments) {
  const uint8_t body[5] = {'a', 'b', 'c', 'd', 0};
  std::vector<uint8_t> reply;
  EXPECT_EQ(Dispatch(MsgHead{12, 0x6001, 3}, body, 4, nullptr, &reply, 17, 0, Origin::kRelay), 7);
  EXPECT_EQ(g_lastBody, body);
  EXPECT_EQ(g_lastLength, 4u);
  EXPECT_EQ(g_lastUdt, 17);
  EXPECT_EQ(g_lastDirect, 0);
  EXPECT_FALSE(g_lastConnOpen);  // no channel: the handler gets one it cannot write to
  EXPECT_EQ(reply, (std::vector<uint8_t>{1, 2, 3}));
  // A zero length always arrives as a null body.
  EXPECT_EQ(Dispatch(MsgHead{8, 0x6001, 3}, body, 0, nullptr, nullptr, -1, 1, Origin::kP2P), 7);
  EXPECT_EQ(g_lastBody, nullptr);
}

TEST_F(DispatchTest, UnregisteredAndThrowingHandlers) {
  ks::test::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir / "Log.txt", LOG_LEVEL_DEBUG, false));
  EXPECT_EQ(Run(0x6FFF, Origin::kLocal), KS_NOT_REGISTERED);
  EXPECT_EQ(Run(0x6002, Origin::kLocal), KS_HANDLER_EXCEPTION);
  EXPECT_EQ(Run(0x6003, Origin::kLan), KS_HANDLER_EXCEPTION);
  g_Log.Close();
  std::string log = ks::test::ReadFile(dir / "Log.txt");
  EXPECT_NE(log.find("Type(28671) not registe."), std::string::npos) << log;
  EXPECT_NE(log.find("Do request exception."), std::string::npos) << log;
}

TEST_F(DispatchTest, DesktopTypesRunOnlyForTheLocalOrigin) {
  struct Case {
    uint16_t type;
    Origin origin;
    bool runs;
  };
  const Case cases[] = {
      {0x5000, Origin::kLocal, true},     {0x5015, Origin::kLocal, true},
      {0x5000, Origin::kLan, false},      {0x5015, Origin::kLan, false},
      {0x5015, Origin::kRelay, false},    {0x5000, Origin::kRelayPoll, false},
      {0x5015, Origin::kP2P, false},      {0x1013, Origin::kLan, true},
      {0x1013, Origin::kRelay, true},     {0x1013, Origin::kP2P, true},
      {0x4FFF, Origin::kP2P, true},       {0x5016, Origin::kRelay, true},
  };
  ks::test::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir / "Log.txt", LOG_LEVEL_DEBUG, false));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.type << " from " << OriginName(c.origin));
    int before = g_calls;
    std::vector<uint8_t> reply;
    EXPECT_EQ(Run(c.type, c.origin, &reply), c.runs ? 7 : KS_NOT_REGISTERED);
    EXPECT_EQ(g_calls - before, c.runs ? 1 : 0);
    EXPECT_EQ(reply.empty(), !c.runs);
  }
  g_Log.Close();
  std::string log = ks::test::ReadFile(dir / "Log.txt");
  EXPECT_NE(log.find("[WARNING] Type(20501) refused from p2p origin."), std::string::npos) << log;
  EXPECT_TRUE(IsDesktopOpcode(0x5000) && IsDesktopOpcode(0x5015));
  EXPECT_FALSE(IsDesktopOpcode(0x4FFF) || IsDesktopOpcode(0x5016) || IsDesktopOpcode(0x1013));
}

TEST_F(DispatchTest, TableRegistrationStopsAtTheFirstFailureAndNamesIt) {
  const Registration table[] = {
      {0x6001, Other, "Show_GetSetAutoTiding"},  // taken
      {0x6011, Counting, "Never"},
  };
  ks::test::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir / "Log.txt", LOG_LEVEL_DEBUG, false));
  EXPECT_EQ(RegisterHandlers(table, 2), KS_REGISTER_REFUSED);
  g_Log.Close();
  EXPECT_FALSE(IsRegistered(0x6011));
  std::string log = ks::test::ReadFile(dir / "Log.txt");
  EXPECT_NE(log.find("Reg Show_GetSetAutoTiding function error."), std::string::npos) << log;
  EXPECT_NE(log.find("Opcode(24577) already registered."), std::string::npos) << log;
  // The agent's own tables register once; a second call returns the same result. (This
  // suite registered its own handlers on some of the agent's types first, so the first
  // result may be a refusal.)
  int rc = ks::service::RegBusinessFun();
  EXPECT_EQ(ks::service::RegBusinessFun(), rc);
}

TEST(NullChannel, RefusesWritesAndHasItsOwnId) {
  NullChannel a(Origin::kRelayPoll), b(Origin::kRelayPoll);
  EXPECT_FALSE(a.Write("x", 1));
  EXPECT_NE(a.Id(), b.Id());
  EXPECT_NE(a.Id(), 0u);
  EXPECT_EQ(a.origin(), Origin::kRelayPoll);
}

}  // namespace
