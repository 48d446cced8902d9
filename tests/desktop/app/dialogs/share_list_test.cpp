// The share-list rules over a plain two-column table and over the skinned list control.
#include "desktop/app/dialogs/share_list.h"
#include "desktop/app/dialogs/share_list_view.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "tests/desktop/app/dialogs/work_dir.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace ks::dialogs;
namespace fs = std::filesystem;

// Rows in a vector; counts the calls that change it.
class TableRows : public IShareListRows {
 public:
  int RowCount() const override { return static_cast<int>(rows.size()); }
  std::string RowPath(int row) const override { return rows.at(row).second; }
  int InsertRow(int position, const std::string& name, const std::string& path) override {
    rows.insert(rows.begin() + position, {name, path});
    ++changes;
    return position;
  }
  void DeleteRow(int row) override {
    rows.erase(rows.begin() + row);
    ++changes;
  }
  std::vector<std::pair<std::string, std::string>> rows;
  int changes = 0;
};

TEST(ShareListNames, LastPathComponent) {
  const std::pair<std::string, std::string> cases[] = {
      {"/data/Photos", "Photos"},
      {"/data/Photos/", "/data/Photos"},
      {"/", "/"},
      {"//", "/"},
      {"/x", "x"},
      {"Photos", "Photos"},
      {"", ""},
      {"/data/Fotos \xC3\xA9t\xC3\xA9", "Fotos \xC3\xA9t\xC3\xA9"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(GetLastPathComponent(path), name) << path;
}

TEST(ShareListNames, RootPathIsOnlySlashes) {
  const std::pair<std::string, bool> cases[] = {
      {"/", true}, {"//", true}, {"", false}, {"/a", false}, {"/a/", false}, {"a", false},
  };
  for (const auto& [path, root] : cases) EXPECT_EQ(IsRootPath(path), root) << path;
}

class ShareListRules : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() + "/Photos");
    fs::create_directories(dir_.path() + "/photos");
    fs::create_directories(dir_.path() + "/usr-notes");
    fs::create_directories(dir_.path() + "/usr");
    fs::create_symlink("/etc", dir_.path() + "/to-etc");
    ks::test::WriteFileAt(dir_.path() + "/plain.txt", "x");
  }
  std::string P(const std::string& name) const { return dir_.path() + "/" + name; }

  ks::test::WorkDir dir_;
  ks::test::FixtureTrees trees_;
};

TEST_F(ShareListRules, AddResultsAndRows) {
  struct Case {
    std::string path;
    int result;
  };
  const Case cases[] = {
      {P("Photos"), kShareAdded},
      {P("Photos"), kShareDuplicate},
      {P("photos"), kShareAdded},  // another folder: case matters
      {P("Photos/"), kShareAdded},  // the path as given identifies the row
      {P("usr-notes"), kShareAdded},  // a name beginning like a system tree
      {P("usr"), kShareAdded},       // a folder called usr, not /usr
      {P("missing"), kShareMissing},
      {"", kShareMissing},
      {P("plain.txt"), kShareMissing},  // a file is no folder
      {"/usr/share", kShareSystemFolder},
      {"/etc", kShareSystemFolder},
      {P("to-etc"), kShareSystemFolder},
      {"/", kShareSystemFolder},
  };
  TableRows list;
  for (const Case& c : cases) EXPECT_EQ(AddFolderToList(list, c.path), c.result) << c.path;

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Photos", P("Photos")},       {"photos", P("photos")}, {P("Photos"), P("Photos/")},
      {"usr-notes", P("usr-notes")}, {"usr", P("usr")},
  };
  EXPECT_EQ(list.rows, expected);
  EXPECT_EQ(list.changes, 5);
}

TEST_F(ShareListRules, MissingIsDecidedBeforeDuplicate) {
  // A listed folder that was deleted since: 0, not -1, and the row stays.
  fs::create_directories(P("gone"));
  TableRows list;
  ASSERT_EQ(AddFolderToList(list, P("gone")), kShareAdded);
  fs::remove(P("gone"));
  EXPECT_EQ(AddFolderToList(list, P("gone")), kShareMissing);
  EXPECT_EQ(list.RowCount(), 1);
}

