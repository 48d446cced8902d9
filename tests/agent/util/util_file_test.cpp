#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "agent/util/util.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(CutLastPathElem, CutsAtTheLastSeparatorButNeverTheEnds) {
  struct Case {
    const char* path;
    const char* expected;  // null: null result
  } cases[] = {
      {"/a/b/c", "/a/b"},
      {"C:\\a\\b\\", "C:\\a"},  // the trailing separator is skipped
      {"/a/b/", "/a"},
      {"/a", "/a"},  // the first character is never cut
      {"ab/", "ab/"},
      {"a/b\\c", "a/b"},
      {"a", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    char buf[300];
    std::strcpy(buf, c.path);
    char* r = CutLastPathElem(buf);
    if (!c.expected) {
      EXPECT_EQ(r, nullptr) << c.path;
    } else {
      ASSERT_EQ(r, buf) << c.path;
      EXPECT_STREQ(buf, c.expected) << c.path;
      EXPECT_EQ(CutLastPathElem(std::string(c.path)), c.expected);
    }
  }
  EXPECT_EQ(CutLastPathElem(static_cast<char*>(nullptr)), nullptr);
  // Longer than the 259 characters of the original buffer: cut at the real last separator.
  std::string longPath = "/" + std::string(300, 'd') + "/file";
  EXPECT_EQ(CutLastPathElem(longPath), "/" + std::string(300, 'd'));
}

TEST(CheckPathExist, FoldersOnly) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  EXPECT_EQ(CheckPathExist(dir.path()), 0);
  EXPECT_EQ(CheckPathExist(dir.path() + "/"), 0);
  EXPECT_EQ(CheckPathExist("/"), 0);
  EXPECT_EQ(CheckPathExist(dir / "file"), -1);
  EXPECT_EQ(CheckPathExist(dir / "missing"), -1);
  EXPECT_EQ(CheckPathExist(""), -1);
}

// One folder with every kind of entry the listings must sort out.
class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "a.txt", "a");
    WriteFile(dir / ".hidden", "h");
    WriteFile(dir / "up.kestyl.rename", "j");
    WriteFile(dir / "up.kestyl.renametmp", "j");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / ".git").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink((dir / "a.txt").c_str(), (dir / "file-link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "sub").c_str(), (dir / "dir-link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
  }
  TempDir dir;
};

TEST_F(Listing, SubFoldersSkipHiddenAndSystem) {
  std::vector<std::string> out = {"left over"};
  EXPECT_EQ(GetSubDirList(dir.path(), out), 0);
  EXPECT_EQ(Sorted(out), (std::vector<std::string>{"dir-link", "sub"}));
}

TEST_F(Listing, FilesSkipSystemAndHiddenUnlessAsked) {
  std::vector<std::string> out;
  EXPECT_EQ(GetFileList(dir.path(), out, false), 0);
  EXPECT_EQ(Sorted(out), (std::vector<std::string>{"a.txt", "file-link"}));
  EXPECT_EQ(GetFileList(dir.path(), out, true), 0);
  EXPECT_EQ(Sorted(out), (std::vector<std::string>{".hidden", "a.txt", "file-link", "up.kestyl.rename",
                                                   "up.kestyl.renametmp"}));
}

TEST_F(Listing, UnreadableFolderFails) {
  std::vector<std::string> out = {"left over"};
  EXPECT_EQ(GetFileList(dir / "missing", out, true), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(GetSubDirList(dir / "a.txt", out), -1);
  EXPECT_EQ(GetSubDirList("", out), -1);
}

TEST(GetUniqueFileName, NumbersBeforeTheLastComponentsExtension) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(GetUniqueFileName(dir / "photo.jpg", out), 0);
  EXPECT_EQ(out, dir / "photo.jpg");

  WriteFile(dir / "photo.jpg", "p");
  EXPECT_EQ(GetUniqueFileName(dir / "photo.jpg", out), 0);
  EXPECT_EQ(out, dir / "photo.jpg.(0).jpg");
  WriteFile(out, "p");
  EXPECT_EQ(GetUniqueFileName(dir / "photo.jpg", out), 0);
  EXPECT_EQ(out, dir / "photo.jpg.(1).jpg");

  // A dot in a folder name is no extension.
  ASSERT_EQ(::mkdir((dir / "a.d").c_str(), 0755), 0);
  WriteFile(dir / "a.d/photo", "p");
  EXPECT_EQ(GetUniqueFileName(dir / "a.d/photo", out), 0);
  EXPECT_EQ(out, dir / "a.d/photo.(0)");

  // A dangling link is taken: writing through it would create its target elsewhere.
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "x.bin").c_str()), 0);
  EXPECT_EQ(GetUniqueFileName(dir / "x.bin", out), 0);
  EXPECT_EQ(out, dir / "x.bin.(0).bin");
}

