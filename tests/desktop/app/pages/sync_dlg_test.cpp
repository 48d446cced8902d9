// The synchronisation page, headless: the switch's checks in their order and what a failure
// leaves behind, the busy refusal of a second click, the folder choice, the role, the log
// export and what the page's end writes. Configuration, synchronisation control, boxes,
// picker and save dialog are a scripted stand-in; the agent link is a recording one.
#include "desktop/app/pages/sync_dlg.h"

#include <QLineEdit>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/skin/z_controls.h"
#include "tests/desktop/app/pages/pages_fake_ui_data.h"
#include "tests/desktop/ui/ui_test_kit.h"

namespace {

namespace fs = std::filesystem;
using ks::pages::CSyncDlg;

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

class ScriptedSync : public ks::pages::SyncServices {
 public:
  std::string ReadSyncOn() override { return config["SyncOn"]; }
  std::string ReadSyncAsPrimary() override { return config["SyncAsPrimary"]; }
  std::string ReadSyncPath() override { return config["SyncPath"]; }
  void WriteSyncOn(const std::string& v) override { Write("SyncOn", v); }
  void WriteSyncAsPrimary(const std::string& v) override { Write("SyncAsPrimary", v); }
  void WriteSyncPath(const std::string& v) override { Write("SyncPath", v); }
  bool CheckAdapter(std::u16string& index) override {
    steps.push_back("CheckAdapter");
    index.assign(1, u'7');
    return adapter;
  }
  bool InstallDriver() override { return Step("InstallDriver", true); }
  bool Configure(const std::u16string& index, const std::string& account, const std::string& folder,
                 bool primary) override {
    steps.push_back("Configure " + std::string(index.begin(), index.end()) + " " + account + " " + folder + " " +
                    (primary ? "primary" : "secondary"));
    return configure;
  }
  bool StartNetwork() override { return Step("StartNetwork", startNetwork); }
  bool Run() override { return Step("Run", run); }
  bool Stop() override { return Step("Stop", stop); }
  bool ExportLog(const std::string& path) override { return Step("ExportLog " + path, exported); }
  int ShowBox(const std::string& key, unsigned type) override {
    boxes.push_back(key);
    (void)type;
    if (onBox) {
      auto call = onBox;
      onBox = nullptr;
      call();
    }
    return boxAnswer;
  }
  std::optional<std::string> PickFolder(QWidget*) override { return pick; }
  std::optional<std::string> SaveFileName() override {
    steps.push_back("SaveFileName");
    if (onSave) {
      auto call = onSave;
      onSave = nullptr;
      call();
    }
    return saveAs;
  }

  bool Step(const std::string& name, bool result) {
    steps.push_back(name);
    return result;
  }
  void Write(const std::string& key, const std::string& value) {
    config[key] = value;
    writes.push_back(key + "=" + value);
  }

  std::map<std::string, std::string> config{{"SyncOn", "false"}, {"SyncAsPrimary", "false"}, {"SyncPath", ""}};
  std::vector<std::string> writes;
  std::vector<std::string> steps;
  std::vector<std::string> boxes;
  std::function<void()> onBox;
  std::function<void()> onSave;
  int boxAnswer = ks::skin::IDOK;
  bool adapter = true, configure = true, startNetwork = true, run = true, stop = true, exported = true;
  std::optional<std::string> pick;
  std::optional<std::string> saveAs;
};

class SyncPageTest : public ::testing::Test {
 protected:
  SyncPageTest() {
    kstest::EnsureGuiApp();
    fs::create_directories(KS_TEST_WORK_DIR);
    std::string tmpl = std::string(KS_TEST_WORK_DIR) + "/sync-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    work = fs::canonical(tmpl).string();
    data = work + "/Kestyl";
    fs::create_directories(data + "/x");
    fs::create_directories(work + "/Kestyl2");
    agent.account = "owner@example.com";
    agent.defShare = data;
    page = std::make_unique<CSyncDlg>(&agent, nullptr, &sync);
  }
  ~SyncPageTest() override {
    page.reset();
    std::error_code ec;
    fs::remove_all(work, ec);
  }
  // Clicks the switch as the owner would: the box changes its state, then the handler runs.
  void ClickSwitch() { page->SwitchButton()->click(); }

