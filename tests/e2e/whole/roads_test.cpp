// Every road of the agent end to end, with the real program and every peer faked: the
// mobile roads on each transport (LAN TCP, relay through the vendor's server, UDT after a
// hole punch), then the roads that belong to the agent as a whole (the owner's log-in, HTTP,
// discovery, the transfer log, the power-off request).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "tests/e2e/whole/whole_support.h"
#include "tests/fakes/net_io.h"

namespace ks::e2e {
namespace {

using namespace ks::fake;

constexpr int kPackages = 40;  // where a first download attempt is cut

// The mobile client that was cut leaves; the relay has no link to drop, so there the client
// asks the agent to stop instead.
DownloadOptions CutDownload(Transport t) {
  DownloadOptions o;
  if (t == Transport::kRelay) {
    o.stop_after_packages = kPackages;
  } else {
    o.close_after_packages = kPackages;
  }
  return o;
}

// --- the mobile roads, once per transport ----------------------------------------------

TEST_P(OverTransport, DeviceLogInAsksTheOwnerForAnyOtherAccount) {
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());

  LoginResult owner = phone->Login(kOwner, kOwnerHash, "model: test phone", 11, 15000);
  EXPECT_TRUE(owner.ok()) << owner.Describe();
  EXPECT_EQ(owner.verdict, 0);
  EXPECT_EQ(owner.word, 0u);
  EXPECT_EQ(desktop->PushCount(), 0u) << "the stored account is let in without asking";

  LoginResult guest = phone->Login("guest@example.com", "guesthash", "model: test phone", 12, 15000);
  EXPECT_TRUE(guest.ok()) << guest.Describe();
  EXPECT_EQ(guest.verdict, 0) << "the owner accepted";
  ASSERT_EQ(desktop->PushCount(), 1u);
  DesktopPush push = desktop->Pushes()[0];
  EXPECT_TRUE(push.complete);
  EXPECT_EQ(push.account, "guest@example.com");
  EXPECT_EQ(push.password, "guesthash");
  EXPECT_EQ(push.body.substr(64, 17), "model: test phone") << "the rest is forwarded as it came";

  desktop->SetAction(DesktopAction::Refuse());
  LoginResult refused = phone->Login("guest@example.com", "guesthash", {}, 13, 15000);
  EXPECT_TRUE(refused.ok()) << refused.Describe();
  EXPECT_EQ(refused.verdict, 1);
  EXPECT_EQ(desktop->PushCount(), 2u);
  EXPECT_TRUE(desktop->ProtocolErrors().empty());
}

TEST_P(OverTransport, ListingOfTheSharesAndOfAFolder) {
  std::set<std::string> names;
  for (int i = 0; i < 9; ++i) {
    std::string name = "f" + std::to_string(i) + ".txt";
    PutData("list/" + name, 100 + i, i);
    names.insert(name);
  }
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());

  ShareInfoResult shares = phone->ShareInfo(21);
  EXPECT_TRUE(shares.ok()) << shares.Describe();
  EXPECT_EQ(shares.folders, std::vector<std::string>{data});

  for (const std::string& path : {data + "/list", std::string("$DEFAULT$/list")}) {
    SCOPED_TRACE(path);
    ListingResult r = phone->Listing(path, '1', 22);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.package_counts, (std::vector<uint32_t>{4, 4, 1}));
    EXPECT_EQ(r.total, 9u);
    std::set<std::string> got;
    for (const ListingEntry& e : r.entries) {
      got.insert(e.name);
      EXPECT_EQ(e.size, 100u + (e.name[1] - '0')) << e.name;
    }
    EXPECT_EQ(got, names);
  }
}

TEST_P(OverTransport, DownloadCutThenResumedFromItsOffset) {
  const std::string content = PutData("movie.bin", 150001, 31);
  // The relay acknowledges each package a little later, as a real server far away does, so
  // that the client's stop arrives while packages are still coming.
  vendor.SetAction(wire::kSrvRelayFileData, ServerAction::Status(0, 3));
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());

  DownloadResult first = phone->Download("$DEFAULT$/movie.bin", 31, 0, CutDownload(GetParam()));
  ASSERT_TRUE(first.info.accepted) << first.info.Describe();
  EXPECT_EQ(first.info.size, content.size());
  EXPECT_EQ(first.info.fingerprint, BytesFingerprint(content));
  ASSERT_GE(first.data.packages, static_cast<uint32_t>(kPackages)) << first.data.Describe();
  EXPECT_EQ(first.data.data, content.substr(0, first.data.bytes));
  const uint32_t offset = static_cast<uint32_t>(first.data.bytes);
  ASSERT_EQ(offset % 1000, 0u);
  phone.reset();

  KS_CONNECT(again, GetParam());
  DownloadResult rest = again->Download("$DEFAULT$/movie.bin", 32, offset);
  EXPECT_EQ(CompareDownload(rest, data + "/movie.bin", offset), "");
  EXPECT_EQ(rest.data.first_package, offset / 1000 + 1);
  EXPECT_EQ(first.data.data + rest.data.data, content);
}

