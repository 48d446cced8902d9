// Faults and load against the real agent: killed at random moments of uploads and
// downloads, flooded with idle connections until its descriptor table is full.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "tests/e2e/whole/whole_support.h"
#include "tests/fakes/net_io.h"

namespace ks::e2e {
namespace {

using namespace ks::fake;
using Clock = std::chrono::steady_clock;

constexpr int kKills = 20;

unsigned Seed() {
  unsigned seed = std::random_device{}();
  std::printf("random seed %u\n", seed);
  return seed;
}

int OpenDescriptors(pid_t pid) {
  DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n - 2;
}

class Faults : public WholeTest {
 protected:
  // The agent survived its kill: it starts again, and its database is whole.
  void RestartAndCheckDatabase(int round) {
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(agent->QueryText("PRAGMA integrity_check"), "ok");
    ASSERT_TRUE(agent->Start()) << agent->ReadConsole() << agent->ReadLog();
    EXPECT_EQ(agent->QueryText("PRAGMA integrity_check"), "ok");
  }
};

// Uploads of four files, one after the other on one connection, each resumed from what the
// agent holds, until the agent is killed at a random moment; 20 times. Whatever appears
// under a final name must be byte-identical to its source, and every upload completes in
// the end.
TEST_F(Faults, KilledDuringUploadsRestartsWhole) {
  std::mt19937 rng(Seed());
  std::vector<std::string> sources;
  for (int i = 0; i < 4; ++i) sources.push_back(RandomBytes(600000 + 350000 * i, 100 + i));
  auto target = [&](size_t i) { return data + "/kill/u" + std::to_string(i) + ".bin"; };
  ASSERT_TRUE(StartAgent());

  // How long one round of uploads takes, to spread the kills over it.
  auto t0 = Clock::now();
  {
    auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
    for (size_t i = 0; i < sources.size(); ++i)
      ASSERT_TRUE(phone->Upload("$DEFAULT$/kill/t" + std::to_string(i) + ".bin", sources[i], 900 + i).ok());
    for (size_t i = 0; i < sources.size(); ++i) {
      const std::string t = data + "/kill/t" + std::to_string(i) + ".bin";
      ASSERT_TRUE(WaitFor([&] { return FileSize(t) == static_cast<int64_t>(sources[i].size()); }, 10000)) << t;
    }
  }
  const int roundMs = std::max(50, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        Clock::now() - t0).count()));
  std::uniform_int_distribution<int> when(0, roundMs);

