// The window-free rules of the pages: share-edit folding and undo, Delete's records, the
// transfer list's texts, category paths and the path checks of a data or sync folder (on
// fixtures below the build folder, since /tmp is one of the refused system trees).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "desktop/app/pages/page_tables.h"
#include "tests/desktop/foundation/env_guard.h"

namespace {

namespace fs = std::filesystem;
using namespace ks::pages;
using ks::test::EnvGuard;

constexpr const char* kTreesButTmp = "/usr:/etc:/var:/proc:/sys:/dev:/boot:/bin:/sbin:/lib*:/opt:/run";

// A folder below the build folder, removed at the end.
class WorkDir {
 public:
  WorkDir() {
    fs::create_directories(KS_TEST_WORK_DIR);
    std::string tmpl = std::string(KS_TEST_WORK_DIR) + "/pages-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = fs::canonical(tmpl).string();
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

ShareChange Add(const std::string& p) { return {ShareChange::kAdded, p, -1}; }
ShareChange Del(const std::string& p, int row = 0) { return {ShareChange::kRemoved, p, row}; }

TEST(ShareEdits, FoldKeepsEachFolderInTheListOfItsLastEdit) {
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    std::vector<ShareChange> changes;
    V add;
    V remove;
  };
  const Case cases[] = {
      {"none", {}, {}, {}},
      {"add", {Add("/a")}, {"/a"}, {}},
      {"add then delete", {Add("/a"), Del("/a")}, {}, {"/a"}},
      {"delete then add", {Del("/a"), Add("/a")}, {"/a"}, {}},
      {"add delete add", {Add("/a"), Del("/a"), Add("/a")}, {"/a"}, {}},
      {"twice the same", {Add("/a"), Add("/a"), Del("/b"), Del("/b")}, {"/a"}, {"/b"}},
      {"order kept", {Add("/b"), Add("/a"), Del("/c"), Del("/d")}, {"/b", "/a"}, {"/c", "/d"}},
      {"case is another folder", {Add("/A"), Del("/a")}, {"/A"}, {"/a"}},
      {"unknown op skipped", {{7, "/x", -1}, Add("/a")}, {"/a"}, {}},
  };
  for (const Case& c : cases) {
    const ShareLists lists = FoldShareChanges(c.changes);
    EXPECT_EQ(lists.add, c.add) << c.name;
    EXPECT_EQ(lists.remove, c.remove) << c.name;
    EXPECT_EQ(lists.empty(), c.add.empty() && c.remove.empty()) << c.name;
  }
}

// Applies the undo steps to a list of paths the way the page applies them to its rows.
std::vector<std::string> ApplyUndo(std::vector<std::string> rows, const std::vector<ShareChange>& changes) {
  for (const ShareUndoStep& step : UndoShareChanges(changes)) {
    auto it = std::find(rows.begin(), rows.end(), step.path);
    if (step.addBack) {
      if (it == rows.end()) rows.push_back(step.path);
    } else if (it != rows.end()) {
      rows.erase(it);
    }
  }
  return rows;
}

TEST(ShareEdits, UndoRestoresTheListAsBeforeTheFirstEdit) {
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    V before;  // the list before the edits
    V after;   // the list the edits left
    std::vector<ShareChange> changes;
  };
  const Case cases[] = {
      // An added folder that was deleted again was never shared: it must not come back.
      {"add A, delete A", {"/x"}, {"/x"}, {Add("/a"), Del("/a", 1)}},
      {"delete A, add A", {"/a"}, {"/a"}, {Del("/a", 0), Add("/a")}},
      {"add two", {"/x"}, {"/x", "/a", "/b"}, {Add("/a"), Add("/b")}},
      {"delete two", {"/a", "/b", "/x"}, {"/x"}, {Del("/b", 1), Del("/a", 0)}},
  };
  for (const Case& c : cases) {
    V restored = ApplyUndo(c.after, c.changes);
    std::sort(restored.begin(), restored.end());
    V expected = c.before;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(restored, expected) << c.name;
  }
}

TEST(ShareEdits, DeleteRecordsSelectedRowsLastFirstAndSparesTheDataFolder) {
  const std::vector<ShareRow> rows = {
      {"/data/Kestyl", true}, {"/a", true}, {"/b", false}, {"/c", true}, {"/data/Kestyl/", true}};
  const std::vector<ShareChange> changes = DeleteSelectedRows(rows, "/data/Kestyl");
  ASSERT_EQ(changes.size(), 3u);
  // Indexes as they were before any removal; the protected compare is exact text.
  EXPECT_EQ(changes[0].path, "/data/Kestyl/");
  EXPECT_EQ(changes[0].row, 4);
  EXPECT_EQ(changes[1].path, "/c");
  EXPECT_EQ(changes[1].row, 3);
  EXPECT_EQ(changes[2].path, "/a");
  EXPECT_EQ(changes[2].row, 1);
  for (const ShareChange& c : changes) EXPECT_EQ(c.op, ShareChange::kRemoved);
  EXPECT_TRUE(DeleteSelectedRows({{"/a", false}}, "").empty());
}

TEST(TransferList, SizeTexts) {
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "1KB"},
      {0, "1KB"},
      {1023, "1KB"},
      {1024, "1.00KB"},
      {1536, "1.00KB"},  // whole kilobytes only
      {1048575, "1023.00KB"},
      {1048576, "1.00MB"},
      {1572864, "1.50MB"},
      {1073741823, "1024.00MB"},  // 1048575 KB / 1024 rounds up to 1024.00 in print
      {1073741824, "1.00GB"},
      {1610612736, "1.50GB"},
      {INT64_MAX, "8589934592.00GB"},
  };
  for (const auto& [size, text] : cases) EXPECT_EQ(FormatFileSize(size), text) << size;
}