TEST_P(OverTransport, UploadCutThenResumedFromWhatTheAgentHolds) {
  const std::string content = RandomBytes(300001, 41);
  const std::string name = "up-" + TransportName(GetParam()) + ".bin";
  const std::string target = data + "/incoming/" + name;
  const std::string temp = target + "kestyl.rename";
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());

  UploadOptions cut;
  cut.cut_at = 120000;
  UploadResult first = phone->Upload("$DEFAULT$/incoming/" + name, content, 41, cut);
  ASSERT_TRUE(first.announce.accepted) << first.Describe();
  EXPECT_EQ(first.announce.offset, 0u);
  // Chunks still on their way (the relay hands them out one per poll) land first.
  if (GetParam() == Transport::kRelay) {
    EXPECT_TRUE(WaitFor([&] { return vendor.PendingPollMessages() == 0; }, 20000));
  }
  EXPECT_TRUE(WaitFor([&] { return FileSize(temp) == 120000; }, 5000)) << FileSize(temp);
  const int64_t held = FileSize(temp);
  ASSERT_GT(held, 0);
  phone.reset();

  KS_CONNECT(again, GetParam());
  UploadResult rest = again->Upload("$DEFAULT$/incoming/" + name, content, 42);
  ASSERT_TRUE(rest.ok()) << rest.Describe();
  EXPECT_EQ(rest.announce.offset, static_cast<uint32_t>(held));
  ASSERT_TRUE(WaitFor([&] { return FileSize(target) == static_cast<int64_t>(content.size()); }, 20000))
      << FileSize(target) << "\n" << agent->ReadLog();
  EXPECT_EQ(ks::test::ReadFile(target), content);
  EXPECT_EQ(Tree(data + "/incoming"), std::vector<std::string>{name}) << "temporary files are gone";
}

TEST_P(OverTransport, ThumbnailOfAPictureAtTheAskedSize) {
  ks::test::WriteFile(pics + "/photo.jpg", MakeJpeg(640, 480));
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());

  ThumbResult thumb = phone->RequestThumbnail("$DEFAULT_PIC$/photo.jpg", 160, 120, 51, 15000);
  EXPECT_TRUE(thumb.ok()) << thumb.Describe();
  EXPECT_EQ(thumb.status, 0);
  int w = 0, h = 0;
  ASSERT_TRUE(JpegSize(thumb.data, &w, &h));
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);

  ThumbResult missing = phone->RequestThumbnail("$DEFAULT_PIC$/none.jpg", 160, 120, 52, 15000);
  EXPECT_TRUE(missing.ok()) << missing.Describe();
  EXPECT_TRUE(missing.got_status);
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.data.empty());
}

INSTANTIATE_TEST_SUITE_P(Roads, OverTransport, ::testing::ValuesIn(kAllTransports),
                         TransportParamName);

// --- roads of the agent as a whole ---------------------------------------------------------

class WholeRoad : public WholeTest {};

TEST_F(WholeRoad, OwnerLogInFromTheDesktopReachesTheVendorServer) {
  ASSERT_TRUE(StartAgent());
  WaitForVendorQuiet(700, 10000);  // the start-up log-on, if any, is over
  vendor.ClearRecords();

  DesktopReply r = Desktop(wire::kShowLogon, ShowLogonBody("new@example.com", "newhash"));
  ASSERT_TRUE(r.ok()) << StatusName(r.status);
  EXPECT_EQ(r.head.type, wire::kShowLogon);
  EXPECT_EQ(r.ResultWord(), 0u);
  std::vector<uint16_t> opcodes = vendor.Opcodes();
  EXPECT_EQ(opcodes, (std::vector<uint16_t>{wire::kSrvLogout, wire::kSrvLogon, wire::kSrvSetSvInfo,
                                            wire::kSrvSetPowerOnInfo}));
  std::vector<ServerRequest> logon = vendor.Requests(wire::kSrvLogon);
  ASSERT_EQ(logon.size(), 1u);
  EXPECT_EQ(logon[0].account, "new@example.com");
  EXPECT_EQ(logon[0].password, "newhash");
  std::vector<ServerRequest> info = vendor.Requests(wire::kSrvSetSvInfo);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].message_port, agent->message_port());

  DesktopReply status = Desktop(wire::kShowLogonStatus);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(status.ResultWord(), 0u);
  LogonInfo stored = ParseLogonInfo(Desktop(wire::kShowGetLogonInfo).body);
  EXPECT_EQ(stored.account, "new@example.com");
  EXPECT_EQ(stored.password, "newhash");
  for (const std::string& e : vendor.ProtocolErrors()) ADD_FAILURE() << e;
}

