// The synchronisation through the probe program, as the outside checks run it: an
// installation tree of its own (<tmp>/bin with the probe, <tmp>/conf, <tmp>/dev) holding the
// stand-ins, a platform folder of its own, and the probe run as a separate process. Runs
// that must last until something has happened are ended by SIGTERM once it has, so no
// check depends on how fast the machine is.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/sync/sync_logic.h"
#include "platform/utf16.h"
#include "tests/desktop/foundation/probe_run.h"

namespace {

namespace fs = std::filesystem;
namespace pf = ks::platform;
using ks::test::BackgroundProgram;
using ks::test::EnvList;
using ks::test::ProbeInstall;
using ks::test::ProbeResult;
using ks::test::ReadFile;
using ks::test::WriteFile;

template <typename Pred>
bool WaitFor(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SyncProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string arch = CSyncLogic::PlatformFolderName();
    fs::create_directories(install_.conf());
    fs::create_directories(Platform());
    fs::create_directories(Folder());
    fs::create_directories(install_.root() + "/dev/ks_sync_driver/" + arch);
    fs::create_symlink(KS_BUILD_DIR "/bin/KestylSyncNet", install_.bin() + "/KestylSyncNet");
    fs::create_symlink(KS_BUILD_DIR "/conf/KestylSync", install_.conf() + "/KestylSync");
    fs::create_symlink(KS_BUILD_DIR "/dev/ks_sync_driver/" + arch + "/KestylDriverInstall",
                       install_.root() + "/dev/ks_sync_driver/" + arch + "/KestylDriverInstall");
  }
  void TearDown() override {
    // Whatever a failed check left behind of this test's stand-ins.
    for (pid_t pid : StandIns()) ::kill(pid, SIGKILL);
  }

  std::string Platform() const { return install_.root() + "/platform"; }
  std::string Folder() const { return install_.root() + "/folder"; }
  std::string Record(const std::string& program) const { return Platform() + "/sync/" + program + ".log"; }
  std::string RecordText(const std::string& program) const {
    return fs::exists(Record(program)) ? ReadFile(Record(program)) : "";
  }
  EnvList Env(EnvList more = {}) const {
    EnvList env = {{"KESTYL_PLATFORM_DIR", Platform()},
                   {"KESTYL_SYSTEM_DIR", KS_BUILD_DIR "/bin/system"},
                   {"KESTYL_SYNC_PASS_MS", "100"}};
    for (const auto& [key, value] : more) {
      auto same = std::find_if(env.begin(), env.end(), [&](const auto& e) { return e.first == key; });
      if (same != env.end()) same->second = value;
      else env.emplace_back(key, value);
    }
    return env;
  }
  ProbeResult Probe(const std::vector<std::string>& args, const EnvList& more = {}) const {
    std::vector<std::string> all = {"sync"};
    all.insert(all.end(), args.begin(), args.end());
    return install_.Run(all, Env(more));
  }
  std::unique_ptr<BackgroundProgram> Start(const std::vector<std::string>& args, const EnvList& more = {}) const {
    std::vector<std::string> all = {"sync"};
    all.insert(all.end(), args.begin(), args.end());
    return install_.Start(all, Env(more));
  }
  void InstallDriver() const {
    ASSERT_EQ(Probe({"install-driver"}).exitCode, 0);
    ASSERT_EQ(Probe({"check-adapter"}).exitCode, 0);
  }
  // Live (not zombie) KestylSync / KestylSyncNet processes started for this test's platform
  // folder.
  std::vector<pid_t> StandIns() const {
    std::vector<pid_t> found;
    const std::string mark = "KESTYL_PLATFORM_DIR=" + Platform();
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code ec;
      const std::string exe = fs::read_symlink(entry.path() / "exe", ec).filename();
      if (ec || (exe != "KestylSync" && exe != "KestylSyncNet")) continue;
      std::ifstream stat(entry.path() / "stat");
      std::string statLine;
      std::getline(stat, statLine);
      const size_t close = statLine.rfind(')');
      if (close == std::string::npos || close + 2 >= statLine.size() || statLine[close + 2] == 'Z') continue;
      std::ifstream envFile(entry.path() / "environ", std::ios::binary);
      std::stringstream env;
      env << envFile.rdbuf();
      const std::string all = env.str();
      for (size_t at = 0; at < all.size();) {
        const size_t end = all.find('\0', at);
        if (all.compare(at, (end == std::string::npos ? all.size() : end) - at, mark) == 0) {
          found.push_back(static_cast<pid_t>(std::stol(name)));
          break;
        }
        if (end == std::string::npos) break;
        at = end + 1;
      }
    }
    return found;
  }
  bool NothingRunning() const { return StandIns().empty(); }

  ProbeInstall install_;
};

