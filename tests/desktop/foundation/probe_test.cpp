// The probe program in an installation tree of its own, as the outside checks run it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/desktop/foundation/probe_run.h"

using ks::test::ProbeInstall;
using ks::test::ReadFile;
using ks::test::WriteFile;

namespace {

namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kWeb = {{"KESTYL_WEB_URL", "http://127.0.0.1:9"}};

TEST(KsProbe, ConfigurationOfTheInstallTree) {
  ProbeInstall install;
  auto r = install.Run({"config", "get", "UpdateURL"}, kWeb);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "http://127.0.0.1:9/kestyl/update-pc.html\n");
  ASSERT_TRUE(fs::exists(install.conf() + "/ks_config.cfg"));
  const std::map<std::string, std::string> defaults = {
      {"Language", "-1"},       {"RemPass", "false"},       {"SyncAsPrimary", "false"}, {"SyncOn", "false"},
      {"SyncPath", ""},         {"GlobalLoggerOn", "true"}, {"DebugOn", "false"}};
  for (auto& [key, value] : defaults) EXPECT_EQ(install.Run({"config", "get", key}).out, value + "\n") << key;

  // A deleted default file comes back; a changed configuration file stays.
  fs::remove(install.conf() + "/HtmlDlg.htm");
  WriteFile(install.conf() + "/ks_config.cfg", "[ks_config]\r\nLanguage=0\r\n");
  EXPECT_EQ(install.Run({"config", "get", "Language"}).out, "0\n");
  EXPECT_EQ(ReadFile(install.conf() + "/HtmlDlg.htm"), ReadFile(install.bin() + "/roaming/HtmlDlg.htm"));
  EXPECT_EQ(ReadFile(install.conf() + "/ks_config.cfg"), "[ks_config]\r\nLanguage=0\r\n");
}

TEST(KsProbe, SettingTheLanguageKeepsTheFile) {
  ProbeInstall install;
  auto r = install.Run({"config", "set", "Language", "2"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ReadFile(install.conf() + "/ks_config.cfg"),
            "[ks_config]\r\nLanguage=2\r\nRemPass=false\r\nSyncAsPrimary=false\r\nSyncOn=false\r\n"
            "SyncPath=\r\nGlobalLoggerOn=true\r\nDebugOn=false\r\n");
  EXPECT_EQ(install.Run({"config", "get", "Language"}).out, "2\n");
}

TEST(KsProbe, ProgramFolderNamedBinOtherwiseIsTheRoot) {
  ProbeInstall install("Bin");
  EXPECT_EQ(install.Run({"config", "get", "Language"}).out, "-1\n");
  EXPECT_TRUE(fs::exists(install.bin() + "/conf/ks_config.cfg"));
  EXPECT_FALSE(fs::exists(install.root() + "/conf"));
}

TEST(KsProbe, LogLinesOfEightThreads) {
  ProbeInstall install;
  ASSERT_EQ(install.Run({"log", "600", "x", "8", "500"}).exitCode, 0);
  ASSERT_EQ(install.Run({"log", "700", "y"}).exitCode, 0);
  const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}\]\[INFO\]\[LOG (\d+) CSettingDlg::OnClose 12\] x)");
  std::istringstream in(ReadFile(install.conf() + "/ks_log.log"));
  int lines = 0;
  std::set<std::string> tids;
  for (std::string l; std::getline(in, l); ++lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    tids.insert(m[1]);
  }
  EXPECT_EQ(lines, 4000);
  EXPECT_EQ(tids.size(), 8u);
}

