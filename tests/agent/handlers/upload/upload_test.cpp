// The upload handlers called in process with a recording channel, on a real database and
// real folders: announcement, resume decision, chunks, end of upload, refusals and faults.
#include "agent/handlers/upload/upload.h"

#include <gtest/gtest.h>

#include <memory>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/handlers/upload/journal.h"
#include "agent/net/proto/proto.h"
#include "common/md5/md5.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::net::Channel;
using ks::net::GetU16;
using ks::net::GetU32;
using ks::net::MsgHead;
using ks::net::Origin;
using ks::net::PutU32;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;
using ks::transfer::SessionTable;
namespace fs = std::filesystem;

class RecordingChannel : public Channel {
 public:
  RecordingChannel(Origin origin, uint64_t id) : origin_(origin), id_(id) {}
  bool Write(const void* data, size_t length) override {
    std::lock_guard<std::mutex> g(mutex_);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    written.emplace_back(p, p + length);
    return true;
  }
  bool IsOpen() const override { return true; }
  Origin origin() const override { return origin_; }
  uint64_t Id() const override { return id_; }
  std::vector<std::vector<uint8_t>> written;

 private:
  std::mutex mutex_;
  Origin origin_;
  uint64_t id_;
};

std::string RandomData(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// The file fingerprint computed from memory: whole up to 51200 bytes, else both ends.
MD5::Digest Fingerprint(const std::string& data) {
  MD5 m;
  if (data.size() <= MD5::kFingerprintWholeLimit) {
    m.update(data.data(), data.size());
  } else {
    m.update(data.data(), MD5::kFingerprintEndBytes);
    m.update(data.data() + data.size() - MD5::kFingerprintEndBytes, MD5::kFingerprintEndBytes);
  }
  return m.digestBytes();
}

struct Answer {
  int result = 0;
  std::vector<uint8_t> reply;
  uint16_t type() const { return reply.size() >= 8 ? GetU16(reply.data() + 2) : 0; }
  uint32_t word() const { return reply.size() >= 8 ? GetU32(reply.data() + 4) : 0; }
  uint32_t offset() const { return reply.size() == 12 ? GetU32(reply.data() + 8) : 0xDEADBEEF; }
  uint16_t code() const { return reply.size() == 266 ? GetU16(reply.data() + 8) : 0xDEAD; }
};

int Call(ks::net::Handler h, const MsgHead& head, const std::vector<uint8_t>& body, Channel& ch,
         std::vector<uint8_t>* reply, int direct = 1, int udt = -1) {
  return h(body.empty() ? nullptr : body.data(), body.size(), &head, &ch, reply, &udt, &direct);
}

std::vector<uint8_t> AnnounceBody(uint32_t size, const MD5::Digest& fp, const std::string& path) {
  std::vector<uint8_t> b(ks::upload::kAnnounceBodySize, 0);
  PutU32(b.data(), size);
  PutU32(b.data() + 4, 0x01020304);  // carried fields
  std::copy(fp.begin(), fp.end(), b.begin() + 8);
  b[24] = 1;
  std::copy(path.begin(), path.begin() + std::min<size_t>(path.size(), 354), b.begin() + 25);
  return b;
}

// One client: its channel and its session id.
class Client {
 public:
  Client(Origin origin, uint64_t channelId, uint32_t sessionId) : ch(origin, channelId), sid(sessionId) {}

  Answer Announce(const std::string& data, const std::string& path) {
    return AnnounceAs(static_cast<uint32_t>(data.size()), Fingerprint(data), path);
  }
  Answer AnnounceAs(uint32_t size, const MD5::Digest& fp, const std::string& path) {
    auto body = AnnounceBody(size, fp, path);
    Answer a;
    MsgHead head{static_cast<uint16_t>(8 + body.size()), MSG_REQ_UPLOAD_FILE, sid};
    a.result = Call(ks::upload::ReqUpLoadFile, head, body, ch, &a.reply);
    return a;
  }
  // Sends data[from, to) in chunks.
  void Send(const std::string& data, size_t from, size_t to, size_t chunk = 1000) {
    for (size_t at = from; at < to; at += chunk) Chunk(data.substr(at, std::min(chunk, to - at)));
  }
  int Chunk(const std::string& bytes, int direct = 1) {
    std::vector<uint8_t> body(ks::upload::kChunkPrefixSize + bytes.size(), 0xAB);
    std::copy(bytes.begin(), bytes.end(), body.begin() + ks::upload::kChunkPrefixSize);
    std::vector<uint8_t> reply;
    MsgHead head{static_cast<uint16_t>(8 + body.size()), MSG_UPLOAD_FILE, sid};
    int rc = Call(ks::upload::UpLoadFile, head, body, ch, &reply, direct);
    EXPECT_TRUE(reply.empty());
    return rc;
  }
  int Over(uint8_t state, int direct = 1) {
    std::vector<uint8_t> body = {state, 0, 0, 0};
    std::vector<uint8_t> reply;
    int rc = Call(ks::upload::OverUpLoadFile, {12, MSG_OVER_UPLOAD_FILE, sid}, body, ch, &reply, direct);
    EXPECT_TRUE(reply.empty()) << "no answer to the end of an upload";
    return rc;
  }
  // Whole road from the agent's offset.
  Answer Upload(const std::string& data, const std::string& path) {
    Answer a = Announce(data, path);
    if (a.type() == MSG_REQ_UPLOAD_FILE_OK) {
      Send(data, a.offset(), data.size());
      Over(0);
    }
    return a;
  }

  RecordingChannel ch;
  uint32_t sid;
};

uint64_t g_freeKb = 0;
int g_freeRc = 0;
int TestFreeSpace(const std::string&, uint64_t& kb) {
  kb = g_freeKb;
  return g_freeRc;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) out.insert(e.path().filename().string());
  return out;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    for (const std::string& f : {share, pics, outside}) ASSERT_EQ(::mkdir(f.c_str(), 0755), 0);
    DefShareInfo d;
    d.def = share;
    d.def_pic = pics;
    ASSERT_EQ(SetDefaultDir(d), 0);
    g_freeKb = uint64_t(1) << 40;
    g_freeRc = 0;
    ks::upload::SetFreeSpaceProbe(&TestFreeSpace);
  }
  void TearDown() override {
    SessionTable::Global().Clear();
    ks::upload::SetFreeSpaceProbe(nullptr);
    GlobalDb().close();
  }

  std::vector<TransLogRecord> TransLog() {
    std::vector<TransLogRecord> rows;
    GetTransLog(rows);
    return rows;
  }

  TempDir dir;
  std::string share = dir / "share";
  std::string pics = dir / "pics";
  std::string outside = dir / "outside";
};

