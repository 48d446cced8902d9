// Relay roles of the fake vendor server, against a raw "agent" side.
#include <gtest/gtest.h>

#include <thread>

#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes_selftest/raw_peer.h"

namespace ks::fake {
namespace {

using namespace selftest;

const char kAgentId[] = "AGENT-ID";

std::string AgentHead(uint16_t length, uint16_t opcode) {
  return Be16(length) + Be16(370) + Be16(opcode) + Field(kAgentId, 64);
}

// The agent's side of the interline connection: registered and acknowledged.
UniqueFd OpenInterline(FakeVendorServer& server) {
  UniqueFd fd = ConnectTcp("127.0.0.1", server.port(), 2000);
  Write(fd.get(), AgentHead(70, 0x1008));
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0x1008) + Be16(0), Recv(fd.get(), 8));
  EXPECT_TRUE(server.WaitForInterline(2000));
  return fd;
}

TEST(FakeRelay, InterlineRegistersAndRelaysRequestsInPieces) {
  FakeVendorServer server;
  EXPECT_FALSE(server.RelayToAgent("x", "A", "B"));  // nobody registered yet
  UniqueFd agent = OpenInterline(server);
  std::string inner = Head(12, 0x8888, 77) + "hbhb";
  ASSERT_TRUE(server.RelayToAgent(inner, "CLIENT-A", "CLIENT-B", 1, 0));
  std::string frame = Recv(agent.get(), 134 + 12);
  EXPECT_EQ(
      Be16(146) + Be16(370) + Be16(0x1009) + Field("CLIENT-A", 64) + Field("CLIENT-B", 64) + inner,
      frame);

  // An acknowledgement coalesced with a relayed request, as one write.
  ASSERT_TRUE(server.SendOnInterline(FakeVendorServer::AckFrame(0x1009) +
                                     FakeVendorServer::RelayedRequestFrame(inner, "A", "B")));
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0x1009) + Be16(0) + Be16(146) + Be16(370) + Be16(0x1009) +
                Field("A", 64) + Field("B", 64) + inner,
            Recv(agent.get(), 8 + 146));

  // Keep-alives count too, each acknowledged.
  Write(agent.get(), AgentHead(70, 0x1008));
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0x1008) + Be16(0), Recv(agent.get(), 8));
  EXPECT_EQ(2u, server.InterlineRequests());

  server.CloseInterline();
  std::string rest;
  EXPECT_EQ(Io::kClosed, RecvExact(agent.get(), &rest, 1, 2000));
  EXPECT_TRUE(server.ProtocolErrors().empty());
}

TEST(FakeRelay, CollectsRelayedAnswersByPeerId) {
  FakeVendorServer server;
  UniqueFd agent = OpenInterline(server);
  std::string inner = Head(12, 8, 0) + Be16(0) + Be16(0);
  Write(agent.get(), AgentHead(146, 0x1009) + Field("CLIENT-B", 64) + inner);
  Write(agent.get(), AgentHead(146, 0x1009) + Field("OTHER", 64) + inner);
  ASSERT_TRUE(server.WaitForRelayed(2, 2000));

  RelayedMessage m;
  ASSERT_TRUE(server.TakeRelayed({"CLIENT-B"}, &m, 1000));
  EXPECT_EQ(RelayedMessage::Channel::kInterline, m.channel);
  EXPECT_EQ(kAgentId, m.device_id);
  EXPECT_EQ("CLIENT-B", m.peer_id);
  EXPECT_EQ(8, m.inner.head.type);
  EXPECT_EQ(12, m.inner.head.length);
  EXPECT_EQ(Be16(0) + Be16(0), m.inner.body);
  EXPECT_FALSE(server.TakeRelayed({"CLIENT-B"}, &m, 50));  // taken once only
  EXPECT_TRUE(server.TakeRelayed({"OTHER"}, &m, 50));
  EXPECT_TRUE(server.ProtocolErrors().empty());

  // An inner length that disagrees with the frame is a fault of the agent.
  Write(agent.get(), AgentHead(146, 0x1009) + Field("CLIENT-B", 64) + Head(13, 8, 0) + "1234");
  ASSERT_TRUE(server.WaitForRelayed(3, 2000));
  EXPECT_EQ(1u, server.ProtocolErrors().size());
}

