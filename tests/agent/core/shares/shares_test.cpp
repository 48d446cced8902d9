#include "agent/core/shares/share_policy.h"
#include "agent/core/shares/folders.h"
#include "agent/core/state/install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "agent/util/codes.h"
#include "platform/file_attributes.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::TempDir;
using ks::test::WriteFile;

TEST(GetRealPath, VirtualNames) {
  DefShareInfo d;
  d.def = "/srv/data";
  d.def_pic = "/srv/pic";
  struct Case { const char* in; const char* out; } cases[] = {
      {"$DEFAULT_PIC$\\2013\\a.jpg", "/srv/pic\\2013\\a.jpg"},  // separator kept as sent
      {"$DEFAULT$/x.txt", "/srv/data/x.txt"},
      {"$DEFAULT$abc", "/srv/dataabc"},  // only the first 9 characters are compared
      {"$DEFAULT_MUSIC$/song.mp3", ""},  // folder not set
      {"/plain/path", "/plain/path"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GetRealPath(c.in, d), c.out) << c.in;
}

TEST(NormalizeSharePath, SeparatorsAndDotDot) {
  struct Case { const char* in; bool ok; const char* out; } cases[] = {
      {"/a/b/", true, "/a/b"},
      {"\\a\\\\b", true, "/a/b"},
      {"/a/./b", true, "/a/b"},
      {"/", true, "/"},
      {"/a/../b", false, ""},
      {"$DEFAULT$\\..\\..\\etc", false, ""},
      {"/a/..", false, ""},
      {"/a/..b", true, "/a/..b"},  // a name that merely starts with dots is fine
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(NormalizeSharePath(c.in, out), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

class CheckShare : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((dir / "Data").c_str(), 0755);
    ::mkdir((dir / "Data/sub").c_str(), 0755);
    ::mkdir((dir / "Data2").c_str(), 0755);
    ::mkdir((dir / "outside").c_str(), 0755);
    WriteFile(dir / "Data/file.txt", "x");
    WriteFile(dir / "outside/secret", "s");
    ::symlink((dir / "outside").c_str(), (dir / "Data/escape").c_str());
    ::symlink((dir / "outside/secret").c_str(), (dir / "Data/secret-link").c_str());
  }
  TempDir dir;
};

TEST_F(CheckShare, ContainmentTable) {
  std::vector<std::string> roots = {dir / "Data/", "", ""};  // trailing "/" and unset defaults
  struct Case { std::string path; int code; } cases[] = {
      {dir / "Data", KS_OK},                 // the root itself
      {dir / "Data/sub", KS_OK},             // inside
      {dir / "Data\\sub", KS_OK},            // client separators
      {dir / "Data/sub/../..", KS_PATH_NOT_SHARED},
      // Refused on purpose: a sibling whose name merely begins with the share's name.
      {dir / "Data2", KS_PATH_NOT_SHARED},
      {dir / "outside", KS_PATH_NOT_SHARED},  // unset defaults must not match everything
      {dir / "Data/escape", KS_PATH_NOT_SHARED},  // symlink out of the share
      {dir / "Data/missing", KS_PATH_MISSING},
      {dir / "Data/file.txt", KS_PATH_MISSING},  // a file where a folder is expected
  };
  for (const Case& c : cases) EXPECT_EQ(CheckSharePathIn(c.path, roots), c.code) << c.path;
}

TEST_F(CheckShare, NormalisedPathHandedBack) {
  std::string norm;
  EXPECT_EQ(CheckSharePathIn(dir / "Data\\sub\\", {dir / "Data"}, &norm), KS_OK);
  EXPECT_EQ(norm, dir / "Data/sub");
}

TEST_F(CheckShare, NoRootsMeansNothingShared) {
  EXPECT_EQ(CheckSharePathIn(dir / "Data", {}), KS_PATH_NOT_SHARED);
  EXPECT_EQ(CheckSharePathIn(dir / "Data", {"", "", ""}), KS_PATH_NOT_SHARED);
}

TEST_F(CheckShare, ListingFoldersFirstHiddenAndSpecialLeftOut) {
  ::mkdir((dir / "L").c_str(), 0755);
  ::mkdir((dir / "L/zfolder").c_str(), 0755);
  WriteFile(dir / "L/afile", "12345");
  WriteFile(dir / "L/.hidden", "h");
  WriteFile(dir / "L/up.binkestyl.rename", "partial");
  ::mkfifo((dir / "L/pipe").c_str(), 0644);
  WriteFile(dir / "L/bad\nname", "c");
  ks::test::MakeSparseFile(dir / "L/big", 3ull << 30);
  // Marked in the attribute store: hidden or system entries are left out, read-only ones stay.
  const std::string platformDir = dir / "platform";
  const char* oldPlatform = std::getenv("KESTYL_PLATFORM_DIR");
  const std::string keptPlatform = oldPlatform ? oldPlatform : "";
  ::setenv("KESTYL_PLATFORM_DIR", platformDir.c_str(), 1);
  namespace pf = ks::platform;
  WriteFile(dir / "L/desktop.ini", "ini");
  ::mkdir((dir / "L/sysfolder").c_str(), 0755);
  WriteFile(dir / "L/readonly", "r");
  ASSERT_EQ(0, pf::ChangeFileAttributes(dir / "L/desktop.ini", pf::FILE_ATTRIBUTE_HIDDEN | pf::FILE_ATTRIBUTE_SYSTEM, 0));
  ASSERT_EQ(0, pf::ChangeFileAttributes(dir / "L/sysfolder", pf::FILE_ATTRIBUTE_SYSTEM, 0));
  ASSERT_EQ(0, pf::ChangeFileAttributes(dir / "L/readonly", pf::FILE_ATTRIBUTE_READONLY, 0));
  ASSERT_EQ(0, pf::ChangeFileAttributes(dir / "L", pf::FILE_ATTRIBUTE_SYSTEM, 0));  // the folder itself: listed

  std::vector<SubFileInfo> list;
  const int listed = GetSubFileInfo(dir / "L", list);
  if (oldPlatform) ::setenv("KESTYL_PLATFORM_DIR", keptPlatform.c_str(), 1);
  else ::unsetenv("KESTYL_PLATFORM_DIR");
  ASSERT_EQ(listed, 0);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].type, 0);
  EXPECT_EQ(list[0].name, "zfolder");
  EXPECT_EQ(list[0].size, 0);
  std::set<std::string> files;
  for (size_t i = 1; i < list.size(); ++i) {
    EXPECT_EQ(list[i].type, 1);
    files.insert(list[i].name);
    if (list[i].name == "big") {
      EXPECT_EQ(list[i].size, int64_t(3) << 30);
    }
  }
  EXPECT_EQ(files, (std::set<std::string>{"afile", "big", "readonly"}));
  EXPECT_EQ(list[1].time.size(), 19u);

  std::vector<SubFileInfo> empty;
  ::mkdir((dir / "E").c_str(), 0755);
  EXPECT_EQ(GetSubFileInfo(dir / "E", empty), 0);
  EXPECT_TRUE(empty.empty());
}