TEST_F(UploadTest, FreshUploadIsPublishedWholeWithOneLogRow) {
  const std::string data = RandomData(2500001, 1);
  const std::string target = share + "/sub/dir/movie.mp4";
  Client c(Origin::kLan, 11, 0x01020304);
  Answer a = c.Announce(data, "$DEFAULT$/sub/dir/movie.mp4");
  EXPECT_EQ(a.result, 0);
  ASSERT_EQ(a.reply.size(), 12u);
  EXPECT_EQ(GetU16(a.reply.data()), 12);
  EXPECT_EQ(a.type(), MSG_REQ_UPLOAD_FILE_OK);
  EXPECT_EQ(a.word(), 0x01020304u);
  EXPECT_EQ(a.offset(), 0u);
  // While it runs: the hidden temporary file and the 288-byte journal beside the target.
  EXPECT_EQ(Names(share + "/sub/dir"), (std::set<std::string>{"movie.mp4kestyl.rename", "movie.mp4kestyl.renametmp"}));
  ks::upload::UploadJournal j;
  ASSERT_EQ(ks::upload::ReadJournalFile(target + "kestyl.renametmp", j), ks::upload::JournalRead::kValid);
  EXPECT_EQ(j.target, target);
  EXPECT_EQ(j.fingerprint, MD5::bytesToHexString(Fingerprint(data).data()));
  EXPECT_EQ(SessionTable::Global().Size(), 1u);

  c.Send(data, 0, data.size());
  EXPECT_EQ(c.Over(0), 0);
  EXPECT_EQ(ReadFile(target), data);
  EXPECT_EQ(Names(share + "/sub/dir"), (std::set<std::string>{"movie.mp4"}));
  EXPECT_EQ(SessionTable::Global().Size(), 0u);
  auto rows = TransLog();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].size, 2500001);
  EXPECT_EQ(rows[0].file, target);
  EXPECT_TRUE(c.ch.written.empty()) << "every answer goes through the reply";
}

