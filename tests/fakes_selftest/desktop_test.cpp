// FakeDesktop against a raw pushing "agent"; DesktopRequest against a raw "agent" server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/fakes/desktop_request.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes_selftest/raw_peer.h"

namespace ks::fake {
namespace {

using namespace selftest;

std::string LoginAsk(uint32_t word, const std::string& account, const std::string& password) {
  std::string body = Field(account, 32) + Field(password, 32) + Field("device-extra", 192);
  return Head(264, 0x500D, word) + body;
}

struct Answer {
  Io io = Io::kOk;
  std::string bytes;
};

// Pushes like the agent: send the 264 bytes, read exactly 12.
Answer Push(uint16_t port, const std::string& bytes, int timeout_ms = 3000) {
  Answer a;
  UniqueFd fd = ConnectTcp("127.0.0.1", port, 2000);
  EXPECT_TRUE(fd.valid());
  Write(fd.get(), bytes);
  a.io = RecvExact(fd.get(), &a.bytes, 12, timeout_ms);
  return a;
}

TEST(FakeDesktop, AnswersScriptedVerdictsAndRecordsThePush) {
  FakeDesktop desktop;  // accepts by default
  desktop.QueueActions({DesktopAction::Refuse(), DesktopAction::Close(), DesktopAction::Silence(),
                        DesktopAction::Raw(Head(12, 0x5001, 0) + Be32(0))});
  EXPECT_EQ(Head(12, 0x500D, 1234) + Be32(1),
            Push(desktop.port(), LoginAsk(1234, "me", "pw")).bytes);
  EXPECT_EQ(Io::kClosed, Push(desktop.port(), LoginAsk(1, "me", "pw")).io);
  EXPECT_EQ(Io::kTimeout, Push(desktop.port(), LoginAsk(2, "me", "pw"), 300).io);
  EXPECT_EQ(Head(12, 0x5001, 0) + Be32(0), Push(desktop.port(), LoginAsk(3, "me", "pw")).bytes);
  EXPECT_EQ(Head(12, 0x500D, 4) + Be32(0), Push(desktop.port(), LoginAsk(4, "me", "pw")).bytes);

  ASSERT_TRUE(desktop.WaitForPushes(5, 2000));
  DesktopPush p = desktop.Pushes()[0];
  EXPECT_TRUE(p.complete);
  EXPECT_EQ(264, p.head.length);
  EXPECT_EQ(1234u, p.head.word);
  EXPECT_EQ("me", p.account);
  EXPECT_EQ("pw", p.password);
  EXPECT_EQ(Field("device-extra", 192), p.body.substr(64));
  EXPECT_EQ(3u, desktop.AnswersSent());
  EXPECT_TRUE(desktop.ProtocolErrors().empty());
}

TEST(FakeDesktop, DelayedAnswerAndMalformedPush) {
  FakeDesktop desktop(DesktopAction::Refuse(200));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Be32(1), Push(desktop.port(), LoginAsk(5, "a", "b")).bytes.substr(8));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  // A push that is too short for the layout is recorded as a fault.
  Push(desktop.port(), Head(72, 0x500D, 6) + Field("a", 32) + Field("b", 32));
  ASSERT_TRUE(desktop.WaitForPushes(2, 2000));
  EXPECT_EQ(1u, desktop.ProtocolErrors().size());
}

TEST(DesktopRequest, ReadsOneReplyPerConnection) {
  RawServer agent([](int fd) {
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(0x5002, type);
    EXPECT_EQ(63u, body.size());
    EXPECT_EQ(Field("user", 32), body.substr(0, 32));
    Write(fd, Head(12, type, word) + Be32(4101));
  });
  DesktopReply r = DesktopRequest(agent.port(), 0x5002, ShowLogonBody("user", "pass"), 9);
  ASSERT_TRUE(r.ok()) << StatusName(r.status);
  EXPECT_EQ(0x5002, r.head.type);
  EXPECT_EQ(9u, r.head.word);
  EXPECT_EQ(4101u, r.ResultWord());
}

TEST(DesktopRequest, SilenceCloseAndNothingListening) {
  DesktopRequestOptions quick;
  quick.recv_timeout_ms = 200;
  {
    RawServer silent([](int fd) { Recv(fd, 8); });
    EXPECT_EQ(DesktopReply::Status::kTimeout,
              DesktopRequest(silent.port(), 0x5014, "2", 0, quick).status);
  }
  {
    RawServer closer([](int fd) {
      Recv(fd, 8);
      ::shutdown(fd, SHUT_RDWR);
    });
    EXPECT_EQ(DesktopReply::Status::kClosed,
              DesktopRequest(closer.port(), 0x5000, {}, 0, quick).status);
  }
  {
    RawServer bad([](int fd) {
      Recv(fd, 8);
      Write(fd, Head(4, 0x5000, 0));
    });
    EXPECT_EQ(DesktopReply::Status::kBadLength, DesktopRequest(bad.port(), 0x5000).status);
  }
  EXPECT_EQ(DesktopReply::Status::kConnectFailed, DesktopRequest(FreeTcpPort(), 0x5000).status);
}

TEST(DesktopRequest, SendsFromAnotherLoopbackAddress) {
  std::string peer;
  {
    RawServer agent([&peer](int fd) {
      sockaddr_in a{};
      socklen_t len = sizeof a;
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
      char text[INET_ADDRSTRLEN];
      peer = ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
      Recv(fd, 8);
      Write(fd, Head(8, 0x500C, 0));
    });
    DesktopRequestOptions lan;
    lan.bind_ip = "127.0.0.2";
    DesktopReply r = DesktopRequest(agent.port(), 0x500C, {}, 0, lan);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.body.empty());
  }
  EXPECT_EQ("127.0.0.2", peer);
}