TEST(DeleteAndRename, FilesOnlyAndNeverOverTheTarget) {
  TempDir dir;
  EXPECT_EQ(DeleteFileIfExist(dir / "missing"), 0);
  WriteFile(dir / "f", "f");
  EXPECT_EQ(DeleteFileIfExist(dir / "f"), 0);
  EXPECT_NE(PathExists(dir / "f"), 0);
  ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
  EXPECT_EQ(DeleteFileIfExist(dir / "d"), -1);
  EXPECT_EQ(CheckPathExist(dir / "d"), 0);

  EXPECT_EQ(RenameFileIfExist(dir / "new", dir / "missing"), -1);
  WriteFile(dir / "old", "old");
  WriteFile(dir / "taken", "taken");
  EXPECT_EQ(RenameFileIfExist(dir / "taken", dir / "old"), -1);
  EXPECT_EQ(ReadFile(dir / "taken"), "taken");
  EXPECT_EQ(ReadFile(dir / "old"), "old");
  EXPECT_EQ(RenameFileIfExist(dir / "new", dir / "old"), 0);
  EXPECT_EQ(ReadFile(dir / "new"), "old");
}

TEST(CopyFileByStream, CopiesWholeAndReportsEveryFailure) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7);  // binary, NULs included
  WriteFile(dir / "src", content);
  WriteFile(dir / "dst", "old content that is longer than nothing");
  EXPECT_EQ(CopyFileByStream(dir / "src", dir / "dst"), 0);
  EXPECT_EQ(ReadFile(dir / "dst"), content);

  EXPECT_EQ(CopyFileByStream(dir / "missing", dir / "dst2"), -1);
  EXPECT_EQ(CopyFileByStream(dir / "src", dir / "no/such/folder"), -1);
  // A full disk: every write fails; the device itself is left alone.
  EXPECT_EQ(CopyFileByStream(dir / "src", "/dev/full"), -1);
  struct stat st {};
  EXPECT_EQ(::stat("/dev/full", &st), 0);
  // Onto itself (also through a link) would empty the source.
  ASSERT_EQ(::symlink((dir / "src").c_str(), (dir / "src-link").c_str()), 0);
  EXPECT_EQ(CopyFileByStream(dir / "src", dir / "src-link"), -1);
  EXPECT_EQ(ReadFile(dir / "src"), content);
}

TEST(GetDiskFreeSpaceKB, PathOrItsNearestFolder) {
  TempDir dir;
  uint64_t kb = 0;
  EXPECT_EQ(GetDiskFreeSpaceKB("", kb), -1);
  ASSERT_EQ(GetDiskFreeSpaceKB(dir.path(), kb), 0);
  EXPECT_GT(kb, 0u);
  uint64_t kb2 = 0;
  EXPECT_EQ(GetDiskFreeSpaceKB(dir / "not/yet/written.bin", kb2), 0);
  EXPECT_GT(kb2, 0u);
}

TEST(GetHostName, MachineName) {
  std::string name = "left over";
  EXPECT_EQ(GetHostName(name), 0);
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(IsHiddenName, DotOrJournalMark) {
  EXPECT_TRUE(IsHiddenName(".x"));
  EXPECT_TRUE(IsHiddenName("a.kestyl.renametmp"));
  EXPECT_FALSE(IsHiddenName("a.txt"));
  EXPECT_FALSE(IsHiddenName(""));
}

}  // namespace
