// The synchronisation control against the stand-ins of its outside programs, in an
// installation of the test's own (<tmp>/bin, <tmp>/conf, <tmp>/dev) with the system tools of
// the build and a platform folder of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/sync/sync_logic.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/file_attributes.h"
#include "platform/process_list.h"
#include "platform/utf16.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
namespace pf = ks::platform;
using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
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

// Records each notice with the number of KestylSync starts recorded before it. The worker
// waits in the notice, so no start happens meanwhile: the notice waits (bounded) for the
// records of the starts it expects to have landed, then counts them.
class RecordingNotice : public ISyncNotice {
 public:
  RecordingNotice(std::string recordLog, std::vector<size_t> expectedStarts)
      : recordLog_(std::move(recordLog)), expected_(std::move(expectedStarts)) {}
  void ShowNotice(const std::string& key) override {
    std::lock_guard<std::mutex> g(m_);
    const size_t want = keys_.size() < expected_.size() ? expected_[keys_.size()] : 0;
    auto count = [&] { return fs::exists(recordLog_) ? CountLines(ReadFile(recordLog_)) : 0; };
    WaitFor([&] { return count() >= want; });
    keys_.push_back(key);
    startsBefore_.push_back(count());
  }
  std::vector<std::string> Keys() {
    std::lock_guard<std::mutex> g(m_);
    return keys_;
  }
  std::vector<size_t> StartsBefore() {
    std::lock_guard<std::mutex> g(m_);
    return startsBefore_;
  }

 private:
  std::string recordLog_;
  std::vector<size_t> expected_;
  std::mutex m_;
  std::vector<std::string> keys_;
  std::vector<size_t> startsBefore_;
};

class SyncLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string arch = CSyncLogic::PlatformFolderName();
    fs::create_directories(tmp_ / "bin");
    fs::create_directories(tmp_ / "conf");
    fs::create_directories(tmp_ / "platform");
    fs::create_directories(tmp_ / "folder");
    fs::create_directories(tmp_ / ("dev/ks_sync_driver/" + arch));
    fs::create_symlink(KS_BUILD_DIR "/bin/KestylSyncNet", tmp_ / "bin/KestylSyncNet");
    fs::create_symlink(KS_BUILD_DIR "/conf/KestylSync", tmp_ / "conf/KestylSync");
    fs::create_symlink(KS_BUILD_DIR "/dev/ks_sync_driver/" + arch + "/KestylDriverInstall",
                       tmp_ / ("dev/ks_sync_driver/" + arch + "/KestylDriverInstall"));
    CKSUtil::SetProgramFolder(tmp_ / "bin");
  }
  void TearDown() override {
    CSyncLogic::Stop();
    CSyncLogic::SetNotice(nullptr);
    pf::KillProcessesByName("KestylSync", true);
    pf::KillProcessesByName("KestylSyncNet", true);
    CKSUtil::SetProgramFolder("");
  }
  std::string Record(const std::string& program) const { return tmp_ / ("platform/sync/" + program + ".log"); }
  std::string RecordText(const std::string& program) const {
    return fs::exists(Record(program)) ? ReadFile(Record(program)) : "";
  }
  std::string Folder() const { return tmp_ / "folder"; }
  std::string Conf() const { return tmp_ / "conf"; }
  bool NothingRunning() const {
    return !pf::IsProcessRunning("KestylSync") && !pf::IsProcessRunning("KestylSyncNet");
  }
  std::u16string InstalledAdapter() {
    std::u16string index;
    EXPECT_TRUE(CSyncLogic::InstallDriver());
    EXPECT_TRUE(CSyncLogic::CheckAdapter(index));
    return index;
  }

  TempDir tmp_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", (tmp_ / "platform").c_str()};
  EnvGuard tools_{"KESTYL_SYSTEM_DIR", KS_BUILD_DIR "/bin/system"};
  EnvGuard runas_{"KESTYL_RUNAS", nullptr};
  EnvGuard winver_{"KESTYL_WINVER", nullptr};
  EnvGuard exit_{"KESTYL_SYNC_EXIT", nullptr};
  EnvGuard pass_{"KESTYL_SYNC_PASS_MS", "100"};
  EnvGuard install_{"KESTYL_DRIVER_INSTALL", nullptr};
};

