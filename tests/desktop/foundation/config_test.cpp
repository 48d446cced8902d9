#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/util/ks_util.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/test_support.h"

using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

namespace {

namespace fs = std::filesystem;

const char* const kDefaultFiles[] = {"banner_ch.gif", "banner_en.gif", "banner_tw.gif", "HtmlDlg.htm",
                                     "ks_config.cfg"};

// An installation <tmp>/bin with the master copies in bin/roaming; the configuration
// folder <tmp>/conf is made by the tests that need it.
class KsConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_ / "bin/roaming");
    for (const char* f : kDefaultFiles)
      fs::copy_file(std::string(KS_ROAMING_DIR) + "/" + f, tmp_ / ("bin/roaming/" + std::string(f)));
    CKSUtil::SetProgramFolder(tmp_ / "bin");
  }
  void TearDown() override { CKSUtil::SetProgramFolder(""); }
  std::string Conf(const std::string& name) const { return tmp_.path() + "/conf/" + name; }
  void Install() {
    CKSConfig config;
    ASSERT_TRUE(config.CopyDefaultFiles());
  }

  EnvGuard web_{"KESTYL_WEB_URL", "http://127.0.0.1:8765"};
  TempDir tmp_;
};

TEST_F(KsConfig, StartUpCopiesTheDefaultFilesAndReadsTheDefaults) {
  CKSConfig config;
  EXPECT_FALSE(config.IsLoaded());  // no configuration folder yet
  EXPECT_EQ(config.Language(), "");
  EXPECT_FALSE(config.ConfiguredLanguage().has_value());
  EXPECT_TRUE(config.DefaultFilesExist());
  EXPECT_FALSE(config.ConfigFilesExist());
  ASSERT_TRUE(config.CopyDefaultFiles());
  for (const char* f : kDefaultFiles)
    EXPECT_EQ(ReadFile(Conf(f)), ReadFile(tmp_ / ("bin/roaming/" + std::string(f)))) << f;
  ASSERT_TRUE(config.Load());
  EXPECT_TRUE(config.IsLoaded());
  EXPECT_EQ(config.Language(), "-1");
  EXPECT_EQ(config.ConfiguredLanguage(), "-1");
  EXPECT_EQ(config.RemPass(), "false");
  EXPECT_EQ(config.SyncAsPrimary(), "false");
  EXPECT_EQ(config.SyncOn(), "false");
  EXPECT_EQ(config.SyncPath(), "");
  EXPECT_EQ(config.GlobalLoggerOn(), "true");
  EXPECT_TRUE(config.IsGlobalLoggerOn());
  EXPECT_EQ(config.DebugOn(), "false");
  EXPECT_FALSE(config.IsDebugOn());
  EXPECT_EQ(config.UpdateURL(), "");  // not read by the load
  EXPECT_EQ(config.ReadUpdateURL(), "http://127.0.0.1:8765/kestyl/update-pc.html");
}

TEST_F(KsConfig, MissingKeysReadAsTheirDefaults) {
  fs::create_directories(tmp_ / "conf");
  for (const char* f : kDefaultFiles) WriteFile(Conf(f), "");
  CKSConfig config;
  ASSERT_TRUE(config.IsLoaded());
  EXPECT_EQ(config.Language(), "-1");
  EXPECT_EQ(config.GlobalLoggerOn(), "true");
  EXPECT_EQ(config.ReadRemPass(true), "false");
  EXPECT_EQ(config.ReadSyncPath(true), "");
  EXPECT_EQ(config.ReadUpdateURL(), "http://127.0.0.1:8765/kestyl/update-pc.html");
  WriteFile(Conf("ks_config.cfg"), "[ks_config]\r\nUpdateURL=http://127.0.0.1:1/u\r\n");
  EXPECT_EQ(config.ReadUpdateURL(), "http://127.0.0.1:1/u");
}

TEST_F(KsConfig, AMissingDefaultFileIsRestoredAndAChangedOneKept) {
  Install();
  const std::string changed = "[ks_config]\r\nLanguage=0\r\nDebugOn=true\r\n";
  WriteFile(Conf("ks_config.cfg"), changed);
  WriteFile(Conf("banner_en.gif"), "changed");
  fs::remove(Conf("HtmlDlg.htm"));

  CKSConfig config;
  EXPECT_FALSE(config.IsLoaded());  // HtmlDlg.htm missing, although the cfg is intact
  ASSERT_TRUE(config.CopyDefaultFiles());
  EXPECT_EQ(ReadFile(Conf("HtmlDlg.htm")), ReadFile(tmp_ / "bin/roaming/HtmlDlg.htm"));
  EXPECT_EQ(ReadFile(Conf("ks_config.cfg")), changed);
  EXPECT_EQ(ReadFile(Conf("banner_en.gif")), "changed");
  ASSERT_TRUE(config.Load());
  EXPECT_EQ(config.Language(), "0");
  EXPECT_TRUE(config.IsDebugOn());
}

