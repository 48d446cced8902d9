// Download handlers called as the message server, the relay and UDT peers call them, on a
// temporary database with real (and sparse) files.
#include "agent/handlers/download/download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/core/transfer/transfer.h"
#include "agent/net/proto/proto.h"
#include "common/md5/md5.h"
#include "tests/agent/handlers/mobile/handler_test_support.h"

namespace {

using namespace ks::test;
using namespace ks::download;

// Follows MSG_DOWNLOAD_DATA packages as a client does: checks each head and that the
// numbers follow each other, and keeps the bytes (or only counts them). A write may carry
// several whole packages (byte streams); none may be cut.
struct Receiver {
  explicit Receiver(RecordingChannel& conn, uint32_t word, bool keepBytes = true) : keepBytes(keepBytes) {
    conn.keep = false;
    conn.onWrite = [this, word](const Bytes& m) {
      std::vector<std::pair<size_t, size_t>> packages;  // offset, length
      for (size_t at = 0; at < m.size();) {
        size_t length = m.size() - at >= 8 ? HeadOf(Bytes(m.begin() + at, m.begin() + at + 8)).length : 0;
        if (length < 20 || length > 1020 || length > m.size() - at) {
          wellFormed = false;
          break;
        }
        packages.emplace_back(at, length);
        at += length;
      }
      if (onPackage)
        for (size_t k = 0; k < packages.size(); ++k)
          if (!onPackage(this->packages + k + 1)) return false;
      ++writes;
      maxPerWrite = std::max(maxPerWrite, packages.size());
      for (auto [at, length] : packages) Take(m.data() + at, length, word);
      return true;
    };
  }
  void Take(const uint8_t* m, size_t length, uint32_t word) {
    ks::net::MsgHead h = ks::net::DecodeMsgHead(m);
    bool ok = h.type == MSG_DOWNLOAD_DATA && h.sequence == word && ks::net::GetU32(m + 12) == 0 &&
              ks::net::GetU32(m + 16) == 0;
    uint32_t number = ks::net::GetU32(m + 8);
    if (packages == 0) first = number;
    else if (number != last + 1) ok = false;
    if (packages > 0 && lastSize != 1000) ok = false;  // only the last package may be short
    wellFormed = wellFormed && ok;
    last = number;
    lastSize = length - 20;
    ++packages;
    byteCount += length - 20;
    if (keepBytes) bytes.append(m + 20, m + length);
    else allZero = allZero && std::all_of(m + 20, m + length, [](uint8_t b) { return b == 0; });
  }
  bool keepBytes;
  bool wellFormed = true;
  bool allZero = true;
  uint32_t first = 0, last = 0;
  size_t lastSize = 0;
  size_t packages = 0;
  size_t writes = 0;
  size_t maxPerWrite = 0;
  uint64_t byteCount = 0;
  std::string bytes;
  std::function<bool(size_t)> onPackage;  // sees the n-th package first; false: the client is gone
};

std::string Pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 1000) & 0xFF);
  return s;
}

Bytes AllowBody(uint32_t offset) {
  Bytes b(4);
  ks::net::PutU32(b.data(), offset);
  return b;
}

int TransRows() { return GlobalDb().execScalar("select count(*) from ks_trans"); }

