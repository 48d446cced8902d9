// The main window's pages, headless: which controls each page shows, the share page's edits
// with OK and Cancel, the settings and account pages' loads, transfer rows, and the moving
// of the data folder on its worker. The agent link is a recording stand-in; message boxes,
// the picker and the opener are scripted through the pages' host.
#include "desktop/app/pages/setting_pages.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTreeWidgetItem>
#include <QWidget>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <filesystem>
#include <map>
#include <memory>

#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/app/pages/pages_fake_ui_data.h"
#include "tests/desktop/ui/ui_test_kit.h"

namespace {

namespace fs = std::filesystem;
using namespace ks::pages;

// The system trees less /tmp, so that fixtures below the build folder (wherever it lies)
// may be shared; /usr stays refused.
class FixtureTrees {
 public:
  FixtureTrees() {
    if (const char* old = ::getenv(kName)) old_ = old;
    ::setenv(kName, "/usr:/etc:/var:/proc:/sys:/dev:/boot:/bin:/sbin:/lib*:/opt:/run", 1);
  }
  ~FixtureTrees() {
    if (old_.empty())
      ::unsetenv(kName);
    else
      ::setenv(kName, old_.c_str(), 1);
  }

 private:
  static constexpr const char* kName = "KESTYL_SYSTEM_TREES";
  std::string old_;
};

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
  // Makes the folder <work>/<name> and returns its path.
  std::string Make(const std::string& name) const {
    fs::create_directories(path_ + "/" + name);
    return path_ + "/" + name;
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ScriptedHost : public PagesHost {
 public:
  int ShowBox(const std::string& key, unsigned type) override {
    boxes.push_back(key);
    if (onBox) onBox(key);
    (void)type;
    if (boxAnswers.empty()) return ks::skin::IDOK;
    const int answer = boxAnswers.front();
    boxAnswers.pop_front();
    return answer;
  }
  std::optional<std::string> PickFolder(QWidget*) override {
    ++picks;
    if (onPick) onPick();
    if (pickAnswers.empty()) return std::nullopt;
    auto answer = pickAnswers.front();
    pickAnswers.pop_front();
    return answer;
  }
  void Open(const std::string& target) override { opened.push_back(target); }
  std::optional<bool> ReadRunValue() override { return runValue; }
  void ApplyAutoStart(bool checked) override { autoStartApplied.push_back(checked); }
  void SelectLanguage(int index) override { languagesSelected.push_back(index); }
  int CurrentLanguage() override { return language; }
  void HideWindow(QWidget* window) override {
    ++hides;
    window->hide();
  }

  std::vector<std::string> boxes;
  std::deque<int> boxAnswers;
  std::function<void(const std::string&)> onBox;
  std::deque<std::optional<std::string>> pickAnswers;
  std::function<void()> onPick;
  int picks = 0;
  std::vector<std::string> opened;
  std::optional<bool> runValue = false;
  std::vector<bool> autoStartApplied;
  std::vector<int> languagesSelected;
  int language = 1;
  int hides = 0;
};

// A window with every control of the pages, each under its id.
struct PagesWindow {
  PagesWindow() {
    window.resize(560, 560);
    share = Add<ks::skin::CKSListCtrl>(ids::kShareList);
    share->InsertColumn(0, "name", 0);
    share->InsertColumn(1, "path", 0);
    share->setSelectionMode(QAbstractItemView::ExtendedSelection);
    trans = Add<ks::skin::CKSListCtrl>(ids::kTransList);
    for (int c = 0; c < 3; ++c) trans->InsertColumn(c, "c", 0);
    for (int id : {ids::kDelete, ids::kAdd, ids::kMoveFolder, ids::kWakeButton}) Add<ks::skin::CColorButton>(id);
    switchAccount = Add<ks::skin::CColorButton>(ids::kSwitchAccount);
    for (int id : {ids::kAutoStart, ids::kPhotoSorting}) {
      auto* box = Add<ks::skin::CColorButton>(id);
      box->SetStyle(ks::skin::CColorButton::kCheck);
    }
    for (int id : {ids::kSection1, ids::kSection2, ids::kSection3, ids::kLanguageLabel, ids::kDataLabel,
                   ids::kPhotoLabel, ids::kAccountLabel, ids::kWakeLabel})
      Add<ks::skin::CDiyStatic>(id);
    language = Add<QComboBox>(ids::kLanguage);
    language->addItems({"zh", "en", "tw"});
    edit = Add<QLineEdit>(ids::kDataFolder);
    link = Add<ChangePasswordLink>(ids::kChangePassword);
    for (int id : {ids::kAccountPage, ids::kSharePage, ids::kTransPage, ids::kSettingPage, ids::kSyncPage})
      Add<ks::skin::CColorButton>(id);
    // The sync page's own controls reuse three of the window's ids.
    sync = Add<QWidget>(103);
    for (int id : {ids::kPhotoSorting, ids::kSwitchAccount, ids::kWakeButton}) {
      auto* inner = new ks::skin::CColorButton(sync);
      inner->SetStyle(ks::skin::CColorButton::kCheck);
      ks::ui::SetControlId(inner, id);
    }
    window.show();
  }
  template <class T>
  T* Add(int id) {
    auto* control = new T(&window);
    ks::ui::SetControlId(control, id);
    return control;
  }
  QWidget* ById(int id) {
    for (QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (ks::ui::ControlId(child) == id) return child;
    return nullptr;
  }
  std::vector<std::string> SharePaths() const {
    std::vector<std::string> paths;
    for (int i = 0; i < share->topLevelItemCount(); ++i) paths.push_back(share->topLevelItem(i)->text(1).toStdString());
    return paths;
  }
  void SelectRows(const std::vector<std::string>& paths) {
    for (int i = 0; i < share->topLevelItemCount(); ++i) {
      QTreeWidgetItem* item = share->topLevelItem(i);
      item->setSelected(std::find(paths.begin(), paths.end(), item->text(1).toStdString()) != paths.end());
    }
  }

  QWidget window;
  ks::skin::CKSListCtrl* share;
  ks::skin::CKSListCtrl* trans;
  ks::skin::CColorButton* switchAccount;
  QComboBox* language;
  QLineEdit* edit;
  ChangePasswordLink* link;
  QWidget* sync;
};

class SettingPagesTest : public ::testing::Test {
 protected:
  SettingPagesTest() {
    kstest::EnsureGuiApp();
    pages = std::make_unique<SettingPages>(&ui.window, &agent, &host);
    pages->SetSyncPage(ui.sync);
  }
  ~SettingPagesTest() override {
    pages.reset();
    EXPECT_EQ(agent.refs, 1);  // the pages gave their reference back
  }

  std::vector<int> VisiblePageControls() {
    std::vector<int> shown;
    for (Page page : {Page::kAccount, Page::kShare, Page::kTrans, Page::kSetting})
      for (int id : PageControls(page))
        if (ui.ById(id)->isVisibleTo(&ui.window)) shown.push_back(id);
    std::sort(shown.begin(), shown.end());
    return shown;
  }

  FixtureTrees trees;
  WorkDir work;
  kstest::PagesFakeUIData agent;
  ScriptedHost host;
  PagesWindow ui;
  std::unique_ptr<SettingPages> pages;
};

TEST_F(SettingPagesTest, EachPageShowsExactlyItsControlsAndSelectsItsButton) {
  struct Case {
    Page page;
    void (SettingPages::*click)();
  };
  const Case cases[] = {{Page::kShare, &SettingPages::OnBnClickedShareButton},
                        {Page::kSetting, &SettingPages::OnBnClickedSettingButton},
                        {Page::kTrans, &SettingPages::OnBnClickedTransButton},
                        {Page::kAccount, &SettingPages::OnBnClickedAccountButton},
                        {Page::kSync, &SettingPages::OnBnClickedSyncButton},
                        {Page::kShare, &SettingPages::OnBnClickedShareButton}};
  for (const Case& c : cases) {
    (pages.get()->*c.click)();
    std::vector<int> expected = PageControls(c.page);
    // The change-password link shows only for a logged-in owner.
    expected.erase(std::remove(expected.begin(), expected.end(), ids::kChangePassword), expected.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(VisiblePageControls(), expected) << static_cast<int>(c.page);
    EXPECT_EQ(ui.sync->isVisibleTo(&ui.window), c.page == Page::kSync);
    EXPECT_EQ(pages->SelectedPage(), c.page);
    for (Page other : {Page::kAccount, Page::kShare, Page::kTrans, Page::kSetting, Page::kSync}) {
      EXPECT_EQ(ui.ById(PageButtonId(other))->property(kSelectedProperty).toBool(), other == c.page);
    }
  }
}

TEST_F(SettingPagesTest, ReclickingAPageReloadsOnlyTheSettingsAndAReleasedAccountPage) {
  pages->OnBnClickedTransButton();
  pages->OnBnClickedTransButton();
  EXPECT_EQ(agent.CallsStartingWith("GetTransLog").size(), 1u);

  pages->OnBnClickedSettingButton();
  pages->OnBnClickedSettingButton();
  EXPECT_EQ(agent.CallsStartingWith("GetAutoTiding").size(), 2u);

  pages->OnBnClickedAccountButton();
  pages->OnBnClickedAccountButton();
  EXPECT_EQ(agent.CallsStartingWith("GetLogOnInfo").size(), 1u);
  pages->ForgetAccountPage();
  pages->OnBnClickedAccountButton();
  EXPECT_EQ(agent.CallsStartingWith("GetLogOnInfo").size(), 2u);

  // The tray's settings command runs the selected page's handler again.
  agent.ClearCalls();
  EXPECT_TRUE(pages->ReopenSelectedPage());
  EXPECT_TRUE(agent.CallsStartingWith("GetLogOnInfo").empty());
  pages->OnBnClickedSettingButton();
  agent.ClearCalls();
  EXPECT_TRUE(pages->ReopenSelectedPage());
  EXPECT_EQ(agent.CallsStartingWith("GetAutoTiding").size(), 1u);
}

TEST_F(SettingPagesTest, AddRefusesRootsDuplicatesMissingAndSystemFolders) {
  const std::string a = work.Make("A");
  const std::string notes = work.Make("usr-notes");
  struct Case {
    std::optional<std::string> pick;
    std::vector<std::string> boxes;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"/", {"MSGBOX_SHAREROOTPATH"}, {}},
      {"//", {"MSGBOX_SHAREROOTPATH"}, {}},
      {a, {}, {a}},
      {a, {"MSGBOX_SHARESAMEFOLDER"}, {a}},
      {"/usr/share", {}, {a}},
      {work / "missing", {}, {a}},
      {std::nullopt, {}, {a}},
      {notes, {}, {a, notes}},
  };
  for (const Case& c : cases) {
    host.boxes.clear();
    host.pickAnswers = {c.pick};
    pages->OnBnClickedAddButton();
    EXPECT_EQ(host.boxes, c.boxes) << c.pick.value_or("(cancel)");
    EXPECT_EQ(ui.SharePaths(), c.rows) << c.pick.value_or("(cancel)");
  }
  ASSERT_EQ(pages->PendingShareEdits().size(), 2u);
  EXPECT_EQ(pages->PendingShareEdits()[0].path, a);
  EXPECT_EQ(pages->PendingShareEdits()[1].path, notes);
  EXPECT_TRUE(agent.CallsStartingWith("UpdateShares").empty());
}

TEST_F(SettingPagesTest, OkSendsTheFoldedEditsOnceAndThePhotoSortingEveryTime) {
  const std::string a = work.Make("A");
  const std::string b = work.Make("B");

  // No edits: no share request, but the photo sorting state, and the window hides.
  pages->OnBnClickedOkButton();
  EXPECT_TRUE(agent.CallsStartingWith("UpdateShares").empty());
  EXPECT_EQ(agent.CallsStartingWith("SetAutoTiding"), std::vector<std::string>{"SetAutoTiding 0"});
  EXPECT_EQ(host.hides, 1);

  // Add A, Add B, Delete A: A goes to remove only, B to add.
  host.pickAnswers = {a, b};
  pages->OnBnClickedAddButton();
  pages->OnBnClickedAddButton();
  ui.SelectRows({a});
  pages->OnBnClickedDeleteButton();
  EXPECT_EQ(ui.SharePaths(), std::vector<std::string>{b});
  qobject_cast<QAbstractButton*>(ui.ById(ids::kPhotoSorting))->setChecked(true);
  agent.ClearCalls();
  pages->OnBnClickedOkButton();
  EXPECT_EQ(agent.CallsStartingWith("UpdateShares"), std::vector<std::string>{"UpdateShares add " + b + " remove " + a});
  EXPECT_EQ(agent.CallsStartingWith("SetAutoTiding"), std::vector<std::string>{"SetAutoTiding 1"});
  EXPECT_TRUE(pages->PendingShareEdits().empty());
}

TEST_F(SettingPagesTest, CancelUndoesTheEditsLastToFirst) {
  const std::string a = work.Make("A");
  const std::string b = work.Make("B");
  pages->OnAddShareFolder(b);  // listed by the agent

  // Add A, Delete A, Delete B, Cancel: A unlisted (as the agent has it), B back.
  host.pickAnswers = {a};
  pages->OnBnClickedAddButton();
  ui.SelectRows({a, b});
  pages->OnBnClickedDeleteButton();
  EXPECT_TRUE(ui.SharePaths().empty());
  pages->OnBnClickedCancelButton();
  EXPECT_EQ(ui.SharePaths(), std::vector<std::string>{b});
  EXPECT_TRUE(pages->PendingShareEdits().empty());
  EXPECT_EQ(host.hides, 1);

  // Nothing pending any more: OK after Cancel sends no share request.
  pages->OnBnClickedOkButton();
  EXPECT_TRUE(agent.CallsStartingWith("UpdateShares").empty());
}

TEST_F(SettingPagesTest, DeleteNeverRemovesTheDataFolderRow) {
  const std::string data = work.Make("Kestyl");
  const std::string notes = work.Make("usr-notes");
  const std::string other = work.Make("other");
  pages->SetDataFolder(data + "/");
  for (const auto& f : {data, notes, other}) pages->OnAddShareFolder(f);
  ui.SelectRows({data, notes, other});
  pages->OnBnClickedDeleteButton();
  EXPECT_EQ(ui.SharePaths(), std::vector<std::string>{data});
  ASSERT_EQ(pages->PendingShareEdits().size(), 2u);
  // Last to first, each with the row it had before any row went.
  EXPECT_EQ(pages->PendingShareEdits()[0].path, other);
  EXPECT_EQ(pages->PendingShareEdits()[0].row, 2);
  EXPECT_EQ(pages->PendingShareEdits()[1].path, notes);
  EXPECT_EQ(pages->PendingShareEdits()[1].row, 1);
}

TEST_F(SettingPagesTest, DeleteButtonFollowsTheSelection) {
  auto* del = ui.ById(ids::kDelete);
  pages->OnNMRClickShareList();
  EXPECT_FALSE(del->isEnabled());
  pages->OnAddShareFolder(work.Make("A"));
  ui.SelectRows({work / "A"});
  pages->OnNMClickShareList();
  EXPECT_TRUE(del->isEnabled());
  ui.SelectRows({});
  pages->OnNMClickShareList();
  EXPECT_FALSE(del->isEnabled());
}

TEST_F(SettingPagesTest, SettingsPageShowsPendingChoicesAndTheDataFolder) {
  pages->SetDataFolder(work.Make("data/Kestyl") + "//");
  auto* autoStart = qobject_cast<QAbstractButton*>(ui.ById(ids::kAutoStart));
  auto* photo = qobject_cast<QAbstractButton*>(ui.ById(ids::kPhotoSorting));

  struct Case {
    std::optional<bool> runValue;
    int autoToggles;
    int tiding;
    int photoToggles;
    bool autoChecked;
    bool photoChecked;
  };
  const Case cases[] = {
      {true, 0, 0, 0, true, false},
      {true, 1, 1, 0, false, true},   // Run value present and a pending toggle: unchecked
      {false, 1, 1, 1, true, false},  // pending photo toggle inverts the agent's state
      {false, 2, 0, 2, false, false},
  };
  for (const Case& c : cases) {
    host.runValue = c.runValue;
    agent.autoTiding = c.tiding;
    for (int i = 0; i < c.autoToggles; ++i) pages->OnBnClickedAutoStartCheck();
    for (int i = 0; i < c.photoToggles; ++i) pages->OnBnClickedPhotoSortingCheck();
    pages->OnBnClickedSettingButton();
    EXPECT_EQ(autoStart->isChecked(), c.autoChecked);
    EXPECT_EQ(photo->isChecked(), c.photoChecked);
    while (pages->PendingAutoStart()) pages->OnBnClickedAutoStartCheck();
    while (pages->PendingPhotoSorting()) pages->OnBnClickedPhotoSortingCheck();
  }
  EXPECT_EQ(ui.edit->text().toStdString(), work / "data/Kestyl");
  EXPECT_EQ(ui.edit->geometry(), QRect(31, 350, 164, 15));
  EXPECT_EQ(ui.language->currentIndex(), 1);
  // The category folders were made (but the instant one).
  const auto& folders = pages->DefaultFolders();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(fs::is_directory(folders[i])) << folders[i];
  EXPECT_EQ(folders[4].rfind(folders[0] + "/", 0), 0u);
}

TEST_F(SettingPagesTest, OkAppliesAToggledAutoStartOnceAndCancelDropsIt) {
  host.runValue = false;
  pages->OnBnClickedSettingButton();
  pages->OnBnClickedAutoStartCheck();
  qobject_cast<QAbstractButton*>(ui.ById(ids::kAutoStart))->setChecked(true);
  pages->OnBnClickedOkButton();
  EXPECT_EQ(host.autoStartApplied, std::vector<bool>{true});
  pages->OnBnClickedOkButton();
  EXPECT_EQ(host.autoStartApplied.size(), 1u);

  pages->OnBnClickedAutoStartCheck();
  pages->OnBnClickedCancelButton();
  pages->OnBnClickedOkButton();
  EXPECT_EQ(host.autoStartApplied.size(), 1u);
}

TEST_F(SettingPagesTest, LanguageChangeLoadsTheChoiceAndSetsUpTheDataFolderAgain) {
  ui.language->setCurrentIndex(2);
  pages->OnCbnSelchangeLanguageCombo();
  EXPECT_EQ(host.languagesSelected, std::vector<int>{2});
  EXPECT_TRUE(agent.CallsStartingWith("SetupDataFolder").empty());  // no data folder yet

  pages->SetDataFolder(work.Make("Kestyl"));
  ui.language->setCurrentIndex(-1);
  pages->OnCbnSelchangeLanguageCombo();
  EXPECT_EQ(host.languagesSelected, std::vector<int>{2});
  EXPECT_EQ(agent.CallsStartingWith("SetupDataFolder").size(), 1u);
}

// Texts "<KEY>" for every key.
class KeyLanguage : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return 1; }
  QString Text(const std::string&, const std::string& key) const override {
    return QStringLiteral("<%1>").arg(QString::fromStdString(key));
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override { return ks::ui::FontRecord{}; }
};

TEST_F(SettingPagesTest, AccountPageShowsTheAccountAndItsChangePasswordLink) {
  ks::ui::SetLanguageSource(std::make_shared<KeyLanguage>());
  struct Case {
    std::string account;
    int language;
    bool loggedIn;
    QSize linkSize;
  };
  const Case cases[] = {
      {"owner@example.com", 1, true, {100, 14}},
      {"owner@example.com", 0, true, {60, 14}},
      {"not-an-address", 1, false, {}},
      {"", 1, false, {}},
  };
  for (const Case& c : cases) {
    agent.account = c.account;
    host.language = c.language;
    pages->ShowAccountPage();
    const QString label = ui.ById(ids::kAccountLabel)->property("text").toString();
    EXPECT_EQ(label.toStdString(),
              "<SETTING_STATIC_ACCOUNT>" + (c.loggedIn ? c.account : std::string("<SETTING_STATIC_NOTLOGGEDIN>")))
        << c.account;
    EXPECT_EQ(ui.switchAccount->GetCaption(),
              c.loggedIn ? "<SETTING_BUTTON_SWITCH_ACCOUNT>" : "<SETTING_BUTTON_LOGIN>");
    EXPECT_EQ(ui.link->isVisibleTo(&ui.window), c.loggedIn) << c.account;
    if (c.loggedIn) {
      EXPECT_EQ(ui.link->size(), c.linkSize);
      EXPECT_NE(ui.link->Address().find("/changepwd.html?MAIL=%6f%77%6e%65%72%40%65%78%61%6d%70%6c%65%2e%63%6f%6d"), std::string::npos)
          << ui.link->Address();
      pages->OnChangePasswordLinkClicked();
      EXPECT_EQ(host.opened.back(), ui.link->Address());
    }
  }
  ks::ui::SetLanguageSource(nullptr);
}

TEST_F(SettingPagesTest, TransferRowsStandNewestFirstWithTheirPictures) {
  pages->OnBnClickedTransButton();
  pages->AddTransferItem(0, "/p/a.jpg", "1KB", "t1");
  pages->AddTransferItem(2, "/p/b.tar.gz", "2KB", "t2");
  pages->AddTransferItem(5, "", "3KB", "t3");
  pages->AddTransferItem(7, "/p/.profile", "4KB", "t4");
  ASSERT_EQ(ui.trans->topLevelItemCount(), 3);
  const std::vector<std::pair<QString, int>> expected = {{"", 0}, {"b.tar", 2}, {"a", 1}};
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(ui.trans->topLevelItem(row)->text(0), expected[row].first);
    EXPECT_EQ(ui.trans->topLevelItem(row)->data(0, Qt::UserRole).toInt(), expected[row].second);
  }
  EXPECT_EQ(ui.trans->topLevelItem(1)->text(1), "2KB");
  EXPECT_EQ(ui.trans->topLevelItem(1)->text(2), "t2");
  // A new visit clears the list and asks again.
  pages->OnBnClickedShareButton();
  pages->OnBnClickedTransButton();
  EXPECT_EQ(ui.trans->topLevelItemCount(), 0);
}

TEST_F(SettingPagesTest, FoldersOpenWithATrailingSlash) {
  pages->OnTrayMenuOpenFolder();
  EXPECT_TRUE(host.opened.empty());
  pages->SetDataFolder(work.Make("Kestyl"));
  pages->OnTrayMenuOpenFolder();
  pages->OnAddShareFolder(work / "Kestyl");
  pages->OnNMDblclkShareList(0);
  pages->OnNMDblclkShareList(5);
  EXPECT_EQ(host.opened, (std::vector<std::string>{work / "Kestyl/", work / "Kestyl/"}));
}

TEST(CenterWindow, PutsTheWindowOnItsParentsCentre) {
  kstest::EnsureGuiApp();
  QWidget parent;
  parent.setGeometry(100, 80, 400, 300);
  QWidget child(&parent, Qt::Dialog);
  child.resize(100, 50);
  parent.show();
  child.show();
  CenterWindow(&child);
  EXPECT_EQ(child.frameGeometry().center(), parent.frameGeometry().center());
}

// ---- moving the data folder ----

class MoveFolderTest : public SettingPagesTest {
 protected:
  MoveFolderTest() {
    data = work.Make("old/Kestyl");
    pages->SetDataFolder(data);
    pages->OnAddShareFolder(data);
    pages->OnBnClickedSettingButton();
  }
  // Clicks the move button and waits until the move has been reported.
  void MoveAndWait() {
    bool finished = false;
    auto connection = QObject::connect(pages.get(), &SettingPages::moveFinished, [&] { finished = true; });
    pages->OnBnClickedMoveFolderButton();
    if (pages->IsMovingFolder()) {
      EXPECT_TRUE(kstest::WaitUntil([&] { return finished; }, 10000));
    }
    QObject::disconnect(connection);
  }
  std::string data;
};

TEST_F(MoveFolderTest, RefusedTargetsShowTheirBoxAndNeverReachTheAgent) {
  const std::string inside = work.Make("old/Kestyl/x");
  fs::create_symlink(work / "old", work / "ln");
  struct Case {
    std::string pick;
    const char* box;
  };
  const Case cases[] = {
      {work / "old", "MSGBOX_MOVEFOLDER_CONFLICT"},
      {work / "old/", "MSGBOX_MOVEFOLDER_CONFLICT"},
      {work / "ln", "MSGBOX_MOVEFOLDER_CONFLICT"},
      {inside, "MSGBOX_MOVEFOLDER_RECURSE"},
      {"/usr/lib", "MSGBOX_MOVEFOLDER_FAILED"},
  };
  for (const Case& c : cases) {
    host.boxes.clear();
    host.pickAnswers = {c.pick};
    MoveAndWait();
    EXPECT_EQ(host.boxes, std::vector<std::string>{c.box}) << c.pick;
    EXPECT_FALSE(pages->IsMovingFolder());
  }
  // Answered No: nothing more.
  host.boxes.clear();
  host.pickAnswers = {work.Make("new2")};
  host.boxAnswers = {ks::skin::IDCANCEL};
  MoveAndWait();
  EXPECT_EQ(host.boxes, std::vector<std::string>{"MSGBOX_MOVEFOLDER_NOTICE"});
  EXPECT_TRUE(agent.CallsStartingWith("SetDefShare").empty());
  EXPECT_EQ(pages->DataFolder(), data);
}

TEST_F(MoveFolderTest, AMoveUpdatesTheListTheEditAndTheSetUp) {
  const std::string target = work.Make("new") + "/Kestyl";
  host.pickAnswers = {work / "new"};
  MoveAndWait();
  EXPECT_EQ(agent.CallsStartingWith("SetDefShare"), std::vector<std::string>{"SetDefShare " + target});
  EXPECT_EQ(host.boxes, std::vector<std::string>{"MSGBOX_MOVEFOLDER_NOTICE"});
  EXPECT_EQ(pages->DataFolder(), target);
  EXPECT_EQ(ui.edit->text().toStdString(), target);
  EXPECT_EQ(ui.SharePaths(), std::vector<std::string>{target});
  EXPECT_EQ(agent.CallsStartingWith("SetupDataFolder").size(), 1u);
}

TEST_F(MoveFolderTest, FailedMovesKeepTheOldFolder) {
  struct Case {
    int result;
    std::vector<std::string> boxes;
    bool moved;
  };
  const Case cases[] = {
      {1223, {"MSGBOX_MOVEFOLDER_NOTICE", "MSGBOX_MOVEFOLDER_CANCELED"}, false},
      {-1, {"MSGBOX_MOVEFOLDER_NOTICE", "MSGBOX_MOVEFOLDER_FAILED_COPY"}, false},
      {1, {"MSGBOX_MOVEFOLDER_NOTICE", "MSGBOX_MOVEFOLDER_CONFLICT"}, false},
      {-4, {"MSGBOX_MOVEFOLDER_NOTICE", "MSGBOX_MOVEFOLDER_FAILED"}, false},
      {-2, {"MSGBOX_MOVEFOLDER_NOTICE", "MSGBOX_MOVEFOLDER_FAILED_DEL"}, true},
  };
  for (const Case& c : cases) {
    host.boxes.clear();
    agent.moveResult = c.result;
    ui.edit->setText("stale");
    host.pickAnswers = {work.Make("n" + std::to_string(c.result))};
    MoveAndWait();
    EXPECT_EQ(host.boxes, c.boxes) << c.result;
    const std::string expected = c.moved ? work / ("n" + std::to_string(c.result) + "/Kestyl") : data;
    EXPECT_EQ(pages->DataFolder(), expected) << c.result;
    EXPECT_EQ(ui.edit->text().toStdString(), expected) << c.result;
    EXPECT_EQ(ui.SharePaths(), std::vector<std::string>{expected}) << c.result;
  }
}

TEST_F(MoveFolderTest, TheButtonDoesNothingWhileAMoveRuns) {
  // A click while the picker of the first one is open.
  host.onPick = [this] {
    host.onPick = nullptr;
    pages->OnBnClickedMoveFolderButton();
  };
  host.pickAnswers = {std::nullopt};
  MoveAndWait();
  EXPECT_EQ(host.picks, 1);

  // A click while the agent link moves the data on the worker.
  agent.HoldMove();
  host.pickAnswers = {work.Make("new")};
  bool finished = false;
  QObject::connect(pages.get(), &SettingPages::moveFinished, [&] { finished = true; });
  pages->OnBnClickedMoveFolderButton();
  ASSERT_TRUE(kstest::WaitUntil([&] { return agent.MovesStarted() == 1; }));
  EXPECT_TRUE(pages->IsMovingFolder());
  pages->OnBnClickedMoveFolderButton();
  EXPECT_EQ(host.picks, 2);
  agent.ReleaseMove();
  ASSERT_TRUE(kstest::WaitUntil([&] { return finished; }, 10000));
  EXPECT_FALSE(pages->IsMovingFolder());
  EXPECT_EQ(agent.MovesStarted(), 1);
}

}  // namespace
