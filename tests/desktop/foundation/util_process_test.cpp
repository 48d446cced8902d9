// Running tools and batch files, elevation, processes and the registry tests, against a
// platform folder of the test's own (KESTYL_PLATFORM_DIR) and, where the test says so,
// stand-in tools of a folder of its own (KESTYL_SYSTEM_DIR).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/util/ks_util.h"
#include "platform/registry.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/test_support.h"

using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

namespace {

namespace fs = std::filesystem;
namespace pf = ks::platform;

bool WaitForFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

// An installation <tmp>/bin with its conf folder, a platform folder and a folder of
// stand-in tools.
class KsUtilProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_ / "bin");
    fs::create_directories(tmp_ / "conf");
    fs::create_directories(tmp_ / "platform");
    fs::create_directories(tmp_ / "tools");
    CKSUtil::SetProgramFolder(tmp_ / "bin");
  }
  void TearDown() override { CKSUtil::SetProgramFolder(""); }
  std::string Tools(const std::string& name = "") const { return tmp_.path() + "/tools" + (name.empty() ? "" : "/" + name); }
  std::string ShellLog() const { return tmp_ / "platform/shell.log"; }

  TempDir tmp_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", (tmp_ / "platform").c_str()};
  EnvGuard tools_{"KESTYL_SYSTEM_DIR", (tmp_ / "tools").c_str()};
  EnvGuard runas_{"KESTYL_RUNAS", nullptr};
  EnvGuard winver_{"KESTYL_WINVER", nullptr};
};

TEST_F(KsUtilProcess, ToolsRunFromTheToolFolderWhateverPathSays) {
  fs::create_directories(tmp_ / "path");
  for (const char* tool : {"sc", "net", "taskkill", "netsh", "reg", "attrib"}) {
    WriteScript(Tools(tool), std::string("printf '%s:' ") + tool + "\nfor a; do printf '%s|' \"$a\"; done\n");
    WriteScript(tmp_ / ("path/" + std::string(tool)), "echo wrong tool\n");
  }
  EnvGuard path("PATH", (tmp_.path() + "/path:" + std::getenv("PATH")).c_str());
  for (const char* tool : {"sc", "net", "taskkill", "netsh", "reg", "attrib"})
    EXPECT_EQ(CKSUtil::RunCommand(std::string(tool) + " a \"b c\" d\\e", nullptr, true, false),
              std::string(tool) + ":a|b c|d\\e|");
  EXPECT_EQ(CKSUtil::RunCommand("netsh wlan show hostednetwork", nullptr, true, false),
            "netsh:wlan|show|hostednetwork|");
}

TEST_F(KsUtilProcess, CapturedOutputIsWholeAndInOrder) {
  WriteScript(Tools("talk"), "head -c 70000 /dev/zero | tr '\\0' a\necho; echo err >&2; printf end\n");
  const std::string out = CKSUtil::RunCommand(Tools("talk"), nullptr, true, false);
  EXPECT_EQ(out, std::string(70000, 'a') + "\nerr\nend");
  EXPECT_EQ(CKSUtil::RunCommand("/bin/pwd", (tmp_ / "conf").c_str(), true, false), fs::canonical(tmp_ / "conf").string() + "\n");
}

TEST_F(KsUtilProcess, UncapturedCommandsReturnAtOnce) {
  // The child waits for a file that the test makes only after RunCommand has returned.
  const std::string go = tmp_ / "go", done = tmp_ / "done";
  WriteScript(Tools("waiter"), "while [ ! -e \"$1\" ]; do sleep 0.01; done\ntouch \"$2\"\n");
  EXPECT_EQ(CKSUtil::RunCommand(Tools("waiter") + " " + go + " " + done, nullptr, false, false), "ERROR");
  EXPECT_FALSE(fs::exists(done));
  WriteFile(go, "");
  EXPECT_TRUE(WaitForFile(done));
}

