// Uploads end to end: the real agent program in a temporary install root, a fake mobile
// client on its message port, the default folder in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/agent_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/md5.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::fake::AgentHarness;
using ks::fake::AgentOptions;
using ks::fake::FakeMobileClient;
using ks::fake::UploadOptions;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;
namespace fs = std::filesystem;

std::string RandomData(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) out.insert(e.path().filename().string());
  return out;
}

class UploadE2E : public ::testing::Test {
 protected:
  // The agent with def = share, def_pic = pics; env adds settings (free space).
  void StartAgent(std::map<std::string, std::string> env = {}) {
    for (const std::string& f : {share, pics, outside}) fs::create_directories(f);
    AgentOptions o;
    o.binary = KS_AGENT_BIN;
    o.schema_file = KS_SCHEMA_FILE;
    o.sql = {"delete from ks_defshare",
             "insert into ks_defshare (def, def_pic, def_music, def_video, def_doc, def_instant) values ('" +
                 share + "', '" + pics + "', '', '', '', '')"};
    o.sql.insert(o.sql.end(), extra_sql.begin(), extra_sql.end());
    o.env = std::move(env);
    agent = std::make_unique<AgentHarness>(o);
    ASSERT_TRUE(agent->Start()) << agent->ReadConsole() << agent->ReadLog();
  }
  std::unique_ptr<FakeMobileClient> Connect() {
    auto c = FakeMobileClient::ConnectTcp(agent->message_port());
    EXPECT_TRUE(c);
    return c;
  }
  int UploadRows() { return std::stoi(agent->QueryText("select count(*) from ks_trans where type = 0")); }
  // The agent handles one connection's messages in order: an answer to a request sent
  // after an OVER shows that the OVER has been dealt with. This one is refused (no music
  // folder is set) and so leaves nothing behind.
  void Sync(FakeMobileClient& c) {
    auto a = c.AnnounceUpload("$DEFAULT_MUSIC$/sync.mp3", 1, ks::fake::Md5Of("s"), 0x5151);
    EXPECT_TRUE(a.ok()) << a.Describe();
    EXPECT_FALSE(a.accepted);
  }

  TempDir dir;
  std::string share = dir / "share";
  std::string pics = dir / "pics";
  std::string outside = dir / "outside";
  std::vector<std::string> extra_sql;  // run after the default folders are set
  std::unique_ptr<AgentHarness> agent;
};

TEST_F(UploadE2E, FreshUploadIsByteIdenticalWithOneLogRow) {
  StartAgent();
  const std::string data = RandomData(2500001, 1);
  auto c = Connect();
  auto r = c->Upload("$DEFAULT$/fresh/movie.mp4", data, 1);
  ASSERT_TRUE(r.ok()) << r.Describe();
  EXPECT_TRUE(r.announce.accepted);
  EXPECT_EQ(r.announce.offset, 0u);
  const std::string target = share + "/fresh/movie.mp4";
  ASSERT_TRUE(WaitFor([&] { return FileSize(target) == 2500001; }));
  EXPECT_EQ(ReadFile(target), data);
  EXPECT_EQ(Names(share + "/fresh"), (std::set<std::string>{"movie.mp4"}));
  EXPECT_TRUE(WaitFor([&] { return UploadRows() == 1; }));
  EXPECT_EQ(agent->QueryText("select file from ks_trans where type = 0"), target);
  EXPECT_EQ(agent->QueryText("select size from ks_trans where type = 0"), "2500001");
}