  FixtureTrees trees;
  std::string work;
  std::string data;
  kstest::PagesFakeUIData agent;
  ScriptedSync sync;
  std::unique_ptr<CSyncDlg> page;
};

TEST_F(SyncPageTest, SwitchOnRunsTheChecksInOrderAndStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    std::string path;
    std::string account;
    std::function<void(ScriptedSync&)> setUp;
    std::vector<std::string> boxes;
    std::vector<std::string> steps;
  };
  const std::string inside = data + "/x";
  const std::string configure = "Configure 7 owner@example.com " + inside + " secondary";
  const Case cases[] = {
      {"empty path", "", "owner@example.com", nullptr, {"MSGBOX_SETTING_SYNC_FORBIDDEN_PATH"}, {}},
      {"root", "/", "owner@example.com", nullptr, {"MSGBOX_SETTING_SYNC_FORBIDDEN_PATH"}, {}},
      {"no account", inside, "", nullptr, {"MSGBOX_SETTING_SYNC_NOTLOGGEDIN"}, {}},
      {"no adapter, No", inside, "owner@example.com",
       [](ScriptedSync& s) {
         s.adapter = false;
         s.boxAnswer = ks::skin::IDCANCEL;
       },
       {"MSGBOX_SETTING_SYNC_NO_DRIVER"}, {"CheckAdapter"}},
      {"no adapter, Yes", inside, "owner@example.com", [](ScriptedSync& s) { s.adapter = false; },
       {"MSGBOX_SETTING_SYNC_NO_DRIVER"}, {"CheckAdapter", "InstallDriver"}},
      {"sibling with the data folder's name as prefix", work + "/Kestyl2", "owner@example.com", nullptr,
       {"MSGBOX_SETTING_SYNC_FORBIDDEN_PATH"}, {"CheckAdapter"}},
      {"system folder", "/usr/share", "owner@example.com", nullptr, {"MSGBOX_SETTING_SYNC_FORBIDDEN_PATH"},
       {"CheckAdapter"}},
      {"configure fails", inside, "owner@example.com", [](ScriptedSync& s) { s.configure = false; },
       {"MSGBOX_SETTING_SYNC_FAILEDTOOPEN"}, {"CheckAdapter", configure}},
      {"network fails", inside, "owner@example.com", [](ScriptedSync& s) { s.startNetwork = false; },
       {"MSGBOX_SETTING_SYNC_FAILEDTOOPEN"}, {"CheckAdapter", configure, "StartNetwork", "Stop"}},
      {"run fails", inside, "owner@example.com", [](ScriptedSync& s) { s.run = false; },
       {"MSGBOX_SETTING_SYNC_FAILEDTOOPEN"}, {"CheckAdapter", configure, "StartNetwork", "Run"}},
  };
  for (const Case& c : cases) {
    sync = ScriptedSync();
    sync.config["SyncPath"] = c.path;
    if (c.setUp) c.setUp(sync);
    agent.account = c.account;
    page->RefreshFromConfig();
    ClickSwitch();
    EXPECT_EQ(sync.boxes, c.boxes) << c.name;
    EXPECT_EQ(sync.steps, c.steps) << c.name;
    EXPECT_FALSE(page->SwitchButton()->isChecked()) << c.name;
    EXPECT_TRUE(sync.writes.empty()) << c.name;
    EXPECT_TRUE(page->SelectButton()->isEnabled()) << c.name;
  }
}

TEST_F(SyncPageTest, SwitchOnAndOffLocksAndUnlocksTheChoices) {
  sync.config["SyncPath"] = data + "/x";
  sync.config["SyncAsPrimary"] = "true";
  page->RefreshFromConfig();
  ClickSwitch();
  EXPECT_TRUE(sync.boxes.empty());
  EXPECT_EQ(sync.steps.back(), "Run");
  EXPECT_EQ(sync.steps[1], "Configure 7 owner@example.com " + data + "/x primary");
  EXPECT_EQ(sync.writes, std::vector<std::string>{"SyncOn=true"});
  EXPECT_TRUE(page->SwitchButton()->isChecked());
  for (QWidget* w : {static_cast<QWidget*>(page->PrimaryButton()), static_cast<QWidget*>(page->SecondaryButton()),
                     static_cast<QWidget*>(page->SelectButton())})
    EXPECT_FALSE(w->isEnabled());

  // A stop that fails leaves the switch on.
  sync.stop = false;
  ClickSwitch();
  EXPECT_EQ(sync.boxes, std::vector<std::string>{"MSGBOX_SETTING_SYNC_FAILEDTOSTOP"});
  EXPECT_TRUE(page->SwitchButton()->isChecked());
  EXPECT_EQ(sync.config["SyncOn"], "true");

  sync.stop = true;
  ClickSwitch();
  EXPECT_FALSE(page->SwitchButton()->isChecked());
  EXPECT_EQ(sync.config["SyncOn"], "false");
  EXPECT_TRUE(page->SelectButton()->isEnabled());
  EXPECT_TRUE(page->PrimaryButton()->isEnabled());
}

