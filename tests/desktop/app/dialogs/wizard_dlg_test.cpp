// The first-run wizard, headless: steps, data-folder options, the share list of step 2, the
// hand-over on Finish and its failures, the set-up flag, keys, texts and pictures.
#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/dialogs/wizard_dlg.h"
#include "desktop/app/dialogs/wizard_paths.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "platform/registry.h"
#include "tests/desktop/app/dialogs/fake_ui_data.h"
#include "tests/desktop/app/dialogs/work_dir.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <set>

namespace {

using namespace ks::dialogs;
namespace fs = std::filesystem;

// Texts "<KEY>" in language 1, "{KEY}" after a switch to language 0.
class KeyLanguage : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return language; }
  QString Text(const std::string&, const std::string& key) const override {
    const QString k = QString::fromStdString(key);
    return language == 1 ? QStringLiteral("<%1>").arg(k) : QStringLiteral("{%1}").arg(k);
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), -9, 400};
  }
  int language = 1;
};

TEST(WizardPaths, DataFolderUnderJoinsWithOneSlash) {
  const std::pair<std::string, std::string> cases[] = {
      {"/h", "/h/Kestyl"}, {"/h/", "/h/Kestyl"}, {"/h//", "/h/Kestyl"}, {"/", "/Kestyl"}, {"", "/Kestyl"},
      {"/data/x y", "/data/x y/Kestyl"},
  };
  for (const auto& [base, folder] : cases) EXPECT_EQ(DataFolderUnder(base), folder) << base;
}

TEST(WizardPaths, DefaultFolderFollowsHome) {
  {
    ks::test::EnvOverride home("HOME", "/h");
    EXPECT_EQ(DefaultDataFolder(), "/h/Kestyl");
  }
  {
    ks::test::EnvOverride home("HOME", "/h/");
    EXPECT_EQ(DefaultDataFolder(), "/h/Kestyl");
  }
  {
    ks::test::EnvOverride home("HOME", "/");
    EXPECT_EQ(DefaultDataFolder(), "/Kestyl");
  }
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  const std::string fromDatabase = DataFolderUnder(pw->pw_dir);
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    ks::test::EnvOverride home("HOME", value);
    EXPECT_EQ(DefaultDataFolder(), fromDatabase) << (value ? "empty" : "unset");
  }
}