TEST_F(UploadTest, CutUploadResumesWhereItStopped) {
  const std::string data = RandomData(2500001, 2);
  Client first(Origin::kLan, 21, 7);
  ASSERT_EQ(first.Announce(data, "$DEFAULT$/cut.bin").offset(), 0u);
  first.Send(data, 0, 1234000);
  SessionTable::Global().DropOwner(21);  // the connection closed

  Client second(Origin::kLan, 22, 8);
  Answer a = second.Announce(data, "$DEFAULT$/cut.bin");
  ASSERT_EQ(a.offset(), 1234000u);
  second.Send(data, 1234000, data.size());
  second.Over(0);
  EXPECT_EQ(ReadFile(share + "/cut.bin"), data);
  EXPECT_EQ(Names(share), (std::set<std::string>{"cut.bin"}));
  EXPECT_EQ(TransLog().size(), 1u);
}

TEST_F(UploadTest, EndWithHalfTheDataIsNotPublishedAndResumes) {
  const std::string data = RandomData(300000, 3);
  Client c(Origin::kLan, 31, 1);
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/half.bin").offset(), 0u);
  c.Send(data, 0, 150000);
  c.Over(0);
  EXPECT_EQ(Names(share), (std::set<std::string>{"half.binkestyl.rename", "half.binkestyl.renametmp"}));
  EXPECT_TRUE(TransLog().empty());
  // An unfinished end keeps them too.
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/half.bin").offset(), 150000u);
  c.Send(data, 150000, 200000);
  c.Over(1);
  EXPECT_EQ(Names(share), (std::set<std::string>{"half.binkestyl.rename", "half.binkestyl.renametmp"}));
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/half.bin").offset(), 200000u);
  c.Send(data, 200000, data.size());
  c.Over(0);
  EXPECT_EQ(ReadFile(share + "/half.bin"), data);
}

TEST_F(UploadTest, WholeSizeWithOtherContentDeletesBoth) {
  const std::string data = RandomData(100000, 4);
  std::string other = data;
  other[10] ^= 0x55;  // inside the fingerprinted head
  Client c(Origin::kLan, 41, 1);
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/bad.bin").offset(), 0u);
  c.Send(other, 0, other.size());
  c.Over(0);
  EXPECT_TRUE(Names(share).empty());
  EXPECT_TRUE(TransLog().empty());
}

TEST_F(UploadTest, OtherFingerprintStartsANewTemporaryFileAndLeavesTheOld) {
  const std::string a = RandomData(200000, 5), b = RandomData(120000, 6);
  const std::string t = share + "/same.jpg";
  Client c1(Origin::kLan, 51, 1);
  ASSERT_EQ(c1.Announce(a, "$DEFAULT$/same.jpg").offset(), 0u);
  c1.Send(a, 0, 90000);
  SessionTable::Global().DropOwner(51);
  const std::string journalA = ReadFile(t + "kestyl.renametmp");

  Client c2(Origin::kLan, 52, 2);
  ASSERT_EQ(c2.Announce(b, "$DEFAULT$/same.jpg").offset(), 0u);
  EXPECT_TRUE(Exists(t + "kestyl.rename.(0).rename"));
  c2.Send(b, 0, b.size());
  c2.Over(0);
  EXPECT_EQ(ReadFile(t), b);
  EXPECT_EQ(ReadFile(t + "kestyl.renametmp"), journalA) << "the other upload's journal is left alone";
  EXPECT_EQ(ReadFile(t + "kestyl.rename"), a.substr(0, 90000));

  // The first file still resumes, and lands beside the second.
  Client c3(Origin::kLan, 53, 3);
  ASSERT_EQ(c3.Announce(a, "$DEFAULT$/same.jpg").offset(), 90000u);
  c3.Send(a, 90000, a.size());
  c3.Over(0);
  EXPECT_EQ(ReadFile(t), b);
  EXPECT_EQ(ReadFile(t + ".(0).jpg"), a);
  EXPECT_EQ(Names(share), (std::set<std::string>{"same.jpg", "same.jpg.(0).jpg"}));
  EXPECT_EQ(TransLog().size(), 2u);
}

TEST_F(UploadTest, NewNameUploadEndedUnfinishedGoes) {
  const std::string a = RandomData(70000, 7), b = RandomData(70000, 8);
  Client c1(Origin::kLan, 61, 1);
  c1.Announce(a, "$DEFAULT$/x.bin");
  c1.Send(a, 0, 1000);
  SessionTable::Global().DropOwner(61);
  Client c2(Origin::kLan, 62, 2);
  ASSERT_EQ(c2.Announce(b, "$DEFAULT$/x.bin").offset(), 0u);
  c2.Send(b, 0, 5000);
  c2.Over(1);  // cannot be resumed: no journal of its own
  EXPECT_EQ(Names(share), (std::set<std::string>{"x.binkestyl.rename", "x.binkestyl.renametmp"}));
}

