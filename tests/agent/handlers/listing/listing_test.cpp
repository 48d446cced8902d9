// Share listings called as the message server and the relay call them, on a temporary
// database with real folders.
#include "agent/handlers/listing/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>

#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"
#include "agent/util/util.h"
#include "tests/agent/handlers/mobile/handler_test_support.h"

namespace {

using namespace ks::test;
using ks::listing::GetAllSubFile;
using ks::listing::GetShareInfo;

Bytes ListRequest(const std::string& path, char flag) {
  Bytes b = BodyWithText(356, 1, path);
  b[256] = static_cast<uint8_t>(flag);
  return b;
}

uint32_t Little32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Package {
  uint32_t count;
  uint32_t total;
  std::vector<std::string> lines;
};

// Checks the fixed part of every package and splits its lines.
std::vector<Package> ParsePackages(const std::vector<Bytes>& messages, uint32_t word, bool networkOrder) {
  std::vector<Package> out;
  for (const Bytes& m : messages) {
    EXPECT_GE(m.size(), 20u);
    ks::net::MsgHead h = HeadOf(m);
    EXPECT_EQ(h.length, m.size());
    EXPECT_EQ(h.type, MSG_GET_ALL_SUB_FILE);
    EXPECT_EQ(h.sequence, word);
    EXPECT_EQ(m[16], '1');
    EXPECT_EQ(m[17] | m[18] | m[19], 0);
    Package p;
    p.count = ks::net::GetU32(m.data() + 8);
    p.total = networkOrder ? ks::net::GetU32(m.data() + 12) : Little32(m.data() + 12);
    std::string text(m.begin() + 20, m.end());
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find("\r\n", at);
      EXPECT_NE(end, std::string::npos);
      if (end == std::string::npos) break;
      p.lines.push_back(text.substr(at, end - at));
      at = end + 2;
    }
    EXPECT_EQ(p.lines.size(), p.count);
    out.push_back(p);
  }
  return out;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  size_t at = 0;
  for (;;) {
    size_t tab = line.find('\t', at);
    f.push_back(line.substr(at, tab - at));
    if (tab == std::string::npos) break;
    at = tab + 1;
  }
  return f;
}

bool IsEmptyAnswer(const Bytes& reply, uint32_t word) {
  if (reply.size() != 368) return false;
  ks::net::MsgHead h = HeadOf(reply);
  return h.length == 368 && h.type == MSG_GET_ALL_SUB_FILE && h.sequence == word &&
         std::all_of(reply.begin() + 8, reply.end(), [](uint8_t b) { return b == 0; });
}

class ListingTest : public AgentDbTest {
 protected:
  void MakeFiles(const std::string& folder, int n) {
    for (int i = 0; i < n; ++i) WriteFile(folder + "/f" + std::to_string(i), std::string(i, 'x'));
  }
  Call List(const std::string& path, char flag, RecordingChannel& conn, bool relayed = false) {
    return CallHandler(GetAllSubFile, MSG_GET_ALL_SUB_FILE, 0x4242, ListRequest(path, flag), &conn, relayed);
  }
};

TEST_F(ListingTest, PackagesOfFourAndTheTotalInBothByteOrders) {
  struct Case {
    int entries;
    char flag;
    std::vector<uint32_t> counts;
  } cases[] = {
      {8, '1', {4, 4}}, {9, '1', {4, 4, 1}}, {9, '0', {4, 4, 1}}, {3, 0, {3}}, {1, '1', {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.entries) + " entries, flag " + std::to_string(c.flag));
    std::string folder = share + "/d" + std::to_string(c.entries) + "_" + std::to_string(c.flag);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    MakeFiles(folder, c.entries);
    RecordingChannel conn;
    Call r = List(folder, c.flag, conn);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.reply.empty());
    auto packages = ParsePackages(conn.messages(), 0x4242, c.flag == '1');
    ASSERT_EQ(packages.size(), c.counts.size());
    for (size_t i = 0; i < packages.size(); ++i) {
      EXPECT_EQ(packages[i].count, c.counts[i]);
      EXPECT_EQ(packages[i].total, static_cast<uint32_t>(c.entries));
    }
  }
}

