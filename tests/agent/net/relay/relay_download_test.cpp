// Relayed downloads against the fake server's file-data role.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/core/state/state.h"
#include "tests/agent/net/relay/relay_test_util.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace relay_test;
using ks::fake::FakeRelayServer;
using ks::fake::RelayedOut;
using ks::fake::ServerAnswer;
using ks::transfer::SessionTable;
namespace wire = ks::fake::relaywire;

constexpr uint32_t kSession = 0xC0FFEE01;
constexpr char kClient[] = "PHONE-7-CLIENT-ID";

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 1000) % 251);
  return s;
}

class RelayDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestHandlers();
    Recorded().Clear();
    UseServer(fake.port());
    ks::relay::SetRelayTimings(FastTimings());
    SessionTable::Global().Clear();
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    DefShareInfo shared;  // the job sends only files inside a share
    shared.def = dir.path();
    ASSERT_EQ(SetDefaultDir(shared), 0);
  }
  void TearDown() override {
    GlobalDb().close();
    ResetTimings();
    SessionTable::Global().Clear();
    EXPECT_EQ(ks::transfer::DownloadCount(), 0);
    EXPECT_TRUE(fake.ProtocolErrors().empty());
  }

  std::string MakeFile(size_t size) {
    content = Pattern(size);
    ks::test::WriteFile(dir / "movie.bin", content);
    return dir / "movie.bin";
  }
  void OpenSession(const std::string& path, uint32_t id = kSession) {
    auto s = std::make_shared<ks::transfer::Session>();
    s->kind = ks::transfer::Kind::kDownload;
    s->id = id;
    s->path = path;
    SessionTable::Global().Put(s);
  }
  static ks::relay::RelayDownloadJob* Job(uint32_t offset, uint32_t id = kSession) {
    auto* job = new ks::relay::RelayDownloadJob;
    job->sessionId = id;
    job->startOffset = offset;
    std::memcpy(job->peerId, kClient, sizeof kClient);
    return job;
  }
  std::vector<RelayedOut> Packages() {
    std::vector<RelayedOut> out;
    for (auto& r : fake.Relayed(wire::kFileData))
      if (r.inner.type == MSG_DOWNLOAD_DATA) out.push_back(r);
    return out;
  }
  std::vector<RelayedOut> Notices() {
    std::vector<RelayedOut> out;
    for (auto& r : fake.Relayed(wire::kFileData))
      if (r.inner.type == MSG_DOWNLOAD_OVER) out.push_back(r);
    return out;
  }
  // The bytes the packages carry, each package number once, checking that the numbers
  // run on without a gap from `first`.
  std::string Rebuild(uint32_t first) {
    std::map<uint32_t, std::string> byNumber;
    for (const auto& p : Packages()) {
      std::string data(p.inner.payload.begin() + 12, p.inner.payload.end());
      auto [it, fresh] = byNumber.emplace(wire::Get32(p.inner.payload.data()), data);
      if (!fresh) {
        EXPECT_EQ(it->second, data) << "package " << it->first << " sent again differently";
      }
    }
    std::string out;
    uint32_t expect = first;
    for (auto& [number, data] : byNumber) {
      EXPECT_EQ(number, expect++);
      out += data;
    }
    return out;
  }
  char NoticeStatus() {
    auto n = Notices();
    EXPECT_EQ(n.size(), 1u);
    if (n.empty()) return '?';
    EXPECT_EQ(n[0].frameLength, 146);
    EXPECT_EQ(n[0].inner.length, 12);
    EXPECT_EQ(n[0].inner.word, kSession);
    EXPECT_EQ(n[0].peerText, kClient);
    EXPECT_EQ(n[0].inner.payload.size(), 4u);
    EXPECT_EQ(n[0].inner.payload[1] | n[0].inner.payload[2] | n[0].inner.payload[3], 0);
    return char(n[0].inner.payload[0]);
  }

  FakeRelayServer fake;
  ks::test::TempDir dir;
  std::string content;
};