TEST_F(SyncProbe, DriverInstallationMakesTheAdapterFound) {
  EXPECT_EQ(Probe({"check-adapter"}).exitCode, 1);
  EXPECT_EQ(Probe({"install-driver"}, {{"KESTYL_DRIVER_INSTALL", "fail"}}).exitCode, 1);
  EXPECT_EQ(Probe({"check-adapter"}).exitCode, 1);
  EXPECT_EQ(Probe({"install-driver"}).exitCode, 0);
  EXPECT_NE(RecordText("KestylDriverInstall").find("=> Driver installed successfully.\n"), std::string::npos)
      << RecordText("KestylDriverInstall");
  const ProbeResult found = Probe({"check-adapter"});
  EXPECT_EQ(found.exitCode, 0);
  EXPECT_EQ(found.out, "100\ntrue\n");
}

TEST_F(SyncProbe, SecondaryRunStartsBothProgramsAndStopEndsThem) {
  InstallDriver();
  // The secondary's KestylSync copies its log fixture into trans.log; the export then reads it.
  WriteFile(Platform() + "/sync/trans.fixture",
            "started propagating\n[BGN] Copying b,c.txt from //remote/x to /local\n"
            "[BGN] Copying a.txt from /local to //remote/x\n[END] Copying b,c.txt\n[END] Copying a.txt\n"
            "finished propagating at 10:41:22.57 on 03 Nov 2013\n");
  // A pause far longer than the test: Stop must interrupt it, not sit it out.
  auto run = Start({"run", "secondary", "a@b.cn", Folder(), "3600"}, {{"KESTYL_SYNC_PASS_MS", "3600000"}});
  const std::string conf = install_.conf();
  const std::string secondaryArgs = " -root " + Folder() + " -root socket://172.10.10.1:8679/ -logfile " + conf +
                                    "/trans.log -repeat 15 -silent -terse -ignore Name {~$*.*,.SyncConfig}\n";
  EXPECT_TRUE(WaitFor([&] { return RecordText("KestylSync").find(secondaryArgs) != std::string::npos; }))
      << RecordText("KestylSync");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(conf + "/trans.log") && ReadFile(conf + "/trans.log").size() > 0; }));
  const ProbeResult r = run->Finish(SIGTERM, 60000);
  EXPECT_FALSE(r.killed) << "Stop waited for the pause to run out";
  EXPECT_EQ(r.out, "stopped 1\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(RecordText("KestylSyncNet").find(" -c a@b.cn -a 172.10.10.2\n"), std::string::npos);

  const std::string sys = KS_BUILD_DIR "/bin/system";
  EXPECT_EQ(ReadFile(conf + "/ks_sync_cmd.bat"),
            "\"" + sys + "/taskkill\" /IM KestylSyncNet.exe /F\r\n\"" + sys + "/taskkill\" /IM KestylSync.exe /F\r\n\"" +
                sys + "/netsh\" interface ip set address name=\"100\" static 172.10.10.2 255.255.255.0\r\n" +
                "start \"\" /B \"" + install_.bin() + "/KestylSyncNet\" -c a@b.cn -a 172.10.10.2\r\n" + sys +
                "/netsh advfirewall firewall delete rule name=\"KestylSync\" dir=in program=\"" + conf +
                "/KestylSync\" profile=any\r\n" + sys +
                "/netsh advfirewall firewall add rule name=\"KestylSync\" dir=in program=\"" + conf +
                "/KestylSync\" action=allow profile=any\r\n");
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));

  // The log the stand-in wrote, exported in both forms: the ANSI form for simplified
  // Chinese, UTF-16LE without a mark for English; the name with a comma is quoted.
  const std::string text =
      "Time,File Name,Operation\r\n2013/11/03 10:41:22,a.txt,copy\r\n2013/11/03 10:41:22,\"b,c.txt\",copy\r\n";
  ASSERT_EQ(Probe({"export", install_.root() + "/zh.csv", "0804"}).exitCode, 0);
  EXPECT_EQ(ReadFile(install_.root() + "/zh.csv"), text);
  ASSERT_EQ(Probe({"export", install_.root() + "/en.csv", "0409"}).exitCode, 0);
  EXPECT_EQ(ReadFile(install_.root() + "/en.csv"), pf::Utf16ToLeBytes(pf::Utf8ToUtf16(text)));
  EXPECT_EQ(Probe({"export", install_.root() + "/no/such/folder/x.csv", "0409"}).exitCode, 1);
}