TEST_F(ListingTest, LinesFoldersFirstHiddenAndSystemEntriesAbsent) {
  ASSERT_EQ(::mkdir((share + "/zfolder").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((share + "/.hiddenfolder").c_str(), 0755), 0);
  WriteFile(share + "/afile.txt", "12345");
  WriteFile(share + "/.hidden", "x");
  WriteFile(share + "/part.kestyl.rename", "x");
  ASSERT_EQ(::mkfifo((share + "/pipe").c_str(), 0644), 0);
  WriteFile(share + "/bad\nname", "x");  // a control character: left out
  MakeSparseFile(share + "/big.bin", 3ull << 30);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (share + "/afile.txt").c_str(), times, 0), 0);

  RecordingChannel conn;
  Call r = List(share, '1', conn);
  EXPECT_EQ(r.result, 0);
  auto packages = ParsePackages(conn.messages(), 0x4242, true);
  std::vector<std::string> lines;
  for (auto& p : packages) lines.insert(lines.end(), p.lines.begin(), p.lines.end());
  ASSERT_EQ(lines.size(), 3u) << "one folder, two visible files";
  for (auto& p : packages) EXPECT_EQ(p.total, 3u);

  auto folder = Fields(lines[0]);
  ASSERT_EQ(folder.size(), 4u);
  EXPECT_EQ(folder[1], "0");
  EXPECT_EQ(folder[2], "0");
  EXPECT_EQ(folder[3], "zfolder");
  std::map<std::string, std::vector<std::string>> files;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto f = Fields(lines[i]);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[1], "1");
    files[f[3]] = f;
  }
  ASSERT_EQ(files.count("afile.txt"), 1u);
  EXPECT_EQ(files["afile.txt"][2], "5");
  EXPECT_EQ(files["afile.txt"][0], TimeToStr(1600000000));
  ASSERT_EQ(files.count("big.bin"), 1u);
  EXPECT_EQ(files["big.bin"][2], "3221225472") << "64-bit sizes in full";
}

TEST_F(ListingTest, EmptyFolderAndRefusalsAnswerTheEmptyAnswer) {
  ASSERT_EQ(::mkdir((share + "/empty").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((pics + "/holiday").c_str(), 0755), 0);
  WriteFile(pics + "/holiday/p.jpg", "jpg");
  struct Case {
    const char* name;
    std::string path;
    int result;
    size_t packages;
  } cases[] = {
      {"empty folder", share + "/empty", 0, 0},
      {"missing folder", share + "/nothere", 4117, 0},
      {"outside every share", outside, 4118, 0},
      {"climbing out with ..", share + "/../outside", 4118, 0},
      {"unset default folder", "$DEFAULT$/x", 4123, 0},
      {"set default folder by its virtual name", "$DEFAULT_PIC$\\holiday", 0, 1},
      {"a file, not a folder", pics + "/holiday/p.jpg", 4117, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingChannel conn;
    Call r = List(c.path, '1', conn);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(conn.messages().size(), c.packages);
    if (c.packages == 0) {
      EXPECT_TRUE(IsEmptyAnswer(r.reply, 0x4242));
    }
  }
}

TEST_F(ListingTest, SiblingFolderIsNotInsideTheShare) {
  std::string sibling = share + "2";
  ASSERT_EQ(::mkdir(sibling.c_str(), 0755), 0);
  WriteFile(sibling + "/secret", "s");
  RecordingChannel conn;
  Call r = List(sibling, '1', conn);
  EXPECT_EQ(r.result, 4118);
  EXPECT_TRUE(conn.messages().empty());
}

TEST_F(ListingTest, ShortBodyReadsAsZeroFilled) {
  // Only "$DEFAULT_PIC$" arrives: no terminator, no flag byte.
  std::string path = "$DEFAULT_PIC$";
  Bytes body = BodyWithText(1 + path.size(), 1, path);
  WriteFile(pics + "/one", "1");
  RecordingChannel conn;
  Call r = CallHandler(GetAllSubFile, MSG_GET_ALL_SUB_FILE, 9, body, &conn);
  EXPECT_EQ(r.result, 0);
  auto packages = ParsePackages(conn.messages(), 9, false);
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0].total, 1u);
}

TEST_F(ListingTest, NoBodyGives274) {
  RecordingChannel conn;
  Call r = CallHandler(GetAllSubFile, MSG_GET_ALL_SUB_FILE, 9, {}, &conn, false, "", true);
  EXPECT_EQ(r.result, 274);
  EXPECT_TRUE(conn.messages().empty());
}