TEST(TransferList, RowNameAndPicture) {
  const std::pair<const char*, const char*> names[] = {
      {"/data/Photos/a.jpg", "a"}, {"a.jpg", "a"},     {"/p/a.b.c", "a.b"},
      {"/p/.profile", ""},         {"/p/noext", "noext"}, {"D:\\Photos\\a.jpg", "a"},
      {"/p.d/x", "x"},
  };
  for (const auto& [path, name] : names) EXPECT_EQ(TransferItemName(path), name) << path;
  EXPECT_EQ(TransferImageIndex(2), 2);
  EXPECT_EQ(TransferImageIndex(0), 1);
  EXPECT_EQ(TransferImageIndex(1), 0);
  EXPECT_EQ(TransferImageIndex(-1), 0);
}

TEST(DataFolder, CategoryPathsLieInsideTheDataFolder) {
  EnvGuard lang("KESTYL_LANGID", "1033");
  const auto paths = BuildDefaultFolderPaths("/d/Kestyl/");
  const std::array<std::string, 5> expected = {"/d/Kestyl/Photos", "/d/Kestyl/Music", "/d/Kestyl/Videos",
                                               "/d/Kestyl/Files", "/d/Kestyl/Photos/Album"};
  EXPECT_EQ(paths, expected);
  EXPECT_EQ(BuildDefaultFolderPaths("/")[4], "/Photos/Album");
}

TEST(DataFolder, CreatesTheFourCategoryFoldersWithParentsAndKeepsExistingOnes) {
  EnvGuard lang("KESTYL_LANGID", "1033");
  WorkDir work;
  const std::string data = work / "deep/Kestyl";
  fs::create_directories(data + "/Music");
  const std::string marker = data + "/Music/keep";
  fs::create_directories(marker);
  const auto paths = BuildDefaultFolderPaths(data);
  EXPECT_TRUE(CreateCategoryFolders(paths));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(fs::is_directory(paths[i])) << paths[i];
  EXPECT_FALSE(fs::exists(paths[4]));
  EXPECT_TRUE(fs::is_directory(marker));

  // A file in the way of a category folder is reported.
  WorkDir blocked;
  fs::create_directories(blocked / "Kestyl");
  { std::FILE* f = std::fopen((blocked / "Kestyl/Videos").c_str(), "w"); std::fclose(f); }
  EXPECT_FALSE(CreateCategoryFolders(BuildDefaultFolderPaths(blocked / "Kestyl")));
}

TEST(PathRules, RootsAndTargets) {
  for (const char* root : {"", "/", "//", "///"}) EXPECT_TRUE(IsRootPath(root)) << root;
  for (const char* notRoot : {"/a", "/a/", "a"}) EXPECT_FALSE(IsRootPath(notRoot)) << notRoot;

  EXPECT_EQ(MoveTargetFor("/"), "/Kestyl");
  EXPECT_EQ(MoveTargetFor("/d/Data"), "/d/Data/Kestyl");
  EXPECT_EQ(MoveTargetFor("/d/Data//"), "/d/Data/Kestyl");
  EXPECT_EQ(MoveTargetFor(""), "");
  EXPECT_EQ(CanonicalFolderText("/d/Kestyl/"), "/d/Kestyl");
  EXPECT_EQ(CanonicalFolderText("/"), "/");
}