TEST_F(UploadTest, TargetAlreadyCompleteAnswersItsSizeAndCreatesNothing) {
  const std::string data = RandomData(80000, 9);
  WriteFile(share + "/done.bin", data);
  Client c(Origin::kLan, 71, 5);
  Answer a = c.Announce(data, "$DEFAULT$/done.bin");
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.offset(), 80000u);
  EXPECT_EQ(SessionTable::Global().Size(), 0u);
  EXPECT_EQ(c.Over(0), 0);
  EXPECT_EQ(Names(share), (std::set<std::string>{"done.bin"}));
  EXPECT_TRUE(TransLog().empty());
}

TEST_F(UploadTest, ExistingTargetWithOtherContentGetsCollisionNames) {
  const std::string old = RandomData(5000, 10);
  WriteFile(share + "/pic.jpg", old);
  const std::string d1 = RandomData(5000, 11), d2 = RandomData(7000, 12);
  Client c(Origin::kLan, 81, 1);
  c.Upload(d1, "$DEFAULT$/pic.jpg");
  c.Upload(d2, "$DEFAULT$/pic.jpg");
  EXPECT_EQ(ReadFile(share + "/pic.jpg"), old);
  EXPECT_EQ(ReadFile(share + "/pic.jpg.(0).jpg"), d1);
  EXPECT_EQ(ReadFile(share + "/pic.jpg.(1).jpg"), d2);
  auto rows = TransLog();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].file, share + "/pic.jpg.(1).jpg");
}

TEST_F(UploadTest, FreeSpaceIsComparedIn64Bits) {
  struct Case {
    const char* name;
    uint32_t size;
    uint64_t freeKb;
    int probeRc;
    bool accepted;
  } cases[] = {
      {"at the limit", 10 * 1024 * 1024, 10 * 1024, 0, false},
      {"one KB more", 10 * 1024 * 1024, 10 * 1024 + 1, 0, true},
      {"4 TiB free", 0xFFFFFFFFu, uint64_t(4) << 30, 0, true},
      {"unreadable", 1, uint64_t(1) << 30, -1, false},
  };
  uint32_t sid = 100;
  for (const Case& k : cases) {
    g_freeKb = k.freeKb;
    g_freeRc = k.probeRc;
    Client c(Origin::kLan, 90, ++sid);
    Answer a = c.AnnounceAs(k.size, Fingerprint("x"), "$DEFAULT$/space.bin");
    if (k.accepted) {
      EXPECT_EQ(a.result, 0) << k.name;
      EXPECT_EQ(a.type(), MSG_REQ_UPLOAD_FILE_OK) << k.name;
      c.Over(1);
      fs::remove_all(share);
      fs::create_directory(share);
    } else {
      EXPECT_EQ(a.result, -1) << k.name;
      ASSERT_EQ(a.reply.size(), 266u) << k.name;
      EXPECT_EQ(a.type(), MSG_UPLOAD_ERROR) << k.name;
      EXPECT_EQ(a.word(), sid) << k.name;
      EXPECT_EQ(a.code(), 0xFFFF) << k.name;
      EXPECT_EQ(a.reply[10], '0') << k.name;
      EXPECT_EQ(std::count(a.reply.begin() + 11, a.reply.end(), 0), 255) << k.name;
      EXPECT_FALSE(Exists(share + "/space.binkestyl.renametmp")) << k.name;
    }
  }
}

TEST_F(UploadTest, ChunkLengthsAreCheckedAgainstTheMessage) {
  const std::string data = RandomData(3000, 13);
  Client c(Origin::kLan, 101, 9);
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/chunks.bin").offset(), 0u);
  const std::string temp = share + "/chunks.binkestyl.rename";
  auto send = [&](uint16_t headLength, size_t bodyLength) {
    std::vector<uint8_t> body(bodyLength, 'z');
    std::vector<uint8_t> reply;
    return Call(ks::upload::UpLoadFile, {headLength, MSG_UPLOAD_FILE, 9}, body, c.ch, &reply);
  };
  struct Case {
    const char* name;
    uint16_t headLength;
    size_t bodyLength;
  } dropped[] = {
      {"length 19", 19, 11},
      {"length 19 with a longer body", 19, 100},
      {"head longer than body", 20 + 500, 12 + 499},
      {"body shorter than the prefix", 30, 5},
  };
  for (const Case& k : dropped) {
    EXPECT_EQ(send(k.headLength, k.bodyLength), 0) << k.name;
    EXPECT_EQ(ReadFile(temp).size(), 0u) << k.name;
  }
  EXPECT_EQ(send(20, 12), 0);  // an empty chunk is harmless
  EXPECT_EQ(ReadFile(temp).size(), 0u);

  // Bytes beyond the announced size are never written.
  c.Chunk(data.substr(0, 2500));
  c.Chunk(data.substr(2500) + "EXTRA BYTES");
  c.Chunk("more");
  EXPECT_EQ(ReadFile(temp), data);
  c.Over(0);
  EXPECT_EQ(ReadFile(share + "/chunks.bin"), data);
}