  uint32_t session = 1;
  int midTransfer = 0;
  for (int round = 0; round < kKills; ++round) {
    std::atomic<bool> stop{false}, busy{false};
    std::thread uploader([&, first = static_cast<size_t>(rng() % sources.size())] {
      auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
      for (size_t k = 0; phone && !stop; ++k) {
        size_t i = (first + k) % sources.size();
        busy = true;
        UploadResult r = phone->Upload("$DEFAULT$/kill/u" + std::to_string(i) + ".bin", sources[i],
                                       session++);
        busy = false;
        if (!r.ok()) break;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(when(rng)));
    midTransfer += busy;
    agent->Kill();
    stop = true;
    uploader.join();
    for (size_t i = 0; i < sources.size(); ++i) {
      if (Exists(target(i))) {
        EXPECT_TRUE(ks::test::ReadFile(target(i)) == sources[i]) << "round " << round << ": " << target(i);
      }
    }
    RestartAndCheckDatabase(round);
    if (HasFatalFailure()) return;
  }

  std::printf("%d of %d kills came during an upload\n", midTransfer, kKills);
  EXPECT_GE(midTransfer, kKills / 4) << "the kills missed the uploads";
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  for (size_t i = 0; i < sources.size(); ++i) {
    UploadResult r = phone->Upload("$DEFAULT$/kill/u" + std::to_string(i) + ".bin", sources[i], session++);
    EXPECT_TRUE(r.ok()) << r.Describe();
  }
  for (size_t i = 0; i < sources.size(); ++i) {
    ASSERT_TRUE(WaitFor([&] { return FileSize(target(i)) == static_cast<int64_t>(sources[i].size()); }, 10000))
        << target(i);
    EXPECT_TRUE(ks::test::ReadFile(target(i)) == sources[i]) << target(i);
  }
  // Only the final names and the uploads that were cut and never resumed (none: every
  // target was finished) remain.
  std::vector<std::string> expected = {"t0.bin", "t1.bin", "t2.bin", "t3.bin",
                                       "u0.bin", "u1.bin", "u2.bin", "u3.bin"};
  std::vector<std::string> left;
  for (const std::string& n : Tree(data + "/kill"))
    if (n.find("kestyl.rename") == std::string::npos) left.push_back(n);
  EXPECT_EQ(left, expected);
  EXPECT_EQ(agent->QueryText("PRAGMA integrity_check"), "ok");
}

// Downloads (a large file and small ones, each logged in the transfer log at its end) until
// the agent is killed at a random moment; 20 times. After each restart a whole download
// still matches its file.
TEST_F(Faults, KilledDuringDownloadsRestartsWhole) {
  std::mt19937 rng(Seed());
  PutData("dl/big.bin", 6000000, 201);
  for (int i = 0; i < 3; ++i) PutData("dl/small" + std::to_string(i) + ".bin", 20000 + 1000 * i, 202 + i);
  const std::vector<std::string> files = {"dl/big.bin", "dl/small0.bin", "dl/small1.bin", "dl/small2.bin"};
  ASSERT_TRUE(StartAgent());

  auto t0 = Clock::now();
  {
    auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
    for (size_t i = 0; i < files.size(); ++i)
      ASSERT_EQ(CompareDownload(phone->Download("$DEFAULT$/" + files[i], 900 + i), data + "/" + files[i], 0), "");
  }
  const int roundMs = std::max(50, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        Clock::now() - t0).count()));
  std::uniform_int_distribution<int> when(0, roundMs);

  uint32_t session = 1;
  int midTransfer = 0;
  for (int round = 0; round < kKills; ++round) {
    std::atomic<bool> stop{false}, busy{false};
    std::thread downloader([&, first = static_cast<size_t>(rng() % files.size())] {
      auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
      DownloadOptions o;
      o.keep_bytes = false;
      o.idle_timeout_ms = 3000;
      for (size_t k = 0; phone && !stop; ++k) {
        busy = true;
        DownloadResult r = phone->Download("$DEFAULT$/" + files[(first + k) % files.size()], session++, 0, o);
        busy = false;
        if (!r.info.ok() || !r.data.ok()) break;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(when(rng)));
    midTransfer += busy;
    agent->Kill();
    stop = true;
    downloader.join();
    RestartAndCheckDatabase(round);
    if (HasFatalFailure()) return;
    auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
    const std::string& f = files[rng() % files.size()];
    EXPECT_EQ(CompareDownload(phone->Download("$DEFAULT$/" + f, session++), data + "/" + f, 0), "")
        << "round " << round;
  }
  std::printf("%d of %d kills came during a download\n", midTransfer, kKills);
  EXPECT_GE(midTransfer, kKills / 4) << "the kills missed the downloads";
}

// 1000 idle connections on the message port while the agent's descriptor table is full:
// the desktop program's status request is still answered within its 1 s receive time-out,
// and once the flood is gone a phone is served again.
TEST_F(Faults, IdleConnectionsAndAFullDescriptorTable) {
  constexpr int kIdle = 1000;
  constexpr long kAgentFiles = 256;
  rlimit own{};
  ::getrlimit(RLIMIT_NOFILE, &own);
  if (own.rlim_max != RLIM_INFINITY && own.rlim_max < kIdle + 200)
    GTEST_SKIP() << "this process may open only " << own.rlim_max << " descriptors";
  rlimit raised = own;
  raised.rlim_cur = std::min<rlim_t>(own.rlim_max, 8192);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  struct Restore {
    rlimit r;
    ~Restore() { ::setrlimit(RLIMIT_NOFILE, &r); }
  } restore{own};

  options.nofile_limit = kAgentFiles;
  PutData("after.bin", 12345, 301);
  ASSERT_TRUE(StartAgent());

  // Connections the agent cannot accept wait in its listen queue until that is full too;
  // a client then waits for its handshake in vain, which is what a flood does to anyone.
  std::vector<UniqueFd> idle;
  int refused = 0;
  for (int i = 0; i < kIdle; ++i) {
    UniqueFd fd = ConnectTcp("127.0.0.1", agent->message_port(), 200, "127.0.0.2");
    if (fd) {
      idle.push_back(std::move(fd));
    } else {
      ++refused;
    }
  }
  std::printf("%zu idle connections made, %d not\n", idle.size(), refused);
  ASSERT_GE(idle.size(), static_cast<size_t>(kAgentFiles));
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(agent->pid()) >= kAgentFiles - 2; }, 5000))
      << OpenDescriptors(agent->pid()) << " descriptors open";

  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    DesktopReply r = Desktop(wire::kShowLogonStatus);
    EXPECT_TRUE(r.ok()) << StatusName(r.status) << " after " << r.elapsed_ms << " ms";
    EXPECT_LT(r.elapsed_ms, 1000);
  }
  EXPECT_TRUE(agent->Running());

  idle.clear();
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  EXPECT_EQ(CompareDownload(phone->Download("$DEFAULT$/after.bin", 1), data + "/after.bin", 0), "");
  EXPECT_TRUE(agent->Running());
}

