// The mobile-client road end to end: the real agent program (AgentHarness), a phone on
// its message port from 127.0.0.2 (FakeMobileClient), the desktop program's confirmation
// listener (FakeDesktop), desktop requests from 127.0.0.1 and the vendor's server
// (FakeVendorServer).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/fakes/agent_harness.h"
#include "tests/fakes/desktop_request.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::fake;
using namespace std::chrono_literals;
using ks::test::MakeSparseFile;
using ks::test::TempDir;
using ks::test::WriteFile;

constexpr uint16_t kShowIsTransferring = 0x500A;
constexpr uint16_t kShowIsMobileLinked = 0x500B;

long PeakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class MobileRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    share = files.path() + "/share";
    pics = files.path() + "/pics";
    outside = files.path() + "/outside";
    for (const std::string& d : {share, pics, outside}) ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    desktop = std::make_unique<FakeDesktop>(DesktopAction::Accept());
    options.vendor_port = vendor.port();
    options.desktop_port = desktop->port();
    options.confirm_s = 1;
    options.sql = {"INSERT INTO ks_share(path) VALUES('" + share + "')",
                   "INSERT INTO ks_defshare(def, def_pic, def_music, def_video, def_doc, def_instant) "
                   "VALUES('', '" + pics + "', '', '', '', '')"};
    options.env["KESTYL_POWER_CMD"] = "exit 1";
  }
  void Start() {
    agent = std::make_unique<AgentHarness>(options);
    ASSERT_TRUE(agent->Start()) << agent->ReadLog();
    phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
  }
  DesktopReply Desktop(uint16_t type) { return DesktopRequest(agent->message_port(), type, {}, 9); }

  TempDir files;
  std::string share, pics, outside;
  FakeVendorServer vendor;
  std::unique_ptr<FakeDesktop> desktop;
  AgentOptions options;
  std::unique_ptr<AgentHarness> agent;
  std::unique_ptr<FakeMobileClient> phone;
};

TEST_F(MobileRoad, DeviceLogIn) {
  options.sql.push_back("INSERT INTO ks_user(email, psw) VALUES('owner@x.y', 'secret')");
  Start();
  struct Case {
    const char* name;
    const char* account;
    const char* password;
    DesktopAction action;
    uint16_t verdict;
    size_t pushes;
  } cases[] = {
      {"stored account, no question", "owner@x.y", "secret", DesktopAction::Refuse(), 0, 0},
      {"stored account, other password, owner lets in", "owner@x.y", "guess", DesktopAction::Accept(), 0, 1},
      {"other account, owner refuses", "guest@x.y", "pw", DesktopAction::Refuse(), 1, 1},
      {"owner silent past the time-out", "guest@x.y", "pw", DesktopAction::Silence(), 1, 1},
      {"owner's program closes without answer", "guest@x.y", "pw", DesktopAction::Close(), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop->SetAction(c.action);
    size_t before = desktop->PushCount();
    LoginResult r = phone->Login(c.account, c.password, "rest of the body", 77, 10000);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.word, 0u);
    EXPECT_EQ(r.verdict, c.verdict);
    EXPECT_EQ(desktop->PushCount() - before, c.pushes);
  }
  auto pushes = desktop->Pushes();
  ASSERT_GE(pushes.size(), 2u);
  EXPECT_TRUE(desktop->ProtocolErrors().empty());
  EXPECT_EQ(pushes[0].account, "owner@x.y");
  EXPECT_EQ(pushes[0].password, "guess");
  for (size_t i = 1; i < pushes.size(); ++i) EXPECT_GT(pushes[i].head.word, pushes[i - 1].head.word);

  desktop.reset();  // no desktop program: refused
  LoginResult r = phone->Login("guest@x.y", "pw", {}, 78, 10000);
  EXPECT_TRUE(r.ok()) << r.Describe();
  EXPECT_EQ(r.verdict, 1);
}

TEST_F(MobileRoad, HeartBeatMakesTheClientLinked) {
  Start();
  DesktopReply before = Desktop(kShowIsMobileLinked);
  HeartBeatResult hb = phone->HeartBeat(0x1234);
  EXPECT_TRUE(hb.ok()) << hb.Describe();
  EXPECT_EQ(hb.word, 0x1234u);
  EXPECT_EQ(hb.version, 370);
  ASSERT_TRUE(before.ok()) << StatusName(before.status);
  EXPECT_EQ(before.ResultWord(), 0xFFFFFFFFu) << "nothing linked before the heart-beat";
  DesktopReply after = Desktop(kShowIsMobileLinked);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after.ResultWord(), 0u);
}