class DownloadTest : public AgentDbTest {
 protected:
  Call Request(const std::string& path, uint32_t word, ks::net::Channel& conn, bool relayed = false) {
    return CallHandler(ReqDownLoadFile, MSG_REQ_DOWNLOAD_FILE, word, BodyWithText(356, 1, path), &conn, relayed);
  }
  Call Allow(uint32_t word, uint32_t offset, ks::net::Channel& conn, bool relayed = false) {
    return CallHandler(AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE, word, AllowBody(offset), &conn, relayed);
  }
  // Expects the 64-byte OK answer; returns its size and package count.
  std::pair<uint32_t, uint32_t> ExpectOk(const Call& c, uint32_t word, const std::string& file) {
    EXPECT_EQ(c.result, 0);
    if (c.reply.size() != 64) {
      ADD_FAILURE() << "OK answer expected, got " << c.reply.size() << " bytes";
      return {0, 0};
    }
    ks::net::MsgHead h = HeadOf(c.reply);
    EXPECT_EQ(h.length, 64);
    EXPECT_EQ(h.type, MSG_REQ_DOWNLOAD_FILE_OK);
    EXPECT_EQ(h.sequence, word);
    MD5 md5(file);
    EXPECT_TRUE(std::equal(c.reply.begin() + 16, c.reply.begin() + 32, md5.digestBytes().begin()));
    EXPECT_TRUE(std::all_of(c.reply.begin() + 32, c.reply.end(), [](uint8_t b) { return b == 0; }));
    return {ks::net::GetU32(c.reply.data() + 8), ks::net::GetU32(c.reply.data() + 12)};
  }
  // Expects the 266-byte error answer with `code`.
  void ExpectError(const Call& c, uint32_t word, uint16_t code) {
    ASSERT_EQ(c.reply.size(), 266u);
    ks::net::MsgHead h = HeadOf(c.reply);
    EXPECT_EQ(h.length, 266);
    EXPECT_EQ(h.type, MSG_DOWNLOAD_ERROR);
    EXPECT_EQ(h.sequence, word);
    EXPECT_EQ(ks::net::GetU16(c.reply.data() + 8), code);
    EXPECT_EQ(c.reply[10], '0');
    EXPECT_TRUE(std::all_of(c.reply.begin() + 11, c.reply.end(), [](uint8_t b) { return b == 0; }));
  }
  // The status character of a MSG_DOWNLOAD_OVER reply, 0 when there is none.
  char OverStatus(const Call& c, uint32_t word) {
    if (c.reply.empty()) return 0;
    EXPECT_EQ(c.reply.size(), 12u);
    ks::net::MsgHead h = HeadOf(c.reply);
    EXPECT_EQ(h.length, 12);
    EXPECT_EQ(h.type, MSG_DOWNLOAD_OVER);
    EXPECT_EQ(h.sequence, word);
    EXPECT_EQ(c.reply[9] | c.reply[10] | c.reply[11], 0);
    return static_cast<char>(c.reply[8]);
  }
};

TEST_F(DownloadTest, SizesOffsetsAndPackageNumbers) {
  struct Case {
    size_t size;
    uint32_t offset;
    uint32_t packageCount;  // announced
    size_t packages;        // sent
    uint32_t firstNumber;
    char status;
    int rows;  // transfer-log rows written
  } cases[] = {
      {0, 0, 0, 0, 0, '0', 0},       {1000, 0, 1, 1, 1, '0', 1},    {1001, 0, 2, 2, 1, '0', 1},
      {5000, 2500, 5, 3, 3, '0', 1}, {1000, 1000, 1, 0, 0, '0', 1}, {1000, 1001, 1, 0, 0, '1', 0},
      {2999, 999, 3, 2, 1, '0', 1},
  };
  uint32_t word = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + " from " + std::to_string(c.offset));
    std::string file = share + "/f" + std::to_string(++word);
    std::string content = Pattern(c.size);
    WriteFile(file, content);
    RecordingChannel conn;
    auto [size, count] = ExpectOk(Request(file, word, conn), word, file);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(count, c.packageCount);
    int rowsBefore = TransRows();
    Receiver rx(conn, word);
    Call allow = Allow(word, c.offset, conn);
    EXPECT_EQ(OverStatus(allow, word), c.status);
    EXPECT_TRUE(rx.wellFormed);
    EXPECT_EQ(rx.packages, c.packages);
    if (c.packages) {
      EXPECT_EQ(rx.first, c.firstNumber);
    }
    if (c.status == '0') {
      EXPECT_EQ(rx.bytes, content.substr(c.offset));
    }
    EXPECT_EQ(TransRows() - rowsBefore, c.rows);
    EXPECT_EQ(ks::transfer::DownloadCount(), 0);
    EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 0u) << "the allow takes the session";
  }
}

TEST_F(DownloadTest, TheCapAt500MiB) {
  std::string atCap = share + "/at_cap", overCap = share + "/over_cap";
  MakeSparseFile(atCap, 524288000);
  MakeSparseFile(overCap, 524288001);
  RecordingChannel conn;
  auto [size, count] = ExpectOk(Request(atCap, 1, conn), 1, atCap);
  EXPECT_EQ(size, 524288000u);
  EXPECT_EQ(count, 524288u);
  Call refused = Request(overCap, 2, conn);
  EXPECT_EQ(refused.result, -1);
  ExpectError(refused, 2, 4120);

  // The tail of the largest file: package numbers far out are right.
  Receiver rx(conn, 1, false);
  Call allow = Allow(1, 524288000 - 1500, conn);
  EXPECT_EQ(OverStatus(allow, 1), '0');
  EXPECT_TRUE(rx.wellFormed);
  EXPECT_EQ(rx.first, 524287u);
  EXPECT_EQ(rx.last, 524288u);
  EXPECT_EQ(rx.byteCount, 1500u);
  EXPECT_TRUE(rx.allZero);
}