TEST_F(UploadTest, TargetsOutsideSharesAreRefusedBeforeAnyFolderIsMade) {
  Client c(Origin::kLan, 111, 3);
  const std::string data = RandomData(100, 14);
  struct Case {
    const char* name;
    std::string path;
    uint16_t code;
  } cases[] = {
      {"dot-dot out of the share", "$DEFAULT$/../outside/evil/x.bin", 4118},
      {"dot-dot staying inside", "$DEFAULT$/a/../b/x.bin", 4118},
      {"absolute path outside", outside + "/new/deeper/x.bin", 4118},
      {"backslashes outside", "$DEFAULT$\\..\\outside\\evil2\\x.bin", 4118},
      {"relative path", "share/x.bin", 4118},
      {"reserved name", "$DEFAULT$/xkestyl.rename", 4118},
      {"reserved journal name", "$DEFAULT$/ykestyl.renametmp", 4118},
      {"the share itself", "$DEFAULT$", 4118},
  };
  for (const Case& k : cases) {
    Answer a = c.Announce(data, k.path);
    EXPECT_EQ(a.result, k.code) << k.name;
    EXPECT_EQ(a.type(), MSG_UPLOAD_ERROR) << k.name;
    EXPECT_EQ(a.code(), k.code) << k.name;
  }
  EXPECT_TRUE(Names(outside).empty());
  EXPECT_TRUE(Names(share).empty());
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"Kestyl.db", "share", "pics", "outside"}));

  // A symlink inside the share that leads out does not let folders be made outside.
  ASSERT_EQ(::symlink(outside.c_str(), (share + "/door").c_str()), 0);
  Answer a = c.Announce(data, "$DEFAULT$/door/made/x.bin");
  EXPECT_EQ(a.code(), 4118);
  EXPECT_TRUE(Names(outside).empty());

  // Unset default folder: code 0, result 4123.
  a = c.Announce(data, "$DEFAULT_MUSIC$/song.mp3");
  EXPECT_EQ(a.result, 4123);
  EXPECT_EQ(a.type(), MSG_UPLOAD_ERROR);
  EXPECT_EQ(a.code(), 0);

  // An absolute path inside a share is fine, missing folders and all.
  EXPECT_EQ(c.Upload(data, pics + "/2024/05/p.jpg").offset(), 0u);
  EXPECT_EQ(ReadFile(pics + "/2024/05/p.jpg"), data);
}

// The virtual name expands to the share's path: a target that then exceeds the journal's
// 254 characters is refused whole, never cut to the name of another file.
TEST_F(UploadTest, TargetLongerThanTheJournalHoldsIsRefused) {
  Client c(Origin::kLan, 113, 5);
  const std::string data = RandomData(100, 15);
  const size_t room = 254 - (share.size() + 1);  // characters left for the name
  const std::string fits(room, 'f');
  EXPECT_EQ(c.Upload(data, "$DEFAULT$/" + fits).offset(), 0u);
  EXPECT_EQ(ReadFile(share + "/" + fits), data);

  const std::string longer = std::string(room, 'g') + "h.bin";
  Answer a = c.Announce(data, "$DEFAULT$/" + longer);
  EXPECT_EQ(a.type(), MSG_UPLOAD_ERROR);
  EXPECT_EQ(a.code(), 0xFFFF);
  EXPECT_EQ(Names(share), (std::set<std::string>{fits})) << "nothing under the cut name";
}

TEST_F(UploadTest, FileWhereAFolderIsWantedIsRefused) {
  WriteFile(share + "/plain", "a file where a folder is wanted");
  Client c(Origin::kLan, 121, 4);
  Answer a = c.Announce("data", "$DEFAULT$/plain/sub/x.bin");
  EXPECT_EQ(a.result, 4117);
  EXPECT_EQ(a.code(), 4117);
  EXPECT_EQ(Names(share), (std::set<std::string>{"plain"}));
}