// Reads one HTTP answer to the end: head and body apart.
struct HttpAnswer {
  std::string head;
  std::string body;
};
HttpAnswer HttpGet(uint16_t port, const std::string& target) {
  HttpAnswer a;
  UniqueFd fd = ConnectTcp("127.0.0.1", port, 2000);
  if (!fd) return a;
  if (SendAll(fd.get(), "GET " + target + " HTTP/1.1\r\nHost: pc\r\n\r\n", 2000) != Io::kOk) return a;
  std::string all;
  char buf[65536];
  for (;;) {
    if (!Readable(fd.get(), 5000)) break;
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  size_t end = all.find("\r\n\r\n");
  if (end == std::string::npos) {
    a.head = all;
  } else {
    a.head = all.substr(0, end + 4);
    a.body = all.substr(end + 4);
  }
  return a;
}

TEST_F(WholeRoad, HttpServesTheSameBytesAsTheMessageProtocol) {
  const std::string content = PutData("films/movie one.bin", 250000, 61);
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, Transport::kTcp);
  DownloadResult viaMessages = phone->Download("$DEFAULT$/films/movie one.bin", 61);
  ASSERT_EQ(CompareDownload(viaMessages, data + "/films/movie one.bin", 0), "");

  HttpAnswer a = HttpGet(agent->http_port(), "/$DEFAULT$/films/movie%20one.bin");
  EXPECT_EQ(a.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a.head;
  EXPECT_NE(a.head.find("Server: KestylHttpServer/0.1.0\r\n"), std::string::npos) << a.head;
  EXPECT_NE(a.head.find("Content-Length:  250000\r\n"), std::string::npos) << a.head;
  EXPECT_EQ(a.body.size(), content.size());
  EXPECT_TRUE(a.body == viaMessages.data.data) << "HTTP and the message protocol disagree";

  HttpAnswer byLocalPath = HttpGet(agent->http_port(), "/" + data + "/films/movie%20one.bin");
  EXPECT_TRUE(byLocalPath.body == content) << byLocalPath.head;
  HttpAnswer missing = HttpGet(agent->http_port(), "/$DEFAULT$/films/none.bin");
  EXPECT_EQ(missing.head.rfind("HTTP/1.1 404 NOT FOUND\r\n", 0), 0u) << missing.head;
}

int UdpSocket(const std::string& address, uint16_t port) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// True when some socket of this machine is bound to UDP `port` (/proc/net/udp).
bool UdpPortBound(uint16_t port) {
  FILE* f = std::fopen("/proc/net/udp", "r");
  if (!f) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) {
    unsigned address = 0, local = 0;
    if (std::sscanf(line, " %*d: %x:%x", &address, &local) == 2 && local == port) found = true;
  }
  std::fclose(f);
  return found;
}

