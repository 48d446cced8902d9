#include "agent/handlers/thumbnail/thumbnail.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/db/local_db.h"
#include "agent/handlers/thumbnail/resolve_path.h"
#include "agent/media/convert/jpeg_io.h"
#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "tests/agent/media/thumb/jpeg_maker.h"
#include "tests/fakes/test_support.h"

namespace ks::handlers {
namespace {

using Bytes = std::vector<uint8_t>;

// Records every message written; the write numbered failAt (0-based) fails.
class RecordingChannel : public net::Channel {
 public:
  bool Write(const void* data, size_t length) override {
    if (writes_++ == failAt) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    messages.emplace_back(p, p + length);
    return true;
  }
  bool IsOpen() const override { return true; }
  net::Origin origin() const override { return net::Origin::kLan; }
  uint64_t Id() const override { return 7; }

  std::vector<Bytes> messages;
  int failAt = -1;

 private:
  int writes_ = 0;
};

Bytes Request(uint16_t width, uint16_t height, const std::string& path, size_t length = kThumbRequestSize) {
  Bytes r(std::max(length, kThumbRequestSize), 0);
  net::PutU16(r.data(), width);
  net::PutU16(r.data() + 2, height);
  std::memcpy(r.data() + 4, path.data(), std::min(path.size(), kThumbPathField));
  r.resize(length);
  return r;
}

Bytes PeerId(const std::string& id) {
  Bytes p(64, 0);
  std::memcpy(p.data(), id.data(), id.size());
  return p;
}

// Peer id, inner MsgHead, request: what the relay client hands to the handler.
Bytes Relayed(const Bytes& request, const std::string& peer, uint32_t sequence) {
  Bytes b = PeerId(peer);
  b.resize(72);
  net::EncodeMsgHead(net::MsgHead{uint16_t(8 + request.size()), MSG_REQ_DOWNLOAD_THUMBNAIL, sequence}, b.data() + 64);
  b.insert(b.end(), request.begin(), request.end());
  return b;
}

struct Chunk {
  uint16_t length, type;
  uint32_t id, total, offset;
  Bytes data;
};

Chunk ParseChunk(const Bytes& m) {
  Chunk c{net::GetU16(m.data()), net::GetU16(m.data() + 2), net::GetU32(m.data() + 4),
          net::GetU32(m.data() + 8), net::GetU32(m.data() + 12), Bytes(m.begin() + 16, m.end())};
  return c;
}

void ExpectStatus(const Bytes& m, uint32_t id, uint16_t status) {
  ASSERT_EQ(m.size(), kThumbStatusSize);
  net::MsgHead h = net::DecodeMsgHead(m.data());
  EXPECT_EQ(h.length, 12);
  EXPECT_EQ(h.type, MSG_THUMBNAIL_STATUS);
  EXPECT_EQ(h.sequence, id);
  EXPECT_EQ(net::GetU16(m.data() + 8), status);
  EXPECT_EQ(net::GetU16(m.data() + 10), 0);
}

// Checks the RelayHead of a relayed message and returns the message inside it.
Bytes Unrelay(const Bytes& m, const std::string& device, const std::string& peer) {
  EXPECT_GE(m.size(), 134u);
  if (m.size() < 134) return {};
  EXPECT_EQ(net::GetU16(m.data()), m.size());
  EXPECT_EQ(net::GetU16(m.data() + 2), 370);
  EXPECT_EQ(net::GetU16(m.data() + 4), SRV_RELAY_TO_PEER);
  EXPECT_EQ(net::FieldText(m.data() + 6, 64), device);
  EXPECT_EQ(Bytes(m.begin() + 70, m.begin() + 134), PeerId(peer));
  return Bytes(m.begin() + 134, m.end());
}

class ThumbnailHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    media::SetConsoleMessages(false);
    state::SetDeviceId("device-42");
    state::SetTextEncoding("en");
    ShareFolder(db_, dir_.path());
  }
  void TearDown() override {
    media::SetConsoleMessages(true);
    GlobalDb().close();
  }