TEST(DesktopRequest, ParsesReplyLayouts) {
  std::string rec1 = Be16(1) + Be16(0) + Be32(2500001) + Field("2024-05-01 10:00:00", 30) +
                     Field("/share/a.bin", 260) + std::string(2, '\0');
  std::string rec2 =
      Be16(0) + Be16(1) + Be32(7) + Field("t", 30) + Field("b", 260) + std::string(2, '\0');
  std::vector<TransLogRecord> log;
  std::string error;
  ASSERT_TRUE(ParseTransLog(rec1 + rec2, &log, &error)) << error;
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(1, log[0].type);
  EXPECT_EQ(2500001u, log[0].size);
  EXPECT_EQ("2024-05-01 10:00:00", log[0].time);
  EXPECT_EQ("/share/a.bin", log[0].file);
  EXPECT_EQ(1, log[1].status);
  EXPECT_FALSE(ParseTransLog(rec1.substr(0, 299), &log, &error));
  std::string unterminated = rec1;
  unterminated.replace(38, 260, std::string(260, 'x'));
  EXPECT_FALSE(ParseTransLog(unterminated, &log, &error));

  TransferCounts counts = ParseTransferCounts(Be16(3) + Be16(1));
  EXPECT_EQ(3, counts.sessions);
  EXPECT_EQ(1, counts.downloads);
  VerAndType v = ParseVerAndType(Be16(2) + Be16(370) + Field("ID", 64) + Field("host", 64));
  EXPECT_EQ(370, v.version);
  EXPECT_EQ("ID", v.device_id);
  EXPECT_EQ("host", v.host_name);
  EXPECT_EQ((std::vector<std::string>{"/a", "/b c"}), SplitCrLfLines("/a\r\n/b c\r\n"));
  EXPECT_EQ(1560u, DefShareBody({"/d"}).size());
  EXPECT_EQ("/d", ParseDefShare(DefShareBody({"/d"}))[0]);
  EXPECT_EQ(Be32(7) + "run me" + std::string(1, '\0'), ExecBody(7, "run me"));
  // The desktop program leaves out the password field's last byte.
  EXPECT_EQ(Field("u", 32) + std::string(31, 'p'), ShowLogonBody("u", std::string(32, 'p')));
}

}  // namespace
}  // namespace ks::fake
