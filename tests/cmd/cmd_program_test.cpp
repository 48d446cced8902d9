// Kestyl_Cmd as a process: a copy of the built program in <tmp>/bin with its fixtures, exact
// stdout bytes, empty stderr, exit codes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cmd/cmd_fixture.h"
#include "tests/cmd/run_process.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

// Every byte of a literal that holds NULs, without its terminator.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

namespace fs = std::filesystem;
using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ProcessResult;

using ks::test::CmdProgram;
using ks::test::kGuid;

TEST_F(CmdProgram, ArgumentTable) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
    int code;
  } cases[] = {
      {{}, "Code:-1\n", 1},
      {{kGuid}, "Code:-1\n", 1},
      {{kGuid, "cmd_add_icon"}, "Code:-1\n", 1},
      {{kGuid, "CMD_ADD_ICON", "1", "\"/data/x\"", "\"/opt/k/Kestyl\""}, "Code:-1\n", 0},
      {{kGuid, "Cmd_Send_Statistic", "uninstall"}, "Code:-1\n", 0},
      {{kGuid, "cmd_nothing", "1", "2", "3"}, "Code:-1\n", 0},
      {{kGuid, "cmd_add_icon", "1", "\"/data/x\""}, "Code:-1\n", 0},
      {{kGuid, "cmd_db_adaption", "/old"}, "Code:-1\n", 0},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    ExpectResult(Run(c.args), c.line, c.code);
  }
  EXPECT_EQ(0u, server_.Requests().size());
}

TEST_F(CmdProgram, UninstallStatistic) {
  ks::test::WriteFile(bin_ + "/.uuid", "abc");
  ks::test::WriteFile(bin_ + "/Kestyl", Bytes("\x7f" "ELF\0\0KESTYL_VERSION:1.2.3.4\0"));
  ExpectResult(Run({kGuid, "cmd_send_statistic", "uninstall"}), "Code:1\n", 0);
  ASSERT_EQ(1u, server_.Requests().size());
  const auto r = server_.Requests()[0];
  EXPECT_EQ("POST", r.method);
  EXPECT_EQ("/kestyl/pcstatistic.html", r.target);
  EXPECT_EQ("application/x-www-form-urlencoded", r.Header("Content-Type"));
  EXPECT_EQ("username=&version=1.2.3.4&opttype=1&uuid=abc&system=Unknown&desc=", r.body);
}

TEST_F(CmdProgram, LongFormStatistic) {
  ks::test::WriteFile(bin_ + "/.uuid", "abc");
  struct Case {
    std::vector<std::string> args;
    std::string line;
    std::string body;  // "" when nothing may be sent
  } cases[] = {
      {{"me", "2.0", "0", "d", "ID", "S", "x"}, "Code:1\n", "username=me&version=2.0&opttype=1&uuid=ID&system=S&desc=d"},
      {{"me", "2.0", "x", "d", "ID", "S", "x"}, "Code:1\n", "username=me&version=2.0&opttype=1&uuid=ID&system=S&desc=d"},
      {{"me", "2.0", "-3", "a&b c", "ID", "S", "x", "tenth"}, "Code:1\n",
       "username=me&version=2.0&opttype=-3&uuid=ID&system=S&desc=a%26b%20c"},
      {{"", "", "", "", "", "", ""}, "Code:1\n", "username=&version=&opttype=1&uuid=&system=&desc="},
      {{"me", "2.0", "1", "d", "ID", "S"}, "Code:-1\n", ""},
      {{"me"}, "Code:-1\n", ""},
      {{"Uninstall"}, "Code:-1\n", ""},
  };
  size_t sent = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {kGuid, "cmd_send_statistic"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args.size());
    ExpectResult(Run(args), c.line, 0);
    if (!c.body.empty()) ++sent;
    ASSERT_EQ(sent, server_.Requests().size());
    if (!c.body.empty()) {
      EXPECT_EQ(c.body, server_.Requests().back().body);
    }
  }
}

TEST_F(CmdProgram, StatisticWithoutFilesAndWithoutServer) {
  // No .uuid, no desktop program: empty fields, still posted.
  ExpectResult(Run({kGuid, "cmd_send_statistic", "uninstall"}), "Code:1\n", 0);
  ASSERT_EQ(1u, server_.Requests().size());
  EXPECT_EQ("username=&version=&opttype=1&uuid=&system=Unknown&desc=", server_.Requests()[0].body);

  // A refused port and a server that accepts and never answers fail within the stall
  // limit (2 s) plus the check's period: the deadline is what catches a wait for ever.
  FakeWebServer silent;
  silent.SetSilentAccept(true);
  const std::string refused = "KESTYL_WEB_URL=http://127.0.0.1:" + std::to_string(ks::fake::FreeTcpPort());
  for (const std::string& url : {refused, "KESTYL_WEB_URL=" + silent.url()}) {
    SCOPED_TRACE(url);
    ExpectResult(Run({kGuid, "cmd_send_statistic", "uninstall"}, {url}, 6000), "Code:-1\n", 0);
  }
  // Loopback mode never sends beyond the machine.
  ExpectResult(Run({kGuid, "cmd_send_statistic", "uninstall"}, {"KESTYL_WEB_URL=http://192.0.2.1"}, 6000),
               "Code:-1\n", 0);
}

TEST_F(CmdProgram, ProgramPathUnreadable) {
  // A mount namespace whose /proc is an empty tmpfs: /proc/self/exe cannot be read.
  if (!fs::exists("/usr/bin/unshare") || geteuid() != 0) GTEST_SKIP() << "needs unshare as root";
  ProcessResult r = ks::test::RunProcess(
      "/usr/bin/unshare", {"--mount", "--propagation", "private", "/bin/sh", "-c",
                           "mount -t tmpfs none /proc && exec \"$0\" \"$@\"", program_, kGuid, "cmd_unknown", "x"},
      {"ASAN_OPTIONS=detect_leaks=0"}, 60000);
  ASSERT_TRUE(r.started);
  if (r.err.find("mount") != std::string::npos || r.err.find("unshare") != std::string::npos)
    GTEST_SKIP() << "no mount namespace here: " << r.err;
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's own warnings about the missing /proc are not the program's output.
  std::string err;
  for (size_t pos = 0; pos < r.err.size();) {
    size_t end = r.err.find('\n', pos);
    end = end == std::string::npos ? r.err.size() : end + 1;
    if (r.err.compare(pos, 2, "==") != 0) err += r.err.substr(pos, end - pos);
    pos = end;
  }
  r.err = err;
#endif
  ExpectResult(r, "Fatal Error: GetModuleHandle failed\n", 1);
}

}  // namespace