TEST(KsProbe, LoggerSwitchedOffWritesNoFile) {
  ProbeInstall install;
  ASSERT_EQ(install.Run({"config", "set", "GlobalLoggerOn", "false"}).exitCode, 0);
  ASSERT_EQ(install.Run({"log", "600", "x"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(install.conf() + "/ks_log.log"));
  ASSERT_EQ(install.Run({"config", "set", "GlobalLoggerOn", "True"}).exitCode, 0);
  ASSERT_EQ(install.Run({"log", "600", "x"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(install.conf() + "/ks_log.log"));
}

TEST(KsProbe, AnswerTables) {
  ProbeInstall install;
  const std::string link = install.root() + "/to-etc";
  fs::create_symlink("/etc", link);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
  };
  const std::vector<std::pair<std::string, std::string>> noTmp = {{"KESTYL_SYSTEM_TREES", "/usr:/etc"}};
  const Case cases[] = {
      {{"allowed", "/"}, 1, "false\n"},
      {{"allowed", "/usr/share/x"}, 1, "false\n"},
      {{"allowed", "/data/usr"}, 0, "true\n"},
      {{"allowed", "/variety"}, 0, "true\n"},
      {{"allowed", link}, 1, "false\n"},
      {{"allowed", "/tmp/x"}, 1, "false\n"},
      {{"email", "a.b-c_d@example.com.cn"}, 0, "true\n"},
      {{"email", "a@mail.example.com"}, 1, "false\n"},
      {{"email", "a@example.info"}, 1, "false\n"},
      {{"urlencode", "ab.cn"}, 0, "%61%62%2e%63%6e\n"},
      {{"urlencode", "\t"}, 0, "%09\n"},
      {{"nonsense"}, 2, ""},
  };
  for (const Case& c : cases) {
    auto r = install.Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
  }
  EXPECT_EQ(install.Run({"allowed", "/tmp/x"}, noTmp).exitCode, 0);
}

}  // namespace

// The probe with the built system tools, the real agent and the command program, each
// installation with a platform folder of its own.
class KsProbeSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(install_.root() + "/platform");
    env_ = {{"KESTYL_PLATFORM_DIR", install_.root() + "/platform"},
            {"KESTYL_SYSTEM_DIR", KS_SYSTEM_TOOLS_DIR},
            {"KESTYL_LOOPBACK", "1"},
            {"KESTYL_ELEVATED", "0"}};
  }
  ks::test::EnvList Env(ks::test::EnvList more = {}) const {
    ks::test::EnvList e = env_;
    e.insert(e.end(), more.begin(), more.end());
    return e;
  }
  ks::test::ProbeResult Tool(const std::string& tool, const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {std::string(KS_SYSTEM_TOOLS_DIR) + "/" + tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return ks::test::RunProgram(argv, env_);
  }

  ProbeInstall install_;
  ks::test::EnvList env_;
};

TEST_F(KsProbeSystem, ServiceStartTypeFollowsScConfig) {
  auto installed = ks::test::RunProgram({KS_BIN_DIR "/KestylClient", "-i", "Kestyl"}, env_);
  ASSERT_EQ(installed.exitCode, 0) << installed.out;
  ASSERT_EQ(Tool("sc", {"config", "Kestyl", "start=", "demand"}).exitCode, 0);
  EXPECT_EQ(install_.Run({"autostart"}, Env()).exitCode, 1);
  ASSERT_EQ(Tool("sc", {"config", "Kestyl", "start=", "auto"}).exitCode, 0);
  EXPECT_EQ(install_.Run({"autostart"}, Env()).exitCode, 0);
}

TEST_F(KsProbeSystem, ElevationFromTheRegistryQuery) {
  EXPECT_EQ(install_.Run({"elevated"}, Env({{"KESTYL_ELEVATED", "1"}})).exitCode, 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(install_.Run({"elevated"}, Env()).exitCode, 1);
    return;
  }
  // Root is always elevated: the "without" case runs as nobody.
  fs::permissions(install_.root(), fs::perms::all, fs::perm_options::replace);
  fs::permissions(install_.root() + "/platform", fs::perms::all, fs::perm_options::replace);
  auto r = install_.Run({"elevated"}, Env(), 65534);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(r.out, "false\n");
}

TEST_F(KsProbeSystem, KillingAnAbsentProgramPromptsNothing) {
  for (const char* name : {"KestylSync", "KestylSyncNet.exe", "Kestyl"}) {
    EXPECT_EQ(install_.Run({"running", name}, Env()).exitCode, 1) << name;
    EXPECT_EQ(install_.Run({"kill", name}, Env()).exitCode, 0) << name;
  }
  const std::string shellLog = install_.root() + "/platform/shell.log";
  EXPECT_FALSE(fs::exists(shellLog) && ReadFile(shellLog).find("runas") != std::string::npos);
}

TEST_F(KsProbeSystem, KillingARunningProgram) {
  // A program named KestylSync of this installation (its environment names the platform
  // folder), waiting on a pipe that never delivers.
  const std::string program = install_.root() + "/KestylSync";
  fs::copy_file("/bin/sleep", program);
  std::string envEntry = "KESTYL_PLATFORM_DIR=" + install_.root() + "/platform";
  char* envp[] = {envEntry.data(), nullptr};
  std::string arg0 = "KestylSync", arg1 = "1000";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execve(program.c_str(), argv, envp);
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (install_.Run({"running", "kestylsync.EXE"}, Env()).exitCode != 0 && std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(install_.Run({"running", "kestylsync.EXE"}, Env()).exitCode, 0);
  EXPECT_EQ(install_.Run({"kill", "KestylSync.exe"}, Env()).exitCode, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(install_.Run({"running", "KestylSync"}, Env()).exitCode, 1);
}

TEST_F(KsProbeSystem, ToolCommandsIgnoreAnotherNetshOnPath) {
  const std::string netsh = std::string(KS_SYSTEM_TOOLS_DIR) + "/netsh";
  ASSERT_TRUE(fs::exists(netsh));
  fs::create_directories(install_.root() + "/path");
  WriteFile(install_.root() + "/path/netsh", "#!/bin/sh\necho wrong netsh\n");
  fs::permissions(install_.root() + "/path/netsh", fs::perms::owner_all);
  const auto env = Env({{"PATH", install_.root() + "/path:" + std::getenv("PATH")}});
  auto direct = ks::test::RunProgram({netsh, "wlan", "show", "hostednetwork"}, env_);
  auto viaProbe = install_.Run({"run", "netsh wlan show hostednetwork"}, env);
  EXPECT_EQ(viaProbe.exitCode, 0);
  EXPECT_EQ(viaProbe.out, direct.out);
  EXPECT_EQ(viaProbe.out.find("wrong netsh"), std::string::npos);
}

TEST_F(KsProbeSystem, FolderUnderComputerAfterTheCommandProgram) {
  const std::string guid = "74362C5A-C943-4FBE-8500-8F82AD459BB7";
  const std::string share = install_.root() + "/share", longShare = "/data/" + std::string(600, 'x');
  auto reg = ks::test::RunProgram({KS_BIN_DIR "/Kestyl_Cmd", guid, "cmd_add_icon", "1", share, "/icon.ico"}, env_);
  ASSERT_EQ(reg.out, "Code:1\n");
  EXPECT_EQ(install_.Run({"namespace", share}, Env()).exitCode, 0);
  EXPECT_EQ(install_.Run({"namespace", share + "/other"}, Env()).exitCode, 1);
  reg = ks::test::RunProgram({KS_BIN_DIR "/Kestyl_Cmd", guid, "cmd_add_icon", "1", longShare, "/icon.ico"}, env_);
  ASSERT_EQ(reg.out, "Code:1\n");
  EXPECT_EQ(install_.Run({"namespace", longShare}, Env()).exitCode, 0);
  EXPECT_EQ(install_.Run({"namespace", share}, Env()).exitCode, 1);
}
