// The first-run wizard on a fresh install root, as its owner meets it: the data folder and the
// folders to share chosen through the real folder picker, the hand-over to the real agent on
// Finish, leaving with Escape, an earlier installation's data folder kept as it is, a data
// folder that cannot be made there, and the log-in that follows in every case.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/e2e/desktop/wizard_road_kit.h"
#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/md5.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
using ks::fake::DesktopHarness;
using ks::fake::DesktopOptions;
using ks::e2e::Lang;
using ks::e2e::RoadKit;

class WizardRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
    options.setup_done = false;  // the seeded key only: the wizard runs
  }
  void Start() {
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;
    kit = std::make_unique<RoadKit>(*harness);
  }
  // Starts the desktop and waits for the wizard's first page.
  void StartWizard() {
    mark = harness->Trace().size();
    harness->StartDesktop();
    ASSERT_TRUE(harness->WaitTracePrefix("show CWizardDlg", 30000, mark)) << "no wizard";
    ASSERT_TRUE(kit->WaitText("CWizardDlg", 1036, Lang("WIZARD_STATIC_TITLESTEP1"), 10000, mark));
  }
  // Next or Back, and waits for the title of the step it leads to.
  void Step(int button, int to) {
    size_t from = harness->Trace().size();
    ASSERT_TRUE(kit->Click("CColorButton", button)) << button;
    ASSERT_TRUE(kit->WaitText("CWizardDlg", 1036, Lang("WIZARD_STATIC_TITLESTEP" + std::to_string(to)), 10000,
                              from))
        << "step " << to << " never showed";
  }
  // Browse or Add, the picker's title, the folder typed into it.
  void Pick(int button, const std::string& titleKey, const std::string& folder) {
    ASSERT_TRUE(kit->ClickToOpen("CColorButton", button, "show QFileDialog")) << button;
    ASSERT_TRUE(kit->PickFolder(Lang(titleKey), folder)) << "picker for " << folder;
  }
  void Finish() { ASSERT_TRUE(kit->Click("CColorButton", 1030)); }
  std::string SetupWizardValue() {
    std::string out;
    harness->Tool("reg", {"query", "HKLM\\SOFTWARE\\Kestyl", "/v", "SetupWizard"}, &out);
    return out;
  }
  std::string Folder(const std::string& name) {
    std::string path = harness->work() + "/" + name;
    fs::create_directories(path);
    return path;
  }
  std::string Home() const { return harness->home() + "/Kestyl"; }

  DesktopOptions options;
  std::unique_ptr<DesktopHarness> harness;
  std::unique_ptr<RoadKit> kit;
  size_t mark = 0;
};

// Names and MD5s of the regular files of a folder.
std::map<std::string, std::string> Fingerprints(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    out[e.path().filename().string()] = ks::fake::DigestHex(ks::fake::Md5Of(ks::test::ReadFile(e.path().string())));
  }
  return out;
}