TEST(WizardSteps, EveryControlIsShownOrHiddenOnceAndTheTitleMoves) {
  const std::set<int> all = {kWizTitle,     kWizBrowseLabel, kWizFolderText, kWizDefaultOption, kWizOwnOption,
                             kWizDataFolder, kWizBrowse,     kWizList,       kWizAdd,           kWizDelete,
                             kWizStepText,  kWizLink,        kWizFront,      kWizNext,          kWizFinish};
  struct Expect {
    int step;
    QRect title;
    unsigned background;
    std::set<int> shown;
  };
  const Expect expected[] = {
      {1, QRect(225, 82, 467, 47), 358,
       {kWizDataFolder, kWizBrowse, kWizNext, kWizTitle, kWizFolderText, kWizDefaultOption, kWizOwnOption}},
      {2, QRect(230, 76, 369, 27), 357, {kWizNext, kWizList, kWizAdd, kWizDelete, kWizTitle, kWizFront}},
      {3, QRect(231, 76, 370, 27), 357, {kWizFinish, kWizTitle, kWizFront, kWizLink, kWizStepText}},
  };
  for (const Expect& e : expected) {
    const WizardStepLayout* layout = WizardStep(e.step);
    ASSERT_NE(layout, nullptr);
    const std::set<int> shown(layout->shown.begin(), layout->shown.end());
    const std::set<int> hidden(layout->hidden.begin(), layout->hidden.end());
    EXPECT_EQ(shown, e.shown) << "step " << e.step;
    EXPECT_EQ(shown.size() + hidden.size(), all.size()) << "step " << e.step;
    std::set<int> both = shown;
    both.insert(hidden.begin(), hidden.end());
    EXPECT_EQ(both, all) << "step " << e.step;
    EXPECT_EQ(layout->title, e.title);
    EXPECT_EQ(layout->background, e.background);
  }
  EXPECT_EQ(WizardStep(0), nullptr);
  EXPECT_EQ(WizardStep(4), nullptr);
  EXPECT_EQ(WizardPictureFor(0), 359u);
  EXPECT_EQ(WizardPictureFor(1), 361u);
  EXPECT_EQ(WizardPictureFor(2), 360u);
  EXPECT_EQ(WizardPictureFor(7), 359u);
}

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(language_);
    home_ = work_.path() + "/home";
    fs::create_directories(home_);
    for (const char* d : {"s1", "s2", "s3", "data"}) fs::create_directories(work_.path() + "/" + d);
    platformDir_ = std::make_unique<ks::test::EnvOverride>("KESTYL_PLATFORM_DIR", (work_.path() + "/platform").c_str());
    homeEnv_ = std::make_unique<ks::test::EnvOverride>("HOME", home_.c_str());
    trace_ = QString::fromStdString(work_.path() + "/trace.log");
    ks::ui::SetTraceFile(trace_);
    SetFolderPicker([this](QWidget*, const QString& title) -> std::optional<QString> {
      pickerTitles_.push_back(title);
      if (picks_.empty()) return std::nullopt;
      std::optional<QString> next = picks_.front();
      picks_.pop_front();
      return next;
    });
  }
  void TearDown() override {
    SetFolderPicker({});
    ks::ui::SetTraceFile(QString());
    ks::ui::SetLanguageSource(nullptr);
  }

  std::string P(const std::string& name) const { return work_.path() + "/" + name; }
  std::string HomeData() const { return home_ + "/Kestyl"; }

  // The wizard shown (not modal: the test drives it).
  std::unique_ptr<CWizardDlg> Open() {
    auto w = std::make_unique<CWizardDlg>(&link_);
    w->show();
    kstest::ProcessEvents();
    return w;
  }
  void Pick(const std::string& path) { picks_.push_back(QString::fromStdString(path)); }
  QStringList TraceLines(const QString& prefix) const {
    QFile f(trace_);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')))
      if (line.startsWith(prefix)) out << line;
    return out;
  }
  // The "ctl" lines of the control `id` (whatever its class).
  QStringList CtlLines(int id) const {
    QStringList out;
    for (const QString& line : TraceLines(QStringLiteral("ctl ")))
      if (line.section(QLatin1Char(' '), 2, 2) == QString::number(id)) out << line;
    return out;
  }
  // Runs `action`, answering every message box it shows with OK; the boxes' texts.
  QStringList Boxes(const std::function<void()>& action) {
    const int before = TraceLines(QStringLiteral("box ")).size();
    kstest::ModalAnswerer answerer([](QWidget* w) { static_cast<QDialog*>(w)->done(1); });
    action();
    return TraceLines(QStringLiteral("box ")).mid(before);
  }
  static QStringList Rows(CWizardDlg& w) {
    QStringList rows;
    for (int i = 0; i < w.FolderList()->topLevelItemCount(); ++i) rows << w.FolderList()->topLevelItem(i)->text(1);
    return rows;
  }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }
  std::vector<std::string> AgentCalls() const {
    std::vector<std::string> out;
    for (const std::string& c : link_.calls) out.push_back(c);
    return out;
  }
  static QRgb Pixel(QWidget* w, int x, int y) { return kstest::PixelAt(w, x, y); }

  ks::test::WorkDir work_;
  ks::test::FixtureTrees trees_;
  std::string home_;
  std::unique_ptr<ks::test::EnvOverride> platformDir_;
  std::unique_ptr<ks::test::EnvOverride> homeEnv_;
  std::shared_ptr<KeyLanguage> language_ = std::make_shared<KeyLanguage>();
  kstest::RecordingUIData link_;
  QString trace_;
  std::deque<QString> picks_;
  QStringList pickerTitles_;
};