TEST_F(UploadE2E, UploadCutAfter1234000BytesResumesThere) {
  StartAgent();
  const std::string data = RandomData(2500001, 2);
  {
    auto c = Connect();
    auto a = c->AnnounceUpload("$DEFAULT$/cut.bin", 2500001, ks::fake::BytesFingerprint(data), 7);
    ASSERT_TRUE(a.accepted) << a.Describe();
    EXPECT_EQ(a.offset, 0u);
    ASSERT_EQ(c->SendUploadData(7, data, 0, 1234000), ks::fake::Io::kOk);
    Sync(*c);  // every chunk is in
    c->Close();
  }
  auto c = Connect();
  auto r = c->Upload("$DEFAULT$/cut.bin", data, 8);
  ASSERT_TRUE(r.ok()) << r.Describe();
  EXPECT_EQ(r.announce.offset, 1234000u);
  ASSERT_TRUE(WaitFor([&] { return FileSize(share + "/cut.bin") == 2500001; }));
  EXPECT_EQ(ReadFile(share + "/cut.bin"), data);
  EXPECT_EQ(Names(share), (std::set<std::string>{"cut.bin"}));
}

// The client closes right after its last chunk: chunks that reached the agent before the
// close must still be written. Disabled: the local message server drops the messages it
// has received but not yet handled when the peer closes; enable once it hands them on.
TEST_F(UploadE2E, ChunksThatArrivedBeforeACloseAreWritten) {
  StartAgent();
  const std::string data = RandomData(2500001, 2);
  const std::string temp = share + "/cut.binkestyl.rename";
  {
    auto c = Connect();
    UploadOptions o;
    o.cut_at = 1234000;
    auto r = c->Upload("$DEFAULT$/cut.bin", data, 7, o);
    EXPECT_EQ(r.announce.offset, 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return FileSize(temp) == 1234000; })) << FileSize(temp);
  auto c = Connect();
  auto r = c->Upload("$DEFAULT$/cut.bin", data, 8);
  ASSERT_TRUE(r.ok()) << r.Describe();
  EXPECT_EQ(r.announce.offset, 1234000u);
  ASSERT_TRUE(WaitFor([&] { return FileSize(share + "/cut.bin") == 2500001; }));
  EXPECT_EQ(ReadFile(share + "/cut.bin"), data);
}

TEST_F(UploadE2E, AgentKilledMidUploadThenNextAttemptCompletes) {
  StartAgent();
  const std::string data = RandomData(2000000, 3);
  const std::string inDef = share + "/killed.bin", inPics = pics + "/killed.jpg";
  {
    auto c = Connect();
    UploadOptions o;
    o.send_over = false;
    o.stop_at = 900000;
    c->Upload("$DEFAULT$/killed.bin", data, 1, o);
    c->Upload("$DEFAULT_PIC$/killed.jpg", data, 2, o);
    ASSERT_TRUE(WaitFor([&] { return FileSize(inPics + "kestyl.rename") == 900000; }));
    agent->Kill();
  }
  ASSERT_TRUE(agent->Start()) << agent->ReadLog();
  // Start-up clears left-overs in the category folders, not in the data folder itself.
  const int64_t kept = FileSize(inDef + "kestyl.rename");
  EXPECT_EQ(kept, 900000);
  EXPECT_FALSE(Exists(inPics + "kestyl.rename"));

  auto c = Connect();
  auto r1 = c->Upload("$DEFAULT$/killed.bin", data, 3);
  ASSERT_TRUE(r1.ok()) << r1.Describe();
  EXPECT_EQ(r1.announce.offset, static_cast<uint32_t>(kept));
  auto r2 = c->Upload("$DEFAULT_PIC$/killed.jpg", data, 4);
  ASSERT_TRUE(r2.ok()) << r2.Describe();
  EXPECT_EQ(r2.announce.offset, 0u);
  ASSERT_TRUE(WaitFor([&] { return FileSize(inDef) == 2000000 && FileSize(inPics) == 2000000; }));
  EXPECT_EQ(ReadFile(inDef), data);
  EXPECT_EQ(ReadFile(inPics), data);
  EXPECT_EQ(Names(share), (std::set<std::string>{"killed.bin"}));
  EXPECT_EQ(Names(pics), (std::set<std::string>{"killed.jpg"}));
}

