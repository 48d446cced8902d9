// The relay poll against the fake server: back-off, dispatch, dropped bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/core/transfer/transfer.h"
#include "agent/net/relay/relay.h"
#include "agent/core/state/state.h"
#include "tests/agent/net/relay/relay_test_util.h"

namespace {

using namespace relay_test;
using ks::fake::FakeRelayServer;
using ks::fake::ServerAnswer;
using ks::transfer::SessionTable;
namespace wire = ks::fake::relaywire;

constexpr int kPollMs = 20;

// Records every pause the poll asks for and waits only 1 ms.
struct Pauses {
  std::mutex m;
  std::vector<int> ms;
  std::vector<int> Get() {
    std::lock_guard<std::mutex> l(m);
    return ms;
  }
};

class RelayPoll : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestHandlers();
    Recorded().Clear();
    UseServer(fake.port());
    auto t = FastTimings();
    t.pollMs = kPollMs;
    ks::relay::SetRelayTimings(t);
    ks::relay::SetPollSleepForTest([p = pauses](int ms) {
      {
        std::lock_guard<std::mutex> l(p->m);
        p->ms.push_back(ms);
      }
      return ks::state::SleepUnlessStopped(1);
    });
    SessionTable::Global().Clear();
  }
  void TearDown() override {
    StopJob();
    SessionTable::Global().Clear();
    ResetTimings();
    EXPECT_TRUE(fake.ProtocolErrors().empty());
  }

  void OpenSession(uint32_t id = 1) {
    auto s = std::make_shared<ks::transfer::Session>();
    s->kind = ks::transfer::Kind::kUpload;
    s->id = id;
    s->path = "/tmp/target";
    SessionTable::Global().Put(s);
  }
  void StartJob() {
    job = std::thread([] { ks::relay::InterLineUpLoadFile(nullptr); });
  }
  void StopJob() {
    if (!job.joinable()) return;
    ks::state::RequestStop();
    job.join();
    ks::state::ClearStop();
  }
  size_t PollsOn(int connection) {
    auto polls = fake.Polls();
    return std::count_if(polls.begin(), polls.end(), [&](const auto& p) { return p.connection == connection; });
  }

  FakeRelayServer fake;
  std::shared_ptr<Pauses> pauses = std::make_shared<Pauses>();
  std::thread job;
};

TEST_F(RelayPoll, RefusalsBackOffAndThenDropTheConnection) {
  OpenSession();
  StartJob();
  ASSERT_TRUE(Eventually([&] { return PollsOn(2) >= 1; }));
  StopJob();
  // 7 polls on the first connection: after each refusal 100, 200 ... 6400 ms; the next
  // doubling passes 10 s and the connection is dropped.
  EXPECT_EQ(PollsOn(1), 7u);
  EXPECT_TRUE(fake.WaitForClosed(1, 5000));
  std::vector<int> p = pauses->Get();
  ASSERT_GE(p.size(), 9u);
  EXPECT_EQ(std::vector<int>(p.begin(), p.begin() + 9),
            (std::vector<int>{kPollMs, 100, 200, 400, 800, 1600, 3200, 6400, kPollMs}));
  for (const auto& poll : fake.Polls()) EXPECT_LE(poll.connection, 2);
}

TEST_F(RelayPoll, MessagesAreDispatchedWithoutAChannel) {
  OpenSession();
  fake.QueuePollMessage(wire::Message(kEchoType, 0x55, {'u', 'p'}));
  fake.QueuePollMessage(wire::Message(kNoReplyType, 0x56, {}));
  StartJob();
  ASSERT_TRUE(Recorded().WaitForCalls(2, 5000));
  std::vector<Call> calls = Recorded().Calls();
  EXPECT_EQ(calls[0].type, kEchoType);
  EXPECT_EQ(calls[0].word, 0x55u);
  EXPECT_EQ(calls[0].origin, ks::net::Origin::kRelayPoll);
  EXPECT_EQ(calls[0].direct, 1);
  EXPECT_EQ(calls[0].udtSocket, -1);
  EXPECT_FALSE(calls[0].channelOpen);
  EXPECT_EQ(calls[0].body, (Bytes{'u', 'p'}));  // no relay prefix
  EXPECT_TRUE(calls[1].body.empty());
  // The echo's reply went nowhere; status 0 reset the back-off.
  EXPECT_TRUE(fake.Relayed(wire::kRelayToPeer).empty());
  ASSERT_TRUE(Eventually([&] { return pauses->Get().size() >= 3; }));
  EXPECT_EQ(pauses->Get()[1], 100);
}

