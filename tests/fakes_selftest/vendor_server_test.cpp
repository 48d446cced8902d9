#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes_selftest/raw_peer.h"

namespace ks::fake {
namespace {

using namespace selftest;

// A raw client of the vendor server: one request, its reply bytes (empty when none came).
struct Exchange {
  std::string reply;
  Io io = Io::kOk;  // how reading the 8-byte reply head ended
};

std::string ServerRequestBytes(uint16_t opcode, const std::string& body,
                               const std::string& id = "DEVICE-1", uint16_t version = 370) {
  return Be16(static_cast<uint16_t>(70 + body.size())) + Be16(version) + Be16(opcode) +
         Field(id, 64) + body;
}

Exchange Send(uint16_t port, const std::string& bytes, int timeout_ms = 3000) {
  Exchange e;
  UniqueFd fd = ConnectTcp("127.0.0.1", port, 2000);
  EXPECT_TRUE(fd.valid());
  if (!fd) return e;
  Write(fd.get(), bytes);
  e.io = RecvExact(fd.get(), &e.reply, 8, timeout_ms);
  if (e.io == Io::kOk) {
    size_t len = (static_cast<uint8_t>(e.reply[0]) << 8) | static_cast<uint8_t>(e.reply[1]);
    if (len > 8) e.reply += Recv(fd.get(), len - 8);
  }
  return e;
}

uint16_t StatusOf(const std::string& reply) {
  return reply.size() < 8 ? 0xFFFF
                          : static_cast<uint16_t>((static_cast<uint8_t>(reply[6]) << 8) |
                                                  static_cast<uint8_t>(reply[7]));
}

std::string LogonBody() {
  return Field("owner@example", 32) + Field("secret", 32) + Be16(2) + Be16(0) +
         Field("Linux 6.1", 32) + Field("00-11-22-33-44-55", 32);
}

TEST(FakeVendorServer, AnswersLogonWithScriptedStatusAndRecordsFields) {
  FakeVendorServer server;
  server.SetStatus(0x1001, 4101);
  Exchange e = Send(server.port(), ServerRequestBytes(0x1001, LogonBody()));
  ASSERT_EQ(8u, e.reply.size());
  EXPECT_EQ(Be16(8) + Be16(0) + Be16(0) + Be16(4101), e.reply);

  ASSERT_TRUE(server.WaitForRequests(1, 2000));
  ServerRequest r = server.Requests()[0];
  EXPECT_EQ(0x1001, r.opcode);
  EXPECT_EQ(370, r.version);
  EXPECT_EQ(202, r.length);
  EXPECT_EQ("DEVICE-1", r.device_id);
  EXPECT_EQ("owner@example", r.account);
  EXPECT_EQ("secret", r.password);
  EXPECT_EQ(2, r.system_type);
  EXPECT_EQ("Linux 6.1", r.os_name);
  EXPECT_EQ("00-11-22-33-44-55", r.mac);
  EXPECT_TRUE(server.ProtocolErrors().empty());
}

TEST(FakeVendorServer, QueuedStatusesComeFirstThenTheFixedOne) {
  FakeVendorServer server;
  server.QueueStatuses(0x1002, {4101, 4102});
  server.SetStatus(0x1002, 7);
  std::string logout = ServerRequestBytes(0x1002, Field("a", 32) + Field("b", 32));
  std::vector<uint16_t> got;
  for (int i = 0; i < 4; ++i) got.push_back(StatusOf(Send(server.port(), logout).reply));
  EXPECT_EQ((std::vector<uint16_t>{4101, 4102, 7, 7}), got);
  // Other opcodes keep their own script.
  EXPECT_EQ(0, StatusOf(Send(server.port(), ServerRequestBytes(0x1006, "")).reply));
}

TEST(FakeVendorServer, GetUuidReplyCarriesTheIssuedId) {
  FakeVendorServer server;
  server.SetIssuedDeviceId("ISSUED-42");
  Exchange e = Send(server.port(), ServerRequestBytes(0x1006, "", "00-11-22-33-44-55"));
  ASSERT_EQ(72u, e.reply.size());
  EXPECT_EQ(Be16(72), e.reply.substr(0, 2));
  EXPECT_EQ(0, StatusOf(e.reply));
  EXPECT_EQ(Field("ISSUED-42", 64), e.reply.substr(8));
  EXPECT_EQ("00-11-22-33-44-55", server.Requests(0x1006).at(0).device_id);

  // A short body can be scripted to test the agent's bounds.
  server.SetAction(0x1006, ServerAction::WithBody(0, "SHORT"));
  e = Send(server.port(), ServerRequestBytes(0x1006, ""));
  EXPECT_EQ(Be16(13) + Be16(0) + Be16(0) + Be16(0) + "SHORT", e.reply);
}

TEST(FakeVendorServer, DecodesServerAndPowerOnInfo) {
  FakeVendorServer server;
  std::string sv = std::string(8, '\0') + std::string("\xC0\xA8\x01\x17", 4) + Be16(61639) +
                   Be16(0) + Be16(15001) + Be16(2) + Field("owner", 32) + std::string(32, '\0') +
                   Field("my-pc", 64) + std::string(64, '\0');
  ASSERT_EQ(212u, sv.size());
  std::string power = std::string("\x02\x00", 2) + Field("owner", 32) + Field("AA-BB", 32) +
                      std::string(32, '\0') + Field("my-pc", 64);
  ASSERT_EQ(162u, power.size());
  Send(server.port(), ServerRequestBytes(0x1004, sv));
  Send(server.port(), ServerRequestBytes(0x100F, power));
  ASSERT_TRUE(server.WaitForRequests(2, 2000));

  ServerRequest s = server.Requests(0x1004).at(0);
  EXPECT_EQ("192.168.1.23", s.local_ip);
  EXPECT_EQ(61639, s.upnp_port);
  EXPECT_EQ(15001, s.message_port);
  EXPECT_EQ(2, s.system_type);
  EXPECT_EQ("owner", s.account);
  EXPECT_EQ("my-pc", s.host_name);
  ServerRequest p = server.Requests(0x100F).at(0);
  EXPECT_EQ(2, p.system_type);  // little-endian on the wire
  EXPECT_EQ("owner", p.account);
  EXPECT_EQ("AA-BB", p.mac);
  EXPECT_EQ("my-pc", p.host_name);
  EXPECT_EQ((std::vector<uint16_t>{0x1004, 0x100F}), server.Opcodes());
  EXPECT_TRUE(server.ProtocolErrors().empty());
}

TEST(FakeVendorServer, ReportsEncodingFaults) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string sv_dirty(212, '\0');
  sv_dirty[150] = 'x';  // reserved tail
  const Case cases[] = {
      {"short logon body", ServerRequestBytes(0x1001, LogonBody().substr(0, 131))},
      {"account without NUL", ServerRequestBytes(0x1002, std::string(32, 'a') + Field("p", 32))},
      {"reserved bytes", ServerRequestBytes(0x1004, sv_dirty)},
      {"unknown opcode", ServerRequestBytes(0x1077, "")},
  };
  for (const auto& c : cases) {
    FakeVendorServer server;
    Send(server.port(), c.bytes);
    ASSERT_TRUE(server.WaitForRequests(1, 2000)) << c.name;
    EXPECT_EQ(1u, server.ProtocolErrors().size()) << c.name;
  }
}

TEST(FakeVendorServer, WrongVersionIsRecordedAndClosed) {
  FakeVendorServer server;
  Exchange e = Send(server.port(), ServerRequestBytes(0x1001, LogonBody(), "D", 369));
  EXPECT_EQ(Io::kClosed, e.io);
  EXPECT_TRUE(e.reply.empty());
  EXPECT_EQ(0u, server.RequestCount());
  ASSERT_EQ(1u, server.ProtocolErrors().size());
  EXPECT_NE(std::string::npos, server.ProtocolErrors()[0].find("369"));
}

TEST(FakeVendorServer, ScriptedCloseSilenceDelayAndRawReply) {
  FakeVendorServer server;
  std::string req = ServerRequestBytes(0x1001, LogonBody());
  server.QueueActions(0x1001,
                      {ServerAction::Close(), ServerAction::Silence(), ServerAction::Status(5, 300),
                       ServerAction::Raw(Be16(8) + Be16(9) + Be16(9) + Be16(9))});
  Exchange closed = Send(server.port(), req);
  EXPECT_EQ(Io::kClosed, closed.io);
  Exchange silent = Send(server.port(), req, 300);
  EXPECT_EQ(Io::kTimeout, silent.io);
  auto start = std::chrono::steady_clock::now();
  Exchange delayed = Send(server.port(), req);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(5, StatusOf(delayed.reply));
  EXPECT_EQ(Be16(8) + Be16(9) + Be16(9) + Be16(9), Send(server.port(), req).reply);
  EXPECT_EQ(4u, server.RequestCount(0x1001));
}

TEST(FakeVendorServer, RecordsConcurrentRequestsAndWaitsForCounts) {
  FakeVendorServer server;
  std::string logout = ServerRequestBytes(0x1002, Field("a", 32) + Field("b", 32));
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) clients.emplace_back([&] { Send(server.port(), logout); });
  EXPECT_TRUE(server.WaitForRequests(0x1002, 8, 3000));
  for (auto& t : clients) t.join();
  EXPECT_EQ(8u, server.RequestCount());
  EXPECT_FALSE(server.WaitForRequests(9, 50));
  server.ClearRecords();
  EXPECT_EQ(0u, server.RequestCount());
}

TEST(FakeVendorServer, StopsWithConnectionsStillOpen) {
  auto server = std::make_unique<FakeVendorServer>();
  UniqueFd idle = ConnectTcp("127.0.0.1", server->port(), 2000);
  UniqueFd half = ConnectTcp("127.0.0.1", server->port(), 2000);
  Write(half.get(), ServerRequestBytes(0x1001, LogonBody()).substr(0, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.reset();  // must not hang on the idle or the half-sent connection
  SUCCEED();
}

}  // namespace
}  // namespace ks::fake