TEST_F(KsUtilProcess, CommandsThatCannotStart) {
  EXPECT_EQ(CKSUtil::RunCommand(tmp_ / "missing-program", nullptr, true, false), "ERROR");
  EXPECT_EQ(CKSUtil::RunCommand(tmp_ / "missing-program", nullptr, false, false), "ERROR");
  EXPECT_EQ(CKSUtil::RunCommand("", nullptr, true, false), "ERROR");
  EXPECT_EQ(CKSUtil::RunCommand("sc query x", nullptr, true, false), "ERROR");  // no sc in the tool folder
}

TEST_F(KsUtilProcess, ServiceStartTypeFromScOutput) {
  struct Case {
    const char* output;
    bool autoStart;
  };
  const Case cases[] = {
      {"[SC] QueryServiceConfig SUCCESS\n        START_TYPE         : 2   AUTO_START\n", true},
      {"[SC] QueryServiceConfig SUCCESS\n        START_TYPE         : 3   DEMAND_START\n", false},
      {"[SC] OpenService FAILED 1060:\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    WriteFile(tmp_ / "sc.out", c.output);
    WriteScript(Tools("sc"), "[ \"$1 $2\" = \"qc Kestyl\" ] && cat " + (tmp_ / "sc.out") + "\n");
    EXPECT_EQ(CKSUtil::IsServiceAutoStart(), c.autoStart) << c.output;
  }
}

TEST_F(KsUtilProcess, ElevatedToolsAndPrompts) {
  WriteScript(Tools("sc"), "for a; do printf '%s|' \"$a\"; done > " + (tmp_ / "sc.args") + "\n");
  EXPECT_EQ(CKSUtil::RunElevated("sc", "config Kestyl start= auto", true), 0);
  EXPECT_EQ(ReadFile(tmp_ / "sc.args"), "config|Kestyl|start=|auto|");
  EXPECT_NE(ReadFile(ShellLog()).find("runas accept " + Tools("sc") + " config Kestyl start= auto"), std::string::npos);
  // Only the tool names themselves are taken from the tool folder.
  EXPECT_EQ(CKSUtil::RunElevated("scanner", "", true), 2);
  {
    EnvGuard decline("KESTYL_RUNAS", "decline");
    fs::remove(tmp_ / "sc.args");
    EXPECT_EQ(CKSUtil::RunElevated("sc.exe", "stop Kestyl", true), 1223);
    EXPECT_FALSE(fs::exists(tmp_ / "sc.args"));
    EXPECT_NE(ReadFile(ShellLog()).find("runas decline " + Tools("sc") + " stop Kestyl"), std::string::npos);
  }
}

TEST_F(KsUtilProcess, KillingAProgramThatDoesNotRunElevatesNothing) {
  WriteScript(Tools("taskkill"), "for a; do printf '%s|' \"$a\"; done > " + (tmp_ / "taskkill.args") +
                                     "\necho 'ERROR: The process \"KestylSync\" not found.'\nexit 128\n");
  EXPECT_FALSE(CKSUtil::IsProcessRunning("KestylSync"));
  EXPECT_TRUE(CKSUtil::KillProcess("KestylSync.exe"));
  EXPECT_EQ(ReadFile(tmp_ / "taskkill.args"), "/IM|KestylSync.exe|/F|");
  EXPECT_FALSE(fs::exists(ShellLog()) && ReadFile(ShellLog()).find("runas") != std::string::npos);
  // A name that cannot be quoted is never put into a command.
  fs::remove(tmp_ / "taskkill.args");
  EXPECT_TRUE(CKSUtil::KillProcess("a\" /IM \"b"));
  EXPECT_FALSE(fs::exists(tmp_ / "taskkill.args"));
}

TEST_F(KsUtilProcess, WakeMessageAndWindowsVersion) {
  {
    EnvGuard xp("KESTYL_WINVER", "5.1");
    EXPECT_FALSE(CKSUtil::IsVistaOrLater());
    EXPECT_EQ(CKSUtil::AllowWakeMessage(), 0);
    EXPECT_FALSE(CKSUtil::IsWakeMessageAllowed(0x604));
    EXPECT_FALSE(CKSUtil::IsUacEnabled());
    EXPECT_EQ(CKSUtil::RunBatchElevated(KSBatchFile("rem x\n")), -1);
  }
  EXPECT_TRUE(CKSUtil::IsVistaOrLater());
  EXPECT_EQ(CKSUtil::AllowWakeMessage(), 1);
  EXPECT_TRUE(CKSUtil::IsWakeMessageAllowed(0x604));
  EXPECT_FALSE(CKSUtil::IsWakeMessageAllowed(0x605));
}

TEST_F(KsUtilProcess, UacFollowsEnableLua) {
  struct Case {
    uint32_t value;
    bool enabled;
  };
  const char* key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  EXPECT_TRUE(CKSUtil::IsUacEnabled());  // seeded 1
  for (const Case& c : {Case{0, false}, Case{2, false}, Case{1, true}}) {
    ASSERT_EQ(pf::RegSetDword(pf::HKEY_LOCAL_MACHINE, key, "EnableLUA", c.value), pf::ERROR_SUCCESS);
    EXPECT_EQ(CKSUtil::IsUacEnabled(), c.enabled) << c.value;
  }
  ASSERT_EQ(pf::RegSetString(pf::HKEY_LOCAL_MACHINE, key, "EnableLUA", "1"), pf::ERROR_SUCCESS);
  EXPECT_FALSE(CKSUtil::IsUacEnabled());  // not a DWORD
}

TEST_F(KsUtilProcess, FolderUnderComputer) {
  const std::string guid = "{74362C5A-C943-4FBE-8500-8F82AD459BB7}";
  const std::string ns = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\" + guid;
  const std::string bag = "CLSID\\" + guid + "\\Instance\\InitPropertyBag";
  const std::string longPath = "/data/" + std::string(600, 'x');
  EXPECT_FALSE(IsNamespaceFolderRegistered("/data/share"));
  ASSERT_EQ(pf::RegSetString(pf::HKEY_CLASSES_ROOT, bag, "Target", "/data/share"), pf::ERROR_SUCCESS);
  EXPECT_FALSE(IsNamespaceFolderRegistered("/data/share"));  // the Namespace key is missing
  pf::HKEY k = nullptr;
  ASSERT_EQ(pf::RegCreateKeyEx(pf::HKEY_LOCAL_MACHINE, ns.c_str(), 0, nullptr, 0, pf::KEY_ALL_ACCESS, nullptr, &k, nullptr),
            pf::ERROR_SUCCESS);
  pf::RegCloseKey(k);
  struct Case {
    std::string target, asked;
    bool registered;
  };
  const Case cases[] = {
      {"/data/share", "/data/share", true},
      {"/data/share", "/data/other", false},
      {"/data/share", "/data/Share", false},
      {"/data/share", "/data/share/", false},
      {longPath, longPath, true},
      {longPath, longPath.substr(0, 259), false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(pf::RegSetString(pf::HKEY_CLASSES_ROOT, bag, "Target", c.target), pf::ERROR_SUCCESS);
    EXPECT_EQ(IsNamespaceFolderRegistered(c.asked), c.registered) << c.asked.substr(0, 40);
  }
  pf::HKEY b = nullptr;
  ASSERT_EQ(pf::RegOpenKeyEx(pf::HKEY_CLASSES_ROOT, bag.c_str(), 0, pf::KEY_ALL_ACCESS, &b), pf::ERROR_SUCCESS);
  ASSERT_EQ(pf::RegDeleteValue(b, "Target"), pf::ERROR_SUCCESS);
  pf::RegCloseKey(b);
  EXPECT_FALSE(IsNamespaceFolderRegistered(longPath));
}

TEST_F(KsUtilProcess, OpenUrlHandsTheAddressOverAsOneArgument) {
  WriteScript(Tools("browser"), "for a; do printf '%s|' \"$a\"; done > " + (tmp_ / "browser.args") + "\n");
  EnvGuard browser("KESTYL_BROWSER", Tools("browser").c_str());
  const std::string url = "http://127.0.0.1/a b?x=1&y=\"2\";rm -rf";
  EXPECT_EQ(CKSUtil::OpenUrl(url, false), 0);
  ASSERT_TRUE(WaitForFile(tmp_ / "browser.args"));
  // The stand-in may still be writing: wait for its whole line.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFile(tmp_ / "browser.args") != url + "|" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ReadFile(tmp_ / "browser.args"), url + "|");
  EXPECT_NE(ReadFile(ShellLog()).find("open " + url), std::string::npos);
}

// Batch files run through the command interpreter of the system tools (a link to the
// built one in the stand-in folder).
TEST_F(KsUtilProcess, BatchFiles) {
  fs::create_symlink(std::string(KS_SYSTEM_TOOLS_DIR) + "/cmd", Tools("cmd"));
  WriteScript(Tools("rec"), "out=$1; shift; for a; do printf '%s|' \"$a\"; done > \"$out.tmp\"; mv \"$out.tmp\" \"$out\"\n");
  const std::string plain = tmp_ / "plain.args", elevated = tmp_ / "elevated.args";

  KSBatchFile batch("@echo off\n" + Tools("rec") + " " + plain + " one \"two three\"\n");
  batch.fileName = "ks_sync_cmd.bat";
  EXPECT_EQ(CKSUtil::RunBatch(batch), 0);
  EXPECT_EQ(ReadFile(tmp_ / "conf/ks_sync_cmd.bat"), "@echo off\r\n" + Tools("rec") + " " + plain + " one \"two three\"\r\n");
  ASSERT_TRUE(WaitForFile(plain));
  EXPECT_EQ(ReadFile(plain), "one|two three|");

  KSBatchFile up(Tools("rec") + " " + elevated + " up\n");
  up.fileName = "ks_sync_stop.bat";
  EXPECT_EQ(CKSUtil::RunBatchElevated(up), 0);
  EXPECT_EQ(ReadFile(elevated), "up|");  // waited for
  EXPECT_NE(ReadFile(ShellLog()).find("runas accept " + CKSUtil::GetConfigFolder() + "/ks_sync_stop.bat"),
            std::string::npos);

  KSBatchFile bad("rem\n");
  bad.fileName = "a\"b.bat";
  EXPECT_EQ(CKSUtil::RunBatch(bad), -1);
  EXPECT_EQ(CKSUtil::RunBatchElevated(bad), -1);
  EXPECT_FALSE(fs::exists(tmp_ / "conf/a\"b.bat"));
}

class FakePoster : public IDelayedMessagePoster {
 public:
  void PostDelayed(void* window, unsigned message, uintptr_t wParam, intptr_t lParam, int delayMs) override {
    posts.push_back({window, message, wParam, lParam, delayMs});
  }
  struct Post {
    void* window;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    int delayMs;
  };
  std::vector<Post> posts;
};

TEST(KsUtilDelayedMessage, ClosesTheWindowAfterFiveSecondsThroughThePoster) {
  int window = 0;
  CKSUtil::PostMessageDelayed(&window);  // no poster: nothing
  FakePoster poster;
  CKSUtil::SetDelayedMessagePoster(&poster);
  CKSUtil::PostMessageDelayed(nullptr);
  CKSUtil::PostMessageDelayed(&window);
  CKSUtil::SetDelayedMessagePoster(nullptr);
  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(poster.posts[0].window, &window);
  EXPECT_EQ(poster.posts[0].message, 0x10u);
  EXPECT_EQ(poster.posts[0].wParam, 0u);
  EXPECT_EQ(poster.posts[0].lParam, 0);
  EXPECT_EQ(poster.posts[0].delayMs, 5000);
}

}  // namespace
