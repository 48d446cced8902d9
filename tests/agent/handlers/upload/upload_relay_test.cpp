// An upload through the vendor's relay: the announcement arrives on the relay connection
// and is answered there; chunks and the end come through the relay poll. The agent's relay
// client and poll run against the fake relay server, with the upload handlers registered
// as the agent registers them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/handlers/upload/upload.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/core/state/state.h"
#include "common/md5/md5.h"
#include "tests/fakes/relay/fake_relay_server.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::fake::Bytes;
using ks::fake::FakeRelayServer;
namespace wire = ks::fake::relaywire;

uint16_t g_serverPort = 0;
ServerRecord Server() {
  ServerRecord r;
  r.host = "127.0.0.1";
  r.port = g_serverPort;
  return r;
}
uint32_t LoggedOn() { return 0; }

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    ks::net::OS_RegFunction(MSG_REQ_UPLOAD_FILE, ks::upload::ReqUpLoadFile);
    ks::net::OS_RegFunction(MSG_UPLOAD_FILE, ks::upload::UpLoadFile);
    ks::net::OS_RegFunction(MSG_OVER_UPLOAD_FILE, ks::upload::OverUpLoadFile);
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class UploadThroughRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    ks::state::ClearStop();
    ks::state::SetDeviceId("PC-UPLOAD-RELAY");
    g_serverPort = fake.port();
    ks::relay::SetServerSource(&Server, &LoggedOn);
    auto t = ks::relay::RelayTimings::FromSettings();
    t.retryMs = 100;
    t.pollMs = 20;
    t.connectTimeoutMs = 20000;  // never reached here, even on a loaded machine
    t.ioTimeoutMs = 20000;
    ks::relay::SetRelayTimings(t);
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    ASSERT_EQ(::mkdir(share.c_str(), 0755), 0);
    DefShareInfo d;
    d.def = share;
    ASSERT_EQ(SetDefaultDir(d), 0);

    session = std::thread([this] {
      ks::relay::OS_RunEventClient("127.0.0.1", fake.port());
      sessionEnded = true;
    });
    poll = std::thread([] { ks::relay::InterLineUpLoadFile(nullptr); });
    ASSERT_TRUE(fake.WaitForInterlineRequests(1, 5000));
  }
  void TearDown() override {
    ks::state::RequestStop();
    poll.join();
    while (!sessionEnded) {
      ks::relay::RequestRelayExit();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    session.join();
    ks::state::ClearStop();
    ks::relay::SetRelayTimings(ks::relay::RelayTimings::FromSettings());
    ks::transfer::SessionTable::Global().Clear();
    GlobalDb().close();
    EXPECT_TRUE(fake.ProtocolErrors().empty());
  }

  ks::test::TempDir dir;
  std::string share = dir / "share";
  FakeRelayServer fake;
  std::thread session, poll;
  std::atomic<bool> sessionEnded{false};
};

TEST_F(UploadThroughRelay, AnnouncedOnTheRelayConnectionAndSentThroughThePoll) {
  std::mt19937 gen(9);
  std::string data(60001, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  MD5 m;
  m.update(data.data(), MD5::kFingerprintEndBytes);
  m.update(data.data() + data.size() - MD5::kFingerprintEndBytes, MD5::kFingerprintEndBytes);
  const auto& fp = m.digestBytes();
  Bytes announce(ks::upload::kAnnounceBodySize, 0);
  wire::Put32(announce.data(), static_cast<uint32_t>(data.size()));
  std::copy(fp.begin(), fp.end(), announce.begin() + 8);
  const std::string path = "$DEFAULT$/relayed.bin";
  std::copy(path.begin(), path.end(), announce.begin() + ks::upload::kAnnouncePathOffset);
  auto chunk = [&](size_t from, size_t n) {
    Bytes b(ks::upload::kChunkPrefixSize, 0);
    b.insert(b.end(), data.begin() + from, data.begin() + from + n);
    return wire::Message(MSG_UPLOAD_FILE, 31, b);
  };

  ASSERT_TRUE(fake.RelayToAgent(wire::Message(MSG_REQ_UPLOAD_FILE, 31, announce), "SERVER-ID-A", "CLIENT-B"));
  ASSERT_TRUE(fake.WaitForRelayed(wire::kRelayToPeer, 1, 5000));
  auto answers = fake.Relayed(wire::kRelayToPeer);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].peerText, "CLIENT-B");
  EXPECT_EQ(answers[0].inner.type, MSG_REQ_UPLOAD_FILE_OK);
  EXPECT_EQ(answers[0].inner.word, 31u);
  ASSERT_EQ(answers[0].inner.payload.size(), 4u);
  EXPECT_EQ(wire::Get32(answers[0].inner.payload.data()), 0u);

  // A chunk on the relay connection itself is not taken: relayed chunks come by the poll.
  ASSERT_TRUE(fake.RelayToAgent(chunk(0, 1000), "SERVER-ID-A", "CLIENT-B"));
  for (size_t at = 0; at < data.size(); at += 1000)
    fake.QueuePollMessage(chunk(at, std::min<size_t>(1000, data.size() - at)));
  fake.QueuePollMessage(wire::Message(MSG_OVER_UPLOAD_FILE, 31, {0, 0, 0, 0}));
  ASSERT_TRUE(WaitFor([&] { return ::access((share + "/relayed.bin").c_str(), F_OK) == 0; }, 10000));
  EXPECT_EQ(ks::test::ReadFile(share + "/relayed.bin"), data);
  EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 0u);
  EXPECT_EQ(fake.Relayed(wire::kRelayToPeer).size(), 1u) << "chunks and the end are not answered";
}

}  // namespace