TEST_F(SyncLogic, DriverInstallAndAdapterLookup) {
  std::u16string index;
  EXPECT_FALSE(CSyncLogic::CheckAdapter(index));
  {
    EnvGuard fail{"KESTYL_DRIVER_INSTALL", "fail"};
    EXPECT_FALSE(CSyncLogic::InstallDriver());
    EXPECT_FALSE(CSyncLogic::CheckAdapter(index));
  }
  WriteFile(tmp_ / "platform/adapters", "index=140 type=ethernet desc=Some Card mac=00:11:22:33:44:55\n");
  EXPECT_TRUE(CSyncLogic::InstallDriver());
  ASSERT_TRUE(CSyncLogic::CheckAdapter(index));
  EXPECT_EQ(index, u"141");  // the next free index
  const std::string root = tmp_.path(), arch = CSyncLogic::PlatformFolderName();
  EXPECT_NE(RecordText("KestylDriverInstall")
                .find(" install " + root + "/dev/ks_sync_driver/" + arch + "/OemWin2k.inf TAP0901\n"),
            std::string::npos)
      << RecordText("KestylDriverInstall");
  EXPECT_NE(ReadFile(tmp_ / "platform/adapters").find(pf::Utf16ToUtf8(CSyncLogic::AdapterDescription())),
            std::string::npos);
}

TEST_F(SyncLogic, StartBatchBytesForBothRoles) {
  const std::string sys = KS_BUILD_DIR "/bin/system", bin = tmp_ / "bin", conf = Conf();
  for (const bool primary : {true, false}) {
    const std::string ip = primary ? "172.10.10.1" : "172.10.10.2";
    const std::string expected =
        "\"" + sys + "/taskkill\" /IM KestylSyncNet.exe /F\r\n\"" + sys + "/taskkill\" /IM KestylSync.exe /F\r\n\"" +
        sys + "/netsh\" interface ip set address name=\"12\" static " + ip + " 255.255.255.0\r\nstart \"\" /B \"" +
        bin + "/KestylSyncNet\" -c a@b.cn -a " + ip + "\r\n" + sys +
        "/netsh advfirewall firewall delete rule name=\"KestylSync\" dir=in program=\"" + conf +
        "/KestylSync\" profile=any\r\n" + sys + "/netsh advfirewall firewall add rule name=\"KestylSync\" dir=in program=\"" +
        conf + "/KestylSync\" action=allow profile=any\r\n";
    ASSERT_TRUE(CSyncLogic::RunStartBatch(u"12", "a@b.cn", Folder(), primary));
    EXPECT_EQ(ReadFile(Conf() + "/ks_sync_cmd.bat"), expected);
    ASSERT_TRUE(WaitFor([&] { return RecordText("KestylSyncNet").find("-c a@b.cn -a " + ip) != std::string::npos; }));
    pf::KillProcessesByName("KestylSyncNet", true);
  }
}