TEST_F(UploadTest, TemporaryFileThatCannotBeOpenedAnswersAnError) {
  const std::string data = RandomData(1000, 15);
  const std::string temp = share + "/t.binkestyl.rename";
  struct Case {
    const char* name;
    std::function<void()> block;
  } cases[] = {
      {"a folder", [&] { ASSERT_EQ(::mkdir(temp.c_str(), 0755), 0); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(temp.c_str(), 0644), 0); }},  // must not hang
  };
  uint32_t sid = 10;
  for (const Case& k : cases) {
    fs::remove_all(share);
    fs::create_directory(share);
    k.block();
    Client c(Origin::kLan, 131, ++sid);
    Answer a = c.Announce(data, "$DEFAULT$/t.bin");
    EXPECT_EQ(a.result, -1) << k.name;
    EXPECT_EQ(a.type(), MSG_UPLOAD_ERROR) << k.name;
    EXPECT_EQ(a.code(), 0xFFFF) << k.name;
    EXPECT_EQ(SessionTable::Global().Size(), 0u) << k.name;
    EXPECT_FALSE(Exists(share + "/t.binkestyl.renametmp")) << k.name << ": no journal for a file that is not there";
  }
}

TEST_F(UploadTest, JournalThatIsNoFileIsReplaced) {
  const std::string data = RandomData(1000, 23);
  ASSERT_EQ(::mkfifo((share + "/f.binkestyl.renametmp").c_str(), 0644), 0);  // must not hang
  Client c(Origin::kLan, 135, 1);
  EXPECT_EQ(c.Upload(data, "$DEFAULT$/f.bin").offset(), 0u);
  EXPECT_EQ(ReadFile(share + "/f.bin"), data);
  EXPECT_EQ(Names(share), (std::set<std::string>{"f.bin"}));
}

TEST_F(UploadTest, JournalStatesDecideTheOffset) {
  const std::string data = RandomData(60000, 16);
  const std::string t = share + "/j.bin", temp = t + "kestyl.rename", journal = t + "kestyl.renametmp";
  const std::string fp = MD5::bytesToHexString(Fingerprint(data).data());
  auto record = [](const std::string& target, const std::string& f) {
    auto r = ks::upload::EncodeJournal({target, f});
    return std::string(r.begin(), r.end());
  };
  struct Case {
    const char* name;
    std::string journal;  // "" = none
    std::string temp;
    uint32_t offset;
    bool newName;  // the upload goes to a fresh temporary name
  } cases[] = {
      {"no journal, stale temporary file", "", data.substr(0, 5000), 0, false},
      {"matching journal", record(t, fp), data.substr(0, 5000), 5000, false},
      {"matching journal, no temporary file", record(t, fp), "", 0, false},
      {"temporary file larger than announced", record(t, fp), data + "zz", 0, false},
      {"torn journal", record(t, fp).substr(0, 200), data.substr(0, 5000), 0, false},
      {"journal of another target", record(share + "/other.bin", fp), data.substr(0, 5000), 0, false},
      {"journal of another file", record(t, std::string(32, 'a')), data.substr(0, 5000), 0, true},
  };
  uint32_t sid = 500;
  for (const Case& k : cases) {
    fs::remove_all(share);
    fs::create_directory(share);
    if (!k.journal.empty()) WriteFile(journal, k.journal);
    if (!k.temp.empty()) WriteFile(temp, k.temp);
    Client c(Origin::kLan, 141, ++sid);
    Answer a = c.Announce(data, "$DEFAULT$/j.bin");
    ASSERT_EQ(a.type(), MSG_REQ_UPLOAD_FILE_OK) << k.name;
    EXPECT_EQ(a.offset(), k.offset) << k.name;
    c.Send(data, a.offset(), data.size());
    c.Over(0);
    EXPECT_EQ(ReadFile(t), data) << k.name;
    if (k.newName) {
      EXPECT_EQ(ReadFile(journal), k.journal) << k.name;
      EXPECT_EQ(ReadFile(temp), k.temp) << k.name;
    } else {
      EXPECT_EQ(Names(share), (std::set<std::string>{"j.bin"})) << k.name;
    }
  }
}

TEST_F(UploadTest, FailedWriteKeepsOnlyWholeChunksAndResumes) {
  const std::string data = RandomData(400000, 17);
  const std::string temp = share + "/full.binkestyl.rename";
  Client c(Origin::kLan, 151, 1);
  ASSERT_EQ(c.Announce(data, "$DEFAULT$/full.bin").offset(), 0u);
  c.Send(data, 0, 100000);
  // The file-size limit makes the kernel refuse the write half way through a chunk, as a
  // full disk would.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 100500;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  c.Send(data, 100000, 102000);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::sigaction(SIGXFSZ, &old, nullptr);

  EXPECT_EQ(ReadFile(temp), data.substr(0, 100000)) << "cut back to the last whole chunk";
  c.Send(data, 102000, data.size());  // dropped: the file was closed at the fault
  EXPECT_EQ(ReadFile(temp).size(), 100000u);
  c.Over(0);
  EXPECT_FALSE(Exists(share + "/full.bin"));
  EXPECT_TRUE(TransLog().empty());

  ASSERT_EQ(c.Announce(data, "$DEFAULT$/full.bin").offset(), 100000u);
  c.Send(data, 100000, data.size());
  c.Over(0);
  EXPECT_EQ(ReadFile(share + "/full.bin"), data);
}

