// RunSetupWizard, headless: whether the registry lets the wizard run, and what the main
// window sees while it runs and afterwards.
#include "desktop/app/dialogs/setup_wizard.h"
#include "desktop/app/dialogs/wizard_dlg.h"
#include "desktop/foundation/ui/language_source.h"
#include "platform/registry.h"
#include "tests/desktop/app/dialogs/fake_ui_data.h"
#include "tests/desktop/app/dialogs/work_dir.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QDialog>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

namespace {

using namespace ks::dialogs;
using namespace ks::platform;

class PlainLanguage : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return 1; }
  QString Text(const std::string&, const std::string& key) const override { return QString::fromStdString(key); }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), -9, 400};
  }
};

class SetupWizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<PlainLanguage>());
    std::filesystem::create_directories(work_.path() + "/home");
    platformDir_ = std::make_unique<ks::test::EnvOverride>("KESTYL_PLATFORM_DIR", (work_.path() + "/platform").c_str());
    home_ = std::make_unique<ks::test::EnvOverride>("HOME", (work_.path() + "/home").c_str());
    mainWindow_.show();
    loginDialog_.show();
    std::memset(&account_, 0, sizeof account_);
    std::strcpy(account_.account, "owner@example.com");
  }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }

  SetupWizardHost Host() {
    SetupWizardHost host;
    host.mainWindow = &mainWindow_;
    host.loginDialog = &loginDialog_;
    host.loginInfo = &account_;
    host.startupBusy = &busy_;
    host.uiData = &link_;
    return host;
  }
  static std::optional<uint32_t> Flag() {
    uint32_t value = 0;
    if (RegGetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", value) != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

  ks::test::WorkDir work_;
  std::unique_ptr<ks::test::EnvOverride> platformDir_;
  std::unique_ptr<ks::test::EnvOverride> home_;
  QWidget mainWindow_;
  QWidget loginDialog_;
  ks::desktop::LoginInfo account_;
  bool busy_ = false;
  kstest::RecordingUIData link_;
};

TEST_F(SetupWizardTest, TheRegistryDecidesWhetherTheWizardRuns) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool runs;
  };
  const Case cases[] = {
      {"key missing", [] { ASSERT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl"), ERROR_SUCCESS); }, false},
      {"value absent", [] {}, true},
      {"value 0", [] { RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", 0); }, true},
      {"value 1", [] { RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", 1); }, false},
      {"value 7", [] { RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", 7); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh registry per case: the seeded key without any value.
    ks::test::EnvOverride dir("KESTYL_PLATFORM_DIR", (work_.path() + "/platform-" + c.name).c_str());
    c.arrange();
    const std::optional<uint32_t> before = Flag();
    mainWindow_.show();
    loginDialog_.show();

    bool shown = false;
    kstest::ModalAnswerer answerer([&](QWidget* w) {
      shown = qobject_cast<CWizardDlg*>(w) != nullptr;
      static_cast<QDialog*>(w)->reject();
    }, 2000);
    const int result = RunSetupWizard(Host());

    EXPECT_EQ(shown, c.runs);
    EXPECT_EQ(result, c.runs ? 2 : 0);
    // Without the wizard nothing changes: the windows stay, the flag stays as it was.
    EXPECT_EQ(mainWindow_.isVisible(), !c.runs);
    EXPECT_EQ(loginDialog_.isVisible(), !c.runs);
    EXPECT_EQ(Flag(), c.runs ? std::optional<uint32_t>(1) : before);
    EXPECT_FALSE(busy_);
  }
  EXPECT_TRUE(link_.calls.empty());
}

TEST_F(SetupWizardTest, WhileItRunsTheTrayIsBusyAndTheWindowsAreHidden) {
  struct Seen {
    bool busy = false, mainVisible = true, loginVisible = true, accountCopy = false, modal = false;
  } seen;
  kstest::ModalAnswerer answerer([&](QWidget* w) {
    auto* wizard = qobject_cast<CWizardDlg*>(w);
    ASSERT_NE(wizard, nullptr);
    seen = {busy_, mainWindow_.isVisible(), loginDialog_.isVisible(), wizard->HasAccountCopy(), wizard->isModal()};
    // Finish through the three steps: the wizard's own hand-over reaches the link passed in.
    wizard->OnBnClickedNextButton();
    wizard->OnBnClickedNextButton();
    QTest::mouseClick(wizard->Control(kWizFinish), Qt::LeftButton);
  });
  EXPECT_EQ(RunSetupWizard(Host()), 1);
  EXPECT_TRUE(answerer.answered());
  EXPECT_TRUE(seen.busy);
  EXPECT_FALSE(seen.mainVisible);
  EXPECT_FALSE(seen.loginVisible);
  EXPECT_TRUE(seen.accountCopy);
  EXPECT_TRUE(seen.modal);
  EXPECT_FALSE(busy_);
  EXPECT_EQ(link_.calls, (std::vector<std::string>{"SetDefShare", "UpdateShares"}));
  EXPECT_EQ(link_.refs, 0);  // the wizard let go of the link
  // It ran once: a second start asks for nothing.
  EXPECT_EQ(RunSetupWizard(Host()), 0);
}

TEST_F(SetupWizardTest, AnAbsentHostIsNoHindrance) {
  kstest::ModalAnswerer answerer([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  SetupWizardHost host;
  host.uiData = &link_;
  EXPECT_EQ(RunSetupWizard(host), 2);
  EXPECT_TRUE(answerer.answered());
}

}  // namespace