TEST(PathRules, InsideIsPerComponentAfterLinks) {
  WorkDir work;
  fs::create_directories(work / "d/Kestyl/sub");
  fs::create_directories(work / "d/Kestyl2");
  fs::create_symlink(work / "d/Kestyl", work / "ln");
  struct Case {
    std::string path, folder;
    bool inside;
  };
  const Case cases[] = {
      {work / "d/Kestyl", work / "d/Kestyl", true},
      {work / "d/Kestyl/", work / "d/Kestyl", true},
      {work / "d/Kestyl/sub", work / "d/Kestyl", true},
      {work / "d/Kestyl/missing/x", work / "d/Kestyl", true},
      {work / "d/Kestyl2", work / "d/Kestyl", false},
      {work / "d", work / "d/Kestyl", false},
      {work / "ln/sub", work / "d/Kestyl", true},
      {work / "d/Kestyl/sub", work / "ln", true},
      {work / "d/Kestyl/../Kestyl2", work / "d/Kestyl", false},
      {"relative/x", work / "d", false},
      {work / "d", "", false},
      {"/anything", "/", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSameOrInside(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
}

TEST(PathRules, MoveTargetChecks) {
  // The default system trees less /tmp: the build folder may lie below it.
  EnvGuard trees("KESTYL_SYSTEM_TREES", kTreesButTmp);
  WorkDir work;
  const std::string current = work / "d/Kestyl";
  fs::create_directories(current + "/x");
  fs::create_directories(work / "new");
  fs::create_symlink(work / "d", work / "ln");
  fs::create_symlink("/usr", work / "to-usr");

  struct Case {
    std::string pick;
    MoveCheck expected;
  };
  const Case cases[] = {
      {work / "d", MoveCheck::kConflict},          // the folder holding the data folder
      {work / "d/", MoveCheck::kConflict},
      {work / "ln", MoveCheck::kConflict},         // the same through a link
      {current, MoveCheck::kRecurse},               // <data>/Kestyl lies inside
      {current + "/x", MoveCheck::kRecurse},
      {work / "new", MoveCheck::kOk},
      {work / "d/Kestyl2", MoveCheck::kOk},         // a sibling sharing the name's start
      {work / "usr/x", MoveCheck::kOk},             // "usr" below a user folder is fine
      {"/usr/x", MoveCheck::kFailed},
      {"/usr/lib", MoveCheck::kFailed},
      {work / "to-usr", MoveCheck::kFailed},        // a link into a system tree
      {"/", MoveCheck::kOk},                        // "/Kestyl" itself is allowed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckMoveTarget(MoveTargetFor(c.pick), current), c.expected) << c.pick;
  }
  EXPECT_EQ(CheckMoveTarget("", current), MoveCheck::kFailed);
  EXPECT_EQ(CheckMoveTarget("rel/Kestyl", current), MoveCheck::kFailed);
  // Without a data folder only the system trees count.
  EXPECT_EQ(CheckMoveTarget(work / "d/Kestyl", ""), MoveCheck::kOk);

  EXPECT_STREQ(MoveCheckMessageKey(MoveCheck::kConflict), "MSGBOX_MOVEFOLDER_CONFLICT");
  EXPECT_STREQ(MoveCheckMessageKey(MoveCheck::kRecurse), "MSGBOX_MOVEFOLDER_RECURSE");
  EXPECT_STREQ(MoveCheckMessageKey(MoveCheck::kFailed), "MSGBOX_MOVEFOLDER_FAILED");
}

TEST(PathRules, MoveResults) {
  struct Case {
    int result;
    bool success;
    const char* key;
  };
  const Case cases[] = {
      {0, true, nullptr},
      {-2, true, "MSGBOX_MOVEFOLDER_FAILED_DEL"},
      {1, false, "MSGBOX_MOVEFOLDER_CONFLICT"},  // nothing moved: never shown as moved
      {-1, false, "MSGBOX_MOVEFOLDER_FAILED_COPY"},
      {1223, false, "MSGBOX_MOVEFOLDER_CANCELED"},
      {5, false, "MSGBOX_MOVEFOLDER_FAILED"},
      {-3, false, "MSGBOX_MOVEFOLDER_FAILED"},
  };
  for (const Case& c : cases) {
    const MoveOutcome o = InterpretMoveResult(c.result);
    EXPECT_EQ(o.success, c.success) << c.result;
    if (c.key) {
      EXPECT_STREQ(o.messageKey, c.key) << c.result;
    } else {
      EXPECT_EQ(o.messageKey, nullptr) << c.result;
    }
  }
}

TEST(PathRules, SyncFolderMustLieInTheDataFolder) {
  // The default system trees less /tmp: the build folder may lie below it.
  EnvGuard trees("KESTYL_SYSTEM_TREES", kTreesButTmp);
  WorkDir work;
  const std::string data = work / "new/Kestyl";
  fs::create_directories(data + "/x");
  fs::create_directories(work / "A");
  fs::create_directories(work / "new/Kestyl2");
  fs::create_symlink(data, work / "ln");
  fs::create_symlink("/etc", data + "/to-etc");
  struct Case {
    std::string sync;
    bool accepted;
  };
  const Case cases[] = {
      {data + "/x", true},   {data, true},           {work / "ln/x", true},
      {work / "A", false},   {work / "new/Kestyl2", false}, {data + "/to-etc", false},
      {"/", false},          {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAcceptableSyncFolder(c.sync, data), c.accepted) << c.sync;
  EXPECT_FALSE(IsAcceptableSyncFolder(data + "/x", ""));
  EXPECT_FALSE(IsAcceptableSyncFolder(data + "/x", "/"));
}

}  // namespace
