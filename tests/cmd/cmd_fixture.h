// A copy of the built Kestyl_Cmd in <tmp>/bin with a platform folder beside it, run with the
// environment of the acceptance checks (loopback, the fake web server, 2 s stall limit).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cmd/run_process.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/test_support.h"

namespace ks::test {

inline constexpr const char* kGuid = "74362C5A-C943-4FBE-8500-8F82AD459BB7";

class CmdProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(bin_);
    std::filesystem::create_directories(platform_);
    std::filesystem::copy_file(KS_CMD_PROGRAM, program_);
  }
  ProcessResult Run(const std::vector<std::string>& args, std::vector<std::string> env = {}, int deadline_ms = 60000) {
    std::vector<std::string> base = {
        "KESTYL_LOOPBACK=1",      "KESTYL_PLATFORM_DIR=" + platform_, "KESTYL_WEB_URL=" + server_.url(),
        "KESTYL_WEB_TIMEOUT_S=2", "http_proxy",                        "HTTP_PROXY",
    };
    base.insert(base.end(), env.begin(), env.end());
    return RunProcess(program_, args, base, deadline_ms);
  }
  static void ExpectResult(const ProcessResult& r, const std::string& line, int code) {
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(line, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(code, r.exit_code);
  }

  ks::fake::FakeWebServer server_;
  TempDir root_;
  std::string bin_ = root_.path() + "/bin";
  std::string platform_ = root_.path() + "/platform";
  std::string program_ = bin_ + "/Kestyl_Cmd";
};

}  // namespace ks::test