// The data folder, two shares, a duplicate and the whole disk refused, Back keeping the added
// folders, Finish handing everything to the agent, then the log-in; the wizard never again.
TEST_F(WizardRoad, ChoicesReachTheAgentAndTheWizardRunsOnce) {
  Start();
  const std::string data = Folder("data"), s1 = Folder("s1"), s2 = Folder("s2");
  StartWizard();
  kit->ShotOf("CWizardDlg", "wizard-step1");
  EXPECT_NE(SetupWizardValue().find("0x1"), std::string::npos) << SetupWizardValue();
  EXPECT_FALSE(harness->WaitTracePrefix("show CLoginDlg", 0, mark)) << "log-in dialog before the wizard ended";
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1143, Lang("WIZARD_STATIC_FLODER1") + Home() + Lang("WIZARD_STATIC_FLODER2"),
                            0, mark));
  auto browse = harness->Control("CColorButton", 1028);
  ASSERT_TRUE(browse);
  EXPECT_FALSE(browse->enabled) << "Browse enabled with the default folder chosen";

  // The tray ignores the owner while the wizard runs: the tray click shows nothing before the
  // picker opened by the clicks after it.
  size_t from = harness->Trace().size();
  ASSERT_TRUE(kit->ClickTray(1));
  ASSERT_TRUE(kit->Click("CColorButton", 1146));
  Pick(1028, "OTHER_SELECT_DEFAULTFLODER", data);
  for (const std::string& line : kit->LinesFrom(from)) {
    if (line.rfind("show ", 0) == 0) {
      EXPECT_EQ(line.rfind("show QFileDialog", 0), 0u) << line;
    }
  }
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1025, data + "/Kestyl", 10000, from));
  from = harness->Trace().size();
  ASSERT_TRUE(kit->Click("CColorButton", 1145));
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1025, Home(), 10000, from));
  ASSERT_TRUE(kit->Click("CColorButton", 1146));
  from = harness->Trace().size();
  Pick(1028, "OTHER_SELECT_DEFAULTFLODER", data);
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1025, data + "/Kestyl", 10000, from));
  harness->Screenshot("own-data-folder");

  Step(1029, 2);
  from = harness->Trace().size();
  Pick(1034, "OTHER_SELECTFLODER", s1);
  Pick(1034, "OTHER_SELECTFLODER", s2);
  EXPECT_TRUE(kit->WaitRow(1033, s2, 10000, from));
  EXPECT_TRUE(kit->WaitRow(1033, s1, 0, from));
  from = harness->Trace().size();
  Pick(1034, "OTHER_SELECTFLODER", s1);
  EXPECT_TRUE(kit->AnswerBox(Lang("MSGBOX_SHARESAMEFOLDER"))) << "no box for a folder shared twice";
  Pick(1034, "OTHER_SELECTFLODER", "/");
  EXPECT_TRUE(kit->AnswerBox(Lang("MSGBOX_SHAREROOTPATH"))) << "no box for the whole disk";
  EXPECT_FALSE(kit->WaitRow(1033, s1, 0, from)) << "the duplicate got a row";
  EXPECT_FALSE(kit->WaitRow(1033, "/", 0, from)) << "the whole disk got a row";
  harness->Screenshot("two-shares");

  from = harness->Trace().size();
  Step(1039, 1);
  Step(1029, 2);
  EXPECT_TRUE(kit->WaitRow(1033, s1, 10000, from)) << "shares added earlier left the list";
  EXPECT_TRUE(kit->WaitRow(1033, s2, 10000, from));
  harness->Screenshot("back-and-next");

  Step(1029, 3);
  harness->Screenshot("wizard-step3");
  from = harness->Trace().size();
  Finish();
  EXPECT_TRUE(harness->WaitTracePrefix("result CWizardDlg 1", 10000, from));
  EXPECT_TRUE(kit->WaitDefShare(data + "/Kestyl", 15000)) << "def: " << kit->DefShare();
  EXPECT_TRUE(kit->WaitShares({s1, s2}, 15000));
  std::vector<std::string> shares = kit->Shares();
  EXPECT_EQ(std::find(shares.begin(), shares.end(), "/"), shares.end());
  EXPECT_TRUE(harness->WaitTracePrefix("show CLoginDlg", 10000, from)) << "no log-in after the wizard";
  ASSERT_TRUE(kit->LogIn());
  harness->Screenshot("logged-in");
  EXPECT_EQ(kit->DefShare(), data + "/Kestyl");

  // The next start goes straight to the program.
  harness->SignalDesktop(SIGTERM);
  ASSERT_NE(harness->WaitDesktop(10000), -1);
  from = harness->Trace().size();
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 30000, from));
  EXPECT_TRUE(harness->WaitTracePrefix("tray modify 368", 30000, from)) << "not back online";
  EXPECT_FALSE(harness->WaitTracePrefix("show CWizardDlg", 0, from)) << "the wizard ran twice";
}

// Escape ends the wizard without a hand-over, also after the folder picker took the keyboard
// and the pointer went elsewhere; the log-in follows and the agent keeps its own default.
TEST_F(WizardRoad, EscapeHandsOverNothingAndTheLogInFollows) {
  Start();
  const std::string s3 = Folder("s3");
  StartWizard();
  Step(1029, 2);
  size_t from = harness->Trace().size();
  Pick(1034, "OTHER_SELECTFLODER", s3);
  EXPECT_TRUE(kit->WaitRow(1033, s3, 10000, from));
  // The owner moves the mouse off the wizard before pressing Escape.
  ASSERT_TRUE(kit->MovePointer(5, 5));
  from = harness->Trace().size();
  ASSERT_TRUE(harness->Key("Escape"));
  EXPECT_TRUE(harness->WaitTracePrefix("result CWizardDlg 2", 10000, from)) << "Escape did not reach the wizard";
  EXPECT_NE(SetupWizardValue().find("0x1"), std::string::npos);
  ASSERT_TRUE(harness->WaitTracePrefix("show CLoginDlg", 10000, from)) << "no log-in after Escape";
  ASSERT_TRUE(kit->LogIn());
  harness->Screenshot("logged-in");
  EXPECT_TRUE(kit->WaitDefShare(Home(), 15000)) << "def: " << kit->DefShare();
  std::vector<std::string> shares = kit->Shares();
  EXPECT_EQ(std::find(shares.begin(), shares.end(), s3), shares.end()) << "a share of a left wizard";
}