TEST_F(DownloadTest, RefusedRequests) {
  ASSERT_EQ(::mkdir((share + "/folder").c_str(), 0755), 0);
  WriteFile(outside + "/secret", "s");
  ASSERT_EQ(::symlink((outside + "/secret").c_str(), (share + "/link").c_str()), 0);
  ASSERT_EQ(::mkdir((share + "2").c_str(), 0755), 0);
  WriteFile(share + "2/sibling", "s");
  struct Case {
    const char* name;
    std::string path;
    uint16_t code;
    int result;
  } cases[] = {
      {"missing file", share + "/nothere", 4119, -1},
      {"missing folder", share + "/nodir/file", 4119, -1},
      {"a folder", share + "/folder", 4119, -1},
      {"outside every share", outside + "/secret", 4118, 4118},
      {"climbing out with ..", share + "/../outside/secret", 4118, 4118},
      {"backslash climb", "$DEFAULT_PIC$\\..\\outside\\secret", 4118, 4118},
      {"symlink leading out", share + "/link", 4118, 4118},
      {"sibling folder", share + "2/sibling", 4118, 4118},
      {"unset default folder", "$DEFAULT$/x", 4118, 4123},
      {"empty path", "", 4118, 4123},
  };
  uint32_t word = 500;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingChannel conn;
    Call r = Request(c.path, ++word, conn);
    EXPECT_EQ(r.result, c.result);
    ExpectError(r, word, c.code);
    EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 0u);
  }
}

TEST_F(DownloadTest, VirtualNamesAndBackslashesReachTheFile) {
  ASSERT_EQ(::mkdir((pics + "/trip").c_str(), 0755), 0);
  WriteFile(pics + "/trip/a.jpg", "abc");
  RecordingChannel conn;
  auto [size, count] = ExpectOk(Request("$DEFAULT_PIC$\\trip\\a.jpg", 3, conn), 3, pics + "/trip/a.jpg");
  EXPECT_EQ(size, 3u);
  Receiver rx(conn, 3);
  EXPECT_EQ(OverStatus(Allow(3, 0, conn), 3), '0');
  EXPECT_EQ(rx.bytes, "abc");
  auto rows = std::vector<TransLogRecord>();
  ASSERT_EQ(GetTransLog(rows), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].type, 1);
  EXPECT_EQ(rows[0].size, 3);
  EXPECT_EQ(rows[0].file, pics + "/trip/a.jpg") << "the normalised local path";
}

// The file announced is the file sent: swapped between request and allow (for a link to
// outside, or for another file of the share), the allow ends "1" and sends nothing.
TEST_F(DownloadTest, FileSwappedBeforeTheAllowIsNotSent) {
  WriteFile(outside + "/secret", std::string(3000, 's'));
  WriteFile(share + "/other", std::string(3000, 'o'));
  struct Case {
    const char* name;
    std::function<void(const std::string&)> swap;
  } cases[] = {
      {"link to outside", [&](const std::string& f) {
         ASSERT_EQ(::unlink(f.c_str()), 0);
         ASSERT_EQ(::symlink((outside + "/secret").c_str(), f.c_str()), 0);
       }},
      {"another file of the share", [&](const std::string& f) {
         ASSERT_EQ(::rename((share + "/other").c_str(), f.c_str()), 0);
       }},
  };
  uint32_t word = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = share + "/asked";
    WriteFile(file, std::string(3000, 'a'));
    RecordingChannel conn;
    ++word;
    ExpectOk(Request(file, word, conn), word, file);
    c.swap(file);
    Call allow = Allow(word, 0, conn);
    EXPECT_EQ(OverStatus(allow, word), '1');
    EXPECT_EQ(conn.writes(), 0u) << "no package of the swapped-in file";
    ::unlink(file.c_str());
  }
}

TEST_F(DownloadTest, AllowWithoutSessionSendsNothing) {
  RecordingChannel conn;
  Call allow = Allow(77, 0, conn);
  EXPECT_TRUE(allow.reply.empty());
  EXPECT_EQ(conn.writes(), 0u);
}