TEST_F(KsConfig, NothingIsCopiedWhileAMasterCopyIsMissing) {
  fs::remove(tmp_ / "bin/roaming/banner_tw.gif");
  CKSConfig config;
  EXPECT_FALSE(config.DefaultFilesExist());
  EXPECT_FALSE(config.CopyDefaultFiles());
  EXPECT_FALSE(fs::exists(tmp_ / "conf"));
}

TEST_F(KsConfig, AFileWhereTheFolderBelongsFailsTheCopy) {
  WriteFile(tmp_ / "conf", "not a folder");
  CKSConfig config;
  EXPECT_FALSE(config.CopyDefaultFiles());
  EXPECT_FALSE(config.Load());
}

TEST_F(KsConfig, WritingOneKeyKeepsTheOthersInOrder) {
  Install();
  CKSConfig config;
  ASSERT_TRUE(config.IsLoaded());
  ASSERT_TRUE(config.WriteLanguage("2", true));
  EXPECT_EQ(config.Language(), "2");
  EXPECT_EQ(ReadFile(Conf("ks_config.cfg")),
            "[ks_config]\r\nLanguage=2\r\nRemPass=false\r\nSyncAsPrimary=false\r\nSyncOn=false\r\n"
            "SyncPath=\r\nGlobalLoggerOn=true\r\nDebugOn=false\r\n");
  ASSERT_TRUE(config.WriteSyncPath("/data/sync folder", true));
  ASSERT_TRUE(config.WriteRemPass("true", false));
  CKSConfig again;
  ASSERT_TRUE(again.IsLoaded());
  EXPECT_EQ(again.Language(), "2");
  EXPECT_EQ(again.SyncPath(), "/data/sync folder");
  EXPECT_EQ(again.RemPass(), "true");
}

TEST_F(KsConfig, YesNoValues) {
  Install();
  CKSConfig config;
  struct Case {
    const char* value;
    bool syncOn, primary, debug;
  };
  const Case cases[] = {
      {"true", true, true, true},      {"True", false, false, false}, {"TRUE", false, false, false},
      {"false", false, false, false},  {"untrue", false, true, false}, {"true!", false, true, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(config.WriteSyncOn(c.value, true));
    ASSERT_TRUE(config.WriteSyncAsPrimary(c.value, true));
    ASSERT_TRUE(config.WriteKey("DebugOn", c.value));
    EXPECT_EQ(config.IsSyncOn(), c.syncOn) << c.value;
    EXPECT_EQ(config.IsSyncPrimary(), c.primary) << c.value;
    ASSERT_TRUE(config.Load());
    EXPECT_EQ(config.IsDebugOn(), c.debug) << c.value;
  }
}

TEST_F(KsConfig, LongValues) {
  Install();
  CKSConfig config;
  const std::string long600(600, 'L');
  ASSERT_TRUE(config.WriteLanguage(long600, true));
  EXPECT_EQ(config.ReadLanguage(), long600.substr(0, 511));  // other keys: cut at 511

  const std::string path511 = "/" + std::string(510, 'p');
  ASSERT_TRUE(config.WriteSyncPath(path511, true));
  EXPECT_EQ(config.ReadSyncPath(true), path511);
  const std::string before = ReadFile(Conf("ks_config.cfg"));
  EXPECT_FALSE(config.WriteSyncPath(path511 + "q", true));  // would not read back whole
  EXPECT_EQ(ReadFile(Conf("ks_config.cfg")), before);
  EXPECT_EQ(config.SyncPath(), path511);
  // A longer path written by someone else is read whole, never cut.
  const std::string path700 = "/" + std::string(699, 'r');
  ASSERT_TRUE(config.WriteKey("SyncPath", path700));
  EXPECT_EQ(config.ReadSyncPath(false), path700);
}

TEST_F(KsConfig, ThreadsWritingDifferentKeysLoseNothing) {
  Install();
  CKSConfig config;
  const int kThreads = 6, kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        config.WriteKey("Key" + std::to_string(t), std::to_string(i));
        config.ReadSyncPath(true);
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(config.ReadKey("Key" + std::to_string(t), "missing"), std::to_string(kEach - 1));
  EXPECT_EQ(config.ReadLanguage(), "-1");
}

}  // namespace
