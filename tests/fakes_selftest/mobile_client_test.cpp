// FakeMobileClient against tiny scripted raw "agents".
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <vector>

#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/test_support.h"
#include "tests/fakes_selftest/raw_peer.h"

namespace ks::fake {
namespace {

using namespace selftest;

std::string Content(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 7 + i / 1000) & 0xFF));
  return s;
}

std::unique_ptr<FakeMobileClient> Connect(const RawServer& agent, const std::string& bind_ip = "") {
  auto c = FakeMobileClient::ConnectTcp(agent.port(), bind_ip);
  EXPECT_NE(nullptr, c);
  c->set_reply_timeout_ms(3000);
  return c;
}

// --- downloads -------------------------------------------------------------------------------

struct DownloadScript {
  std::string content;
  uint32_t session = 0;
  int package_count_delta = 0;                            // announced count off by this much
  std::string announced_fp;                               // 16 bytes; the content's own when empty
  std::function<void(std::vector<std::string>&)> tamper;  // on the package messages
  char over = '0';
};

std::string Package(uint32_t session, uint32_t number, const std::string& data) {
  return Head(static_cast<uint16_t>(20 + data.size()), 0x1002, session) + Be32(number) + Be32(0) +
         Be32(0) + data;
}

// Serves one download the way the agent does, checking what the client sends.
void ServeDownload(int fd, const DownloadScript& s) {
  uint16_t type;
  uint32_t word;
  std::string body;
  ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
  EXPECT_EQ(4, type);
  EXPECT_EQ(s.session, word);
  ASSERT_EQ(356u, body.size());
  EXPECT_EQ('\0', body[0]);
  EXPECT_EQ(std::string("/share/f.bin") + '\0', body.substr(1, 13));
  uint32_t size = static_cast<uint32_t>(s.content.size());
  std::string fp =
      s.announced_fp.empty() ? DigestBytes(BytesFingerprint(s.content)) : s.announced_fp;
  Write(fd, Head(64, 0x1004, s.session) + Be32(size) +
                Be32(static_cast<uint32_t>((size + 999) / 1000 + s.package_count_delta)) + fp +
                std::string(32, '\0'));
  if (!RecvMsg(fd, &type, &word, &body)) return;  // a client that saw a bad answer stops here
  EXPECT_EQ(5, type);
  ASSERT_EQ(4u, body.size());
  uint32_t offset = GetU32(body, 0);
  std::vector<std::string> packages;
  uint32_t number = offset / 1000 + 1;
  for (size_t off = offset; off < size; off += 1000)
    packages.push_back(Package(s.session, number++, s.content.substr(off, 1000)));
  if (s.tamper) s.tamper(packages);
  for (const auto& p : packages) Write(fd, p);
  Write(fd, Head(12, 0x1003, s.session) + std::string(1, s.over) + std::string(3, '\0'));
}

TEST(FakeMobileClient, DownloadsFromAnOffsetAndMatchesTheFile) {
  ks::test::TempDir dir;
  DownloadScript script;
  script.content = Content(5500);
  script.session = 41;
  ks::test::WriteFile(dir / "f.bin", script.content);
  RawServer agent([&](int fd) { ServeDownload(fd, script); });
  auto client = Connect(agent);
  DownloadResult r = client->Download("/share/f.bin", 41, 2500);
  EXPECT_EQ("", CompareDownload(r, dir / "f.bin", 2500));
  EXPECT_EQ(3u, r.data.first_package);
  EXPECT_EQ(3u, r.data.packages);
  EXPECT_EQ(script.content.substr(2500), r.data.data);
  EXPECT_EQ(6u, r.info.package_count);
}