TEST(FakeRelay, PollAnswersNothingOrTheQueuedMessage) {
  FakeVendorServer server;
  UniqueFd agent = ConnectTcp("127.0.0.1", server.port(), 2000);
  Write(agent.get(), AgentHead(70, 0x100C));
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0x100C) + Be16(1), Recv(agent.get(), 8));

  std::string chunk = Head(25, 2, 9) + std::string(12, '\0') + "hello";
  server.QueuePollMessage(chunk);
  Write(agent.get(), AgentHead(70, 0x100C));
  EXPECT_EQ(Be16(33) + Be16(0) + Be16(0x100C) + Be16(0) + chunk, Recv(agent.get(), 33));
  EXPECT_EQ(0u, server.PendingPollMessages());
  EXPECT_EQ(2u, server.PollTimes().size());

  server.SetStatus(0x100C, 0);  // an empty status-0 answer
  Write(agent.get(), AgentHead(70, 0x100C));
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0x100C) + Be16(0), Recv(agent.get(), 8));
}

TEST(FakeRelay, FileDataRepliesCacheFullThenAcceptsThenCloses) {
  FakeVendorServer server;
  server.QueueStatuses(0x100B, {4116, 4116});
  server.QueueActions(0x100B, {ServerAction::Status(0), ServerAction::Close()});
  UniqueFd agent = ConnectTcp("127.0.0.1", server.port(), 2000);
  std::string package = AgentHead(154 + 3, 0x100B) + Field("CLIENT-A", 64) + Head(23, 0x1002, 5) +
                        Be32(26) + Be32(0) + Be32(0) + "abc";
  std::vector<uint16_t> statuses;
  for (int i = 0; i < 3; ++i) {
    Write(agent.get(), package);
    std::string reply = Recv(agent.get(), 8);
    ASSERT_EQ(8u, reply.size());
    EXPECT_EQ(Be16(0x100B), reply.substr(4, 2));
    statuses.push_back(static_cast<uint16_t>((static_cast<uint8_t>(reply[6]) << 8) |
                                             static_cast<uint8_t>(reply[7])));
  }
  EXPECT_EQ((std::vector<uint16_t>{4116, 4116, 0}), statuses);
  Write(agent.get(), package);
  std::string none;
  EXPECT_EQ(Io::kClosed, RecvExact(agent.get(), &none, 8, 2000));

  ASSERT_TRUE(server.WaitForRelayed(4, 2000));
  RelayedMessage m = server.RelayedMessages()[0];
  EXPECT_EQ(RelayedMessage::Channel::kFileData, m.channel);
  EXPECT_EQ("CLIENT-A", m.peer_id);
  EXPECT_EQ(0x1002, m.inner.head.type);
  EXPECT_EQ(5u, m.inner.head.word);
  EXPECT_TRUE(server.ProtocolErrors().empty());
}

// The fake mobile client over the relay: requests reach the agent as relayed requests,
// upload chunks through the poll, answers come back from the agent's relayed messages.
TEST(FakeRelay, MobileClientOverRelayTransport) {
  FakeVendorServer server;
  UniqueFd agent = OpenInterline(server);
  std::thread agent_side([&] {
    std::string frame = Recv(agent.get(), 134 + 264);
    ASSERT_EQ(398u, frame.size());
    EXPECT_EQ(Field("PHONE-A", 64), frame.substr(6, 64));   // head id
    EXPECT_EQ(Field("PHONE-B", 64), frame.substr(70, 64));  // body id
    EXPECT_EQ(Head(264, 8, 0), frame.substr(134, 8));
    EXPECT_EQ(Field("owner", 32), frame.substr(142, 32));
    Write(agent.get(),
          AgentHead(146, 0x1009) + Field("PHONE-B", 64) + Head(12, 8, 0) + Be16(0) + Be16(0));
  });
  FakeMobileClient client(std::make_unique<RelayTransport>(server, "PHONE-B", "PHONE-A"));
  LoginResult login = client.Login("owner", "pw");
  agent_side.join();
  EXPECT_TRUE(login.ok()) << login.Describe();
  EXPECT_EQ(0, login.verdict);

  client.SendUploadData(3, "0123456789", 0, 10, 4);
  EXPECT_EQ(3u, server.PendingPollMessages());
  UniqueFd poller = ConnectTcp("127.0.0.1", server.port(), 2000);
  Write(poller.get(), AgentHead(70, 0x100C));
  EXPECT_EQ(Be16(8 + 24) + Be16(0) + Be16(0x100C) + Be16(0) + Head(24, 2, 3) +
                std::string(12, '\0') + "0123",
            Recv(poller.get(), 32));
}

}  // namespace
}  // namespace ks::fake