TEST_F(WholeRoad, DiscoveryIsAnsweredOnTheLoopbackBroadcastAddress) {
  // The agent answers through the adapter that shares the asking client's network, so the
  // client sends from this machine's own LAN address; the answer goes to 127.255.255.255.
  const std::string lan = LanAddress();
  if (lan.empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
  ASSERT_TRUE(StartAgent());
  // A datagram sent before the agent's discovery socket exists is lost: wait for it.
  ASSERT_TRUE(WaitFor([&] { return UdpPortBound(agent->discovery_port()); }, 10000)) << agent->ReadLog();
  UniqueFd listen(UdpSocket("127.255.255.255", agent->discovery_port()));
  UniqueFd client(UdpSocket(lan, 0));
  ASSERT_TRUE(listen && client);

  ByteString request = "ks";
  PutU16(request, wire::kVersion);
  PutU16(request, 4);
  request.resize(206, '\0');
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(agent->discovery_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::sendto(client.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
            static_cast<ssize_t>(request.size()));

  std::vector<ByteString> answers;
  char buf[1024];
  while (Readable(listen.get(), answers.empty() ? 5000 : 500)) {
    ssize_t n = ::recv(listen.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    ByteString d(buf, static_cast<size_t>(n));
    if (GetU16(d, 4) != 4) answers.push_back(d);  // not our own request
  }
  ASSERT_EQ(answers.size(), 1u) << agent->ReadLog();
  const ByteString& a = answers[0];
  ASSERT_EQ(a.size(), 206u);
  EXPECT_EQ(a.substr(0, 2), "ks");
  EXPECT_EQ(GetU16(a, 2), wire::kVersion);
  EXPECT_EQ(GetU16(a, 4), wire::kSystemType);
  EXPECT_EQ(GetText(a, 6, 32), kOwner);
  in_addr from{};
  std::memcpy(&from, a.data() + 70, 4);
  EXPECT_EQ(std::string(inet_ntoa(from)), lan);
  EXPECT_EQ(GetU16(a, 74), agent->message_port());
  EXPECT_FALSE(GetText(a, 142, 64).empty()) << "device id";
}

TEST_F(WholeRoad, TransferLogShowsFinishedTransfersToTheDesktop) {
  const std::string content = PutData("log/sent.bin", 4321, 71);
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, Transport::kTcp);
  ASSERT_EQ(CompareDownload(phone->Download("$DEFAULT$/log/sent.bin", 71), data + "/log/sent.bin", 0), "");
  const std::string received = RandomBytes(5555, 72);
  ASSERT_TRUE(phone->Upload("$DEFAULT$/log/received.bin", received, 72).ok());
  ASSERT_TRUE(WaitFor([&] { return FileSize(data + "/log/received.bin") == 5555; }, 10000));

  std::vector<TransLogRecord> rows;
  std::string error;
  ASSERT_TRUE(WaitFor(
      [&] {
        DesktopReply r = Desktop(wire::kShowGetTransLog);
        rows.clear();
        return r.ok() && ParseTransLog(r.body, &rows, &error) && rows.size() == 2;
      },
      5000))
      << error << " rows " << rows.size();
  std::set<std::tuple<uint16_t, uint32_t, std::string>> got;
  for (const TransLogRecord& row : rows) {
    got.insert({row.type, row.size, row.file});
    EXPECT_EQ(row.status, 0);
    EXPECT_EQ(row.time.size(), 19u) << row.time;
  }
  EXPECT_EQ(got, (std::set<std::tuple<uint16_t, uint32_t, std::string>>{
                     {1, 4321, data + "/log/sent.bin"}, {0, 5555, data + "/log/received.bin"}}));
}

TEST_F(WholeRoad, PowerOffRequestHibernatesLogsOutAndEndsTheAgent) {
  UsePowerScript(true);
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, Transport::kTcp);
  ASSERT_TRUE(vendor.WaitForRequests(wire::kSrvLogon, 1, 5000)) << "logged on at start-up";
  EXPECT_EQ(phone->Shutdown(), Io::kOk);
  EXPECT_TRUE(WaitFor([&] { return !agent->Running(); }, 20000)) << "the agent ends after hibernating";
  EXPECT_EQ(ks::test::ReadFile(power_log()), "hibernate \n");
  const int status = agent->exit_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_NE(agent->ReadLog().find("exit server."), std::string::npos);
  EXPECT_GE(vendor.RequestCount(wire::kSrvLogout), 1u);
  std::vector<ServerRequest> out = vendor.Requests(wire::kSrvLogout);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0].account, kOwner);
}

TEST_F(WholeRoad, RefusedPowerOffKeepsTheAgentServing) {
  ASSERT_TRUE(StartAgent());  // the power script refuses
  KS_CONNECT(phone, Transport::kTcp);
  EXPECT_EQ(phone->Shutdown(), Io::kOk);
  EXPECT_TRUE(WaitFor([&] { return ks::test::ReadFile(power_log()) == "hibernate \n"; }, 10000));
  ShareInfoResult after = phone->ShareInfo(5);
  EXPECT_TRUE(after.ok()) << after.Describe();
  EXPECT_TRUE(agent->Running());
  EXPECT_EQ(vendor.RequestCount(wire::kSrvLogout), 0u);
}

}  // namespace
}  // namespace ks::e2e