TEST(FakeMobileClient, DownloadFaultsAreCaught) {
  auto drop_second = [](std::vector<std::string>& p) { p.erase(p.begin() + 1); };
  auto zero_based = [](std::vector<std::string>& p) {
    for (size_t i = 0; i < p.size(); ++i) p[i].replace(8, 4, Be32(static_cast<uint32_t>(i)));
  };
  auto empty_last = [](std::vector<std::string>& p) { p.push_back(Package(41, 7, "")); };
  auto short_first = [](std::vector<std::string>& p) {
    p[0] = Package(41, 1, p[0].substr(20, 999));
  };
  auto wrong_word = [](std::vector<std::string>& p) { p[1].replace(4, 4, Be32(42)); };
  struct Case {
    const char* name;
    DownloadScript script;
  };
  std::string content = Content(5500);
  const Case cases[] = {
      {"numbering gap", {content, 41, 0, "", drop_second}},
      {"first number", {content, 41, 0, "", zero_based}},
      {"empty package", {content, 41, 0, "", empty_last}},
      {"short package then more", {content, 41, 0, "", short_first}},
      {"foreign session word", {content, 41, 0, "", wrong_word}},
      {"end notice 1", {content, 41, 0, "", nullptr, '1'}},
      {"package count", {content, 41, 1, "", nullptr}},
      {"fingerprint", {content, 41, 0, std::string(16, 'x'), nullptr}},
  };
  ks::test::TempDir dir;
  ks::test::WriteFile(dir / "f.bin", content);
  for (const auto& c : cases) {
    RawServer agent([&](int fd) { ServeDownload(fd, c.script); });
    auto client = Connect(agent);
    DownloadResult r = client->Download("/share/f.bin", 41, 0);
    EXPECT_NE("", CompareDownload(r, dir / "f.bin", 0)) << c.name;
  }
}

TEST(FakeMobileClient, DownloadRefusalAndStop) {
  RawServer refusing([](int fd) {
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    Write(fd, Head(266, 0x1012, word) + Be16(4119) + "0" + std::string(255, '\0'));
  });
  DownloadResult refused = Connect(refusing)->Download("/nope", 5);
  EXPECT_TRUE(refused.info.ok()) << refused.info.Describe();
  EXPECT_FALSE(refused.info.accepted);
  EXPECT_EQ(4119, refused.info.error_code);

  RawServer stopping([](int fd) {
    for (uint32_t n = 1; n <= 3; ++n) Write(fd, Package(8, n, std::string(1000, 'a')));
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(0x100E, type);
    EXPECT_EQ(8u, word);
    Write(fd, Head(9, 0x100E, 8) + "0");
  });
  auto client = Connect(stopping);
  DownloadOptions o;
  o.stop_after_packages = 2;
  o.after_stop_quiet_ms = 200;
  DownloadData d = client->ReceiveDownload(8, 0, o);
  EXPECT_TRUE(d.ok()) << d.Describe();
  EXPECT_TRUE(d.stop_answered);
  EXPECT_EQ(3u, d.packages);
  EXPECT_FALSE(d.over_status.has_value());
}

// --- listings --------------------------------------------------------------------------------

std::string ListingPackage(uint32_t word, const std::vector<std::string>& lines, uint32_t total,
                           bool big_endian) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  std::string t = big_endian
                      ? Be32(total)
                      : std::string{static_cast<char>(total), static_cast<char>(total >> 8),
                                    static_cast<char>(total >> 16), static_cast<char>(total >> 24)};
  return Head(static_cast<uint16_t>(20 + text.size()), 0x2003, word) +
         Be32(static_cast<uint32_t>(lines.size())) + t + "1" + std::string(3, '\0') + text;
}

TEST(FakeMobileClient, ListingInPackagesOfFourBothTotalOrders) {
  std::vector<std::string> lines;
  for (int i = 0; i < 9; ++i)
    lines.push_back("2024-01-0" + std::to_string(i % 9 + 1) + " 10:00:00\t" + (i < 2 ? "1" : "0") +
                    "\t" + (i == 8 ? "3221225472" : std::to_string(i * 100)) + "\tname " +
                    std::to_string(i));
  for (bool big : {true, false}) {
    RawServer agent([&](int fd) {
      uint16_t type;
      uint32_t word;
      std::string body;
      ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
      EXPECT_EQ(0x2003, type);
      ASSERT_EQ(356u, body.size());
      EXPECT_EQ(std::string("$DEFAULT$/pics") + '\0', body.substr(1, 15));
      EXPECT_EQ(big ? '1' : '0', body[256]);
      for (size_t i = 0; i < lines.size(); i += 4)
        Write(fd, ListingPackage(word,
                                 {lines.begin() + i, lines.begin() + std::min(i + 4, lines.size())},
                                 9, big));
    });
    ListingResult r = Connect(agent)->Listing("$DEFAULT$/pics", big ? '1' : '0', 6);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(9u, r.total);
    EXPECT_EQ((std::vector<uint32_t>{4, 4, 1}), r.package_counts);
    ASSERT_EQ(9u, r.entries.size());
    EXPECT_EQ(1, r.entries[0].kind);
    EXPECT_EQ("name 8", r.entries[8].name);
    EXPECT_EQ(3221225472ull, r.entries[8].size);
    EXPECT_EQ("2024-01-09 10:00:00", r.entries[8].time);
  }
}

