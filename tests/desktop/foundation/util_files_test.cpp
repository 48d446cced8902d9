#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/util/ks_util.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/test_support.h"

using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

namespace {

TEST(KsUtilFolders, InstallRootOfProgramFolder) {
  struct Case {
    const char *folder, *root;
  };
  const Case cases[] = {
      {"/opt/soft/bin", "/opt/soft"},
      {"/opt/soft/Bin", "/opt/soft/Bin"},  // case matters
      {"/opt/soft/BIN", "/opt/soft/BIN"},
      {"/opt/soft", "/opt/soft"},
      {"/opt/soft/bin/x", "/opt/soft/bin/x"},
      {"/opt/soft/cabin", "/opt/soft/cabin"},  // not a folder named "bin"
      {"/bin", "/bin"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CKSUtil::InstallRootOf(c.folder), c.root) << c.folder;
}

TEST(KsUtilFolders, ProgramFolderIsThatOfTheExecutable) {
  CKSUtil::SetProgramFolder("");
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  ASSERT_GT(n, 0);
  std::string exe(buf, static_cast<size_t>(n));
  EXPECT_EQ(CKSUtil::GetModuleFolder(true), exe.substr(0, exe.rfind('/')));
}

TEST(KsUtilFolders, FoldersFollowTheProgramFolder) {
  EnvGuard sys("KESTYL_SYSTEM_DIR", nullptr);
  CKSUtil::SetProgramFolder("/srv/k/bin/");
  EXPECT_EQ(CKSUtil::GetModuleFolder(true), "/srv/k/bin");
  EXPECT_EQ(CKSUtil::GetModuleFolder(false), "/srv/k");
  EXPECT_EQ(CKSUtil::GetConfigFolder(), "/srv/k/conf");
  EXPECT_EQ(CKSUtil::GetRoamingFolder(), "/srv/k/bin/roaming");
  EXPECT_EQ(CKSUtil::GetSystemFolder(), "/srv/k/bin/system");
  {
    EnvGuard tools("KESTYL_SYSTEM_DIR", "/srv/tools");
    EXPECT_EQ(CKSUtil::GetSystemFolder(), "/srv/tools");
  }
  CKSUtil::SetProgramFolder("/srv/k/Bin");
  EXPECT_EQ(CKSUtil::GetModuleFolder(false), "/srv/k/Bin");
  EXPECT_EQ(CKSUtil::GetConfigFolder(), "/srv/k/Bin/conf");
  CKSUtil::SetProgramFolder("");
}

class KsUtilFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((tmp_ / "bin").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tmp_ / "conf").c_str(), 0755), 0);
    CKSUtil::SetProgramFolder(tmp_ / "bin");
  }
  void TearDown() override { CKSUtil::SetProgramFolder(""); }
  std::string Conf(const std::string& name) const { return tmp_.path() + "/conf/" + name; }

  TempDir tmp_;
};

TEST_F(KsUtilFiles, ExistenceTests) {
  WriteFile(Conf("f"), "x");
  EXPECT_TRUE(CKSUtil::FileExists(Conf("f").c_str()));
  EXPECT_FALSE(CKSUtil::FileExists(Conf("missing").c_str()));
  EXPECT_FALSE(CKSUtil::FileExists(nullptr));
  EXPECT_TRUE(CKSUtil::FolderExists((tmp_ / "conf").c_str()));
  EXPECT_FALSE(CKSUtil::FolderExists(Conf("f").c_str()));
  EXPECT_FALSE(CKSUtil::FolderExists(Conf("missing").c_str()));
  EXPECT_FALSE(CKSUtil::FolderExists(nullptr));
  EXPECT_TRUE(CKSUtil::CreateFolder(Conf("new").c_str()));
  EXPECT_TRUE(CKSUtil::FolderExists(Conf("new").c_str()));
  EXPECT_FALSE(CKSUtil::CreateFolder(Conf("new").c_str()));          // exists
  EXPECT_FALSE(CKSUtil::CreateFolder(Conf("no/parents").c_str()));   // no parents
  EXPECT_FALSE(CKSUtil::FolderExists(Conf("no").c_str()));
}