TEST_F(SyncPageTest, ASecondClickWhileASwitchActionRunsIsUndone) {
  sync.config["SyncPath"] = data + "/x";
  page->RefreshFromConfig();
  agent.account = "";
  bool before = false, after = true;
  sync.onBox = [&] {
    before = page->SwitchButton()->isChecked();
    ClickSwitch();
    after = page->SwitchButton()->isChecked();
  };
  ClickSwitch();
  EXPECT_EQ(before, after);
  EXPECT_EQ(sync.boxes, std::vector<std::string>{"MSGBOX_SETTING_SYNC_NOTLOGGEDIN"});
  EXPECT_EQ(agent.CallsStartingWith("GetLogOnInfo").size(), 1u);
  EXPECT_FALSE(page->SwitchButton()->isChecked());

  // Once the action is over, the switch answers again.
  agent.account = "owner@example.com";
  ClickSwitch();
  EXPECT_TRUE(page->SwitchButton()->isChecked());
}

TEST_F(SyncPageTest, SelectKeepsOnlyFoldersInsideTheDataFolder) {
  fs::create_symlink("/etc", work + "/etc-link");
  struct Case {
    std::optional<std::string> pick;
    std::string path;  // SyncPath afterwards
    bool box;
  };
  const Case cases[] = {
      {data + "/x", data + "/x", false},
      {std::nullopt, data + "/x", false},        // cancelled: nothing changes
      {"/usr/share", data + "/x", true},          // system folder: nothing changes
      {work + "/etc-link", data + "/x", true},    // a link into a system folder too
      {work + "/Kestyl2", "", true},              // outside the data folder: cleared
      {data + "/", data, false},
      {work, "", true},
  };
  for (const Case& c : cases) {
    sync.boxes.clear();
    sync.pick = c.pick;
    page->OnBnClickedSelect();
    EXPECT_EQ(sync.config["SyncPath"], c.path) << c.pick.value_or("(cancel)");
    EXPECT_EQ(page->PathEdit()->text().toStdString(), c.path) << c.pick.value_or("(cancel)");
    EXPECT_EQ(sync.boxes.size(), c.box ? 1u : 0u) << c.pick.value_or("(cancel)");
  }
}

TEST_F(SyncPageTest, RoleClicksWriteOnlyTheRole) {
  page->PrimaryButton()->click();
  page->SecondaryButton()->click();
  EXPECT_EQ(sync.writes, (std::vector<std::string>{"SyncAsPrimary=true", "SyncAsPrimary=false"}));
  sync.config["SyncAsPrimary"] = "xtruex";
  page->RefreshFromConfig();
  EXPECT_TRUE(page->PrimaryButton()->isChecked());
  EXPECT_FALSE(page->SecondaryButton()->isChecked());
}

TEST_F(SyncPageTest, ExportReportsItsResultAndRefusesASecondExport) {
  sync.saveAs = work + "/log.csv";
  sync.onSave = [&] { page->OnBnClickedOutputLog(); };  // a second click while the first runs
  page->OnBnClickedOutputLog();
  EXPECT_EQ(sync.steps, (std::vector<std::string>{"SaveFileName", "ExportLog " + work + "/log.csv"}));
  EXPECT_EQ(sync.boxes, std::vector<std::string>{"MSGBOX_SETTING_SYNC_LOGSAVINGSUCCEED"});

  sync.exported = false;
  page->OnBnClickedOutputLog();
  EXPECT_EQ(sync.boxes.back(), "MSGBOX_SETTING_SYNC_FAILEDTOSAVELOG");

  sync.steps.clear();
  sync.boxes.clear();
  sync.saveAs = std::nullopt;
  page->OnBnClickedOutputLog();
  EXPECT_EQ(sync.steps, std::vector<std::string>{"SaveFileName"});
  EXPECT_TRUE(sync.boxes.empty());
}

TEST_F(SyncPageTest, TheEndOfThePageStopsAndWritesSyncOff) {
  sync.config["SyncOn"] = "true";
  page.reset();
  EXPECT_EQ(sync.steps, std::vector<std::string>{"Stop"});
  EXPECT_EQ(sync.config["SyncOn"], "false");
}

}  // namespace