TEST_F(ListingTest, RelayedRequestReadsAfterThePrefix) {
  MakeFiles(share, 5);
  RecordingChannel relay(ks::net::Origin::kRelay, 1);
  ks::state::SetDeviceId("pc-id");
  Call r = List(share, '1', relay, true);
  EXPECT_EQ(r.result, 0);
  // Each package is wrapped for the relay: ServerHead {length, 370, 0x1009, own id} and the
  // id that preceded the request (the streamed answers' peer).
  std::vector<Bytes> inner;
  for (const auto& m : relay.messages()) {
    ASSERT_GT(m.size(), 134u);
    EXPECT_EQ(ks::net::GetU16(m.data()), m.size());
    EXPECT_EQ(ks::net::GetU16(m.data() + 2), 370);
    EXPECT_EQ(ks::net::GetU16(m.data() + 4), SRV_RELAY_TO_PEER);
    EXPECT_EQ(ks::net::FieldText(m.data() + 6, 64), "pc-id");
    EXPECT_EQ(ks::net::FieldText(m.data() + 70, 64), "peer-A");
    inner.emplace_back(m.begin() + 134, m.end());
  }
  auto packages = ParsePackages(inner, 0x4242, true);
  ASSERT_EQ(packages.size(), 2u);
  RecordingChannel relay2(ks::net::Origin::kRelay, 1);
  r = List(outside, '1', relay2, true);
  EXPECT_EQ(r.result, 4118);
  EXPECT_TRUE(IsEmptyAnswer(r.reply, 0x4242)) << "errors go back as the reply";
}

TEST_F(ListingTest, FailedPackageAllocationAbortsBeforeAnythingIsSent) {
  MakeFiles(share, 9);
  ks::listing::testing::FailPackageAllocationAt(1);
  RecordingChannel conn;
  Call r = List(share, '1', conn);
  ks::listing::testing::FailPackageAllocationAt(-1);
  EXPECT_EQ(r.result, 273);
  EXPECT_TRUE(conn.messages().empty()) << "no half listing that leaves the client waiting";
  EXPECT_TRUE(IsEmptyAnswer(r.reply, 0x4242));
}

TEST_F(ListingTest, ClosedChannelEndsTheListing) {
  MakeFiles(share, 12);
  RecordingChannel conn;
  int written = 0;
  conn.onWrite = [&](const Bytes&) { return ++written < 2; };
  Call r = List(share, '1', conn);
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(conn.messages().size(), 1u);
}

class ShareInfoTest : public AgentDbTest {};

TEST_F(ShareInfoTest, FoldersAsLinesWithTheirCount) {
  RecordingChannel conn;
  ASSERT_EQ(SetShareInfo({}), 0);
  Call r = CallHandler(GetShareInfo, MSG_GET_SHARE_INFO, 0x55, {}, &conn, false, "", true);
  EXPECT_EQ(r.result, 0);
  ASSERT_EQ(r.reply.size(), 20u);
  EXPECT_EQ(HeadOf(r.reply).length, 20);
  EXPECT_EQ(HeadOf(r.reply).type, MSG_GET_SHARE_INFO);
  EXPECT_EQ(HeadOf(r.reply).sequence, 0x55u);
  EXPECT_TRUE(std::all_of(r.reply.begin() + 8, r.reply.end(), [](uint8_t b) { return b == 0; }));

  ASSERT_EQ(SetShareInfo({"/data/photos", "/data/m\xC3\xBCsic"}), 0);
  r = CallHandler(GetShareInfo, MSG_GET_SHARE_INFO, 0x56, {}, &conn);
  std::string text = "/data/photos\r\n/data/m\xC3\xBCsic\r\n";
  ASSERT_EQ(r.reply.size(), 20 + text.size());
  EXPECT_EQ(HeadOf(r.reply).length, 20 + text.size());
  EXPECT_EQ(ks::net::GetU16(r.reply.data() + 8), 2);
  EXPECT_EQ(std::string(r.reply.begin() + 20, r.reply.end()), text);
  EXPECT_TRUE(conn.messages().empty());
}

TEST_F(ShareInfoTest, AListPastTheMessageLimitIsCutAtALine) {
  std::vector<std::string> paths;
  for (int i = 0; i < 300; ++i) paths.push_back("/" + std::string(250, 'a' + i % 26) + std::to_string(i));
  ASSERT_EQ(SetShareInfo(paths), 0);
  RecordingChannel conn;
  Call r = CallHandler(GetShareInfo, MSG_GET_SHARE_INFO, 1, {}, &conn);
  ASSERT_LE(r.reply.size(), 65535u);
  EXPECT_EQ(HeadOf(r.reply).length, r.reply.size());
  std::string text(r.reply.begin() + 20, r.reply.end());
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(ks::net::GetU16(r.reply.data() + 8), lines);
  EXPECT_GT(lines, 200u);
  EXPECT_LT(lines, 300u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