TEST_F(DownloadTest, RefuseDropsTheSessionOnlyOfItsKind) {
  WriteFile(share + "/f", "data");
  RecordingChannel conn;
  ExpectOk(Request(share + "/f", 8, conn), 8, share + "/f");
  CallHandler(RefuseDownLoadFile, MSG_REFUSE_DOWNLOAD_FILE, 8, {}, &conn, false, "", true);
  Call allow = Allow(8, 0, conn);
  EXPECT_TRUE(allow.reply.empty());
  EXPECT_EQ(conn.writes(), 0u);

  // An upload session of the same client and id is not the refuse's business.
  auto upload = std::make_shared<ks::transfer::Session>();
  upload->kind = ks::transfer::Kind::kUpload;
  upload->owner = conn.Id();
  upload->id = 9;
  ks::transfer::SessionTable::Global().Put(upload);
  CallHandler(RefuseDownLoadFile, MSG_REFUSE_DOWNLOAD_FILE, 9, {}, &conn, false, "", true);
  Call allowUpload = Allow(9, 0, conn);
  EXPECT_TRUE(allowUpload.reply.empty());
  EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 1u);
}

TEST_F(DownloadTest, TwoClientsWithTheSameIdGetTheirOwnFiles) {
  WriteFile(share + "/a", "first client");
  WriteFile(share + "/b", "second client");
  RecordingChannel one(ks::net::Origin::kLan, 1), two(ks::net::Origin::kLan, 2);
  ExpectOk(Request(share + "/a", 5, one), 5, share + "/a");
  ExpectOk(Request(share + "/b", 5, two), 5, share + "/b");
  Receiver rxTwo(two, 5), rxOne(one, 5);
  EXPECT_EQ(OverStatus(Allow(5, 0, two), 5), '0');
  EXPECT_EQ(OverStatus(Allow(5, 0, one), 5), '0');
  EXPECT_EQ(rxOne.bytes, "first client");
  EXPECT_EQ(rxTwo.bytes, "second client");
}

TEST_F(DownloadTest, ANewRequestWithTheSameIdReplacesTheSession) {
  WriteFile(share + "/a", "old");
  WriteFile(share + "/b", "new");
  RecordingChannel conn;
  ExpectOk(Request(share + "/a", 5, conn), 5, share + "/a");
  ExpectOk(Request(share + "/b", 5, conn), 5, share + "/b");
  EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 1u);
  Receiver rx(conn, 5);
  EXPECT_EQ(OverStatus(Allow(5, 0, conn), 5), '0');
  EXPECT_EQ(rx.bytes, "new");
}

TEST_F(DownloadTest, FileGoneOrCutShortEndsWithStatus1) {
  WriteFile(share + "/gone", "soon gone");
  RecordingChannel conn;
  ExpectOk(Request(share + "/gone", 1, conn), 1, share + "/gone");
  ASSERT_EQ(::unlink((share + "/gone").c_str()), 0);
  Call allow = Allow(1, 0, conn);
  EXPECT_EQ(OverStatus(allow, 1), '1');
  EXPECT_EQ(conn.writes(), 0u);

  // Replaced by a FIFO meanwhile: refused without blocking on it.
  WriteFile(share + "/fifo", "x");
  ExpectOk(Request(share + "/fifo", 2, conn), 2, share + "/fifo");
  ASSERT_EQ(::unlink((share + "/fifo").c_str()), 0);
  ASSERT_EQ(::mkfifo((share + "/fifo").c_str(), 0644), 0);
  EXPECT_EQ(OverStatus(Allow(2, 0, conn), 2), '1');

  // Cut short while being sent.
  std::string big = share + "/shrinks";
  WriteFile(big, Pattern(600000));
  ExpectOk(Request(big, 3, conn), 3, big);
  Receiver rx(conn, 3);
  rx.onPackage = [&](size_t n) {
    if (n == 1) {
      EXPECT_EQ(::truncate(big.c_str(), 1000), 0);
    }
    return true;
  };
  int rows = TransRows();
  EXPECT_EQ(OverStatus(Allow(3, 0, conn), 3), '1');
  EXPECT_TRUE(rx.wellFormed);
  EXPECT_LT(rx.byteCount, 600000u);
  EXPECT_EQ(TransRows(), rows) << "no log row for a failed download";
}

TEST_F(DownloadTest, AFileThatGrowsIsSentAtItsSizeWhenAllowed) {
  std::string f = share + "/grows";
  WriteFile(f, Pattern(3000));
  RecordingChannel conn;
  ExpectOk(Request(f, 4, conn), 4, f);
  Receiver rx(conn, 4);
  rx.onPackage = [&](size_t) {
    std::FILE* out = std::fopen(f.c_str(), "ab");
    std::fwrite("more", 1, 4, out);
    std::fclose(out);
    return true;
  };
  EXPECT_EQ(OverStatus(Allow(4, 0, conn), 4), '0');
  EXPECT_EQ(rx.byteCount, 3000u);
}