// A data folder left by an earlier installation is taken as it is: every file stays.
TEST_F(WizardRoad, EarlierDataFolderKeepsItsFiles) {
  Start();
  fs::create_directories(Home());
  std::mt19937 random(30);
  for (int i = 0; i < 20; ++i) {
    const size_t size = 1024 + random() % (1024 * 1024 - 1024 + 1);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    ks::test::WriteFile(Home() + "/earlier-" + std::to_string(i) + ".bin", bytes);
  }
  const auto before = Fingerprints(Home());
  ASSERT_EQ(before.size(), 20u);
  StartWizard();
  Step(1029, 2);
  Step(1029, 3);
  size_t from = harness->Trace().size();
  Finish();
  EXPECT_TRUE(harness->WaitTracePrefix("result CWizardDlg 1", 10000, from));
  EXPECT_TRUE(kit->WaitDefShare(Home(), 15000)) << "def: " << kit->DefShare();
  EXPECT_TRUE(harness->WaitTracePrefix("show CLoginDlg", 10000, from));
  harness->Screenshot("after-finish");
  // Every earlier file is still there, unchanged (the agent may add its own beside them).
  const auto after = Fingerprints(Home());
  for (const auto& [name, md5] : before) {
    auto it = after.find(name);
    EXPECT_TRUE(it != after.end() && it->second == md5) << name;
  }
}

// A data folder that cannot be made (a file holds its name) keeps the wizard on its last page
// with nothing handed over; the default folder then goes through.
TEST_F(WizardRoad, BlockedDataFolderKeepsTheWizardOpen) {
  Start();
  const std::string blk = Folder("blk");
  ks::test::WriteFile(blk + "/Kestyl", "a file, not a folder");
  StartWizard();
  ASSERT_TRUE(kit->Click("CColorButton", 1146));
  size_t from = harness->Trace().size();
  Pick(1028, "OTHER_SELECT_DEFAULTFLODER", blk);
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1025, blk + "/Kestyl", 10000, from));
  Step(1029, 2);
  Step(1029, 3);
  from = harness->Trace().size();
  Finish();
  EXPECT_TRUE(kit->WaitBox(Lang("MSGBOX_MOVEFOLDER_FAILED_COPY"), 15000, from)) << "no failure box";
  harness->Screenshot("blocked");
  EXPECT_TRUE(kit->AnswerBox(Lang("MSGBOX_MOVEFOLDER_FAILED_COPY")));
  EXPECT_FALSE(harness->WaitTracePrefix("result CWizardDlg", 0, from)) << "the wizard ended";
  EXPECT_FALSE(harness->WaitTracePrefix("hide CWizardDlg", 0, from)) << "the wizard went away";
  EXPECT_EQ(kit->DefShare(), "");
  EXPECT_TRUE(kit->Shares().empty());
  EXPECT_TRUE(fs::is_regular_file(blk + "/Kestyl"));

  Step(1039, 2);
  Step(1039, 1);
  from = harness->Trace().size();
  ASSERT_TRUE(kit->Click("CColorButton", 1145));
  EXPECT_TRUE(kit->WaitText("CWizardDlg", 1025, Home(), 10000, from));
  Step(1029, 2);
  Step(1029, 3);
  from = harness->Trace().size();
  Finish();
  EXPECT_TRUE(harness->WaitTracePrefix("result CWizardDlg 1", 10000, from));
  EXPECT_TRUE(kit->WaitDefShare(Home(), 15000)) << "def: " << kit->DefShare();
  EXPECT_TRUE(harness->WaitTracePrefix("show CLoginDlg", 10000, from));
  harness->Screenshot("default-after-blocked");
}

