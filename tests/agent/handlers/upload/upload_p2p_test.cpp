// An upload over a real UDT peer connection: the agent's P2P layer, the upload handlers
// registered as the agent registers them, a fake mobile client that punches and connects.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/handlers/upload/upload.h"
#include "agent/net/msg/msg.h"
#include "agent/net/p2p/p2p.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"
#include "common/md5/md5.h"
#include "tests/fakes/p2p/fake_p2p.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::p2p::BigU16;
using ks::test::p2p::BigU32;
using ks::test::p2p::FakeUdtPeer;
using ks::test::p2p::Message;
using ks::test::p2p::PunchFields;
using ks::test::p2p::UdpEndpoint;

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Before any thread starts: nothing may leave 127.0.0.0/8.
    ::setenv("KESTYL_LOOPBACK", "1", 1);
    ks::net::OS_RegFunction(MSG_REQ_UPLOAD_FILE, ks::upload::ReqUpLoadFile);
    ks::net::OS_RegFunction(MSG_UPLOAD_FILE, ks::upload::UpLoadFile);
    ks::net::OS_RegFunction(MSG_OVER_UPLOAD_FILE, ks::upload::OverUpLoadFile);
    ks::net::OnChannelClosed([](uint64_t id) { ks::transfer::SessionTable::Global().DropOwner(id); });
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<uint8_t> Announce(const std::string& data, const std::string& path) {
  MD5 m;
  m.update(data.data(), MD5::kFingerprintEndBytes);
  m.update(data.data() + data.size() - MD5::kFingerprintEndBytes, MD5::kFingerprintEndBytes);
  const auto& fp = m.digestBytes();
  std::vector<uint8_t> b(ks::upload::kAnnounceBodySize, 0);
  ks::net::PutU32(b.data(), static_cast<uint32_t>(data.size()));
  std::copy(fp.begin(), fp.end(), b.begin() + 8);
  std::copy(path.begin(), path.end(), b.begin() + ks::upload::kAnnouncePathOffset);
  return b;
}

std::vector<uint8_t> Chunk(const std::string& data, size_t from, size_t n) {
  std::vector<uint8_t> b(ks::upload::kChunkPrefixSize + n, 0);
  std::copy(data.begin() + from, data.begin() + from + n, b.begin() + ks::upload::kChunkPrefixSize);
  return b;
}

class UploadOverP2P : public ::testing::Test {
 protected:
  void SetUp() override {
    ks::state::ClearStop();
    ks::state::SetMacText("00-1A-2B-3C-4D-5E");
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    GlobalDb().execDML(("update ks_conf set p2phost = '127.0.0.1', p2pport = " +
                        std::to_string(rendezvous.port())).c_str());
    ASSERT_EQ(WriteLogOnInfo({"owner@example.com", "pw"}), 0);
    ASSERT_EQ(::mkdir(share.c_str(), 0755), 0);
    DefShareInfo d;
    d.def = share;
    ASSERT_EQ(SetDefaultDir(d), 0);
    ASSERT_EQ(ks::net::DispatchJob(ks::p2p::StartP2PClient), 0);
    ASSERT_TRUE(WaitFor([] { return ks::p2p::P2PUdpPort() != 0; }, 3000));
  }
  void TearDown() override {
    ks::state::RequestStop();
    EXPECT_TRUE(ks::p2p::WaitP2PJobsEnded(ks::p2p::kUdtReceiveTimeoutMs + 3000));
    ks::transfer::SessionTable::Global().Clear();
    GlobalDb().close();
    ks::state::ClearStop();
  }

  ks::test::TempDir dir;
  std::string share = dir / "share";
  UdpEndpoint rendezvous;
};

TEST_F(UploadOverP2P, AnnouncementAnsweredOverUdtAndFileResumedAndPublished) {
  std::mt19937 gen(7);
  std::string data(300001, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  const std::string target = share + "/p2p.bin";

  auto connect = [&](FakeUdtPeer& peer) {
    ASSERT_EQ(peer.Punch(ks::p2p::P2PUdpPort(), PunchFields{}).size(), 3u);
    ASSERT_TRUE(peer.Connect(ks::p2p::P2PUdpPort()));
  };
  auto announce = [&](FakeUdtPeer& peer, uint32_t sid) -> uint32_t {
    EXPECT_TRUE(peer.Send(Message(MSG_REQ_UPLOAD_FILE, sid, Announce(data, "$DEFAULT$/p2p.bin"))));
    auto answer = peer.Receive(3000);
    EXPECT_TRUE(answer.has_value());
    if (!answer || answer->size() != 12) return 0xFFFFFFFF;
    EXPECT_EQ(BigU16(&(*answer)[2]), MSG_REQ_UPLOAD_FILE_OK);
    EXPECT_EQ(BigU32(&(*answer)[4]), sid);
    return BigU32(&(*answer)[8]);
  };
  auto send = [&](FakeUdtPeer& peer, uint32_t sid, size_t from, size_t to) {
    for (size_t at = from; at < to; at += 1000)
      ASSERT_TRUE(peer.Send(Message(MSG_UPLOAD_FILE, sid, Chunk(data, at, std::min<size_t>(1000, to - at)))));
  };

  {
    FakeUdtPeer first;
    connect(first);
    ASSERT_EQ(announce(first, 11), 0u);
    send(first, 11, 0, 120000);
    ASSERT_TRUE(WaitFor([&] { return ks::test::ReadFile(target + "kestyl.rename").size() == 120000; }, 5000));
    first.Close();
  }
  // The peer went away: its session goes with it, the files stay for the next attempt.
  ASSERT_TRUE(WaitFor([] { return ks::transfer::SessionTable::Global().Size() == 0; }, 5000));

  FakeUdtPeer second;
  connect(second);
  ASSERT_EQ(announce(second, 12), 120000u);
  send(second, 12, 120000, data.size());
  ASSERT_TRUE(second.Send(Message(MSG_OVER_UPLOAD_FILE, 12, {0, 0, 0, 0})));
  ASSERT_TRUE(WaitFor([&] { return ::access(target.c_str(), F_OK) == 0; }, 5000));
  EXPECT_EQ(ks::test::ReadFile(target), data);
  EXPECT_FALSE(second.Receive(200).has_value()) << "no answer to chunks or to the end";
}

}  // namespace