 public:
  // A database whose only share is `folder`, also the default folder ("$DEFAULT$").
  static void ShareFolder(const test::TempDir& db, const std::string& folder) {
    ASSERT_EQ(CreateDatabaseFile(db / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((db / "Kestyl.db").c_str());
    ASSERT_EQ(SetShareInfo({folder}), 0);
    DefShareInfo d;
    d.def = folder;
    ASSERT_EQ(SetDefaultDir(d), 0);
  }

 protected:

  int Call(const Bytes& body, uint32_t sequence, int udt, int direct) {
    net::MsgHead head{uint16_t(8 + body.size()), MSG_REQ_DOWNLOAD_THUMBNAIL, sequence};
    std::vector<uint8_t> reply;
    int rc = ReqDownloadThumbNial(body.empty() ? nullptr : body.data(), body.size(), &head, &channel_, &reply,
                                  &udt, &direct);
    EXPECT_TRUE(reply.empty());
    return rc;
  }

  std::string Picture(const std::string& name, int width, int height) {
    std::string path = dir_ / name;
    test::WriteFile(path, test::AsString(test::MakeJpeg(test::JpegSpec().Size(width, height))));
    return path;
  }

  test::TempDir db_;
  test::TempDir dir_;
  RecordingChannel channel_;
};

TEST_F(ThumbnailHandlerTest, ChunksOfAThousandThenStatus) {
  struct Case {
    size_t size;
    std::vector<size_t> chunks;
  } cases[] = {{2500, {1000, 1000, 500}}, {2000, {1000, 1000}}, {1, {1}}, {999, {999}}, {1001, {1000, 1}}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.size);
    RecordingChannel ch;
    Bytes data(k.size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(SendThumbChunks(&ch, 0xA1B2C3D4, data.data(), data.size(), nullptr), 0);
    ASSERT_EQ(ch.messages.size(), k.chunks.size() + 1);
    Bytes joined;
    for (size_t i = 0; i < k.chunks.size(); ++i) {
      Chunk c = ParseChunk(ch.messages[i]);
      EXPECT_EQ(c.length, k.chunks[i] + 16);
      EXPECT_EQ(ch.messages[i].size(), k.chunks[i] + 16);
      EXPECT_EQ(c.type, MSG_REQ_DOWNLOAD_THUMBNAIL);
      EXPECT_EQ(c.id, 0xA1B2C3D4u);
      EXPECT_EQ(c.total, k.size);
      EXPECT_EQ(c.offset, i * 1000);
      joined.insert(joined.end(), c.data.begin(), c.data.end());
    }
    EXPECT_EQ(joined, data);
    ExpectStatus(ch.messages.back(), 0xA1B2C3D4, 0);
  }
}

TEST_F(ThumbnailHandlerTest, RelayedChunksCarryTheRelayHead) {
  Bytes data(2500, 0x5A);
  ThumbRelay relay = MakeThumbRelay(PeerId("phone-7").data());
  EXPECT_EQ(SendThumbChunks(&channel_, 9, data.data(), data.size(), &relay), 0);
  ASSERT_EQ(channel_.messages.size(), 4u);
  size_t expected[] = {1150, 1150, 650, 146};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(channel_.messages[i].size(), expected[i]);
  for (size_t i = 0; i < 3; ++i) {
    Chunk c = ParseChunk(Unrelay(channel_.messages[i], "device-42", "phone-7"));
    EXPECT_EQ(c.offset, i * 1000);
    EXPECT_EQ(c.total, 2500u);
  }
  ExpectStatus(Unrelay(channel_.messages[3], "device-42", "phone-7"), 9, 0);
}

TEST_F(ThumbnailHandlerTest, FailedSendEndsWithStatusOne) {
  Bytes data(2500, 1);
  channel_.failAt = 1;  // the second chunk
  EXPECT_EQ(SendThumbChunks(&channel_, 5, data.data(), data.size(), nullptr), -1);
  ASSERT_EQ(channel_.messages.size(), 2u);
  EXPECT_EQ(ParseChunk(channel_.messages[0]).offset, 0u);
  ExpectStatus(channel_.messages[1], 5, 1);

  RecordingChannel closed;
  closed.failAt = 0;
  EXPECT_EQ(SendThumbStatus(&closed, 0, 5, nullptr), -1);
}

TEST_F(ThumbnailHandlerTest, DirectRequestGetsTheExactThumbnail) {
  std::string path = Picture("big.jpg", 4000, 3000);
  // UDT peers send direct (flag 1) with their socket; both answer without a relay head.
  for (int udt : {-1, 12}) {
    SCOPED_TRACE(udt);
    channel_.messages.clear();
    EXPECT_EQ(Call(Request(160, 120, path), 77, udt, 1), 0);
    ASSERT_GE(channel_.messages.size(), 2u);
    Bytes jpeg;
    for (size_t i = 0; i + 1 < channel_.messages.size(); ++i) {
      Chunk c = ParseChunk(channel_.messages[i]);
      EXPECT_EQ(c.id, 77u);
      EXPECT_EQ(c.offset, jpeg.size());
      jpeg.insert(jpeg.end(), c.data.begin(), c.data.end());
      EXPECT_EQ(c.total, ParseChunk(channel_.messages[0]).total);
    }
    EXPECT_EQ(jpeg.size(), ParseChunk(channel_.messages[0]).total);
    ExpectStatus(channel_.messages.back(), 77, 0);
    test::DecodedJpeg d;
    ASSERT_TRUE(test::DecodeJpeg(jpeg, &d));
    EXPECT_EQ(d.width, 160);
    EXPECT_EQ(d.height, 120);
    EXPECT_EQ(d.app7.size(), 5u);
  }
}

TEST_F(ThumbnailHandlerTest, RelayedRequestIsReadAfterItsPrefixAndAnsweredToThePeer) {
  std::string path = Picture("r.jpg", 640, 480);
  EXPECT_EQ(Call(Relayed(Request(64, 48, path), "phone-9", 31), 31, -1, 0), 0);
  ASSERT_GE(channel_.messages.size(), 2u);
  Bytes jpeg;
  for (size_t i = 0; i + 1 < channel_.messages.size(); ++i) {
    Bytes inner = Unrelay(channel_.messages[i], "device-42", "phone-9");
    Chunk c = ParseChunk(inner);
    EXPECT_EQ(channel_.messages[i].size(), c.data.size() + 150);
    EXPECT_EQ(c.id, 31u);
    jpeg.insert(jpeg.end(), c.data.begin(), c.data.end());
  }
  ASSERT_EQ(channel_.messages.back().size(), 146u);
  ExpectStatus(Unrelay(channel_.messages.back(), "device-42", "phone-9"), 31, 0);
  test::DecodedJpeg d;
  ASSERT_TRUE(test::DecodeJpeg(jpeg, &d));
  EXPECT_EQ(d.width, 64);
  EXPECT_EQ(d.height, 48);
}

TEST_F(ThumbnailHandlerTest, FailuresAnswerStatusOneOnly) {
  std::string good = Picture("ok.jpg", 320, 240);
  // A progressive file whose second scan is impossible: the header reads, the decode fails.
  Bytes broken = test::MakeJpeg(test::JpegSpec().Size(64, 64).Progressive());
  size_t sos = 0;
  for (int seen = 0; sos + 1 < broken.size(); ++sos) {
    if (broken[sos] == 0xFF && broken[sos + 1] == 0xDA && ++seen == 2) break;
  }
  broken[sos + 5 + 2 * broken[sos + 4]] = 63;
  test::WriteFile(dir_ / "broken.jpg", test::AsString(broken));
  test::WriteFile(dir_ / "text.jpg", "not a picture");

  struct Case {
    const char* what;
    Bytes request;
  } cases[] = {
      {"359-byte request", Request(16, 16, good, 359)},
      {"missing file", Request(16, 16, dir_ / "missing.jpg")},
      {"encode failure", Request(16, 16, dir_ / "broken.jpg")},
      {"not a JPEG", Request(16, 16, dir_ / "text.jpg")},
      {"a folder", Request(16, 16, dir_.path())},
      {"path with ..", Request(16, 16, dir_ / "../" + dir_.path().substr(dir_.path().rfind('/') + 1) + "/ok.jpg")},
      {"relative path", Request(16, 16, "ok.jpg")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    RecordingChannel direct;
    net::MsgHead head{0, MSG_REQ_DOWNLOAD_THUMBNAIL, 3};
    int udt = -1, flag = 1;
    std::vector<uint8_t> reply;
    EXPECT_EQ(ReqDownloadThumbNial(k.request.data(), k.request.size(), &head, &direct, &reply, &udt, &flag), 0);
    ASSERT_EQ(direct.messages.size(), 1u);
    ExpectStatus(direct.messages[0], 3, 1);

    RecordingChannel relayed;
    flag = 0;
    Bytes body = Relayed(k.request, "peer", 3);
    EXPECT_EQ(ReqDownloadThumbNial(body.data(), body.size(), &head, &relayed, &reply, &udt, &flag), 0);
    ASSERT_EQ(relayed.messages.size(), 1u);
    EXPECT_EQ(relayed.messages[0].size(), 146u);
    ExpectStatus(Unrelay(relayed.messages[0], "device-42", "peer"), 3, 1);
  }

  // A relayed body too short to hold the prefix.
  EXPECT_EQ(Call(Bytes(71, 'p'), 4, -1, 0), 0);
  ASSERT_EQ(channel_.messages.size(), 1u);
  EXPECT_EQ(channel_.messages[0].size(), 146u);

  // No body at all: nothing is sent.
  channel_.messages.clear();
  EXPECT_EQ(Call(Bytes(), 4, -1, 1), KS_NULL_INPUT);
  EXPECT_TRUE(channel_.messages.empty());
}

TEST_F(ThumbnailHandlerTest, PathIsReadWithinItsField) {
  // A path of exactly 256 characters fills the field with no NUL; the bytes after it (the
  // 100 unread ones) must not become part of it.
  std::string path = dir_ / std::string(256 - dir_.path().size() - 1, 'n');
  ASSERT_EQ(path.size(), 256u);
  test::WriteFile(path, test::AsString(test::MakeJpeg(test::JpegSpec().Size(32, 32))));
  Bytes request = Request(8, 8, path);
  std::memset(request.data() + 260, 'x', 100);
  ThumbRequest parsed;
  EXPECT_EQ(Parse_ThumbTransStatusHead(request.data(), request.size(), &parsed), 0);
  EXPECT_EQ(parsed.path, path);
  EXPECT_EQ(parsed.width, 8);
  EXPECT_EQ(parsed.height, 8);
  EXPECT_EQ(Call(request, 1, -1, 1), 0);
  ExpectStatus(channel_.messages.back(), 1, 0);
}

TEST_F(ThumbnailHandlerTest, SizesAreBigEndianAndPathsFollowTheAgentEncoding) {
  std::string path = Picture("s.jpg", 100, 100);
  ThumbRequest parsed;
  EXPECT_EQ(Parse_ThumbTransStatusHead(Request(0x0102, 0x0304, path).data(), kThumbRequestSize, &parsed), 0);
  EXPECT_EQ(parsed.width, 0x0102);
  EXPECT_EQ(parsed.height, 0x0304);

  // A file whose name is stored in GB2312 is found from its UTF-8 name when the agent's
  // encoding is "gb2312".
  std::string gbName = "\xD5\xD5\xC6\xAC.jpg";       // "照片" in GB2312
  std::string utf8Name = "\xE7\x85\xA7\xE7\x89\x87.jpg";  // the same in UTF-8
  test::WriteFile(dir_ / gbName, test::AsString(test::MakeJpeg(test::JpegSpec().Size(16, 16))));
  EXPECT_EQ(Parse_ThumbTransStatusHead(Request(8, 8, dir_ / utf8Name).data(), kThumbRequestSize, &parsed), 1);
  state::SetTextEncoding("gb2312");
  EXPECT_EQ(Parse_ThumbTransStatusHead(Request(8, 8, dir_ / utf8Name).data(), kThumbRequestSize, &parsed), 0);
  EXPECT_EQ(parsed.path, dir_ / gbName);
  state::SetTextEncoding("en");
}

TEST(ResolveThumbnailPathTest, OnlyFilesInsideAShare) {
  test::TempDir db, share, outside;
  test::WriteFile(share / "a.jpg", "x");
  test::WriteFile(outside / "b.jpg", "x");
  ThumbnailHandlerTest::ShareFolder(db, share.path());
  struct Case {
    std::string in;
    int rc;
    std::string out;
  } cases[] = {
      {share / "a.jpg", 0, share / "a.jpg"},
      {"$DEFAULT$\\a.jpg", 0, share / "a.jpg"},
      {"$DEFAULT_PIC$/a.jpg", KS_DEFAULT_SHARE_UNSET, ""},
      {share / "../" + outside.path().substr(outside.path().rfind('/') + 1) + "/b.jpg", 1, ""},
      {outside / "b.jpg", 1, ""},
      {"/etc/passwd", 1, ""},
      {"", 1, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.in);
    std::string out = "stale";
    EXPECT_EQ(ResolveThumbnailPath(k.in, &out), k.rc);
    EXPECT_EQ(out, k.out);
  }
  GlobalDb().close();
}

}  // namespace
}  // namespace ks::handlers