TEST(CreateDirPath, CreatesEveryMissingParent) {
  TempDir dir;
  std::string deep = dir / "a/b/c";
  EXPECT_EQ(CreateDirPath(deep), 0);
  struct stat st {};
  EXPECT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(CreateDirPath(deep), 0);  // exists already
  EXPECT_EQ(CreateDirPath("nofolder"), -1);
  // A file in the way makes the creation fail instead of pretending.
  WriteFile(dir / "f", "x");
  EXPECT_EQ(CreateDirPath(dir / "f/x"), -1);
  EXPECT_EQ(CreateDirPath(dir / "f"), -1);  // the last element itself is a file
  EXPECT_EQ(CreateDirPath(dir / "a/b/f"), 0);
  WriteFile(dir / "a/b/f/g", "x");
  EXPECT_EQ(CreateDirPath(dir / "a/b/f/g/"), -1);
}

TEST(DeleteRenameFiles, OnlyUploadLeftovers) {
  TempDir dir;
  WriteFile(dir / "a.jpgkestyl.rename", "t");
  WriteFile(dir / ".a.jpgkestyl.renametmp", "j");
  WriteFile(dir / "keep.jpg", "k");
  WriteFile(dir / "b.jpgkestyl.rename", "t");  // a resumable pair
  WriteFile(dir / "b.jpgkestyl.renametmp", "j");
  EXPECT_EQ(DeleteRenameFiles(dir.path(), true), 0);
  EXPECT_EQ(access((dir / "b.jpgkestyl.rename").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir / "b.jpgkestyl.renametmp").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir / "a.jpgkestyl.rename").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / ".a.jpgkestyl.renametmp").c_str(), F_OK), -1);
  EXPECT_EQ(DeleteRenameFiles(dir.path()), 0);  // a category folder: every left-over
  EXPECT_EQ(access((dir / "b.jpgkestyl.rename").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / "a.jpgkestyl.rename").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / ".a.jpgkestyl.renametmp").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / "keep.jpg").c_str(), F_OK), 0);
}

TEST(LangEncode, ByLanguageId) {
  EXPECT_EQ(LangEncodeForLangId(0x0804), "gb2312");
  EXPECT_EQ(LangEncodeForLangId(0x0404), "big5");
  EXPECT_EQ(LangEncodeForLangId(0x0C04), "en");
  EXPECT_EQ(LangEncodeForLangId(0x0409), "en");
}

}  // namespace