TEST_F(MobileRoad, Listings) {
  auto folder = [&](const std::string& name, int files) {
    std::string d = share + "/" + name;
    EXPECT_EQ(::mkdir(d.c_str(), 0755), 0);
    for (int i = 0; i < files; ++i) WriteFile(d + "/f" + std::to_string(i), std::string(i, 'x'));
    return d;
  };
  std::string zero = folder("zero", 0), eight = folder("eight", 8), nine = folder("nine", 9);
  std::string mixed = folder("mixed", 0);
  ASSERT_EQ(::mkdir((mixed + "/sub").c_str(), 0755), 0);
  WriteFile(mixed + "/a.txt", "12345");
  WriteFile(mixed + "/.hidden", "h");
  ASSERT_EQ(::mkfifo((mixed + "/pipe").c_str(), 0644), 0);
  MakeSparseFile(mixed + "/huge.bin", 3ull << 30);
  Start();

  ShareInfoResult info = phone->ShareInfo();
  EXPECT_TRUE(info.ok()) << info.Describe();
  EXPECT_EQ(info.folders, (std::vector<std::string>{share}));

  struct Case {
    const char* name;
    std::string path;
    char flag;
    bool empty;
    std::vector<uint32_t> packages;
  } cases[] = {
      {"empty folder", zero, '1', true, {}},
      {"8 entries", eight, '1', false, {4, 4}},
      {"9 entries, total big-endian", nine, '1', false, {4, 4, 1}},
      {"9 entries, total little-endian", nine, '0', false, {4, 4, 1}},
      {"climbing out", share + "/../outside", '1', true, {}},
      {"outside every share", outside, '1', true, {}},
      {"unset default folder", "$DEFAULT$\\x", '1', true, {}},
      {"default folder by name", "$DEFAULT_PIC$", '1', true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ListingResult r = phone->Listing(c.path, c.flag);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.empty_answer, c.empty);
    EXPECT_EQ(r.package_counts, c.packages);
    if (!c.empty) {
      EXPECT_EQ(r.total, r.entries.size());
    }
  }

  ListingResult r = phone->Listing(mixed);
  EXPECT_TRUE(r.ok()) << r.Describe();
  ASSERT_EQ(r.entries.size(), 3u) << "hidden and system entries left out";
  EXPECT_EQ(r.entries[0].kind, 0) << "folders first";
  EXPECT_EQ(r.entries[0].name, "sub");
  for (const ListingEntry& e : r.entries) {
    if (e.name == "huge.bin") {
      EXPECT_EQ(e.size, 3ull << 30);
    }
    if (e.name == "a.txt") {
      EXPECT_EQ(e.size, 5u);
    }
  }
}

TEST_F(MobileRoad, Downloads) {
  auto pattern = [](size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 1000);
    return s;
  };
  WriteFile(share + "/zero", "");
  WriteFile(share + "/k1000", pattern(1000));
  WriteFile(share + "/k1001", pattern(1001));
  WriteFile(share + "/k60000", pattern(60000));
  MakeSparseFile(share + "/cap", 524288000);
  MakeSparseFile(share + "/over_cap", 524288001);
  Start();

  struct Case {
    const char* file;
    uint32_t offset;
    uint32_t first;  // first package number (0: none sent)
  } cases[] = {{"zero", 0, 0},      {"k1000", 0, 1},     {"k1001", 0, 1},
               {"k60000", 0, 1},    {"k60000", 2500, 3}, {"k1000", 1000, 0},
               {"cap", 524287500, 524288}};
  uint32_t session = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " from " + std::to_string(c.offset));
    DownloadOptions o;
    o.keep_bytes = std::string(c.file) != "cap";
    DownloadResult r = phone->Download(share + "/" + c.file, ++session, c.offset, o);
    EXPECT_EQ(CompareDownload(r, share + "/" + c.file, c.offset), "");
    EXPECT_EQ(r.data.first_package, c.first);
  }

  DownloadInfo tooLarge = phone->RequestDownload(share + "/over_cap", 200);
  EXPECT_FALSE(tooLarge.accepted);
  EXPECT_EQ(tooLarge.error_code, 4120);
  DownloadInfo missing = phone->RequestDownload(share + "/none", 201);
  EXPECT_EQ(missing.error_code, 4119);
  DownloadInfo outsideFile = phone->RequestDownload(share + "/../outside/x", 202);
  EXPECT_EQ(outsideFile.error_code, 4118);

  // Beyond the end: "1".
  ASSERT_TRUE(phone->RequestDownload(share + "/k1000", 203).accepted);
  ASSERT_EQ(phone->AllowDownload(203, 1001), Io::kOk);
  DownloadData beyond = phone->ReceiveDownload(203, 1001);
  ASSERT_TRUE(beyond.over_status.has_value());
  EXPECT_EQ(*beyond.over_status, '1');

  // Refused, then allowed: nothing comes.
  ASSERT_TRUE(phone->RequestDownload(share + "/k1000", 204).accepted);
  EXPECT_EQ(phone->Refuse(204), Io::kOk);
  EXPECT_EQ(phone->AllowDownload(204, 0), Io::kOk);
  EXPECT_TRUE(phone->ExpectNothing(500));

  StopResult stop = phone->Stop(205);
  EXPECT_TRUE(stop.ok()) << stop.Describe();
  EXPECT_EQ(stop.answer, '0');
}