TEST_F(RelayDownload, WholeFileFromAnOffset) {
  const std::string path = MakeFile(2500001);
  OpenSession(path);
  ks::relay::DownLoadFile_Cash(Job(25000));

  std::vector<RelayedOut> packages = Packages();
  ASSERT_EQ(packages.size(), 2476u);
  EXPECT_EQ(wire::Get32(packages.front().inner.payload.data()), 26u);
  EXPECT_EQ(wire::Get32(packages.back().inner.payload.data()), 2501u);
  for (const auto& p : {packages.front(), packages.back()}) {
    const size_t n = p.inner.payload.size() - 12;
    EXPECT_EQ(p.frameLength, 154 + n);
    EXPECT_EQ(p.inner.length, 20 + n);
    EXPECT_EQ(p.inner.word, kSession);
    EXPECT_EQ(p.peerText, kClient);
    EXPECT_EQ(p.deviceId, kDeviceId);
    EXPECT_EQ(wire::Get32(p.inner.payload.data() + 4), 0u);
    EXPECT_EQ(wire::Get32(p.inner.payload.data() + 8), 0u);
  }
  EXPECT_EQ(packages.back().inner.payload.size(), 12u + 1);
  EXPECT_TRUE(Rebuild(26) == content.substr(25000));
  EXPECT_EQ(NoticeStatus(), '0');
  EXPECT_EQ(SessionTable::Global().Size(), 0u);
  std::vector<TransLogRecord> log;
  GetTransLog(log);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].type, 1);
  EXPECT_EQ(log[0].size, 2500001);
}

TEST_F(RelayDownload, CacheFullRetriesTheSamePackage) {
  OpenSession(MakeFile(2500));
  fake.Queue(wire::kFileData, {ServerAnswer::Status(ks::relay::kStatusCacheFull),
                               ServerAnswer::Status(ks::relay::kStatusCacheFull), ServerAnswer::Status(0),
                               ServerAnswer::Status(ks::relay::kStatusCacheFull)});
  ks::relay::DownLoadFile_Cash(Job(0));
  std::vector<uint32_t> numbers;
  for (const auto& p : Packages()) numbers.push_back(wire::Get32(p.inner.payload.data()));
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 1, 1, 2, 2, 3}));
  EXPECT_TRUE(Rebuild(1) == content);
  EXPECT_EQ(NoticeStatus(), '0');
}

TEST_F(RelayDownload, ReconnectsWhenTheServerCloses) {
  OpenSession(MakeFile(5000));
  fake.Queue(wire::kFileData, {ServerAnswer::Status(0), ServerAnswer::Status(0), ServerAnswer::Close()});
  ks::relay::DownLoadFile_Cash(Job(0));
  EXPECT_EQ(fake.Accepted(), 2);
  std::vector<RelayedOut> packages = Packages();
  ASSERT_EQ(packages.size(), 6u);  // package 3 went out twice
  EXPECT_EQ(packages[2].connection, 1);
  EXPECT_EQ(packages[3].connection, 2);
  EXPECT_EQ(wire::Get32(packages[3].inner.payload.data()), 3u);
  EXPECT_TRUE(Rebuild(1) == content);
  EXPECT_EQ(NoticeStatus(), '0');
}

TEST_F(RelayDownload, FailuresEndWithNoticeOne) {
  struct Case {
    const char* name;
    ServerAnswer answer;  // for every package
    size_t size;
    uint32_t offset;
    bool session;
  };
  const Case cases[] = {
      {"server refuses", ServerAnswer::Status(7), 3000, 0, true},
      {"cache full too long", ServerAnswer::Status(ks::relay::kStatusCacheFull), 3000, 0, true},
      {"no answer in time", ServerAnswer::Silence(), 3000, 0, true},
      {"no session", ServerAnswer::Status(0), 3000, 0, false},
      {"offset past the end", ServerAnswer::Status(0), 3000, 3001, true},
  };
  auto t = FastTimings();
  t.cacheFullLimitMs = 100;
  t.ioTimeoutMs = 300;
  ks::relay::SetRelayTimings(t);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRelayServer server;
    UseServer(server.port());
    server.SetDefault(wire::kFileData, c.answer);
    const std::string path = MakeFile(c.size);
    if (c.session) OpenSession(path);
    ks::relay::DownLoadFile_Cash(Job(c.offset));
    ASSERT_TRUE(server.WaitForEndNotice(3000));
    std::vector<RelayedOut> all = server.Relayed(wire::kFileData);
    EXPECT_EQ(all.back().inner.type, MSG_DOWNLOAD_OVER);
    EXPECT_EQ(all.back().inner.payload[0], '1');
    EXPECT_EQ(SessionTable::Global().Size(), 0u);
  }
}

