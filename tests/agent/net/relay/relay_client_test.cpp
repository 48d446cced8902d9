// The relay client against the fake server on loopback.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/core/state/state.h"
#include "tests/agent/net/relay/relay_test_util.h"

namespace {

using namespace relay_test;
using ks::fake::FakeRelayServer;
using ks::fake::RelayedOut;
namespace wire = ks::fake::relaywire;

class RelayClient : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestHandlers();
    Recorded().Clear();
    UseServer(fake.port());
    ks::relay::SetRelayTimings(FastTimings());
  }
  void TearDown() override {
    ResetTimings();
    EXPECT_TRUE(fake.ProtocolErrors().empty()) << fake.ProtocolErrors().front();
  }

  // A session that registered itself with the fake.
  std::unique_ptr<RelaySessionThread> Connect() {
    auto s = std::make_unique<RelaySessionThread>(fake.port());
    EXPECT_TRUE(fake.WaitForInterlineRequests(1, 5000));
    return s;
  }

  FakeRelayServer fake;
};

TEST_F(RelayClient, RegistersOnConnectAndKeepsAlive) {
  auto t = FastTimings();
  t.keepAliveMs = 50;
  ks::relay::SetRelayTimings(t);
  auto session = Connect();
  EXPECT_TRUE(fake.WaitForInterlineRequests(3, 5000));
  EXPECT_EQ(fake.Accepted(), 1);
  EXPECT_TRUE(ks::relay::RelayRunning());
  session->Stop();
  EXPECT_EQ(session->result(), 0);
  EXPECT_FALSE(ks::relay::RelayRunning());
  EXPECT_FALSE(ks::relay::RequestRelayExit());  // nothing to tell any more
  EXPECT_TRUE(fake.WaitForClosed(1, 5000));
}

TEST_F(RelayClient, RequestInOneBytePiecesIsDispatchedOnce) {
  auto session = Connect();
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kEchoType, 0x01020304, {'h', 'i', '!'}), "CLIENT-A", "CLIENT-B", 1, 1));
  ASSERT_TRUE(fake.WaitForRelayed(wire::kRelayToPeer, 1, 5000));
  std::vector<Call> calls = Recorded().Calls();
  ASSERT_EQ(calls.size(), 1u);
  const Call& c = calls[0];
  EXPECT_EQ(c.type, kEchoType);
  EXPECT_EQ(c.word, 0x01020304u);
  EXPECT_EQ(c.length, 11);
  EXPECT_EQ(c.origin, ks::net::Origin::kRelay);
  EXPECT_EQ(c.direct, 0);
  EXPECT_EQ(c.udtSocket, -1);
  EXPECT_TRUE(c.channelOpen);
  ASSERT_EQ(c.body.size(), 64u + 8 + 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.body.data())), "CLIENT-A");
  EXPECT_EQ(std::string(c.body.end() - 3, c.body.end()), "hi!");

  RelayedOut answer = fake.Relayed(wire::kRelayToPeer)[0];
  EXPECT_EQ(answer.peerText, "CLIENT-B");  // single replies go to B
  EXPECT_EQ(answer.deviceId, kDeviceId);
  EXPECT_EQ(answer.version, 370);
  EXPECT_EQ(answer.frameLength, 134 + 11);
  EXPECT_EQ(answer.inner.type, kEchoType);
  EXPECT_EQ(answer.inner.word, 0x01020304u);
  EXPECT_EQ(std::string(answer.inner.payload.begin(), answer.inner.payload.end()), "hi!");
}

TEST_F(RelayClient, AcksAloneOrCoalescedKeepTheStreamInStep) {
  auto session = Connect();
  // An ack alone, then an ack of a relayed answer (same opcode as a request) glued to a
  // request, then an ack glued in front of a request that arrives in pieces.
  ASSERT_TRUE(fake.SendOnInterline(wire::Ack(0x1008, 0)));
  Bytes glued = wire::Ack(0x1009, 0);
  Bytes r1 = wire::RelayedRequestFrame(wire::Message(kNoReplyType, 1, {}), "A1", "B1");
  glued.insert(glued.end(), r1.begin(), r1.end());
  ASSERT_TRUE(fake.SendOnInterline(glued));
  Bytes split = wire::Ack(0x100B, 0);
  Bytes r2 = wire::RelayedRequestFrame(wire::Message(kNoReplyType, 2, {5}), "A2", "B2");
  split.insert(split.end(), r2.begin(), r2.end());
  ASSERT_TRUE(fake.SendOnInterline(split, 5, 1));
  ASSERT_TRUE(Recorded().WaitForCalls(2, 5000));
  std::vector<Call> calls = Recorded().Calls();
  EXPECT_EQ(calls[0].word, 1u);
  EXPECT_EQ(calls[1].word, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(calls[1].body.data())), "A2");
}

