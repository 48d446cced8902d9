// Downloads through the real local message server on 127.0.0.1 (port 0): back-pressure
// keeps a large download to a slow client out of memory, other connections stay served
// meanwhile, and a client that goes away mid-download leaves nothing behind.
#include <fstream>
#include <mutex>
#include <thread>

#include "agent/handlers/download/download.h"
#include "agent/handlers/mobile/mobile.h"
#include "agent/core/transfer/transfer.h"
#include "agent/net/msg/local_server.h"
#include "agent/net/proto/proto.h"
#include "tests/agent/handlers/mobile/handler_test_support.h"
#include "tests/agent/handlers/mobile/mini_client.h"

namespace {

using namespace ks::test;
using namespace std::chrono_literals;

void RegisterOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    const ks::net::Registration table[] = {
        {MSG_REQ_DOWNLOAD_FILE, ks::download::ReqDownLoadFile, "ReqDownLoadFile"},
        {MSG_ALLOW_DOWNLOAD_FILE, ks::download::AllowDownLoadFile, "AllowDownLoadFile"},
        {MSG_REQ_DEVICE_HEARTBEAT, ks::mobile::ReqDeviceHeartBeat, "ReqDeviceHeartBeat"},
    };
    ASSERT_EQ(ks::net::RegisterHandlers(table, std::size(table)), 0);
    ks::net::OnChannelClosed([](uint64_t id) { ks::transfer::SessionTable::Global().DropOwner(id); });
  });
}

// Peak resident size of this process in KiB since the last ResetPeakRss.
long PeakRssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds t = 10s) {
  auto deadline = std::chrono::steady_clock::now() + t;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class DownloadServerTest : public AgentDbTest {
 protected:
  void SetUp() override {
    AgentDbTest::SetUp();
    RegisterOnce();
    ks::net::LocalServerOptions o;
    o.bindAddress = "127.0.0.1";
    o.highWater = 64 * 1024;
    server = std::make_unique<ks::net::LocalServer>(o);
    ASSERT_EQ(server->Start(0), 0);
  }
  void TearDown() override {
    server->Stop();
    AgentDbTest::TearDown();
  }
  // Announces the file; the OK answer's size.
  uint32_t Announce(MiniClient& c, const std::string& path, uint32_t word) {
    EXPECT_TRUE(c.Send(MSG_REQ_DOWNLOAD_FILE, word, BodyWithText(356, 1, path)));
    Bytes ok;
    EXPECT_TRUE(c.Recv(ok));
    EXPECT_EQ(HeadOf(ok).type, MSG_REQ_DOWNLOAD_FILE_OK);
    return ok.size() == 64 ? ks::net::GetU32(ok.data() + 8) : 0;
  }
  Bytes Offset(uint32_t o) {
    Bytes b(4);
    ks::net::PutU32(b.data(), o);
    return b;
  }

  std::unique_ptr<ks::net::LocalServer> server;
};

TEST_F(DownloadServerTest, SlowClientOfALargeFileKeepsMemoryLowAndOthersServed) {
  const uint64_t size = 200ull * 1000 * 1000;
  std::string file = share + "/large.bin";
  MakeSparseFile(file, size);
  MiniClient client(server->Port(), 64 * 1024);
  ASSERT_TRUE(client.connected());
  ASSERT_EQ(Announce(client, file, 11), size);

  long before = PeakRssKb();
  ResetPeakRss();
  ASSERT_TRUE(client.Send(MSG_ALLOW_DOWNLOAD_FILE, 11, Offset(0)));

  // Meanwhile another connection is answered at once and sees the download counted.
  std::atomic<bool> otherServed{false};
  std::atomic<int> countSeen{-1};
  std::thread other([&] {
    MiniClient desk(server->Port());
    if (!WaitFor([] { return ks::transfer::DownloadCount() == 1; })) return;
    auto start = std::chrono::steady_clock::now();
    Bytes hb;
    if (desk.Send(MSG_REQ_DEVICE_HEARTBEAT, 1, Bytes(4, 0)) && desk.Recv(hb, 5s) &&
        std::chrono::steady_clock::now() - start < 1s)
      otherServed = true;
    countSeen = ks::transfer::DownloadCount();
  });

  // The slow reader: small pauses between reads, every package checked.
  uint32_t expected = 1;
  uint64_t received = 0;
  Bytes m;
  bool over = false;
  while (client.Recv(m, 30s)) {
    ks::net::MsgHead h = HeadOf(m);
    if (h.type == MSG_DOWNLOAD_OVER) {
      over = m.size() == 12 && m[8] == '0';
      break;
    }
    ASSERT_EQ(h.type, MSG_DOWNLOAD_DATA);
    ASSERT_EQ(ks::net::GetU32(m.data() + 8), expected++);
    received += m.size() - 20;
    if (expected % 4096 == 0) std::this_thread::sleep_for(1ms);
  }
  other.join();
  long peak = PeakRssKb();
  EXPECT_TRUE(over);
  EXPECT_EQ(received, size);
  EXPECT_TRUE(otherServed) << "another connection must not wait for the download";
  EXPECT_EQ(countSeen, 1);
  // Generous: the whole file would be 195000 KiB.
  EXPECT_LT(peak - std::max(before, 0L), 48 * 1024) << "peak " << peak << " KiB, before " << before;
  EXPECT_TRUE(WaitFor([] { return ks::transfer::DownloadCount() == 0; }));
}

TEST_F(DownloadServerTest, ClientGoneMidDownloadLeavesNothingBehind) {
  std::string file = share + "/mid.bin";
  MakeSparseFile(file, 50ull * 1000 * 1000);
  {
    MiniClient client(server->Port(), 32 * 1024);
    Announce(client, file, 12);
    ASSERT_TRUE(client.Send(MSG_ALLOW_DOWNLOAD_FILE, 12, Offset(0)));
    Bytes m;
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(client.Recv(m));
  }  // closed mid-download
  EXPECT_TRUE(WaitFor([] { return ks::transfer::DownloadCount() == 0; }));

  // A session announced but never allowed goes with its connection.
  {
    MiniClient client(server->Port());
    Announce(client, file, 13);
    EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 1u);
  }
  EXPECT_TRUE(WaitFor([] { return ks::transfer::SessionTable::Global().Size() == 0; }));

  // And the server goes on serving.
  MiniClient again(server->Port());
  Bytes hb;
  ASSERT_TRUE(again.Send(MSG_REQ_DEVICE_HEARTBEAT, 2, Bytes(4, 0)));
  ASSERT_TRUE(again.Recv(hb));
  EXPECT_EQ(ks::net::GetU16(hb.data() + 10), 370);
}

}  // namespace