TEST_F(SyncLogic, RefusedInputsWriteNoBatch) {
  const struct {
    const char* account;
    std::string folder;
  } cases[] = {
      {"a@b.cn\" & x", Folder()},
      {"not-an-address", Folder()},
      {"a@b.cn", Folder() + "/x\"y"},
      {"a@b.cn", Folder() + "/x\ny"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(CSyncLogic::RunStartBatch(u"3", c.account, c.folder, false)) << c.account << c.folder;
    EXPECT_FALSE(fs::exists(Conf() + "/ks_sync_cmd.bat")) << c.account << c.folder;
  }
}

TEST_F(SyncLogic, StopWhenNeverStartedRunsNothing) {
  EXPECT_TRUE(CSyncLogic::Stop());
  EXPECT_FALSE(fs::exists(Conf() + "/ks_sync_stop.bat"));
}

TEST_F(SyncLogic, SecondaryKeepsProgramsUpAndStopEndsThem) {
  // A pause far longer than the test's time limit: Stop must interrupt it, not sit it out.
  EnvGuard longPass{"KESTYL_SYNC_PASS_MS", "3600000"};
  const std::u16string index = InstalledAdapter();
  ASSERT_TRUE(CSyncLogic::Configure(index, "a@b.cn", Folder(), false));
  ASSERT_TRUE(CSyncLogic::StartNetwork());
  ASSERT_TRUE(CSyncLogic::Run());
  ASSERT_TRUE(CSyncLogic::Run());  // a second call starts no second worker
  const std::string expected = " -root " + Folder() + " -root socket://172.10.10.1:8679/ -logfile " + Conf() +
                               "/trans.log -repeat 15 -silent -terse -ignore Name {~$*.*,.SyncConfig}\n";
  ASSERT_TRUE(WaitFor([&] { return RecordText("KestylSync").find(expected) != std::string::npos; }))
      << RecordText("KestylSync");
  ASSERT_TRUE(WaitFor([&] { return RecordText("KestylSyncNet").find("-c a@b.cn -a 172.10.10.2") != std::string::npos; }));
  EXPECT_TRUE(pf::IsProcessRunning("KestylSync"));
  EXPECT_TRUE(pf::IsProcessRunning("KestylSyncNet"));
  EXPECT_TRUE(CSyncLogic::Stop());
  EXPECT_FALSE(CSyncLogic::IsRunning());
  EXPECT_TRUE(fs::exists(Conf() + "/ks_sync_stop.bat"));
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));
  // Only one KestylSync was started although Run was called twice.
  EXPECT_EQ(CountLines(RecordText("KestylSync")), 1u);
}

TEST_F(SyncLogic, PrimaryCreatesHiddenMarker) {
  const std::u16string index = InstalledAdapter();
  ASSERT_TRUE(CSyncLogic::Configure(index, "a@b.cn", Folder(), true));
  ASSERT_TRUE(CSyncLogic::StartNetwork());
  ASSERT_TRUE(CSyncLogic::Run());
  const std::string marker = Folder() + "/.SyncConfig";
  ASSERT_TRUE(WaitFor([&] {
    return fs::exists(marker) && (pf::GetFileAttributes(marker) & pf::FILE_ATTRIBUTE_HIDDEN) != 0;
  }));
  EXPECT_NE(RecordText("KestylSync").find(" -socket 8679\n"), std::string::npos);
  EXPECT_TRUE(CSyncLogic::Stop());
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));
}

TEST_F(SyncLogic, DupIpNoticeEveryElevenPassesAndPromptStop) {
  EnvGuard exitAtOnce{"KESTYL_SYNC_EXIT", "1"};
  EnvGuard pass{"KESTYL_SYNC_PASS_MS", "200"};
  RecordingNotice notice(Record("KestylSync"), {10, 21});
  CSyncLogic::SetNotice(&notice);
  const std::u16string index = InstalledAdapter();
  ASSERT_TRUE(CSyncLogic::Configure(index, "a@b.cn", Folder(), false));
  ASSERT_TRUE(CSyncLogic::StartNetwork());
  ASSERT_TRUE(CSyncLogic::Run());
  ASSERT_TRUE(WaitFor([&] { return notice.Keys().size() >= 2; }));
  EXPECT_EQ(notice.Keys()[0], "MSGBOX_SETTING_SYNC_DUPIP");
  // The notice comes at the 11th pass in a row without KestylSync (before that pass starts
  // it) and at every 11th after: on an idle machine after 10 and 21 starts. A pass that
  // still sees the last start alive (a slow machine) begins the count again, so the starts
  // can only be more, never fewer.
  EXPECT_GE(notice.StartsBefore()[0], 10u);
  EXPECT_GE(notice.StartsBefore()[1], notice.StartsBefore()[0] + 11u);
  EXPECT_TRUE(CSyncLogic::Stop());
  EXPECT_TRUE(WaitFor([&] { return NothingRunning(); }));
}

TEST_F(SyncLogic, DeclinedPromptFailsStartAndLeavesNothing) {
  EnvGuard decline{"KESTYL_RUNAS", "decline"};
  const std::u16string index = InstalledAdapter();
  ASSERT_TRUE(CSyncLogic::Configure(index, "a@b.cn", Folder(), false));
  EXPECT_FALSE(CSyncLogic::StartNetwork());
  EXPECT_TRUE(CSyncLogic::Stop());
  EXPECT_TRUE(NothingRunning());
  EXPECT_EQ(RecordText("KestylSyncNet"), "");
}

}  // namespace