TEST_F(KsUtilFiles, WriteTextFileEmptiesAndWrites) {
  WriteFile(Conf("a.txt"), "a much longer earlier content\n");
  EXPECT_TRUE(CKSUtil::WriteTextFile("a.txt", "one\ntwo\n"));
  EXPECT_EQ(ReadFile(Conf("a.txt")), "one\ntwo\n");
  EXPECT_TRUE(CKSUtil::WriteTextFile("a.txt", "abcdef", 3));
  EXPECT_EQ(ReadFile(Conf("a.txt")), "abc");
  EXPECT_TRUE(CKSUtil::WriteTextFile("a.txt", ""));
  EXPECT_EQ(ReadFile(Conf("a.txt")), "");
}

TEST_F(KsUtilFiles, BatchFilesGetCrLf) {
  EXPECT_TRUE(CKSUtil::WriteTextFile("ks_sync_cmd.bat", "@echo off\nnetsh x\r\nstart \"\" /B y\n"));
  EXPECT_EQ(ReadFile(Conf("ks_sync_cmd.bat")), "@echo off\r\nnetsh x\r\nstart \"\" /B y\r\n");
  EXPECT_TRUE(CKSUtil::WriteTextFile("UP.BAT", "\n\n"));
  EXPECT_EQ(ReadFile(Conf("UP.BAT")), "\r\n\r\n");
}

TEST_F(KsUtilFiles, WriteTextFileFailures) {
  EXPECT_FALSE(CKSUtil::WriteTextFile("missing/a.txt", "x"));
  ASSERT_EQ(::rmdir((tmp_ / "conf").c_str()), 0);
  EXPECT_FALSE(CKSUtil::WriteTextFile("a.txt", "x"));
}

TEST_F(KsUtilFiles, RemoveFile) {
  WriteFile(Conf("b.bat"), "x");
  EXPECT_TRUE(CKSUtil::RemoveFile("b.bat"));
  EXPECT_FALSE(CKSUtil::FileExists(Conf("b.bat").c_str()));
  EXPECT_TRUE(CKSUtil::RemoveFile("b.bat"));  // already gone
  ASSERT_EQ(::mkdir(Conf("dir").c_str(), 0755), 0);
  EXPECT_FALSE(CKSUtil::RemoveFile("dir"));  // a folder is not a file
}

TEST_F(KsUtilFiles, AppendLogFromManyThreadsKeepsEachTextWhole) {
  const int kThreads = 8, kEach = 300;
  const std::string chunk(500, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) CKSUtil::AppendLog("<" + std::to_string(t) + chunk + ">\n");
    });
  for (auto& th : threads) th.join();
  const std::string log = ReadFile(Conf("Kestyl.log"));
  const std::string line = chunk + ">\n";
  size_t pos = 0, lines = 0;
  while (pos < log.size()) {
    ASSERT_EQ(log[pos], '<');
    size_t digitEnd = log.find_first_not_of("0123456789", pos + 1);
    ASSERT_EQ(log.compare(digitEnd, line.size(), line), 0) << "interleaved at " << pos;
    pos = digitEnd + line.size();
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kEach));
  CKSUtil::AppendLog("no line end");
  EXPECT_EQ(ReadFile(Conf("Kestyl.log")).substr(log.size()), "no line end");
}

TEST_F(KsUtilFiles, AppendLogWithoutFolderWritesNothing) {
  ASSERT_EQ(::rmdir((tmp_ / "conf").c_str()), 0);
  CKSUtil::AppendLog("x");
  EXPECT_FALSE(CKSUtil::FolderExists((tmp_ / "conf").c_str()));
}

}  // namespace