TEST_F(WizardTest, OpeningSetsTheFlagAndShowsTheDefaultFolder) {
  auto w = Open();
  uint32_t flag = 0;
  EXPECT_EQ(ks::platform::RegGetDword(ks::platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", flag),
            ks::platform::ERROR_SUCCESS);
  EXPECT_EQ(flag, 1u);
  EXPECT_TRUE(TraceLines(QStringLiteral("text CWizardDlg 1143 "))
                  .contains(QStringLiteral("text CWizardDlg 1143 \"<WIZARD_STATIC_FLODER1>%1<WIZARD_STATIC_FLODER2>\"")
                                .arg(Q(HomeData()))));
  EXPECT_EQ(static_cast<QLineEdit*>(w->Control(kWizDataFolder))->text(), Q(HomeData()));
  EXPECT_TRUE(static_cast<QLineEdit*>(w->Control(kWizDataFolder))->isReadOnly());
  EXPECT_FALSE(w->Control(kWizBrowse)->isEnabled());
  EXPECT_FALSE(w->Control(kWizDelete)->isEnabled());
  // Checks from outside find the controls of step 1 by their trace lines (Browse: shown, off).
  const QStringList browse = CtlLines(kWizBrowse);
  ASSERT_FALSE(browse.isEmpty());
  EXPECT_TRUE(browse.last().endsWith(QStringLiteral(" 1 0"))) << browse.last().toStdString();
  EXPECT_FALSE(CtlLines(kWizNext).isEmpty());
  EXPECT_TRUE(CtlLines(kWizList).isEmpty());  // hidden in step 1
  EXPECT_TRUE(static_cast<QAbstractButton*>(w->Control(kWizDefaultOption))->isChecked());
  EXPECT_EQ(w->size(), QSize(718, 466));
  EXPECT_EQ(w->Control(kWizDataFolder)->size(), QSize(161, 16));
  EXPECT_LE((w->frameGeometry().center() - w->screen()->availableGeometry().center()).manhattanLength(), 2);
  EXPECT_EQ(link_.refs, 1);
  EXPECT_TRUE(link_.calls.empty());
  w.reset();
  EXPECT_EQ(link_.refs, 0);
}

TEST_F(WizardTest, AMissingKeyIsNotCreated) {
  using namespace ks::platform;
  ASSERT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl"), ERROR_SUCCESS);
  auto w = Open();
  EXPECT_TRUE(w->isVisible());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(WizardTest, EachStepShowsItsControls) {
  auto w = Open();
  for (int step : {1, 2, 3, 2, 1}) {
    if (step > w->m_step)
      w->OnBnClickedNextButton();
    else if (step < w->m_step)
      w->OnBnClickedFrontButton();
    ASSERT_EQ(w->m_step, step);
    const WizardStepLayout* layout = WizardStep(step);
    for (int id : layout->shown) EXPECT_TRUE(w->Control(id)->isVisible()) << "step " << step << " id " << id;
    for (int id : layout->hidden) EXPECT_FALSE(w->Control(id)->isVisible()) << "step " << step << " id " << id;
    EXPECT_EQ(w->Control(kWizTitle)->geometry(), layout->title);
    EXPECT_EQ(static_cast<QLabel*>(w->Control(kWizTitle))->text(), QStringLiteral("<%1>").arg(layout->titleKey));
  }
}

TEST_F(WizardTest, BackgroundsAndPicturePerStepAndLanguage) {
  auto w = Open();
  const auto step1 = kstest::ArtProbe("358");
  EXPECT_TRUE(kstest::SameColour(Pixel(w.get(), step1.probeX, step1.probeY), kstest::ArtColour("358")))
      << kstest::Hex(Pixel(w.get(), step1.probeX, step1.probeY));
  w->OnBnClickedNextButton();
  const auto step2 = kstest::ArtProbe("357");
  EXPECT_TRUE(kstest::SameColour(Pixel(w.get(), step2.probeX, step2.probeY), kstest::ArtColour("357")))
      << kstest::Hex(Pixel(w.get(), step2.probeX, step2.probeY));
  w->OnBnClickedFrontButton();

  // The picture control shows the language's picture: it matches that one best.
  QWidget* picture = w->Control(kWizPicture);
  for (const auto& [lang, id] : std::vector<std::pair<int, unsigned>>{{0, 359}, {1, 361}, {2, 360}}) {
    language_->language = lang;
    const QImage shown = kstest::Grab(picture);
    const auto probe = kstest::ArtProbe(std::to_string(id));
    EXPECT_TRUE(kstest::SameColour(shown.pixel(probe.probeX, probe.probeY), kstest::ArtColour(std::to_string(id))));
    auto differences = [&](unsigned candidate) {
      const QImage expected = ks::ui::LoadPngResource(candidate).convertToFormat(QImage::Format_ARGB32);
      int n = 0;
      for (int y = 0; y < std::min(expected.height(), shown.height()); ++y)
        for (int x = 0; x < std::min(expected.width(), shown.width()); ++x)
          if (qAlpha(expected.pixel(x, y)) == 255 && !kstest::SameColour(shown.pixel(x, y), expected.pixel(x, y))) ++n;
      return n;
    };
    const int own = differences(id);
    for (unsigned other : {359u, 360u, 361u})
      if (other != id) {
        EXPECT_LT(own, differences(other)) << "language " << lang << " picture " << other;
      }
  }
}

TEST_F(WizardTest, DataFolderOptionsDecideWhatFinishHandsOver) {
  struct Case {
    const char* name;
    std::function<void(CWizardDlg&)> choose;
    std::string expected;
  };
  const Case cases[] = {
      {"default untouched", [](CWizardDlg&) {}, HomeData()},
      {"own without browsing", [](CWizardDlg& w) { static_cast<QAbstractButton*>(w.Control(kWizOwnOption))->click(); },
       HomeData()},
      {"own and browse",
       [this](CWizardDlg& w) {
         static_cast<QAbstractButton*>(w.Control(kWizOwnOption))->click();
         Pick(P("data"));
         static_cast<QAbstractButton*>(w.Control(kWizBrowse))->click();
       },
       P("data") + "/Kestyl"},
      {"browse then default again",
       [this](CWizardDlg& w) {
         static_cast<QAbstractButton*>(w.Control(kWizOwnOption))->click();
         Pick(P("data") + "/");
         static_cast<QAbstractButton*>(w.Control(kWizBrowse))->click();
         EXPECT_EQ(static_cast<QLineEdit*>(w.Control(kWizDataFolder))->text(), Q(P("data") + "/Kestyl"));
         static_cast<QAbstractButton*>(w.Control(kWizDefaultOption))->click();
         EXPECT_EQ(static_cast<QLineEdit*>(w.Control(kWizDataFolder))->text(), Q(HomeData()));
         EXPECT_FALSE(w.Control(kWizBrowse)->isEnabled());
       },
       HomeData()},
      {"browse cancelled", [](CWizardDlg& w) {
         static_cast<QAbstractButton*>(w.Control(kWizOwnOption))->click();
         static_cast<QAbstractButton*>(w.Control(kWizBrowse))->click();  // no pick queued: cancel
       },
       HomeData()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link_ = kstest::RecordingUIData();
    auto w = Open();
    c.choose(*w);
    // The two options are one group: exactly one of them is checked.
    EXPECT_NE(static_cast<QAbstractButton*>(w->Control(kWizDefaultOption))->isChecked(),
              static_cast<QAbstractButton*>(w->Control(kWizOwnOption))->isChecked());
    w->OnBnClickedNextButton();
    w->OnBnClickedNextButton();
    w->OnBnClickedFinishButton();
    EXPECT_EQ(w->result(), 1);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(link_.calls, (std::vector<std::string>{"SetDefShare", "UpdateShares"}));
    ASSERT_EQ(link_.defShares.size(), 1u);
    EXPECT_EQ(link_.defShares[0], c.expected);
    EXPECT_EQ(link_.added, (std::vector<std::vector<std::string>>{{}}));
    EXPECT_EQ(link_.removed, (std::vector<std::vector<std::string>>{{}}));
  }
  EXPECT_EQ(pickerTitles_.front(), QStringLiteral("<OTHER_SELECT_DEFAULTFLODER>"));
}

TEST_F(WizardTest, SharesSurviveFrontAndNextAndAreHandedOver) {
  fs::create_directories(HomeData());  // an earlier installation's data folder: listed first
  auto w = Open();
  w->OnBnClickedNextButton();
  EXPECT_EQ(Rows(*w), QStringList{Q(HomeData())});
  Pick(P("s1"));
  w->OnBnClickedAddButton();
  Pick(P("s2"));
  w->OnBnClickedAddButton();
  EXPECT_EQ(pickerTitles_.back(), QStringLiteral("<OTHER_SELECTFLODER>"));
  w->OnBnClickedFrontButton();
  w->OnBnClickedNextButton();
  EXPECT_EQ(Rows(*w), (QStringList{Q(HomeData()), Q(P("s1")), Q(P("s2"))}));
  w->OnBnClickedNextButton();
  w->OnBnClickedFinishButton();
  EXPECT_EQ(link_.added, (std::vector<std::vector<std::string>>{{P("s1"), P("s2")}}));
}

TEST_F(WizardTest, AddRefusesDuplicatesRootAndUnusableFolders) {
  auto w = Open();
  w->OnBnClickedNextButton();
  EXPECT_TRUE(Rows(*w).isEmpty());  // a first run: the data folder does not exist yet
  Pick(P("s1"));
  EXPECT_TRUE(Boxes([&] { w->OnBnClickedAddButton(); }).isEmpty());

  struct Case {
    std::string pick;
    QString box;  // "" when none
  };
  const Case cases[] = {
      {P("s1"), QStringLiteral("box 0 \"<DIALOG_TITLE>\" \"<MSGBOX_SHARESAMEFOLDER>\"")},
      {"/", QStringLiteral("box 0 \"<DIALOG_TITLE>\" \"<MSGBOX_SHAREROOTPATH>\"")},
      {"//", QStringLiteral("box 0 \"<DIALOG_TITLE>\" \"<MSGBOX_SHAREROOTPATH>\"")},
      {"/usr/share", QString()},
      {P("missing"), QString()},
  };
  for (const Case& c : cases) {
    Pick(c.pick);
    const QStringList boxes = Boxes([&] { w->OnBnClickedAddButton(); });
    if (c.box.isEmpty())
      EXPECT_TRUE(boxes.isEmpty()) << c.pick;
    else
      EXPECT_EQ(boxes, QStringList{c.box}) << c.pick;
  }
  EXPECT_EQ(Rows(*w), QStringList{Q(P("s1"))});
  EXPECT_EQ(w->m_newShares, std::vector<std::string>{P("s1")});
  w->OnBnClickedAddButton();  // cancelled picker: nothing
  EXPECT_EQ(Rows(*w), QStringList{Q(P("s1"))});
}

TEST_F(WizardTest, DeleteRemovesEverySelectedRowButTheDataFolder) {
  fs::create_directories(HomeData());
  auto w = Open();
  w->OnBnClickedNextButton();
  for (const char* s : {"s1", "s2", "s3"}) {
    Pick(P(s));
    w->OnBnClickedAddButton();
  }
  ks::skin::CKSListCtrl* list = w->FolderList();
  QWidget* del = w->Control(kWizDelete);
  ASSERT_EQ(list->topLevelItemCount(), 4);

  // The data folder's row alone: Delete stays off.
  list->topLevelItem(0)->setSelected(true);
  EXPECT_FALSE(del->isEnabled());
  // Two adjacent rows and the data folder's row selected: both go, the data folder stays.
  list->topLevelItem(1)->setSelected(true);
  list->topLevelItem(2)->setSelected(true);
  EXPECT_TRUE(del->isEnabled());
  static_cast<QAbstractButton*>(del)->click();
  EXPECT_EQ(Rows(*w), (QStringList{Q(HomeData()), Q(P("s3"))}));
  EXPECT_EQ(w->m_newShares, std::vector<std::string>{P("s3")});

  // A click into the empty part of the list clears the selection and switches Delete off.
  list->clearSelection();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(1)).center());
  EXPECT_TRUE(del->isEnabled());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(20, list->viewport()->height() - 5));
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_FALSE(del->isEnabled());

  w->OnBnClickedNextButton();
  w->OnBnClickedFinishButton();
  EXPECT_EQ(link_.added, (std::vector<std::vector<std::string>>{{P("s3")}}));
}

