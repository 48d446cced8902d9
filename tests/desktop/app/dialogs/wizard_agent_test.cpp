// The first-run wizard against the real agent over loopback: what Finish leaves in the
// agent's database, an earlier installation's data folder kept whole, and a data folder
// that cannot be made refused without touching the agent.
#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/dialogs/wizard_dlg.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/app/dialogs/work_dir.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/agent_harness.h"

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QDialog>
#include <QFile>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

namespace {

using namespace ks::dialogs;
namespace fs = std::filesystem;

class KeyLanguage : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return 1; }
  QString Text(const std::string&, const std::string& key) const override {
    return QStringLiteral("<%1>").arg(QString::fromStdString(key));
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), -9, 400};
  }
};

std::string Md5(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return "unreadable";
  QCryptographicHash hash(QCryptographicHash::Md5);
  hash.addData(&f);
  return hash.result().toHex().toStdString();
}

// Name -> MD5 of the regular files directly in `folder`.
std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) out[e.path().filename().string()] = Md5(e.path().string());
  return out;
}

class WizardAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<KeyLanguage>());
    fs::create_directories(P("home"));
    fs::create_directories(P("program"));
    for (const char* d : {"s1", "s2", "data", "blk"}) fs::create_directories(P(d));
    platformDir_ = std::make_unique<ks::test::EnvOverride>("KESTYL_PLATFORM_DIR", P("platform").c_str());
    homeEnv_ = std::make_unique<ks::test::EnvOverride>("HOME", P("home").c_str());
    trace_ = QString::fromStdString(P("trace.log"));
    ks::ui::SetTraceFile(trace_);
    SetFolderPicker([this](QWidget*, const QString&) -> std::optional<QString> {
      if (picks_.empty()) return std::nullopt;
      std::optional<QString> next = picks_.front();
      picks_.pop_front();
      return next;
    });

    ks::fake::AgentOptions options;
    options.binary = KS_AGENT_BINARY;
    options.schema_file = KS_SCHEMA_FILE;
    agent_ = std::make_unique<ks::fake::AgentHarness>(options);
    ASSERT_TRUE(agent_->Start()) << agent_->ReadLog();
    ks::desktop::UIDataOptions link;
    link.agentPort = agent_->message_port();
    link.listen = false;
    link.watchNetwork = false;
    link.programDir = P("program");
    link_ = ks::desktop::CUIData::Create(link);
    ASSERT_NE(link_, nullptr);
  }
  void TearDown() override {
    wizard_.reset();
    if (link_) link_->Release();
    agent_.reset();
    SetFolderPicker({});
    ks::ui::SetTraceFile(QString());
    ks::ui::SetLanguageSource(nullptr);
  }

  std::string P(const std::string& name) const { return work_.path() + "/" + name; }
  void Pick(const std::string& path) { picks_.push_back(QString::fromStdString(path)); }
  void Click(int id) { static_cast<QAbstractButton*>(wizard_->Control(id))->click(); }
  CWizardDlg& Open() {
    wizard_ = std::make_unique<CWizardDlg>(link_);
    wizard_->show();
    kstest::ProcessEvents();
    return *wizard_;
  }
  // Finish, answering any message box with OK; the boxes' trace lines, one a line.
  std::string Finish() {
    const int before = Trace(QStringLiteral("box ")).size();
    kstest::ModalAnswerer answerer([](QWidget* w) { static_cast<QDialog*>(w)->done(1); });
    Click(kWizFinish);
    return Trace(QStringLiteral("box ")).mid(before).join(QLatin1Char('\n')).toStdString();
  }
  QStringList Trace(const QString& prefix) const {
    QFile f(trace_);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')))
      if (line.startsWith(prefix)) out << line;
    return out;
  }
  std::string DefShare() const { return agent_->QueryText("SELECT def FROM ks_defshare"); }
  std::string Shares() const {
    return agent_->QueryText("SELECT group_concat(path, '|') FROM (SELECT path FROM ks_share ORDER BY path)");
  }

  ks::test::WorkDir work_;
  ks::test::FixtureTrees trees_;
  std::unique_ptr<ks::test::EnvOverride> platformDir_;
  std::unique_ptr<ks::test::EnvOverride> homeEnv_;
  QString trace_;
  std::deque<QString> picks_;
  std::unique_ptr<ks::fake::AgentHarness> agent_;
  ks::desktop::IUIData* link_ = nullptr;
  std::unique_ptr<CWizardDlg> wizard_;
};