TEST_F(DownloadTest, ClientGoneMidDownloadReleasesTheCounter) {
  std::string f = share + "/big";
  MakeSparseFile(f, 5000000);
  RecordingChannel conn;
  ExpectOk(Request(f, 6, conn), 6, f);
  Receiver rx(conn, 6, false);
  int countDuring = -1;
  rx.onPackage = [&](size_t n) {
    if (n == 10) countDuring = ks::transfer::DownloadCount();
    return n < 300;  // the write holding the 300th package finds the peer gone
  };
  int rows = TransRows();
  Call allow = Allow(6, 0, conn);
  EXPECT_EQ(allow.result, -1);
  EXPECT_TRUE(allow.reply.empty()) << "nobody to tell";
  EXPECT_EQ(countDuring, 1);
  EXPECT_EQ(ks::transfer::DownloadCount(), 0);
  EXPECT_GT(rx.packages, 0u);
  EXPECT_LT(rx.packages, 300u);
  EXPECT_EQ(TransRows(), rows);
}

TEST_F(DownloadTest, ShortAndMissingBodies) {
  WriteFile(share + "/x", "x");
  RecordingChannel conn;
  Call noBody = CallHandler(ReqDownLoadFile, MSG_REQ_DOWNLOAD_FILE, 1, {}, &conn, false, "", true);
  EXPECT_EQ(noBody.result, 274);
  EXPECT_TRUE(noBody.reply.empty());
  Call noAllowBody = CallHandler(AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE, 1, {}, &conn, false, "", true);
  EXPECT_EQ(noAllowBody.result, 274);

  // A request body that ends right after the path (no NUL): read within the bytes received.
  std::string path = share + "/x";
  Bytes shortBody = BodyWithText(1 + path.size(), 1, path);
  Call r = CallHandler(ReqDownLoadFile, MSG_REQ_DOWNLOAD_FILE, 2, shortBody, &conn);
  ExpectOk(r, 2, path);
  // A two-byte allow body: the missing bytes read as zero, offset 0.
  Receiver rx(conn, 2);
  Call allow = CallHandler(AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE, 2, Bytes{0, 0}, &conn);
  EXPECT_EQ(OverStatus(allow, 2), '0');
  EXPECT_EQ(rx.bytes, "x");
}

// A byte stream gets each file read's packages (256) in one write; the last one is short.
TEST_F(DownloadTest, ByteStreamsCarrySeveralWholePackagesPerWrite) {
  std::string f = share + "/stream";
  WriteFile(f, Pattern(600500));
  RecordingChannel conn;
  ExpectOk(Request(f, 14, conn), 14, f);
  Receiver rx(conn, 14);
  EXPECT_EQ(OverStatus(Allow(14, 0, conn), 14), '0');
  EXPECT_TRUE(rx.wellFormed);
  EXPECT_EQ(rx.packages, 601u);
  EXPECT_EQ(rx.bytes, Pattern(600500));
  EXPECT_EQ(rx.maxPerWrite, 256u);
  EXPECT_EQ(rx.writes, 3u);
}

TEST_F(DownloadTest, UdtRequestsUseTheirChannel) {
  WriteFile(share + "/u", Pattern(1500));
  RecordingChannel peer(ks::net::Origin::kP2P, 31);
  Bytes body = BodyWithText(356, 1, share + "/u");
  ks::net::MsgHead head{static_cast<uint16_t>(8 + body.size()), MSG_REQ_DOWNLOAD_FILE, 12};
  Bytes reply;
  int udt = 5, direct = 1;
  ASSERT_EQ(ReqDownLoadFile(body.data(), body.size(), &head, &peer, &reply, &udt, &direct), 0);
  Receiver rx(peer, 12);
  Bytes allow = AllowBody(0);
  head = {12, MSG_ALLOW_DOWNLOAD_FILE, 12};
  reply.clear();
  EXPECT_EQ(AllowDownLoadFile(allow.data(), allow.size(), &head, &peer, &reply, &udt, &direct), 0);
  EXPECT_EQ(rx.bytes, Pattern(1500));
  EXPECT_EQ(rx.writes, 2u) << "a UDT message per package";
  EXPECT_EQ(rx.maxPerWrite, 1u);
  ASSERT_EQ(reply.size(), 12u);
  EXPECT_EQ(reply[8], '0');
}