TEST_F(SyncProbe, PrimaryRunLeavesAHiddenMarker) {
  InstallDriver();
  auto run = Start({"run", "primary", "a@b.cn", Folder(), "3600"});
  // The attribute store of the test's platform folder, as the attrib tool shows it.
  const std::string marker = Folder() + "/.SyncConfig";
  auto shown = [&] { return ks::test::RunProgram({KS_BUILD_DIR "/bin/system/attrib", marker}, Env()).out; };
  EXPECT_TRUE(WaitFor([&] { return shown().find(" H ") != std::string::npos; })) << shown();
  const ProbeResult r = run->Finish(SIGTERM);
  EXPECT_EQ(r.out, "stopped 1\n");
  EXPECT_NE(RecordText("KestylSync").find(" -socket 8679\n"), std::string::npos);
  EXPECT_NE(RecordText("KestylSyncNet").find(" -c a@b.cn -a 172.10.10.1\n"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));
}

// A KestylSync that ends at once: the notice comes at the 11th pass in a row without it and
// at every 11th after. The primary's pass waits for the program's end (or its marker), so
// each pass counts: after n starts exactly n / 11 notices, or one more when Stop came
// between the notice and the start of its pass.
TEST_F(SyncProbe, ProgramThatEndsAtOnceBringsTheNoticeEveryElevenPasses) {
  InstallDriver();
  auto run = Start({"run", "primary", "a@b.cn", Folder(), "3600"}, {{"KESTYL_SYNC_EXIT", "1"}});
  EXPECT_TRUE(WaitFor([&] { return CountLines(RecordText("KestylSync")) >= 24; }));
  // From the end of the run to the probe's exit: Stop, the stop batch and the exit.
  const ProbeResult r = run->Finish(SIGTERM, 60000);
  EXPECT_FALSE(r.killed);
  RecordProperty("stop_seconds", std::to_string(r.seconds));
  std::printf("stop after the end of the run: %.3f s\n", r.seconds);
  const size_t starts = CountLines(RecordText("KestylSync"));
  const size_t notices = CountOf(r.out, "notice MSGBOX_SETTING_SYNC_DUPIP\n");
  EXPECT_TRUE(notices == starts / 11 || (notices == (starts + 1) / 11 && (starts + 1) % 11 == 0))
      << starts << " starts, " << notices << " notices";
  EXPECT_GE(notices, 2u);
  EXPECT_NE(r.out.find("stopped 1\n"), std::string::npos) << r.out;
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));
}

TEST_F(SyncProbe, DeclinedPromptReportsTheFailureAndLeavesNothing) {
  InstallDriver();
  const ProbeResult r = Probe({"run", "secondary", "a@b.cn", Folder(), "3600"}, {{"KESTYL_RUNAS", "decline"}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "notice MSGBOX_SETTING_SYNC_FAILEDTOOPEN\nstopped 1\n");
  EXPECT_TRUE(NothingRunning());
  EXPECT_EQ(RecordText("KestylSyncNet"), "");
}

TEST_F(SyncProbe, RefusedInputsWriteNoBatchFile) {
  InstallDriver();
  const struct {
    std::string account, folder;
  } cases[] = {{"a@b.cn\" & x", Folder()}, {"a@b.cn", Folder() + "/x\"y"}};
  for (const auto& c : cases) {
    const ProbeResult r = Probe({"run", "secondary", c.account, c.folder, "3600"});
    EXPECT_EQ(r.exitCode, 1) << c.account << c.folder;
    EXPECT_EQ(r.out, "notice MSGBOX_SETTING_SYNC_FAILEDTOOPEN\nstopped 1\n") << c.account << c.folder;
    EXPECT_FALSE(fs::exists(install_.conf() + "/ks_sync_cmd.bat")) << c.account << c.folder;
  }
  EXPECT_TRUE(NothingRunning());
}

}  // namespace