TEST_F(WizardTest, ARefilledListDropsFoldersThatVanished) {
  auto w = Open();
  w->OnBnClickedNextButton();
  Pick(P("s1"));
  w->OnBnClickedAddButton();
  Pick(P("s2"));
  w->OnBnClickedAddButton();
  fs::remove(P("s1"));
  w->OnBnClickedFrontButton();
  w->OnBnClickedNextButton();
  EXPECT_EQ(Rows(*w), QStringList{Q(P("s2"))});
  EXPECT_EQ(w->m_newShares, std::vector<std::string>{P("s2")});
}

TEST_F(WizardTest, FinishByTheAgentsAnswer) {
  struct Case {
    int result;
    QString box;   // "" when none
    bool closes;
  };
  const Case cases[] = {
      {0, QString(), true},
      {1, QString(), true},
      {-2, QStringLiteral("<MSGBOX_MOVEFOLDER_FAILED_DEL>"), true},
      {-1, QStringLiteral("<MSGBOX_MOVEFOLDER_FAILED_COPY>"), false},
      {1223, QStringLiteral("<MSGBOX_MOVEFOLDER_CANCELED>"), false},
      {-4, QStringLiteral("<MSGBOX_MOVEFOLDER_FAILED>"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    link_ = kstest::RecordingUIData();
    link_.defShareResults = {c.result};
    auto w = Open();
    w->OnBnClickedNextButton();
    Pick(P("s1"));
    w->OnBnClickedAddButton();
    w->OnBnClickedNextButton();
    const QStringList boxes = Boxes([&] { w->OnBnClickedFinishButton(); });
    if (c.box.isEmpty()) {
      EXPECT_TRUE(boxes.isEmpty());
    } else {
      ASSERT_EQ(boxes.size(), 1);
      EXPECT_TRUE(boxes[0].endsWith(QStringLiteral("\"%1\"").arg(c.box))) << boxes[0].toStdString();
    }
    EXPECT_EQ(w->isVisible(), !c.closes);
    if (c.closes) {
      EXPECT_EQ(w->result(), 1);
      EXPECT_EQ(link_.added, (std::vector<std::vector<std::string>>{{P("s1")}}));
      continue;
    }
    // Still on the last step, nothing else sent; a second Finish that succeeds closes.
    EXPECT_EQ(w->m_step, 3);
    EXPECT_TRUE(w->Control(kWizFinish)->isVisible());
    EXPECT_EQ(link_.calls, std::vector<std::string>{"SetDefShare"});
    w->OnBnClickedFinishButton();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(link_.calls, (std::vector<std::string>{"SetDefShare", "SetDefShare", "UpdateShares"}));
  }
}

TEST_F(WizardTest, KeysAndCloseEndWithoutHandOver) {
  struct Case {
    const char* name;
    std::function<void(CWizardDlg&)> end;
    int result;
  };
  const Case cases[] = {
      {"Enter", [](CWizardDlg& w) { QTest::keyClick(&w, Qt::Key_Return); }, 1},
      {"keypad Enter", [](CWizardDlg& w) { QTest::keyClick(&w, Qt::Key_Enter, Qt::KeypadModifier); }, 1},
      {"Escape", [](CWizardDlg& w) { QTest::keyClick(&w, Qt::Key_Escape); }, 2},
      {"close button",
       [](CWizardDlg& w) {
         static_cast<QAbstractButton*>(w.Control(ks::skin::CDiyDialog::kCloseButtonId))->click();
         kstest::WaitUntil([&] { return !w.isVisible(); });
       },
       2},
  };
  for (const Case& c : cases) {
    for (int step : {1, 2, 3}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      link_ = kstest::RecordingUIData();
      auto w = Open();
      while (w->m_step < step) w->OnBnClickedNextButton();
      c.end(*w);
      EXPECT_FALSE(w->isVisible());
      EXPECT_EQ(w->result(), c.result);
      EXPECT_TRUE(link_.calls.empty());
    }
  }
  // The minimise button leaves the wizard as it is.
  auto w = Open();
  static_cast<QAbstractButton*>(w->Control(ks::skin::CDiyDialog::kMinButtonId))->click();
  kstest::ProcessEvents();
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(w->isMinimized());
}

TEST_F(WizardTest, ALanguageChangeShowsNewTextsAtTheNextPaint) {
  auto w = Open();
  auto* next = static_cast<ks::skin::CColorButton*>(w->Control(kWizNext));
  kstest::Grab(w.get());
  EXPECT_EQ(next->GetCaption(), QStringLiteral("<WIZARD_BUTTON_NEXT>"));
  language_->language = 0;
  kstest::Grab(w.get());
  EXPECT_EQ(next->GetCaption(), QStringLiteral("<WIZARD_BUTTON_NEXT>"));  // no change announced yet
  w->OnLanguageChanged();
  EXPECT_FALSE(w->m_textsLoaded);
  kstest::Grab(w.get());
  EXPECT_TRUE(w->m_textsLoaded);
  EXPECT_EQ(next->GetCaption(), QStringLiteral("{WIZARD_BUTTON_NEXT}"));
  EXPECT_EQ(static_cast<QLabel*>(w->Control(kWizStepText))->text(), QStringLiteral("{WIZARD_STATIC2}"));
}

TEST_F(WizardTest, TheLinkOpensItsAddress) {
  auto w = Open();
  std::vector<std::string> opened;
  w->m_openUrl = [&](const std::string& url) { opened.push_back(url); };
  w->OnBnClickedNextButton();
  w->OnBnClickedNextButton();
  kstest::Grab(w.get());
  QWidget* link = w->Control(kWizLink);
  QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(5, link->height() / 2));
  EXPECT_EQ(opened, std::vector<std::string>{"<URL_MFCLINK2>"});
}

}  // namespace