TEST(FakeMobileClient, ListingEmptyAnswerAndFaults) {
  RawServer empty([](int fd) {
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    Write(fd, Head(368, 0x2003, word) + std::string(360, '\0'));
  });
  ListingResult r = Connect(empty)->Listing("..");
  EXPECT_TRUE(r.ok()) << r.Describe();
  EXPECT_TRUE(r.empty_answer);

  // Package claims 4 entries but holds 3 lines; a size that is not a number.
  std::string line = "t\t0\t1\tn";
  for (const auto& bad : {ListingPackage(3, {line, line, line}, 3, true).replace(8, 4, Be32(4)),
                          ListingPackage(3, {"t\t0\t-1\tn"}, 1, true)}) {
    RawServer agent([&](int fd) {
      std::string req = Recv(fd, 364);
      Write(fd, bad);
    });
    ListingResult f = Connect(agent)->Listing("/x");
    EXPECT_FALSE(f.error.empty());
  }
}

// --- session -----------------------------------------------------------------------------------

TEST(FakeMobileClient, LoginHeartBeatShareInfoFromALanAddress) {
  std::string peer;
  RawServer agent([&](int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
    char text[INET_ADDRSTRLEN];
    peer = ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(8, type);
    ASSERT_EQ(256u, body.size());
    EXPECT_EQ(Field("owner", 32) + std::string(32, 'p') + Field("phone", 192), body);
    Write(fd, Head(12, 8, 0) + Be16(1) + Be16(0));
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(0x8888, type);
    EXPECT_FALSE(body.empty());
    Write(fd, Head(12, 0x8888, word) + Be16(0) + Be16(370));
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(0x2002, type);
    std::string text2 = "/home/a\r\n/srv/b\r\n";
    Write(fd, Head(static_cast<uint16_t>(20 + text2.size()), 0x2002, word) + Be16(2) + Be16(0) +
                  Be32(0) + Be32(0) + text2);
  });
  auto client = Connect(agent, "127.0.0.2");
  LoginResult login = client->Login("owner", std::string(32, 'p'), "phone", 77);
  EXPECT_TRUE(login.ok()) << login.Describe();
  EXPECT_EQ(1, login.verdict);
  EXPECT_EQ(0u, login.word);
  HeartBeatResult hb = client->HeartBeat(5);
  EXPECT_TRUE(hb.ok()) << hb.Describe();
  EXPECT_EQ(370, hb.version);
  ShareInfoResult shares = client->ShareInfo();
  EXPECT_TRUE(shares.ok()) << shares.Describe();
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/srv/b"}), shares.folders);
  EXPECT_EQ("127.0.0.2", peer);
}

// --- uploads -----------------------------------------------------------------------------------

// Reads an announcement and the chunks that follow until OVER or the end of the stream.
struct UploadSeen {
  std::string announce;
  std::string data;
  int over_state = -1;
  bool chunk_heads_ok = true;
};

void ReadUpload(int fd, UploadSeen* seen, const std::string& answer) {
  uint16_t type;
  uint32_t word;
  std::string body;
  ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
  EXPECT_EQ(1, type);
  seen->announce = body;
  Write(fd, answer);
  while (RecvMsg(fd, &type, &word, &body, 1000)) {
    if (type == 3) {
      seen->over_state = static_cast<uint8_t>(body.at(0));
      return;
    }
    seen->chunk_heads_ok &=
        type == 2 && body.size() >= 12 && body.substr(0, 12) == std::string(12, '\0');
    seen->data += body.substr(12);
  }
}