// A first run from the wizard on, opening every top-level window the owner can reach once,
// each on a screenshot: wizard, folder picker, message box, log-in, the main window's pages,
// account switch, About, hosted network, a phone's connection request, the update notice and,
// at the start after an update, the update information.
TEST_F(WizardRoad, FirstRunThroughEveryWindow) {
  // Only the update check asked for through the tray runs.
  options.env["KESTYL_UPDATE_FIRST_S"] = "86400";
  Start();
  const std::string s1 = Folder("s1");
  StartWizard();
  kit->ShotOf("CWizardDlg", "CWizardDlg");
  Step(1029, 2);
  ASSERT_TRUE(kit->ClickToOpen("CColorButton", 1034, "show QFileDialog"));
  ASSERT_TRUE(kit->PickFolder(Lang("OTHER_SELECTFLODER"), s1, "folder-picker"));
  Pick(1034, "OTHER_SELECTFLODER", s1);
  EXPECT_TRUE(kit->AnswerBox(Lang("MSGBOX_SHARESAMEFOLDER"), 15000, "CDiyMessageBox"));
  Step(1029, 3);
  size_t from = harness->Trace().size();
  Finish();
  EXPECT_TRUE(harness->WaitTracePrefix("result CWizardDlg 1", 10000, from));
  ASSERT_TRUE(kit->WaitLogInDialog());
  kit->ShotOf("CLoginDlg", "CLoginDlg");
  ASSERT_TRUE(kit->LogIn());
  EXPECT_TRUE(kit->WaitDefShare(Home(), 15000)) << "def: " << kit->DefShare();

  // The main window and its pages.
  from = harness->Trace().size();
  ASSERT_TRUE(kit->TrayCommand({32784}));
  ASSERT_TRUE(harness->WaitTracePrefix("show CSettingDlg", 10000, from)) << "no main window";
  kit->ShotOf("CSettingDlg", "CSettingDlg");
  // The synchronisation page's button (1163) is laid out right of the window's edge, where no
  // click reaches it: that page, and the log export's save dialog on it, stay out of reach.
  for (int page : {1138, 1049, 1133, 1048}) {
    SCOPED_TRACE(page);
    ASSERT_TRUE(kit->Click("CSettingButton", page));
    kit->ShotOf("CSettingDlg", "page-" + std::to_string(page));
  }

  struct Window {
    const char* cls;
    std::vector<int> items;  // tray menu items that open it
  };
  const Window windows[] = {
      {"CSwitchAccountDlg", {32788}},
      {"CAboutDlg", {32818, 32806}},
      {"CApDlg", {32827}},
  };
  for (const Window& w : windows) {
    SCOPED_TRACE(w.cls);
    from = harness->Trace().size();
    ASSERT_TRUE(kit->TrayCommand(w.items));
    EXPECT_TRUE(harness->WaitTracePrefix(std::string("show ") + w.cls, 10000, from));
    kit->ShotOf(w.cls, w.cls);
    EXPECT_TRUE(kit->ClickIn(w.cls, "CTransparentButton", 1093));
    EXPECT_TRUE(harness->WaitTracePrefix(std::string("hide ") + w.cls, 10000, from));
  }

  // A phone logging in with an account that is not the owner's asks the owner.
  from = harness->Trace().size();
  std::jthread phone([port = harness->agent_port()] {
    auto client = ks::fake::FakeMobileClient::ConnectTcp(port);
    if (client) client->Login("phone@example.com", "phonepass", {}, 0, 60000);
  });
  EXPECT_TRUE(harness->WaitTracePrefix("show CConnectDlg", 30000, from)) << "no connection request";
  kit->ShotOf("CConnectDlg", "CConnectDlg");
  EXPECT_TRUE(kit->ClickIn("CConnectDlg", "CTransparentButton", 1093));
  EXPECT_TRUE(harness->WaitTracePrefix("hide CConnectDlg", 10000, from));
  phone.join();

  // A newer version on the web server: the manual check offers it.
  harness->web().Enqueue("/kestyl/update-pc.html",
                         ks::fake::WebReply::Ok("{\"version\":\"99.0.0.0\",\"down\":\"" + harness->web().url() +
                                                "/kestyl/KestylInstaller\",\"md5\":\"0123456789abcdef0123456789abcdef\","
                                                "\"size\":\"1\"}"));
  from = harness->Trace().size();
  ASSERT_TRUE(kit->TrayCommand({32818, 32786}));
  EXPECT_TRUE(harness->WaitTracePrefix("show CUpdateNoticeDlg", 20000, from)) << "no update notice";
  kit->ShotOf("CUpdateNoticeDlg", "CUpdateNoticeDlg");
  EXPECT_TRUE(kit->ClickIn("CUpdateNoticeDlg", "CColorButton", 1047));
  EXPECT_TRUE(harness->WaitTracePrefix("hide CUpdateNoticeDlg", 10000, from));

  // The first start after an update tells about it.
  harness->SignalDesktop(SIGTERM);
  ASSERT_NE(harness->WaitDesktop(10000), -1);
  ASSERT_EQ(harness->Tool("reg", {"add", "HKLM\\SOFTWARE\\Kestyl", "/v", "UpdateFinish", "/t", "REG_DWORD", "/d", "1",
                                  "/f"}),
            0);
  from = harness->Trace().size();
  harness->StartDesktop();
  EXPECT_TRUE(harness->WaitTracePrefix("show CUpdateDlg", 30000, from)) << "no update information";
  kit->ShotOf("CUpdateDlg", "CUpdateDlg");

  for (const char* cls : {"CWizardDlg", "CLoginDlg", "CDiyMessageBox", "QFileDialog", "CSettingDlg",
                          "CSwitchAccountDlg", "CAboutDlg", "CApDlg", "CConnectDlg", "CUpdateNoticeDlg", "CUpdateDlg"}) {
    EXPECT_TRUE(harness->WaitTracePrefix(std::string("show ") + cls + " ", 0)) << cls << " never showed";
  }
}

}  // namespace