TEST_F(UploadE2E, SameTargetOtherFingerprintStartsANewTemporaryFile) {
  StartAgent();
  const std::string a = RandomData(300000, 4), b = RandomData(200000, 5);
  const std::string t = share + "/same.jpg";
  auto c = Connect();
  UploadOptions half;
  half.stop_at = 100000;
  half.over_state = 1;  // ended unfinished: kept for a resume
  c->Upload("$DEFAULT$/same.jpg", a, 1, half);
  Sync(*c);
  const std::string journalA = ReadFile(t + "kestyl.renametmp");
  ASSERT_EQ(journalA.size(), 288u);

  auto r = c->Upload("$DEFAULT$/same.jpg", b, 2);
  ASSERT_TRUE(r.ok()) << r.Describe();
  EXPECT_EQ(r.announce.offset, 0u);
  ASSERT_TRUE(WaitFor([&] { return FileSize(t) == 200000; }));
  EXPECT_EQ(ReadFile(t), b);
  EXPECT_EQ(ReadFile(t + "kestyl.rename"), a.substr(0, 100000));
  EXPECT_EQ(ReadFile(t + "kestyl.renametmp"), journalA);
}

TEST_F(UploadE2E, TargetAlreadyCompleteCreatesNothing) {
  StartAgent();
  const std::string data = RandomData(100000, 6);
  WriteFile(share + "/done.bin", data);
  auto c = Connect();
  auto r = c->Upload("$DEFAULT$/done.bin", data, 1);
  ASSERT_TRUE(r.ok()) << r.Describe();
  EXPECT_EQ(r.announce.offset, 100000u);
  Sync(*c);
  EXPECT_EQ(Names(share), (std::set<std::string>{"done.bin"}));
  EXPECT_EQ(UploadRows(), 0);
}

TEST_F(UploadE2E, ExistingTargetWithOtherContentLandsInTheCollisionName) {
  StartAgent();
  const std::string old = RandomData(50000, 7), data = RandomData(50000, 8);
  WriteFile(share + "/pic.jpg", old);
  auto c = Connect();
  auto r = c->Upload("$DEFAULT$/pic.jpg", data, 1);
  ASSERT_TRUE(r.ok()) << r.Describe();
  ASSERT_TRUE(WaitFor([&] { return FileSize(share + "/pic.jpg.(0).jpg") == 50000; }));
  EXPECT_EQ(ReadFile(share + "/pic.jpg.(0).jpg"), data);
  EXPECT_EQ(ReadFile(share + "/pic.jpg"), old);
}

TEST_F(UploadE2E, FreeSpaceAtTheLimitIsRefused) {
  StartAgent({{"KESTYL_FREE_KB", "2000"}});
  auto c = Connect();
  auto atLimit = c->AnnounceUpload("$DEFAULT$/big.bin", 2000 * 1024, ks::fake::Md5Of("x"), 1);
  ASSERT_TRUE(atLimit.ok()) << atLimit.Describe();
  EXPECT_FALSE(atLimit.accepted);
  EXPECT_EQ(atLimit.error_code, 0xFFFF);
  EXPECT_TRUE(Names(share).empty());
  // One KB less to store is one KB more free than needed.
  auto below = c->AnnounceUpload("$DEFAULT$/big.bin", 1999 * 1024, ks::fake::Md5Of("x"), 2);
  ASSERT_TRUE(below.ok()) << below.Describe();
  EXPECT_TRUE(below.accepted);
  EXPECT_EQ(below.offset, 0u);
}

TEST_F(UploadE2E, OverAfterHalfTheDataIsNotPublished) {
  StartAgent();
  const std::string data = RandomData(400000, 9);
  auto c = Connect();
  UploadOptions half;
  half.stop_at = 200000;
  c->Upload("$DEFAULT$/half.bin", data, 1, half);  // OVER(0) after half
  auto again = c->AnnounceUpload("$DEFAULT$/half.bin", 400000, ks::fake::BytesFingerprint(data), 2);
  ASSERT_TRUE(again.ok()) << again.Describe();
  EXPECT_EQ(again.offset, 200000u);
  EXPECT_FALSE(Exists(share + "/half.bin"));
  EXPECT_EQ(UploadRows(), 0);
}