TEST_F(UploadTest, NewAnnouncementClosesEarlierSessionsOfTheTarget) {
  const std::string data = RandomData(50000, 18);
  Client c1(Origin::kLan, 161, 1), c2(Origin::kLan, 162, 2);
  ASSERT_EQ(c1.Announce(data, "$DEFAULT$/re.bin").offset(), 0u);
  c1.Send(data, 0, 10000);
  ASSERT_EQ(c2.Announce(data, "$DEFAULT$/re.bin").offset(), 10000u);
  EXPECT_EQ(SessionTable::Global().Size(), 1u);
  c1.Send(data, 10000, 20000);  // the old session is gone: dropped
  c1.Over(0);                   // not in the table: nothing happens
  c2.Send(data, 10000, data.size());
  c2.Over(0);
  EXPECT_EQ(ReadFile(share + "/re.bin"), data);
}

// Eight clients upload different content to one target at the same time: each gets its
// own temporary file, every finished one is published whole under its own name, and no
// temporary file stays behind once the sessions are over.
TEST_F(UploadTest, ClientsUploadingOtherContentToOneTargetEachGetTheirOwnFile) {
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::string> contents;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(Origin::kLan, 300 + i, 30 + i));
    contents.push_back(RandomData(20000 + i, 40 + i));
  }
  for (int i = 0; i < kClients; ++i) {
    Answer a = clients[i]->Announce(contents[i], "$DEFAULT$/same.bin");
    EXPECT_EQ(a.type(), MSG_REQ_UPLOAD_FILE_OK) << i;
    EXPECT_EQ(a.offset(), 0u) << i;
  }
  for (size_t from = 0; from < 20000; from += 5000)  // interleaved
    for (int i = 0; i < kClients; ++i) clients[i]->Send(contents[i], from, std::min(from + 5000, contents[i].size()));
  for (int i = 0; i < kClients - 1; ++i) {
    clients[i]->Send(contents[i], 20000, contents[i].size());
    clients[i]->Over(0);
  }
  clients[kClients - 1]->Over(1);  // the last ends unfinished: nothing of it stays
  EXPECT_EQ(SessionTable::Global().Size(), 0u);

  std::set<std::string> names = Names(share);
  EXPECT_EQ(names.size(), static_cast<size_t>(kClients - 1));
  std::set<std::string> published;
  for (const std::string& n : names) {
    EXPECT_EQ(n.find("kestyl.rename"), std::string::npos) << n;
    published.insert(ReadFile(share + "/" + n));
  }
  for (int i = 0; i < kClients - 1; ++i) EXPECT_EQ(published.count(contents[i]), 1u) << i;
}

// A session whose channel closes before its end deletes its temporary file when it has no
// journal (it could never be resumed); the journalled one stays for a resume.
TEST_F(UploadTest, ClosedChannelsLeaveOnlyResumableFiles) {
  Client first(Origin::kLan, 401, 1), second(Origin::kLan, 402, 2);
  const std::string a = RandomData(30000, 51), b = RandomData(30000, 52);
  ASSERT_EQ(first.Announce(a, "$DEFAULT$/gone.bin").offset(), 0u);
  ASSERT_EQ(second.Announce(b, "$DEFAULT$/gone.bin").offset(), 0u);
  first.Send(a, 0, 10000);
  second.Send(b, 0, 10000);
  SessionTable::Global().DropOwner(402);
  SessionTable::Global().DropOwner(401);
  EXPECT_EQ(Names(share), (std::set<std::string>{"gone.binkestyl.rename", "gone.binkestyl.renametmp"}));
  Client again(Origin::kLan, 403, 3);
  EXPECT_EQ(again.Announce(a, "$DEFAULT$/gone.bin").offset(), 10000u);
}