TEST_F(WizardAgentTest, FinishStoresTheOwnDataFolderAndTheAddedShares) {
  CWizardDlg& w = Open();
  Click(kWizOwnOption);
  Pick(P("data"));
  Click(kWizBrowse);
  Click(kWizNext);
  for (const char* s : {"s1", "s2", "s1"}) {
    Pick(P(s));
    kstest::ModalAnswerer answerer([](QWidget* d) { static_cast<QDialog*>(d)->done(1); });
    Click(kWizAdd);
  }
  Pick("/");
  {
    kstest::ModalAnswerer answerer([](QWidget* d) { static_cast<QDialog*>(d)->done(1); });
    Click(kWizAdd);
  }
  Click(kWizNext);
  EXPECT_TRUE(Finish().empty());
  EXPECT_EQ(w.result(), 1);
  EXPECT_EQ(DefShare(), P("data") + "/Kestyl");
  EXPECT_EQ(Shares(), P("s1") + "|" + P("s2"));
  EXPECT_TRUE(fs::is_directory(P("data") + "/Kestyl"));
}

TEST_F(WizardAgentTest, AnEarlierDataFolderIsUsedAsItIs) {
  const std::string old = P("home") + "/Kestyl";
  fs::create_directories(old);
  std::mt19937 random(30);
  for (int i = 0; i < 20; ++i) {
    const size_t size = 1024 + random() % (1024 * 1024 - 1024);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::ofstream(old + "/file" + std::to_string(i) + ".bin", std::ios::binary) << bytes;
  }
  const std::map<std::string, std::string> before = Files(old);
  ASSERT_EQ(before.size(), 20u);

  CWizardDlg& w = Open();
  Click(kWizNext);
  Click(kWizNext);
  EXPECT_TRUE(Finish().empty());
  EXPECT_EQ(w.result(), 1);
  EXPECT_EQ(DefShare(), old);
  std::map<std::string, std::string> after = Files(old);
  for (const auto& [name, md5] : before) EXPECT_EQ(after[name], md5) << name;
}

TEST_F(WizardAgentTest, ADataFolderThatCannotBeMadeKeepsTheWizardOpen) {
  const std::string blocker = P("blk") + "/Kestyl";
  ks::test::WriteFileAt(blocker, "not a folder");
  const std::string blockerMd5 = Md5(blocker);

  CWizardDlg& w = Open();
  Click(kWizOwnOption);
  Pick(P("blk"));
  Click(kWizBrowse);
  Click(kWizNext);
  Pick(P("s1"));
  Click(kWizAdd);
  Click(kWizNext);
  EXPECT_EQ(Finish(), "box 0 \"<DIALOG_TITLE>\" \"<MSGBOX_MOVEFOLDER_FAILED_COPY>\"");
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.m_step, 3);
  EXPECT_TRUE(Trace(QStringLiteral("result CWizardDlg")).isEmpty());
  EXPECT_EQ(DefShare(), "");
  EXPECT_EQ(Shares(), "");
  EXPECT_EQ(Md5(blocker), blockerMd5);

  // Back to the default folder: that one works, and the share added before goes along.
  Click(kWizFront);
  Click(kWizFront);
  Click(kWizDefaultOption);
  Click(kWizNext);
  Click(kWizNext);
  EXPECT_TRUE(Finish().empty());
  EXPECT_EQ(w.result(), 1);
  EXPECT_EQ(DefShare(), P("home") + "/Kestyl");
  EXPECT_EQ(Shares(), P("s1"));
}

}  // namespace