TEST_F(MobileRoad, SlowClientOfA200MBFileWhileTheDesktopAsks) {
  const uint64_t size = 200ull * 1000 * 1000;
  MakeSparseFile(share + "/big.bin", size);
  // Under AddressSanitizer freed memory is held back for a while; keep it out of the figure.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":quarantine_size_mb=1";
  Start();
  int small = 64 * 1024;
  auto* tcp = dynamic_cast<TcpTransport*>(&phone->transport());
  ASSERT_NE(tcp, nullptr);
  ::setsockopt(tcp->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  DownloadInfo info = phone->RequestDownload(share + "/big.bin", 7);
  ASSERT_TRUE(info.accepted) << info.Describe();
  long rssBefore = PeakRssKb(agent->pid());
  ASSERT_EQ(phone->AllowDownload(7, 0), Io::kOk);

  std::atomic<bool> shown{false};
  std::atomic<int> statusMs{-1};
  std::thread desk([&] {
    std::this_thread::sleep_for(300ms);
    DesktopReply r = Desktop(kShowIsTransferring);
    statusMs = r.ok() ? r.elapsed_ms : -1;
    shown = r.ok() && ParseTransferCounts(r.body).downloads == 1;
  });
  // The slow reader: a pause every 2000 packages, every package checked.
  Message m;
  uint32_t expected = 1;
  uint64_t bytes = 0;
  bool over = false, inOrder = true;
  while (phone->Receive(&m, 30000) == Io::kOk) {
    if (m.head.type == 0x1003) {
      over = m.body.size() >= 1 && m.body[0] == '0';
      break;
    }
    inOrder = inOrder && m.head.type == 0x1002 && GetU32(m.body, 0) == expected;
    ++expected;
    bytes += m.body.size() - 12;
    if (expected % 2000 == 0) std::this_thread::sleep_for(1ms);
  }
  desk.join();
  EXPECT_TRUE(over);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(bytes, size);
  long peak = PeakRssKb(agent->pid());
  EXPECT_LT(peak - rssBefore, 64 * 1024) << "peak " << peak << " KiB; the file is 195312 KiB";
  RecordProperty("agent_peak_rss_kib", std::to_string(peak));
  EXPECT_GE(statusMs, 0) << "0x500A answered";
  EXPECT_TRUE(shown) << "the desktop program sees the download";
  EXPECT_LT(statusMs, 1000) << "the desktop's status request is answered within its 1 s";
}

TEST_F(MobileRoad, ClientGoneMidDownload) {
  MakeSparseFile(share + "/big.bin", 50ull * 1000 * 1000);
  Start();
  DownloadOptions o;
  o.keep_bytes = false;
  o.close_after_packages = 100;
  phone->Download(share + "/big.bin", 8, 0, o);
  auto again = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->HeartBeat(3).ok());
  EXPECT_TRUE(agent->Running());
  bool idle = false;
  for (int i = 0; i < 100 && !idle; ++i) {
    DesktopReply r = Desktop(kShowIsTransferring);
    TransferCounts counts = ParseTransferCounts(r.body);
    idle = r.ok() && counts.sessions == 0 && counts.downloads == 0;
    if (!idle) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(idle) << "no session and no download left";
}

TEST_F(MobileRoad, ShutDownHibernatesLogsOutAndStops) {
  std::string mark = files.path() + "/hibernated";
  options.env["KESTYL_POWER_CMD"] = "touch '" + mark + "'";
  options.sql.push_back("INSERT INTO ks_user(email, psw) VALUES('owner@x.y', 'secret')");
  Start();
  ASSERT_TRUE(vendor.WaitForRequests(wire::kSrvLogon, 1, 10000));
  EXPECT_EQ(phone->Shutdown(), Io::kOk);
  EXPECT_TRUE(vendor.WaitForRequests(wire::kSrvLogout, 1, 10000));
  for (int i = 0; i < 400 && agent->Running(); ++i) std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(agent->Running()) << "the agent stops after hibernation";
  EXPECT_EQ(::access(mark.c_str(), F_OK), 0);
}

TEST_F(MobileRoad, RefusedHibernationKeepsTheAgentRunning) {
  Start();  // the power command fails
  EXPECT_EQ(phone->Shutdown(), Io::kOk);
  EXPECT_TRUE(phone->HeartBeat(4).ok());
  EXPECT_TRUE(agent->Running());
}

}  // namespace