// Stands in for the relay module's starter.
std::atomic<int> g_relayedStarts{0};
RelayedDownloadJob g_lastJob;
int RecordRelayedStart(const RelayedDownloadJob& job) {
  g_lastJob = job;
  ++g_relayedStarts;
  return 0;
}

TEST_F(DownloadTest, RelayedRequestsAndAllows) {
  WriteFile(share + "/r", "relayed");
  RecordingChannel relay(ks::net::Origin::kRelay, 40);
  Call req = Request(share + "/r", 21, relay, true);
  ExpectOk(req, 21, share + "/r");
  EXPECT_EQ(relay.writes(), 0u) << "the answer goes back as the reply";
  ASSERT_NE(ks::transfer::SessionTable::Global().Find(ks::transfer::kRelayOwner, 21, ks::transfer::Kind::kDownload), nullptr);

  // Without the relay's starter nothing is sent and the session does not linger.
  SetRelayedDownloadStarter(nullptr);
  Call allow = Allow(21, 2500, relay, true);
  EXPECT_TRUE(allow.reply.empty());
  EXPECT_EQ(relay.writes(), 0u);
  EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 0u);

  ExpectOk(Request(share + "/r", 22, relay, true), 22, share + "/r");
  SetRelayedDownloadStarter(&RecordRelayedStart);
  g_relayedStarts = 0;
  allow = CallHandler(AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE, 22, AllowBody(2500), &relay, true, "client-B");
  SetRelayedDownloadStarter(nullptr);
  EXPECT_EQ(allow.result, 0);
  EXPECT_TRUE(allow.reply.empty());
  EXPECT_EQ(g_relayedStarts, 1);
  EXPECT_EQ(g_lastJob.sessionId, 22u);
  EXPECT_EQ(g_lastJob.startOffset, 2500u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_lastJob.peerId)), "client-B");
  EXPECT_NE(ks::transfer::SessionTable::Global().Find(ks::transfer::kRelayOwner, 22, ks::transfer::Kind::kDownload), nullptr)
      << "the relayed job takes the session itself";
}

TEST_F(DownloadTest, RelayPollAllowHasNoChannelToSendOn) {
  WriteFile(share + "/p", "poll");
  RecordingChannel poll(ks::net::Origin::kRelayPoll, 0);
  ExpectOk(Request(share + "/p", 30, poll), 30, share + "/p");
  Call allow = Allow(30, 0, poll);
  EXPECT_TRUE(allow.reply.empty());
  EXPECT_EQ(poll.writes(), 0u);
  EXPECT_EQ(ks::transfer::SessionTable::Global().Size(), 0u);
}

TEST(StopDownLoad, AnswersAfterTheWaitAndLeavesTheListEmpty) {
  RecordingChannel conn;
  auto start = std::chrono::steady_clock::now();
  Call c = CallHandler(StopDownLoad, MSG_STOP_DOWNLOAD, 33, {}, &conn, false, "", true);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(c.result, 0);
  ASSERT_EQ(c.reply.size(), 9u);
  EXPECT_EQ(HeadOf(c.reply).length, 9);
  EXPECT_EQ(HeadOf(c.reply).type, MSG_STOP_DOWNLOAD);
  EXPECT_EQ(HeadOf(c.reply).sequence, 33u);
  EXPECT_EQ(c.reply[8], '0');
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_FALSE(ks::transfer::HasStopRequest(33));
}

TEST(StopDownLoad, ARelayedDownloadTakesTheRequest) {
  std::atomic<bool> taken{false};
  std::thread sender([&] {
    for (int i = 0; i < 200 && !taken; ++i) {
      if (ks::transfer::TakeStopRequest(34)) taken = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  RecordingChannel conn;
  Call c = CallHandler(StopDownLoad, MSG_STOP_DOWNLOAD, 34, {}, &conn, false, "", true);
  sender.join();
  EXPECT_TRUE(taken);
  ASSERT_EQ(c.reply.size(), 9u);
  EXPECT_FALSE(ks::transfer::HasStopRequest(34));
}

TEST(StopDownLoad, WordZeroAnswersAtOnce) {
  RecordingChannel conn;
  Call c = CallHandler(StopDownLoad, MSG_STOP_DOWNLOAD, 0, {}, &conn, false, "", true);
  ASSERT_EQ(c.reply.size(), 9u);
  EXPECT_EQ(c.reply[8], '0');
  EXPECT_FALSE(ks::transfer::HasStopRequest(0));
}

}  // namespace