TEST_F(RelayClient, DropsBadFramesAndGoesOn) {
  auto session = Connect();
  Bytes bad = wire::RelayedRequestFrame(wire::Message(kNoReplyType, 1, {1, 2}), "A", "B");
  wire::Put16(bad.data() + 134, 11);  // inner length one more than the body holds
  ASSERT_TRUE(fake.SendOnInterline(bad));
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kUnregisteredType, 2, {}), "A", "B"));  // "opcode error"
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(MSG_SHOW_GET_PWD, 3, {}), "A", "B"));  // desktop only
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kNoReplyType, 4, {}), "A", "B"));
  ASSERT_TRUE(Recorded().WaitForCalls(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<Call> calls = Recorded().Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].word, 4u);
  EXPECT_EQ(fake.Accepted(), 1);
  EXPECT_TRUE(fake.Relayed(wire::kRelayToPeer).empty());
}

// Streamed answers carry the id in front of the body (A); the single reply carries B.
TEST_F(RelayClient, ListingStreamsToIdAAndLoginRepliesToIdB) {
  auto session = Connect();
  Bytes listing(356, 0);
  std::memcpy(listing.data() + 1, "$DEFAULT$/photos", 16);
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(MSG_GET_ALL_SUB_FILE, 77, listing), "PHONE-A", "PHONE-B"));
  Bytes login(256, 0);
  std::memcpy(login.data(), "owner@example", 13);
  std::memcpy(login.data() + 32, "secret", 6);
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(MSG_REQ_DEVICE_LOGIN, 78, login), "PHONE-A", "PHONE-B"));
  ASSERT_TRUE(fake.WaitForRelayed(wire::kRelayToPeer, 4, 5000));

  std::vector<RelayedOut> out = fake.Relayed(wire::kRelayToPeer);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].peerText, "PHONE-A");
    EXPECT_EQ(out[i].inner.type, MSG_GET_ALL_SUB_FILE);
    EXPECT_EQ(out[i].inner.word, 77u);
    EXPECT_EQ(out[i].frameLength, 154 + 1);
    EXPECT_EQ(out[i].inner.payload.back(), 'a' + i);
  }
  EXPECT_EQ(out[3].peerText, "PHONE-B");
  EXPECT_EQ(out[3].frameLength, 146);  // the 12-byte log-in answer, wrapped
  EXPECT_EQ(out[3].inner.type, MSG_REQ_DEVICE_LOGIN);
  EXPECT_EQ(out[3].inner.word, 0u);
  EXPECT_EQ(wire::Get16(out[3].inner.payload.data()), 0);  // accepted
}

// A long stream is held back while the connection is full, not buffered whole, and
// arrives complete and in order.
TEST_F(RelayClient, StreamsMoreThanTheSendBufferInOrder) {
  auto session = Connect();
  Bytes ask(4);
  wire::Put16(ask.data(), 600);
  wire::Put16(ask.data() + 2, 8000);
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kStreamType, 1, ask), "A", "B"));
  ASSERT_TRUE(fake.WaitForRelayed(wire::kRelayToPeer, 600, 20000));
  std::vector<RelayedOut> out = fake.Relayed(wire::kRelayToPeer);
  for (uint32_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i].inner.word, i);
    ASSERT_EQ(out[i].inner.payload.size(), 8000u);
    ASSERT_EQ(out[i].inner.payload[7999], uint8_t(i));
  }
}

// Handlers do not run on the loop: while one waits (a log-in the owner must confirm) the
// keep-alive goes on and later requests queue behind it in order.
TEST_F(RelayClient, WaitingHandlerBlocksNeitherKeepAliveNorReading) {
  auto t = FastTimings();
  t.keepAliveMs = 30;
  ks::relay::SetRelayTimings(t);
  ResetBlocked();
  auto session = Connect();
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kBlockingType, 1, {}), "A", "B"));
  ASSERT_TRUE(Recorded().WaitForCalls(1, 5000));
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kEchoType, 2, {}), "A", "B"));
  const size_t seen = fake.InterlineRequests();
  EXPECT_TRUE(fake.WaitForInterlineRequests(seen + 3, 5000));
  EXPECT_EQ(Recorded().Calls().size(), 1u);
  ReleaseBlocked();
  ASSERT_TRUE(fake.WaitForRelayed(wire::kRelayToPeer, 1, 5000));
  EXPECT_EQ(Recorded().Calls()[1].word, 2u);
}