TEST_F(UploadTest, SessionsAreKeptApartByChannel) {
  const std::string a = RandomData(30000, 19), b = RandomData(30000, 20);
  Client c1(Origin::kLan, 171, 77), c2(Origin::kP2P, 172, 77);  // same session id
  ASSERT_EQ(c1.Announce(a, "$DEFAULT$/a.bin").offset(), 0u);
  ASSERT_EQ(c2.Announce(b, "$DEFAULT$/b.bin").offset(), 0u);
  c1.Send(a, 0, a.size());
  c2.Send(b, 0, b.size());
  c1.Over(0);
  c2.Over(0);
  EXPECT_EQ(ReadFile(share + "/a.bin"), a);
  EXPECT_EQ(ReadFile(share + "/b.bin"), b);
}

TEST_F(UploadTest, RelayedUploadTravelsThroughTheRelayPoll) {
  const std::string data = RandomData(20000, 21);
  RecordingChannel relay(Origin::kRelay, 181);
  // From the relay connection: peer id and MsgHead in front of the announcement.
  auto announce = AnnounceBody(static_cast<uint32_t>(data.size()), Fingerprint(data), "$DEFAULT$/relayed.bin");
  std::vector<uint8_t> body(64, 'A');
  body.resize(72);
  ks::net::EncodeMsgHead({static_cast<uint16_t>(8 + announce.size()), MSG_REQ_UPLOAD_FILE, 42}, body.data() + 64);
  body.insert(body.end(), announce.begin(), announce.end());
  Answer a;
  MsgHead head{static_cast<uint16_t>(8 + announce.size()), MSG_REQ_UPLOAD_FILE, 42};
  a.result = Call(ks::upload::ReqUpLoadFile, head, body, relay, &a.reply, /*direct=*/0);
  ASSERT_EQ(a.result, 0);
  ASSERT_EQ(a.offset(), 0u);
  EXPECT_EQ(a.word(), 42u);

  // Chunks and the end on the relay connection itself are ignored.
  Client onRelay(Origin::kRelay, 181, 42);
  EXPECT_EQ(onRelay.Chunk(data.substr(0, 1000), /*direct=*/0), 0);
  EXPECT_EQ(onRelay.Over(0, /*direct=*/0), 0);
  EXPECT_EQ(ReadFile(share + "/relayed.binkestyl.rename").size(), 0u);
  EXPECT_EQ(SessionTable::Global().Size(), 1u);

  Client poll(Origin::kRelayPoll, 182, 42);
  poll.Send(data, 0, data.size());
  poll.Over(0);
  EXPECT_EQ(ReadFile(share + "/relayed.bin"), data);
}

TEST_F(UploadTest, EmptyFileIsPublishedWithoutALogRow) {
  Client c(Origin::kLan, 191, 1);
  ASSERT_EQ(c.Upload("", "$DEFAULT$/empty.txt").offset(), 0u);
  EXPECT_TRUE(Exists(share + "/empty.txt"));
  EXPECT_EQ(Names(share), (std::set<std::string>{"empty.txt"}));
  EXPECT_TRUE(TransLog().empty());
}

TEST_F(UploadTest, MissingBodiesAreRefused) {
  RecordingChannel ch(Origin::kLan, 201);
  std::vector<uint8_t> reply;
  MsgHead head{8, MSG_REQ_UPLOAD_FILE, 1};
  EXPECT_EQ(Call(ks::upload::ReqUpLoadFile, head, {}, ch, &reply), 274);
  head.type = MSG_UPLOAD_FILE;
  EXPECT_EQ(Call(ks::upload::UpLoadFile, head, {}, ch, &reply), 274);
  head.type = MSG_OVER_UPLOAD_FILE;
  EXPECT_EQ(Call(ks::upload::OverUpLoadFile, head, {}, ch, &reply), 274);
  EXPECT_TRUE(reply.empty());
}

// Chunks, the end of the upload and the close of the connection racing each other: the
// file is closed once, and whatever is published is whole.
TEST_F(UploadTest, EndRacingChunksAndConnectionClose) {
  const std::string data = RandomData(200000, 22);
  for (int round = 0; round < 20; ++round) {
    fs::remove_all(share);
    fs::create_directory(share);
    Client c(Origin::kLan, 300 + round, 1);
    ASSERT_EQ(c.Announce(data, "$DEFAULT$/race.bin").offset(), 0u);
    std::thread sender([&] { c.Send(data, 0, data.size()); });
    std::thread closer([&] { SessionTable::Global().DropOwner(300 + round); });
    c.Over(0);
    sender.join();
    closer.join();
    if (Exists(share + "/race.bin")) {
      EXPECT_EQ(ReadFile(share + "/race.bin"), data);
    }
    EXPECT_EQ(SessionTable::Global().Size(), 0u);
  }
}

}  // namespace