// CPU time the process has used, in clock ticks (utime + stime of /proc/<pid>/stat).
long CpuTicks(pid_t pid) {
  std::string stat = ks::test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  unsigned long utime = 0, stime = 0;
  // After the name: state and 10 numbers, then utime and stime.
  if (std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                  &utime, &stime) != 2)
    return -1;
  return static_cast<long>(utime + stime);
}

// One GET on a new connection; the whole answer, or what came before `timeout_ms` of
// silence ("" when the connection was refused).
std::string HttpGetRaw(uint16_t port, const std::string& target, int timeout_ms) {
  UniqueFd fd = ConnectTcp("127.0.0.1", port, timeout_ms);
  if (!fd) return "";
  SendAll(fd.get(), "GET " + target + " HTTP/1.1\r\nHost: pc\r\n\r\n", timeout_ms);
  std::string answer;
  char buf[16384];
  while (Readable(fd.get(), timeout_ms)) {
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  return answer;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Raises this process's descriptor limit for a flood of client connections; restored at
// the end of the scope.
class MoreDescriptors {
 public:
  explicit MoreDescriptors(rlim_t wanted) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    raised.rlim_cur = std::min<rlim_t>(saved_.rlim_max, wanted);
    ok_ = ::setrlimit(RLIMIT_NOFILE, &raised) == 0 && raised.rlim_cur >= wanted;
  }
  ~MoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

// Slow heads and idle connections cost the HTTP server no job, and at its cap the oldest
// idle connection makes room: a real GET is answered while 40 clients trickle their heads
// and while 1000 more sit idle. The head deadline is far beyond the test, so only those
// bounds can let the GET through.
TEST_F(Faults, HttpAnswersUnderSlowHeadsAndIdleConnections) {
  MoreDescriptors more(4096);
  if (!more.ok()) GTEST_SKIP() << "this process may not open 4096 descriptors";
  options.env["KESTYL_HTTP_HEAD_TIMEOUT_MS"] = "600000";
  const std::string content = PutData("page.bin", 5000, 401);
  ASSERT_TRUE(StartAgent());
  const uint16_t port = agent->http_port();
  ASSERT_TRUE(WaitFor([&] { return !HttpGetRaw(port, "/$DEFAULT$/page.bin", 2000).empty(); }, 10000));

  std::vector<UniqueFd> slow;
  for (int i = 0; i < 40; ++i) {
    UniqueFd fd = ConnectTcp("127.0.0.1", port, 2000);
    ASSERT_TRUE(fd);
    ASSERT_EQ(SendAll(fd.get(), std::string("GET /$DEFAULT$/page.bin HTTP/1.1\r\nHo"), 2000), Io::kOk);
    slow.push_back(std::move(fd));
  }
  EXPECT_TRUE(EndsWith(HttpGetRaw(port, "/$DEFAULT$/page.bin", 20000), content)) << "under 40 slow heads";

  std::vector<UniqueFd> idle;
  for (int i = 0; i < 1000; ++i) {
    UniqueFd fd = ConnectTcp("127.0.0.1", port, 2000);
    if (fd) idle.push_back(std::move(fd));
  }
  EXPECT_GE(idle.size(), 900u);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(EndsWith(HttpGetRaw(port, "/$DEFAULT$/page.bin", 20000), content)) << "under 1000 idle, " << i;
  EXPECT_TRUE(agent->Running());
}

// The agent's descriptor table full of HTTP connections: the accept loop waits without
// using the CPU, and serves again once descriptors are free.
TEST_F(Faults, HttpOutOfDescriptorsWaitsQuietlyAndRecovers) {
  MoreDescriptors more(4096);
  if (!more.ok()) GTEST_SKIP() << "this process may not open 4096 descriptors";
  constexpr long kAgentFiles = 200;
  options.nofile_limit = kAgentFiles;
  options.env["KESTYL_HTTP_HEAD_TIMEOUT_MS"] = "600000";
  options.env["KESTYL_HTTP_MAX_CONNECTIONS"] = "1000";  // the table fills before the cap
  const std::string content = PutData("page.bin", 5000, 402);
  ASSERT_TRUE(StartAgent());
  const uint16_t port = agent->http_port();
  ASSERT_TRUE(WaitFor([&] { return !HttpGetRaw(port, "/$DEFAULT$/page.bin", 2000).empty(); }, 10000));

  std::vector<UniqueFd> idle;
  for (int i = 0; i < 400; ++i) {
    UniqueFd fd = ConnectTcp("127.0.0.1", port, 200);
    if (fd) idle.push_back(std::move(fd));
  }
  ASSERT_TRUE(WaitFor([&] { return OpenDescriptors(agent->pid()) >= kAgentFiles - 1; }, 10000))
      << OpenDescriptors(agent->pid()) << " descriptors open";

  UniqueFd waiting = ConnectTcp("127.0.0.1", port, 2000);  // in the listen queue
  ASSERT_TRUE(waiting);
  ASSERT_EQ(SendAll(waiting.get(), std::string("GET /$DEFAULT$/page.bin HTTP/1.1\r\n\r\n"), 2000), Io::kOk);
  const long before = CpuTicks(agent->pid());
  EXPECT_FALSE(Readable(waiting.get(), 1000)) << "answered with no descriptor to spare?";
  const long spent = CpuTicks(agent->pid()) - before;
  EXPECT_LT(spent, 20) << "clock ticks the agent used in a second of waiting";

  idle.clear();  // their ends close; the agent's follow
  std::string answer;
  ASSERT_TRUE(Readable(waiting.get(), 20000));
  char buf[16384];
  for (ssize_t n; Readable(waiting.get(), 5000) && (n = ::recv(waiting.get(), buf, sizeof buf, 0)) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  EXPECT_TRUE(EndsWith(answer, content)) << answer.substr(0, 200);
  EXPECT_TRUE(EndsWith(HttpGetRaw(port, "/$DEFAULT$/page.bin", 20000), content));
  EXPECT_TRUE(agent->Running());
}

long Threads(pid_t pid) {
  std::string status = ks::test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 8);
}

// 300 phones ask for a large file and never read: at most the streaming cap of downloads
// hold a thread and their buffers; beyond it a request gets the download error 4120 (or an
// allow the end "1"). Other clients are served all the while.
TEST_F(Faults, DownloadsThatAreNeverReadStayWithinTheCap) {
  MoreDescriptors more(4096);
  if (!more.ok()) GTEST_SKIP() << "this process may not open 4096 descriptors";
  constexpr int kPhones = 300;
  constexpr int kCap = 64;  // KESTYL_MAX_DOWNLOADS' default
  ks::test::MakeSparseFile(data + "/big.bin", 400ull << 20);
  const std::string small = PutData("small.bin", 30000, 501);
  ASSERT_TRUE(StartAgent());
  auto first = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(first);
  ASSERT_EQ(CompareDownload(first->Download("$DEFAULT$/small.bin", 1), data + "/small.bin", 0), "");
  const long threadsBefore = Threads(agent->pid());
  const long rssBefore = RssKb(agent->pid());

  std::vector<std::unique_ptr<FakeMobileClient>> stalled;
  int accepted = 0, refused = 0;
  for (int i = 0; i < kPhones; ++i) {
    auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone) << i;
    DownloadInfo info = phone->RequestDownload("$DEFAULT$/big.bin", 100 + i);
    ASSERT_TRUE(info.ok()) << i << " " << info.Describe();
    if (!info.accepted) {
      EXPECT_EQ(info.error_code, 4120) << i;
      ++refused;
      continue;
    }
    ++accepted;
    ASSERT_EQ(phone->AllowDownload(100 + i, 0), Io::kOk);
    stalled.push_back(std::move(phone));  // kept open, never read
  }
  EXPECT_GE(accepted, kCap);
  EXPECT_GT(refused, 0);

  // Served at once all the same.
  auto other = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->Listing("$DEFAULT$", '1', 7).ok());
  DownloadResult refusedBig = other->Download("$DEFAULT$/big.bin", 8);
  EXPECT_FALSE(refusedBig.info.accepted) << "the cap is reached";
  auto another = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(another);
  EXPECT_TRUE(another->Listing("$DEFAULT$", '1', 9).ok());

  const long threads = Threads(agent->pid());
  const long rss = RssKb(agent->pid());
  std::printf("threads %ld -> %ld, RSS %ld -> %ld KiB, %d accepted, %d refused\n", threadsBefore, threads,
              rssBefore, rss, accepted, refused);
  EXPECT_LE(threads, threadsBefore + kCap + 16);
  EXPECT_LE(rss, rssBefore + kCap * 2 * 1024) << "KiB: about 2 MiB per stalled download at most";

  // Once they go, the places are free again.
  stalled.clear();
  bool servedAgain = WaitFor([&] {
    auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    return phone && phone->RequestDownload("$DEFAULT$/big.bin", 999).accepted;
  }, 30000);
  EXPECT_TRUE(servedAgain);
  EXPECT_TRUE(agent->Running());
}