TEST(FakeMobileClient, UploadResumesFromTheAgentsOffset) {
  std::string content = Content(4321);
  UploadSeen seen;
  {
    RawServer agent([&](int fd) { ReadUpload(fd, &seen, Head(12, 0x1001, 12) + Be32(1500)); });
    UploadResult r = Connect(agent)->Upload("$DEFAULT$/up.bin", content, 12);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(1500u, r.sent_from);
  }  // the raw agent is joined: `seen` is complete
  ASSERT_EQ(380u, seen.announce.size());
  EXPECT_EQ(Be32(4321) + Be32(0), seen.announce.substr(0, 8));
  EXPECT_EQ(DigestBytes(Md5Of(content)), seen.announce.substr(8, 16));
  EXPECT_EQ(std::string("$DEFAULT$/up.bin") + '\0', seen.announce.substr(25, 17));
  EXPECT_EQ(content.substr(1500), seen.data);
  EXPECT_TRUE(seen.chunk_heads_ok);
  EXPECT_EQ(0, seen.over_state);
}

TEST(FakeMobileClient, UploadCutClosesWithoutOverAndRefusalIsRead) {
  std::string content = Content(4000);
  UploadSeen seen;
  {
    RawServer agent([&](int fd) { ReadUpload(fd, &seen, Head(12, 0x1001, 3) + Be32(0)); });
    UploadOptions cut;
    cut.cut_at = 2500;
    UploadResult r = Connect(agent)->Upload("/t", content, 3, cut);
    EXPECT_TRUE(r.ok()) << r.Describe();
  }
  EXPECT_EQ(content.substr(0, 2500), seen.data);
  EXPECT_EQ(-1, seen.over_state);

  RawServer refusing([&](int fd) {
    UploadSeen ignored;
    ReadUpload(fd, &ignored, Head(266, 0x1011, 4) + Be16(0xFFFF) + "0" + std::string(255, '\0'));
  });
  UploadResult refused = Connect(refusing)->Upload("/t", content, 4);
  EXPECT_TRUE(refused.ok()) << refused.Describe();
  EXPECT_FALSE(refused.announce.accepted);
  EXPECT_EQ(0xFFFF, refused.announce.error_code);
}

// --- thumbnails --------------------------------------------------------------------------------

TEST(FakeMobileClient, ThumbnailChunksAndStatus) {
  std::string thumb = Content(2500);
  auto serve = [&thumb](int fd, uint32_t bad_offset_delta) {
    uint16_t type;
    uint32_t word;
    std::string body;
    ASSERT_TRUE(RecvMsg(fd, &type, &word, &body));
    EXPECT_EQ(0x3001, type);
    ASSERT_EQ(360u, body.size());
    EXPECT_EQ(Be16(160) + Be16(120), body.substr(0, 4));
    for (uint32_t off = 0; off < thumb.size(); off += 1000) {
      std::string chunk = thumb.substr(off, 1000);
      Write(fd, Be16(static_cast<uint16_t>(16 + chunk.size())) + Be16(0x3001) + Be32(word) +
                    Be32(2500) + Be32(off + (off ? bad_offset_delta : 0)) + chunk);
    }
    Write(fd, Head(12, 0x3002, word) + Be16(0) + Be16(0));
  };
  {
    RawServer agent([&](int fd) { serve(fd, 0); });
    ThumbResult r = Connect(agent)->RequestThumbnail("$DEFAULT_PIC$/a.jpg", 160, 120, 9);
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(thumb, r.data);
    EXPECT_EQ((std::vector<uint32_t>{1000, 1000, 500}), r.chunk_sizes);
  }
  RawServer agent([&](int fd) { serve(fd, 1); });
  ThumbResult bad = Connect(agent)->RequestThumbnail("x", 160, 120);
  EXPECT_FALSE(bad.error.empty());
}

}  // namespace
}  // namespace ks::fake