TEST_F(RelayPoll, BadBodiesAreDroppedOnTheSameConnection) {
  OpenSession();
  Bytes wrongLength = wire::Message(kNoReplyType, 1, {1, 2, 3});
  wire::Put16(wrongLength.data(), 12);
  fake.Queue(wire::kPoll, {ServerAnswer::WithBody(0, {0, 5, 0x72, 2, 0}),  // shorter than a MsgHead
                           ServerAnswer::WithBody(0, wrongLength),
                           ServerAnswer::WithBody(1, wire::Message(kNoReplyType, 9, {}))});  // refusal with a body
  fake.QueuePollMessage(wire::Message(kNoReplyType, 2, {}));
  fake.SetDefault(wire::kPoll, ServerAnswer::Status(0));  // then nothing, without back-off
  StartJob();
  ASSERT_TRUE(Recorded().WaitForCalls(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::vector<Call> calls = Recorded().Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].word, 2u);
  EXPECT_EQ(fake.Accepted(), 1);
}

TEST_F(RelayPoll, EmptySuccessPausesInsteadOfSpinning) {
  OpenSession();
  fake.SetDefault(wire::kPoll, ServerAnswer::Status(0));
  StartJob();
  ASSERT_TRUE(fake.WaitForPolls(20, 5000));
  StopJob();
  // Every empty answer is followed by the first back-off pause.
  std::vector<int> p = pauses->Get();
  size_t shortPauses = std::count(p.begin(), p.end(), 100);
  EXPECT_GE(shortPauses + 1, fake.Polls().size());
  EXPECT_EQ(fake.Accepted(), 1);
}

TEST_F(RelayPoll, NoSessionsNoPolling) {
  StartJob();
  ASSERT_TRUE(Eventually([&] { return pauses->Get().size() >= 10; }));
  EXPECT_EQ(fake.Accepted(), 0);
  // Sessions gone while refused: the connection is dropped and not made again.
  OpenSession();
  ASSERT_TRUE(fake.WaitForPolls(1, 5000));
  SessionTable::Global().Clear();
  EXPECT_TRUE(fake.WaitForClosed(1, 5000));
  size_t before = pauses->Get().size();
  ASSERT_TRUE(Eventually([&] { return pauses->Get().size() >= before + 10; }));
  EXPECT_EQ(fake.Accepted(), 1);
}

TEST_F(RelayPoll, IdleRelaySessionsExpire) {
  auto t = FastTimings();
  t.pollMs = kPollMs;
  t.sessionIdleSeconds = 1;
  ks::relay::SetRelayTimings(t);
  OpenSession(1);
  SessionTable::Global().Find(ks::transfer::kRelayOwner, 1, ks::transfer::Kind::kUpload)->lastUse -=
      std::chrono::seconds(5);
  auto lanSession = std::make_shared<ks::transfer::Session>();
  lanSession->owner = 99;  // bound to a LAN channel: not the poll's to expire
  lanSession->id = 2;
  SessionTable::Global().Put(lanSession);
  lanSession->lastUse -= std::chrono::seconds(5);
  StartJob();
  ASSERT_TRUE(Eventually([] { return SessionTable::Global().Size() == 1; }));
  EXPECT_TRUE(SessionTable::Global().Find(99, 2, ks::transfer::Kind::kDownload));
}

}  // namespace
