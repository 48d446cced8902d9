// Wire layouts of the vendor session: request bodies, device-id replies, the device-id file,
// the server switch rule and the mobile heart-beat window.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "agent/net/msg/msg.h"
#include "agent/net/session/session.h"
#include "agent/net/session/wire_text.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::session;
using ks::net::FieldText;
using ks::net::GetU16;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

std::string Field(const std::vector<uint8_t>& b, size_t offset, size_t size) {
  return FieldText(b.data() + offset, size);
}

bool AllZero(const std::vector<uint8_t>& b, size_t offset, size_t size) {
  for (size_t i = offset; i < offset + size; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(SessionBodies, LogOnIs132BytesWithBigEndianSystemType) {
  LogOnFields f;
  f.account = "owner@example.com";
  f.password = "0123456789abcdef0123456789abcdefXYZ";  // 35: cut to 31
  f.systemType = 2;
  f.osName = "unknown";
  f.mac = "02-00-00-00-00-01";
  std::vector<uint8_t> b = BuildLogOnBody(f);
  ASSERT_EQ(b.size(), 132u);
  EXPECT_EQ(Field(b, 0, 32), "owner@example.com");
  EXPECT_EQ(Field(b, 32, 32), f.password.substr(0, 31));
  EXPECT_EQ(b[63], 0);
  EXPECT_EQ(GetU16(&b[64]), 2);
  EXPECT_EQ(GetU16(&b[66]), 0);
  EXPECT_EQ(Field(b, 68, 32), "unknown");
  EXPECT_EQ(Field(b, 100, 32), "02-00-00-00-00-01");
}

TEST(SessionBodies, LogOutIs64Bytes) {
  std::vector<uint8_t> b = BuildLogOutBody("a@b.c", "pw");
  ASSERT_EQ(b.size(), 64u);
  EXPECT_EQ(Field(b, 0, 32), "a@b.c");
  EXPECT_EQ(Field(b, 32, 32), "pw");
}

TEST(SessionBodies, ServerInfoIs212BytesAtItsOffsets) {
  SvInfoFields f;
  f.localIp = "192.168.1.100";
  f.upnpPort = 61716;
  f.messagePort = 15002;
  f.systemType = 2;
  f.account = "owner@example.com";
  f.hostNameUtf8 = "my-pc";
  std::vector<uint8_t> b = BuildSvInfoBody(f);
  ASSERT_EQ(b.size(), 212u);
  EXPECT_TRUE(AllZero(b, 0, 8));
  EXPECT_EQ((std::vector<uint8_t>(b.begin() + 8, b.begin() + 12)),
            (std::vector<uint8_t>{192, 168, 1, 100}));  // network order
  EXPECT_EQ(GetU16(&b[12]), 61716);
  EXPECT_TRUE(AllZero(b, 14, 2));
  EXPECT_EQ(GetU16(&b[16]), 15002);
  EXPECT_EQ(GetU16(&b[18]), 2);
  EXPECT_EQ(Field(b, 20, 32), "owner@example.com");
  EXPECT_TRUE(AllZero(b, 52, 32));
  EXPECT_EQ(Field(b, 84, 64), "my-pc");
  EXPECT_TRUE(AllZero(b, 148, 64));
}

TEST(SessionBodies, ServerInfoWithoutAnAddressSendsZero) {
  SvInfoFields f;
  f.localIp = "not an address";
  std::vector<uint8_t> b = BuildSvInfoBody(f);
  EXPECT_TRUE(AllZero(b, 8, 4));
}

TEST(SessionBodies, PowerOnIs162BytesWithLittleEndianSystemType) {
  PowerOnFields f;
  f.systemType = 0x0102;
  f.account = "owner@example.com";
  f.mac = "02-00-00-00-00-01";
  f.hostNameUtf8 = "my-pc";
  std::vector<uint8_t> b = BuildPowerOnBody(f);
  ASSERT_EQ(b.size(), 162u);
  EXPECT_EQ(b[0], 0x02);
  EXPECT_EQ(b[1], 0x01);
  EXPECT_EQ(Field(b, 2, 32), "owner@example.com");
  EXPECT_EQ(Field(b, 34, 32), "02-00-00-00-00-01");
  EXPECT_TRUE(AllZero(b, 66, 32));
  EXPECT_EQ(Field(b, 98, 64), "my-pc");
}

TEST(SessionBodies, HostNameIsCutAtACharacterBoundary) {
  // 62 ASCII bytes and a 3-byte character: 65 bytes, the character does not fit in 63.
  std::string host = std::string(62, 'h') + "\xE6\x97\xA5";
  PowerOnFields p;
  p.hostNameUtf8 = host;
  std::vector<uint8_t> b = BuildPowerOnBody(p);
  EXPECT_EQ(Field(b, 98, 64), std::string(62, 'h'));
  SvInfoFields s;
  s.hostNameUtf8 = host;
  b = BuildSvInfoBody(s);
  EXPECT_EQ(Field(b, 84, 64), std::string(62, 'h'));
  EXPECT_TRUE(AllZero(b, 148, 64));  // nothing spilled past the field
}

TEST(WireText, Utf8PrefixKeepsWholeCharacters) {
  const std::string yen = "\xC2\xA5";          // 2 bytes
  const std::string sun = "\xE6\x97\xA5";      // 3 bytes
  const std::string smile = "\xF0\x9F\x98\x80";  // 4 bytes
  struct Case {
    std::string text;
    size_t max;
    std::string want;
  } cases[] = {
      {"abc", 3, "abc"},
      {"abcd", 3, "abc"},
      {"ab" + yen, 3, "ab"},
      {"ab" + yen, 4, "ab" + yen},
      {sun + sun, 5, sun},
      {sun + sun, 6, sun + sun},
      {"a" + smile, 4, "a"},
      {"a" + smile, 5, "a" + smile},
      {std::string("\xE6\x97") + "xyz", 3, "\xE6\x97x"},  // broken sequence: single bytes
      {"\x80\x80\x80\x80", 2, "\x80\x80"},
      {"", 0, ""},
      {"a", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8Prefix(c.text, c.max), c.want) << c.text << " " << c.max;
}

TEST(DeviceIdReply, ReadsAtMost63BytesWithinTheBody) {
  auto ids = [](const std::string& body) {
    return DeviceIdFromReply(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  };
  std::string padded = "DEV-1" + std::string(59, '\0');
  EXPECT_EQ(ids(padded), "DEV-1");
  EXPECT_EQ(ids("DEV-2"), "DEV-2");                           // shorter than 64, no NUL
  EXPECT_EQ(ids(std::string(64, 'x')), std::string(63, 'x'));  // 64 without NUL
  EXPECT_EQ(ids(std::string(100, 'y')), std::string(63, 'y'));
  EXPECT_EQ(ids(std::string(64, 'z') + "tail"), std::string(63, 'z'));
  EXPECT_EQ(ids(""), "");
  EXPECT_EQ(DeviceIdFromReply(nullptr, 10), "");
}

TEST(DeviceIdFile, ReadsAtMost63CharactersUpToNul) {
  TempDir dir;
  std::string path = dir / ".uuid";
  EXPECT_EQ(ReadDeviceIdFile(path), "");  // missing
  WriteFile(path, std::string(70, 'u'));
  EXPECT_EQ(ReadDeviceIdFile(path), std::string(63, 'u'));
  WriteFile(path, std::string("ab\0cd", 5));
  EXPECT_EQ(ReadDeviceIdFile(path), "ab");
  WriteFile(path, "");
  EXPECT_EQ(ReadDeviceIdFile(path), "");
}

TEST(DeviceIdFile, WritesTheTextWithoutTerminatorAndReplacesTheOld) {
  TempDir dir;
  std::string path = dir / ".uuid";
  WriteFile(path, std::string(70, 'o'));
  ASSERT_EQ(WriteDeviceIdFile(path, "KSDEV-1"), 0);
  EXPECT_EQ(ReadFile(path), "KSDEV-1");
  ASSERT_EQ(WriteDeviceIdFile(path, std::string(80, 'n')), 0);
  EXPECT_EQ(ReadFile(path), std::string(63, 'n'));
  EXPECT_NE(WriteDeviceIdFile(dir / "missing/.uuid", "x"), 0);
}

TEST(ServerSwitch, OnlyAFailedLogOnWithoutMobileLinkLeavesAnotherServer) {
  ServerRecord vendor{15000, "vendor.example"};
  ServerRecord other{15000, "other.example"};
  ServerRecord otherPort{15001, "vendor.example"};
  struct Case {
    int code;
    bool mobile;
    ServerRecord current;
    bool want;
  } cases[] = {
      {0, false, other, false},        // logged on: keep
      {4122, true, other, false},      // a mobile client is using this server: keep
      {4122, false, other, true},      // switch back
      {4101, false, other, true},      // the server's own refusal counts too
      {4122, false, vendor, false},    // already the vendor's
      {4122, false, otherPort, true},  // same host, other port
  };
  for (const Case& c : cases)
    EXPECT_EQ(ShouldSwitchToVendor(c.code, c.mobile, c.current, vendor), c.want)
        << c.code << " " << c.mobile << " " << c.current.host << ":" << c.current.port;
}

TEST(MobileHeartBeat, RecentWithinSixtySecondsEitherWay) {
  const std::time_t now = 1700000000;
  EXPECT_TRUE(MobileHeartBeatRecentAt(now, now));
  EXPECT_TRUE(MobileHeartBeatRecentAt(now - 1, now));
  EXPECT_TRUE(MobileHeartBeatRecentAt(now - 60, now));
  EXPECT_FALSE(MobileHeartBeatRecentAt(now - 61, now));
  EXPECT_TRUE(MobileHeartBeatRecentAt(now + 60, now));  // clock stepped back
  EXPECT_FALSE(MobileHeartBeatRecentAt(now + 61, now));
}

}  // namespace