TEST_F(RelayClient, EndsWhenTheServerCloses) {
  auto session = Connect();
  fake.CloseInterline();
  EXPECT_TRUE(session->WaitEnded(5000));
  EXPECT_FALSE(ks::relay::RelayRunning());
}

TEST_F(RelayClient, EndsOnTheAgentsStopFlag) {
  auto session = Connect();
  ks::state::RequestStop();
  EXPECT_TRUE(session->WaitEnded(5000));
  ks::state::ClearStop();
}

TEST_F(RelayClient, EndsWhenTheServerCannotBeReached) {
  RelaySessionThread session(DeadPort());
  EXPECT_TRUE(session.WaitEnded(5000));
  EXPECT_EQ(session.result(), 0);
}

TEST_F(RelayClient, JobReconnectsAfterTheServerCloses) {
  std::thread job([] { ks::relay::StartRecvInterLine(nullptr); });
  ASSERT_TRUE(fake.WaitForInterlineRequests(1, 5000));
  fake.CloseInterline();
  EXPECT_TRUE(fake.WaitForAccepted(2, 5000));
  EXPECT_TRUE(fake.WaitForInterlineRequests(2, 5000));
  // The heart-beat's "exit" ends the session; the job connects again afterwards.
  ASSERT_TRUE(Eventually([] { return ks::relay::RelayRunning(); }));
  EXPECT_TRUE(ks::relay::RequestRelayExit());
  EXPECT_TRUE(fake.WaitForAccepted(3, 5000));
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
  EXPECT_FALSE(ks::relay::RelayRunning());
}

// Junk on the relay connection (a head of another version, text, a head cut short, a length
// that swallows every later frame while the keep-alives are still answered): the job
// connects again and relayed requests are served on the new connection.
TEST_F(RelayClient, JobReconnectsAfterJunk) {
  auto t = FastTimings();
  t.keepAliveMs = 50;  // the keep-alive also finds a frame that never ends
  ks::relay::SetRelayTimings(t);
  Bytes badVersion = wire::RelayedRequestFrame(wire::Message(kNoReplyType, 1, {}), "A", "B");
  wire::Put16(badVersion.data() + 2, 369);
  Bytes good = wire::RelayedRequestFrame(wire::Message(kNoReplyType, 2, {}), "A", "B");
  Bytes swallower = good;
  wire::Put16(swallower.data(), 65535);  // 65 KB of body, then silence
  struct Case {
    const char* name;
    Bytes junk;
  } cases[] = {
      {"head of another version", badVersion},
      {"text", Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n'}},
      {"head cut short", Bytes(good.begin(), good.begin() + 30)},
      {"length that swallows the rest", swallower},
  };
  std::thread job([] { ks::relay::StartRecvInterLine(nullptr); });
  int connection = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(fake.WaitForAccepted(connection, 20000));
    ASSERT_TRUE(fake.WaitForInterlineRequests(connection, 20000));
    ASSERT_TRUE(fake.SendOnInterline(c.junk));
    if (c.junk.size() < 70) {
      ASSERT_TRUE(fake.SendOnInterline(good));  // runs into the cut head
    }
    ++connection;
    EXPECT_TRUE(fake.WaitForAccepted(connection, 20000)) << "no new connection";
  }
  ASSERT_TRUE(fake.WaitForInterlineRequests(connection, 20000));
  Recorded().Clear();
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(kNoReplyType, 7, {}), "A", "B"));
  ASSERT_TRUE(Recorded().WaitForCalls(1, 20000));
  EXPECT_EQ(Recorded().Calls()[0].word, 7u);
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
}

TEST_F(RelayClient, JobWaitsWhileNotLoggedOn) {
  UseServer(fake.port(), 4127);
  std::thread job([] { ks::relay::StartRecvInterLine(nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(fake.Accepted(), 0);
  UseServer(fake.port(), 0);
  EXPECT_TRUE(fake.WaitForInterlineRequests(1, 5000));
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
}

}  // namespace
