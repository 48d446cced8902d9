#include "cmd/statistic.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

// Every byte of a literal that holds NULs, without its terminator.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ScopedEnv;

TEST(Statistic, ProgramFileVersionFromTheMarker) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string version;
  } cases[] = {
      {"four parts", Bytes("\x7f" "ELF\0\0junk KESTYL_VERSION:1.2.3.4\0more"), "1.2.3.4"},
      {"two parts", "KESTYL_VERSION:10.20", "10.20.0.0"},
      {"dot without digit", "KESTYL_VERSION:3.\0", "3.0.0.0"},
      {"five parts", "KESTYL_VERSION:1.2.3.4.5", "1.2.3.4"},
      {"largest", "KESTYL_VERSION:65535.0.65535.1", "65535.0.65535.1"},
      {"too large", "KESTYL_VERSION:65536.0.0.0", ""},
      {"leading zeros", "KESTYL_VERSION:001.02.3.4", "1.2.3.4"},
      {"first marker counts", "KESTYL_VERSION:5.6.7.8 KESTYL_VERSION:1.1.1.1", "5.6.7.8"},
      {"no number", "KESTYL_VERSION:x KESTYL_VERSION:1.1.1.1", ""},
      {"no marker", "KESTYL_VERSION 1.2.3.4", ""},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ks::test::TempDir dir;
    ks::test::WriteFile(dir / "Kestyl", c.bytes);
    EXPECT_EQ(c.version, ks::cmd::GetProgramFileVersion(dir.path()));
  }
  ks::test::TempDir empty;
  EXPECT_EQ("", ks::cmd::GetProgramFileVersion(empty.path()));
}

TEST(Statistic, UuidFileAndWindowsName) {
  struct Case {
    std::string bytes;
    std::string uuid;
  } cases[] = {{"abc", "abc"}, {"abc\r\n", "abc\n"}, {"a\rb\r\r\n", "a\rb\r\n"}, {"", ""}};
  for (const Case& c : cases) {
    ks::test::TempDir dir;
    ks::test::WriteFile(dir / ".uuid", c.bytes);
    EXPECT_EQ(c.uuid, ks::cmd::ReadUuidFile(dir.path()));
  }
  ks::test::TempDir empty;
  EXPECT_EQ("", ks::cmd::ReadUuidFile(empty.path()));
  EXPECT_FALSE(ks::cmd::FileExists(empty / ".uuid"));
  EXPECT_FALSE(ks::cmd::FileExists(empty.path() + "/missing/x"));
  EXPECT_FALSE(ks::cmd::FileExists(empty.path()));
  ks::test::WriteFile(empty / "f", "");
  EXPECT_TRUE(ks::cmd::FileExists(empty / "f"));

  struct Version {
    int major, minor;
    const char* name;
  } versions[] = {{5, 0, "Windows XP"},      {5, 2, "Windows XP"},      {6, 0, "Windows Vista"},
                  {6, 1, "Windows 7"},       {6, 2, "Windows 8"},       {6, 3, "After Windows 8"},
                  {6, 9, "After Windows 8"}, {10, 0, "Unknown"},        {4, 0, "Unknown"}};
  for (const Version& v : versions)
    EXPECT_EQ(v.name, ks::cmd::GetWindowsVersionName(std::make_pair(v.major, v.minor))) << v.major << "." << v.minor;
  EXPECT_EQ("Unknown", ks::cmd::GetWindowsVersionName(std::nullopt));
}

class SendStatisticTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ks::test::WriteFile(dir_ / ".uuid", "abc");
    ks::test::WriteFile(dir_ / "Kestyl", "....KESTYL_VERSION:1.2.3.4....");
  }
  ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ScopedEnv timeout_{"KESTYL_WEB_TIMEOUT_S", "2"};
  FakeWebServer server_;
  ScopedEnv url_{"KESTYL_WEB_URL", server_.url()};
  ks::test::TempDir dir_;
};

TEST_F(SendStatisticTest, FormBodiesOfBothForms) {
  struct Case {
    const char* name;
    ks::cmd::StatisticValues values;
    std::string body;
  } cases[] = {
      {"uninstall", {}, "username=&version=1.2.3.4&opttype=1&uuid=abc&system=Unknown&desc="},
      {"long form", {"u@x.y", "9.8", 0, "a&b c", "ID-1", "Win 7"},
       "username=u%40x.y&version=9.8&opttype=1&uuid=ID-1&system=Win%207&desc=a%26b%20c"},
      {"negative type, empty values", {"", "", -3, "", "", ""}, "username=&version=&opttype=-3&uuid=&system=&desc="},
      {"unicode and reserved", {"云", "1.0", 2, "=%+", "0a-FF", "Unknown"},
       "username=%E4%BA%91&version=1.0&opttype=2&uuid=0a-FF&system=Unknown&desc=%3D%25%2B"},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(ks::cmd::SendStatistic(c.values, dir_.path()));
    ASSERT_TRUE(server_.WaitForRequests(++n, 5000));
    const auto r = server_.Requests().back();
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("/kestyl/pcstatistic.html", r.target);
    EXPECT_EQ("application/x-www-form-urlencoded", r.Header("Content-Type"));
    EXPECT_EQ(c.body, r.body);
  }
}

TEST_F(SendStatisticTest, ReplyAndStatusAreNotExaminedFailuresAre) {
  WebReply error = WebReply::Ok("server error");
  error.status = 500;
  server_.Enqueue(error);
  EXPECT_TRUE(ks::cmd::SendStatistic({}, dir_.path()));

  ScopedEnv refused("KESTYL_WEB_URL", "http://127.0.0.1:" + std::to_string(ks::fake::FreeTcpPort()));
  EXPECT_FALSE(ks::cmd::SendStatistic({}, dir_.path()));
  ScopedEnv ftp("KESTYL_WEB_URL", "ftp://127.0.0.1");
  EXPECT_FALSE(ks::cmd::SendStatistic({}, dir_.path()));
}

}  // namespace