// Junk from the vendor's server on the relay connection (a frame of another version, a
// head cut short, a length that swallows what follows): within the relay retry time the
// agent is on a new relay connection, and a relayed listing is answered again.
TEST_F(Faults, RelayChannelRecoversFromJunk) {
  options.relay_retry_s = 1;
  PutData("list/a.txt", 10, 601);
  ASSERT_TRUE(StartAgent());
  ASSERT_TRUE(RelayReady());
  ByteString good = FakeVendorServer::RelayedRequestFrame(ByteString(12, '\0'), "A", "B");
  ByteString badVersion = good;
  badVersion[2] = 0x01;  // version 256 instead of 370
  badVersion[3] = 0x00;
  ByteString swallower = good;
  swallower[0] = static_cast<char>(0xFF);
  swallower[1] = static_cast<char>(0xFF);
  struct Case {
    const char* name;
    ByteString junk;
  } cases[] = {
      {"head of another version", badVersion},
      {"head cut short", good.substr(0, 30) + good},
      {"length that swallows the rest", swallower},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = vendor.InterlineConnection();
    ASSERT_GE(before, 0);
    ASSERT_TRUE(vendor.SendOnInterline(c.junk));
    EXPECT_TRUE(WaitFor([&] {
      int now = vendor.InterlineConnection();
      return now >= 0 && now != before;
    }, 30000)) << agent->ReadLog();
    KS_CONNECT(phone, Transport::kRelay);
    ListingResult r = phone->Listing("$DEFAULT$/list", '1', 31);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.total, 1u);
  }
  EXPECT_TRUE(agent->Running());
}

}  // namespace
}  // namespace ks::e2e
