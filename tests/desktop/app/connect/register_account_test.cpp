// The registration request: password screening, the hash from crypt.dll, the exact form
// body, and every kind of reply the service (or the network) can give.
#include "desktop/app/connect/register_account.h"
#include "desktop/foundation/util/ks_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop;
using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ScopedEnv;

constexpr const char* kToken = "5e0a93c7d2b14f68a0c3e9b7f1d52a84";
// MD5-crypt of "secret1" with the salt "$1$qumvat$", without the salt.
constexpr const char* kSecret1Hash = ".He/sL1FcCvVex.Qi9ws9.";

// Points the program folder at a folder for the test's life.
class ProgramFolder {
 public:
  explicit ProgramFolder(const std::string& folder) { CKSUtil::SetProgramFolder(folder); }
  ~ProgramFolder() { CKSUtil::SetProgramFolder(""); }
};

class RegisterAccountTest : public ::testing::Test {
 protected:
  ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ScopedEnv proxy_{"http_proxy", nullptr};
  ScopedEnv timeout_{"KESTYL_WEB_TIMEOUT_S", "1"};
  FakeWebServer server_;
  ScopedEnv url_{"KESTYL_WEB_URL", server_.url()};
  ProgramFolder folder_{KS_BIN_DIR};
};

TEST(StripCryptSaltTest, CutsTheSaltOnlyWhenPresent) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"$1$qumvat$abc", "abc"},
      {"$1$qumvat$", ""},
      {"$1$other0$abc", "$1$other0$abc"},
      {"", ""},
      // The salt further in: the first ten characters go, as the text has it.
      {"xy$1$qumvat$", "t$"},
  };
  for (const Case& c : cases) {
    char text[64];
    std::snprintf(text, sizeof text, "%s", c.in);
    EXPECT_EQ(text, StripCryptSalt(text));
    EXPECT_STREQ(c.out, text) << c.in;
  }
  EXPECT_EQ(nullptr, StripCryptSalt(nullptr));
}

TEST(RegisterFormTest, EncodesOnlyWhatWouldBendTheForm) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a+b@x.cn", "a%2Bb@x.cn"},
      {"a&Check=x", "a%26Check%3Dx"},
      {"100% sure", "100%25%20sure"},
      {std::string("t\tn\x7f"), "t%09n%7F"},
      {"\xc3\xa9", "%C3%A9"},
      {"./09AZaz-_~@!*'();:,?/", "./09AZaz-_~@!*'();:,?/"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, EncodeFormValue(c.in)) << c.in;
  EXPECT_EQ("Email=a%2Bb@x.cn&Password=abc&Check=tok", BuildRegisterForm("a+b@x.cn", "abc", "tok"));
}

TEST(RegisterReplyTest, StatusOfEveryKindOfReply) {
  struct Case {
    std::string reply;
    int code;
  } cases[] = {
      {R"({"status":2})", 2},
      {R"({"status":-11})", -11},
      {R"({"status":2.0})", 2},
      {R"({"status":null})", 0},
      {R"({})", 0},
      {"not json", -43},
      {"", -43},
      {R"({"status":)", -43},
      {"[1]", -45},
      {"5", -45},
      {R"("text")", -45},
      {R"({"status":"2"})", -45},
      {R"({"status":2.5})", -45},
      {R"({"status":true})", -45},
      {R"({"status":[2]})", -45},
      {R"({"status":{"a":1}})", -45},
      {R"({"status":4294967296})", -45},
      {std::string(5000, '[') , -43},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, ParseRegisterReply(c.reply)) << c.reply.substr(0, 40);
}

TEST_F(RegisterAccountTest, HashesWithTheCryptLibrary) {
  char hash[64];
  ASSERT_EQ(0, HashPassword(hash, "secret1"));
  EXPECT_STREQ(kSecret1Hash, hash);
  EXPECT_EQ(std::string(KS_BIN_DIR) + "/crypt.dll", CryptLibraryPath());
}

TEST_F(RegisterAccountTest, PostsTheExactBodyAndReturnsTheStatus) {
  server_.Enqueue("/kestyl/register.html", WebReply::Ok(R"({"status":2})"));
  EXPECT_EQ(2, RegisterAccount("A+b@X.cn", "secret1"));
  auto requests = server_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("POST", requests[0].method);
  EXPECT_EQ("/kestyl/register.html", requests[0].target);
  EXPECT_EQ(std::string("Email=a%2Bb@x.cn&Password=") + kSecret1Hash + "&Check=" + kToken, requests[0].body);
}

TEST_F(RegisterAccountTest, PasswordScreeningSendsNothing) {
  struct Case {
    const char* password;
    int code;
  } cases[] = {
      {nullptr, -6},
      {"tab\there", -6},
      {"caf\xc3\xa9pw", -6},
      {"del\x7fpw", -6},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, RegisterAccount("a@b.cn", c.password));
  EXPECT_TRUE(server_.Requests().empty());

  // Blanks and the empty password are printable: they are sent.
  server_.SetFixed(WebReply::Ok(R"({"status":-7})"));
  EXPECT_EQ(-7, RegisterAccount("a@b.cn", "      "));
  EXPECT_EQ(-7, RegisterAccount("a@b.cn", ""));
  EXPECT_EQ(2u, server_.Requests().size());
}

TEST_F(RegisterAccountTest, TransportFailures) {
  server_.Enqueue(WebReply::Silent());
  EXPECT_EQ(-42, RegisterAccount("a@b.cn", "secret1"));

  WebReply hangUp;
  hangUp.hang_up = true;
  server_.SetFixed(hangUp);
  EXPECT_EQ(-43, RegisterAccount("a@b.cn", "secret1"));

  server_.SetFixed(WebReply::Ok("<html>busy</html>"));
  EXPECT_EQ(-43, RegisterAccount("a@b.cn", "secret1"));

  server_.Stop();
  EXPECT_EQ(-43, RegisterAccount("a@b.cn", "secret1"));
}

TEST_F(RegisterAccountTest, NoUsableHashSendsNothing) {
  {
    ks::test::TempDir empty;
    ProgramFolder folder(empty.path());
    char hash[64];
    EXPECT_EQ(-1, HashPassword(hash, "secret1"));
    EXPECT_EQ(-44, RegisterAccount("a@b.cn", "secret1"));
  }
  {
    ProgramFolder folder(KS_BAD_CRYPT_DIR);
    char hash[64];
    EXPECT_EQ(-1, HashPassword(hash, "secret1"));
    EXPECT_EQ(-44, RegisterAccount("a@b.cn", "secret1"));
  }
  EXPECT_TRUE(server_.Requests().empty());
}

}  // namespace