TEST_F(RelayDownload, UnreachableServerStillRemovesTheSession) {
  OpenSession(MakeFile(3000));
  UseServer(DeadPort());
  ks::relay::DownLoadFile_Cash(Job(0));
  EXPECT_EQ(SessionTable::Global().Size(), 0u);
}

TEST_F(RelayDownload, ReconnectsGiveUpWithoutNotice) {
  auto t = FastTimings();
  t.reconnectPauseMs = 20;
  t.reconnectLimitMs = 100;
  ks::relay::SetRelayTimings(t);
  OpenSession(MakeFile(3000));
  fake.Queue(wire::kFileData, {ServerAnswer::Status(0), ServerAnswer::Close()});
  std::thread job([] { ks::relay::DownLoadFile_Cash(Job(0)); });
  ASSERT_TRUE(fake.WaitForRelayed(wire::kFileData, 2, 5000));
  UseServer(DeadPort());  // before the close: the reconnects find nobody
  job.join();
  EXPECT_TRUE(Notices().empty());
  EXPECT_EQ(Packages().size(), 2u);
}

// A stop request is seen within every kind of wait, taken off the list, and ends the job
// without an end notice.
TEST_F(RelayDownload, StopIsSeenDuringEveryWait) {
  struct Case {
    const char* name;
    ServerAnswer answer;
  };
  const Case cases[] = {
      {"cache-full pause", ServerAnswer::Status(ks::relay::kStatusCacheFull)},
      {"waiting for the answer", ServerAnswer::Silence()},
      {"reconnect pause", ServerAnswer::Close()},
  };
  auto t = FastTimings();
  t.cacheFullPauseMs = 20000;
  t.cacheFullLimitMs = 60000;
  t.ioTimeoutMs = 20000;
  t.reconnectPauseMs = 20000;
  ks::relay::SetRelayTimings(t);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRelayServer server;
    UseServer(server.port());
    server.SetDefault(wire::kFileData, c.answer);
    OpenSession(MakeFile(3000));
    std::thread job([] { ks::relay::DownLoadFile_Cash(Job(0)); });
    ASSERT_TRUE(server.WaitForRelayed(wire::kFileData, 1, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // well inside the wait
    ks::transfer::AddStopRequest(kSession);
    EXPECT_TRUE(Eventually([] { return !ks::transfer::HasStopRequest(kSession); }, 2000));
    job.join();
    EXPECT_TRUE(server.WaitForClosed(1, 5000));
    auto sent = server.Relayed(wire::kFileData);
    EXPECT_TRUE(std::none_of(sent.begin(), sent.end(), [](const RelayedOut& r) { return r.inner.type == MSG_DOWNLOAD_OVER; }));
    EXPECT_EQ(ks::transfer::DownloadCount(), 0);
    ks::transfer::RemoveStopRequests(kSession);
  }
}

// The road from a relayed MSG_ALLOW_DOWNLOAD_FILE to the file on the file-data channel.
TEST_F(RelayDownload, RelayedAllowStartsTheJob) {
  const std::string path = MakeFile(4321);
  OpenSession(path);
  RelaySessionThread session(fake.port());
  ASSERT_TRUE(fake.WaitForInterlineRequests(1, 5000));
  Bytes offset(4);
  wire::Put32(offset.data(), 2500);
  ASSERT_TRUE(fake.RelayToAgent(wire::Message(MSG_ALLOW_DOWNLOAD_FILE, kSession, offset), kClient, "SERVER-SIDE-B"));
  ASSERT_TRUE(fake.WaitForEndNotice(5000));
  EXPECT_EQ(NoticeStatus(), '0');
  EXPECT_TRUE(Rebuild(3) == content.substr(2500));
  for (const auto& p : Packages()) EXPECT_EQ(p.peerText, kClient);
  session.Stop();
  EXPECT_TRUE(Eventually([] { return ks::transfer::DownloadCount() == 0; }));
}

}  // namespace
