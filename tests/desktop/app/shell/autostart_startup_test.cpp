// The autostart step and the start-up road against recording hosts, and the system hosts'
// files (repair script, Run value, session autostart entry) in a temporary installation.
#include "desktop/app/shell/autostart.h"
#include "desktop/app/shell/startup.h"
#include "desktop/app/shell/system_hosts.h"
#include "desktop/foundation/util/ks_util.h"

#include "tests/desktop/app/shell/recording_hosts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using kstest::RecordingAutoStartHost;
using kstest::RecordingStartupHost;

// ---- autostart ----

const std::string kAuto =
    "elevated sc config Kestyl binPath= \"\\\"/opt/k s/bin/KestylClient\\\" -r Kestyl\" start= auto / "
    "MSGBOX_UAC_STOPSERVICE";
const std::string kDemand =
    "elevated sc config Kestyl binPath= \"\\\"/opt/k s/bin/KestylClient\\\" -r Kestyl\" start= demand / "
    "MSGBOX_UAC_STOPSERVICE";
const std::string kSetRun = "set run \"/opt/k s/bin/Kestyl\" autostartup";

struct AutoCase {
  const char* name;
  bool check;
  int pending;
  std::vector<bool> autoStart;  // before, after
  Calls calls;
  bool present;
};
void PrintTo(const AutoCase& c, std::ostream* os) { *os << c.name; }

class AutoStart : public ::testing::TestWithParam<AutoCase> {};