TEST_F(UploadE2E, ChunkOfLength19IsDropped) {
  StartAgent();
  const std::string data = RandomData(5000, 10);
  auto c = Connect();
  auto a = c->AnnounceUpload("$DEFAULT$/chunk.bin", 5000, ks::fake::BytesFingerprint(data), 9);
  ASSERT_TRUE(a.accepted);
  // A head of length 19: 11 body bytes, a chunk of -1 data bytes.
  std::string bad = {0, 19, 0, 2, 0, 0, 0, 9};
  bad += std::string(11, 'Z');
  ASSERT_EQ(c->SendRaw(bad), ks::fake::Io::kOk);
  ASSERT_EQ(c->SendUploadData(9, data, 0, data.size()), ks::fake::Io::kOk);
  ASSERT_EQ(c->OverUpload(9, 0), ks::fake::Io::kOk);
  ASSERT_TRUE(WaitFor([&] { return Exists(share + "/chunk.bin"); }));
  EXPECT_EQ(ReadFile(share + "/chunk.bin"), data);
}

TEST_F(UploadE2E, DotDotTargetIsRefusedWithoutFolders) {
  StartAgent();
  auto c = Connect();
  auto a = c->AnnounceUpload("$DEFAULT$/../outside/made/x.bin", 10, ks::fake::Md5Of("0123456789"), 1);
  ASSERT_TRUE(a.ok()) << a.Describe();
  EXPECT_FALSE(a.accepted);
  EXPECT_EQ(a.error_code, 4118);
  EXPECT_TRUE(Names(outside).empty());
  EXPECT_TRUE(Names(share).empty());
}

}  // namespace

// A shared folder that is no default folder is tidied at start-up like the data folder: a
// temporary file or a journal alone can never resume and goes; a pair of both stays, and
// the client's next announcement resumes from it.
TEST_F(UploadE2E, StartUpTidiesAnotherShareAndKeepsResumablePairs) {
  const std::string other = dir / "other";
  fs::create_directories(other);
  const std::string data = RandomData(10000, 9);
  const std::string fp = ks::fake::DigestHex(ks::fake::BytesFingerprint(data));
  auto journal = [&](const std::string& target) {
    std::string record(288, '\0');
    record.replace(0, target.size(), target);
    record.replace(255, 32, fp);
    return record;
  };
  WriteFile(other + "/alone.binkestyl.rename", data.substr(0, 3000));
  WriteFile(other + "/orphan.binkestyl.renametmp", journal(other + "/orphan.bin"));
  WriteFile(other + "/pair.binkestyl.rename", data.substr(0, 4000));
  WriteFile(other + "/pair.binkestyl.renametmp", journal(other + "/pair.bin"));
  WriteFile(other + "/kept.txt", "x");
  extra_sql = {"delete from ks_share", "insert into ks_share (path) values ('" + other + "')"};
  StartAgent();
  EXPECT_EQ(Names(other),
            (std::set<std::string>{"kept.txt", "pair.binkestyl.rename", "pair.binkestyl.renametmp"}));

  auto c = Connect();
  auto r = c->Upload(other + "/pair.bin", data, 1);
  ASSERT_TRUE(r.ok() && r.announce.accepted) << r.Describe();
  EXPECT_EQ(r.announce.offset, 4000u);
  ASSERT_TRUE(WaitFor([&] { return FileSize(other + "/pair.bin") == 10000; }));
  EXPECT_EQ(ReadFile(other + "/pair.bin"), data);
  // The journal goes right after the published name appears.
  const std::set<std::string> done{"kept.txt", "pair.bin"};
  EXPECT_TRUE(WaitFor([&] { return Names(other) == done; }));
  EXPECT_EQ(Names(other), done);
}