TEST_F(ShareListRules, InsertPosition) {
  TableRows list;
  ASSERT_EQ(AddFolderToList(list, P("Photos")), kShareAdded);
  ASSERT_EQ(AddFolderToList(list, P("photos")), kShareAdded);
  ASSERT_EQ(AddFolderToList(list, P("usr"), 0), kShareAdded);
  ASSERT_EQ(AddFolderToList(list, P("usr-notes"), 99), kShareAdded);
  ASSERT_EQ(list.RowCount(), 4);
  EXPECT_EQ(list.RowPath(0), P("usr"));
  EXPECT_EQ(list.RowPath(1), P("Photos"));
  EXPECT_EQ(list.RowPath(3), P("usr-notes"));
}

TEST_F(ShareListRules, FindAndRemove) {
  TableRows list;
  EXPECT_EQ(FindFolderInList(list, P("Photos")), -1);
  EXPECT_EQ(RemoveFolderFromList(list, P("Photos")), -1);
  EXPECT_EQ(list.changes, 0);

  // Rows as the agent's refill may hold them: the same path twice.
  list.rows = {{"Photos", P("Photos")}, {"usr", P("usr")}, {"Photos", P("Photos")}};
  EXPECT_EQ(FindFolderInList(list, P("usr")), 1);
  EXPECT_EQ(FindFolderInList(list, P("photos")), -1);
  EXPECT_EQ(FindFolderInList(list, P("Photos/")), -1);
  EXPECT_EQ(RemoveFolderFromList(list, P("Photos")), 1);
  const std::vector<std::pair<std::string, std::string>> left = {{"usr", P("usr")}, {"Photos", P("Photos")}};
  EXPECT_EQ(list.rows, left);  // only the first one went
  EXPECT_EQ(RemoveFolderFromList(list, P("missing")), -1);
  EXPECT_EQ(list.rows, left);
}

TEST(ShareListSystemFolders, DefaultTrees) {
  ks::test::EnvOverride trees("KESTYL_SYSTEM_TREES", nullptr);
  const std::pair<std::string, bool> cases[] = {
      {"/usr", true},          {"/usr/share", true},     {"/etc/ssh", true},        {"/tmp/x", true},
      {"/", true},             {"", true},               {"relative/dir", true},    {"/home/u/usr-notes", false},
      {"/backup/usr/x", false}, {"/srv/etc", false},     {"/home/x/../../etc", true},
  };
  for (const auto& [path, under] : cases) EXPECT_EQ(IsUnderSystemFolder(path), under) << path;
}

TEST_F(ShareListRules, SkinnedListControl) {
  kstest::EnsureGuiApp();
  ks::skin::CKSListCtrl control;
  control.InsertColumn(0, QStringLiteral("Folder"), 0);
  control.InsertColumn(1, QStringLiteral("Path"), 0);
  ShareListView list(&control);

  EXPECT_EQ(AddFolderToList(list, P("Photos/")), kShareAdded);
  EXPECT_EQ(AddFolderToList(list, P("usr")), kShareAdded);
  EXPECT_EQ(AddFolderToList(list, P("usr")), kShareDuplicate);
  ASSERT_EQ(control.topLevelItemCount(), 2);
  EXPECT_EQ(control.topLevelItem(0)->text(0).toStdString(), P("Photos"));
  EXPECT_EQ(control.topLevelItem(0)->text(1).toStdString(), P("Photos/"));
  EXPECT_EQ(control.topLevelItem(1)->text(0).toStdString(), "usr");
  EXPECT_EQ(FindFolderInList(list, P("usr")), 1);
  EXPECT_EQ(RemoveFolderFromList(list, P("Photos/")), 1);
  ASSERT_EQ(control.topLevelItemCount(), 1);
  EXPECT_EQ(list.RowPath(0), P("usr"));
}

}  // namespace