TEST_P(AutoStart, RunValueAndEntryFollowTheStartType) {
  const AutoCase& c = GetParam();
  RecordingAutoStartHost host;
  host.autoStart.assign(c.autoStart.begin(), c.autoStart.end());
  ks::app::SetAutoStart(host, "/opt/k s/bin", c.check, c.pending);
  EXPECT_EQ(host.calls, c.calls);
  EXPECT_EQ(host.runValue, c.present);
  EXPECT_EQ(host.entry, c.present);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, AutoStart,
    ::testing::Values(
        AutoCase{"tick", true, 1, {false, true}, {"open", kAuto, kSetRun, "write entry", "close"}, true},
        AutoCase{"untick", false, 1, {true, false}, {"open", kDemand, "delete run", "remove entry", "close"}, false},
        // sc failed or was declined: both follow the start type the service still has.
        AutoCase{"tick_sc_failed", true, 1, {false, false}, {"open", kAuto, "delete run", "remove entry", "close"},
                 false},
        AutoCase{"untick_sc_failed", false, 1, {true, true}, {"open", kDemand, kSetRun, "write entry", "close"},
                 true},
        AutoCase{"unchanged", true, 0, {true, true}, {"open", kSetRun, "write entry", "close"}, true},
        AutoCase{"pending_other_than_one", true, 2, {false, false}, {"open", "delete run", "remove entry", "close"},
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AutoStartKey, UnopenableRunKeyChangesNothing) {
  RecordingAutoStartHost host;
  host.keyOpens = false;
  ks::app::SetAutoStart(host, "/opt/k s/bin", true, 1);
  EXPECT_EQ(host.calls, (Calls{"open"}));
}

TEST(AutoStartEntry, ExecQuotesThePathAndRefusesLineBreaks) {
  EXPECT_NE(ks::app::AutostartEntryText("/opt/k s/bin").find("\nExec=\"/opt/k s/bin/Kestyl\" autostartup\n"),
            std::string::npos);
  // '"', '$', '`' and '\' escaped for the Exec key, then '\' doubled for the string value.
  EXPECT_NE(ks::app::AutostartEntryText("/a\"b$c`d\\e").find("Exec=\"/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/Kestyl\""),
            std::string::npos);
  EXPECT_EQ(ks::app::AutostartEntryText("/a\nExec=/bin/evil"), "");
  RecordingAutoStartHost host;
  host.autoStart = {false, true};
  ks::app::SetAutoStart(host, "/a\nb", true, 1);
  EXPECT_FALSE(host.entry);
  EXPECT_FALSE(host.runValue);
}

// ---- the start-up road ----

struct RoadCase {
  const char* name;
  RecordingStartupHost::Lock lock;
  bool elevated;
  bool launcher;
  bool autostart;
  std::vector<bool> agent;
  std::string path;
  int code;
  Calls calls;
};
void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

Calls AutostartWaitWithoutAgent() {
  Calls calls = {"lock"};
  for (int i = 0; i < 32; ++i) {
    calls.push_back("agent?");
    if (i < 31) calls.push_back("pause");
  }
  for (int i = 0; i < 5; ++i) calls.push_back("pause");
  calls.insert(calls.end(), {"agent?", "unlock", "runas /opt/k s/bin/Kestyl"});
  return calls;
}

class StartupRoad : public ::testing::TestWithParam<RoadCase> {};

TEST_P(StartupRoad, TakesItsRoad) {
  const RoadCase& c = GetParam();
  RecordingStartupHost host;
  host.lock = c.lock;
  host.elevated = c.elevated;
  host.launcher = c.launcher;
  host.agentRunning.assign(c.agent.begin(), c.agent.end());
  host.programPath = c.path;
  host.mainWindowCode = 1;
  EXPECT_EQ(ks::app::RunStartup(host, c.autostart), c.code);
  EXPECT_EQ(host.calls, c.calls);
}

using L = RecordingStartupHost::Lock;
const std::string kPath = "/opt/k s/bin/Kestyl";

INSTANTIATE_TEST_SUITE_P(
    Roads, StartupRoad,
    ::testing::Values(
        RoadCase{"second_start", L::kHeldElsewhere, true, false, false, {false}, kPath, 0, {"lock", "wake"}},
        RoadCase{"second_start_not_elevated", L::kHeldElsewhere, false, false, true, {true}, kPath, 0,
                 {"lock", "wake"}},
        RoadCase{"elevated", L::kAcquired, true, false, false, {false}, kPath, 1,
                 {"lock", "main window", "stop sync", "unlock"}},
        RoadCase{"lock_error_runs_anyway", L::kError, true, false, false, {false}, kPath, 1,
                 {"lock", "main window", "stop sync", "unlock"}},
        RoadCase{"agent_running", L::kAcquired, false, false, false, {true}, kPath, 0,
                 {"lock", "agent?", "unlock", "session env", "exec '/opt/k s/bin/Kestyl'"}},
        RoadCase{"no_agent", L::kAcquired, false, false, false, {false}, kPath, 0,
                 {"lock", "agent?", "unlock", "runas /opt/k s/bin/Kestyl"}},
        RoadCase{"autostart_waits", L::kAcquired, false, false, true, {false}, kPath, 0,
                 AutostartWaitWithoutAgent()},
        RoadCase{"autostart_agent_appears", L::kAcquired, false, false, true, {false, false, true}, kPath, 0,
                 {"lock", "agent?", "pause", "agent?", "pause", "agent?", "pause", "pause", "pause", "pause",
                  "pause", "agent?", "unlock", "session env", "exec '/opt/k s/bin/Kestyl'"}},
        RoadCase{"started_by_launcher_never_hands_over", L::kAcquired, false, true, false, {true}, kPath, 1,
                 {"lock", "main window", "stop sync", "unlock"}},
        RoadCase{"quote_in_path", L::kAcquired, false, false, false, {true}, "/o'k/Kestyl", 0,
                 {"lock", "agent?", "unlock", "session env", "exec '/o'\\''k/Kestyl'"}},
        RoadCase{"line_break_in_path", L::kAcquired, false, false, false, {true}, "/a\n/Kestyl", 0,
                 {"lock", "agent?", "unlock", "log Program path cannot be handed over: line break"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartupCommandLine, AutostartMarkerAfterTheFirstCharacter) {
  EXPECT_TRUE(ks::app::IsAutoStart("/opt/bin/Kestyl autostartup"));
  EXPECT_FALSE(ks::app::IsAutoStart("autostartup"));
  EXPECT_FALSE(ks::app::IsAutoStart("/opt/bin/Kestyl"));
}

TEST(StartupCommandLine, HandOverCarriesOnlyPlainKestylVariables) {
  const std::vector<std::string> environment = {
      "KESTYL_AGENT_PORT=15002",
      "KESTYL_VENDOR_PORT=it's",       // quoted for the shell
      "KESTYL_ELEVATED=0",             // the launcher's own
      "KESTYL_PLATFORM_DIR=/x",        // the launcher's own
      "KESTYL_BAD NAME=1",             // not a plain name
      "KESTYL_LINE=a\nb",              // a line break would end the command
      "KESTYL_TAB=a\tb",
      "KESTYL_UI_TRACE=/tmp/a b",
      "DISPLAY=:1",
      "KESTYL_NOEQUALS",
  };
  EXPECT_EQ(ks::app::SessionEnvironmentPrefix(environment),
            "KESTYL_AGENT_PORT='15002' KESTYL_VENDOR_PORT='it'\\''s' KESTYL_UI_TRACE='/tmp/a b' ");
  EXPECT_EQ(ks::app::SessionEnvironmentPrefix({}), "");
}

// ---- system hosts on files ----

struct FileServiceHost : ks::app::SystemServiceHost {
  void ShowNotice(const std::string&) override {}
  void ShowStartFailed() override {}
  void StopTimers() override {}
  void EndProgram() override {}
  std::string Text(const std::string&, const std::string&) override { return ""; }
};

struct FileAutoStartHost : ks::app::SystemAutoStartHost {
  bool RunElevated(const std::string&, const std::string&, const std::string&) override { return false; }
};

class SystemHostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ks_shell_hostsXXXXXX";
    root_ = ::mkdtemp(pattern);
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "conf");
    fs::create_directories(root_ / "platform");
    CKSUtil::SetProgramFolder((root_ / "bin").string());
    Save("KESTYL_PLATFORM_DIR", (root_ / "platform").string());
    Save("XDG_CONFIG_HOME", (root_ / "xdg").string());
  }
  void TearDown() override {
    CKSUtil::SetProgramFolder("");
    for (auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
    fs::remove_all(root_);
  }
  void Save(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(SystemHostFiles, RepairScriptIsOwnerOnlyCrLfAndNeverFollowsALink) {
  FileServiceHost host;
  const fs::path script = root_ / "conf" / "_tmp_reg_service.bat";
  const fs::path victim = root_ / "victim";
  { std::ofstream(victim) << "keep"; }
  fs::create_symlink(victim, script);
  ASSERT_TRUE(host.WriteScript("_tmp_reg_service.bat", "a\nb"));
  EXPECT_FALSE(fs::is_symlink(script));
  EXPECT_EQ(Read(victim), "keep");
  EXPECT_EQ(Read(script), "a\r\nb");
  struct stat st{};
  ASSERT_EQ(::stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  host.RemoveScript("_tmp_reg_service.bat");
  EXPECT_FALSE(fs::exists(script));
}

TEST_F(SystemHostFiles, RunValueAndEntryAreWrittenAndRemovedTogether) {
  FileAutoStartHost host;
  ASSERT_TRUE(host.OpenRunKey());
  const std::string bin = (root_ / "bin").string();
  host.SetRunValue(ks::app::RunValueText(bin));
  host.WriteAutostartEntry(ks::app::AutostartEntryText(bin));
  host.CloseRunKey();
  EXPECT_TRUE(ks::app::RunValuePresent());
  const fs::path entry = root_ / "xdg" / "autostart" / "Kestyl.desktop";
  EXPECT_NE(Read(entry).find("Exec=\"" + bin + "/Kestyl\" autostartup"), std::string::npos);

  ASSERT_TRUE(host.OpenRunKey());
  host.DeleteRunValue();
  host.RemoveAutostartEntry();
  host.CloseRunKey();
  EXPECT_FALSE(ks::app::RunValuePresent());
  EXPECT_FALSE(fs::exists(entry));
}

}  // namespace
