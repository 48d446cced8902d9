// The account switch question and the About box: sizes, texts, pictures, results, links.
#include "desktop/app/login/about_dlg.h"
#include "desktop/app/login/switch_account_dlg.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using ks::login::CAboutDlg;
using ks::login::CSwitchAccountDlg;

class SmallDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    Language(1, kstest::LoginTexts());
    ks::login::SetAddressOpener([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override {
    ks::login::SetAddressOpener(nullptr);
    ks::ui::SetLanguageSource(nullptr);
  }
  static void Language(int index, std::map<std::string, QString> texts) {
    ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(index, std::move(texts)));
  }
  // The colour of `picture`'s probe point where `control` shows it.
  static bool ShowsPicture(QWidget* dialog, QWidget* control, unsigned picture) {
    const ks::art::ArtworkRow probe = kstest::ArtProbe(std::to_string(picture));
    const QPoint at = control->mapTo(dialog, QPoint(probe.probeX, probe.probeY));
    return kstest::SameColour(kstest::Grab(dialog).pixel(at), kstest::ArtColour(std::to_string(picture)), 3);
  }
  std::vector<std::string> opened;
};

TEST_F(SmallDialogsTest, SwitchQuestionLooksLikeTheMessageBoxAndAnswersOkOrCancel) {
  struct Case {
    const char* name;
    std::function<void(CSwitchAccountDlg*)> act;
    int expected;
  } cases[] = {
      {"OK", [](CSwitchAccountDlg* d) { d->okButton()->click(); }, 1},
      {"Cancel", [](CSwitchAccountDlg* d) { d->cancelButton()->click(); }, 2},
      {"Escape", [](CSwitchAccountDlg* d) { QTest::keyClick(d, Qt::Key_Escape); }, 2},
      {"Return", [](CSwitchAccountDlg* d) { QTest::keyClick(d, Qt::Key_Return); }, 1},
      {"close button", [](CSwitchAccountDlg* d) { d->m_pCloseButton->click(); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSwitchAccountDlg dlg;
    QSize size;
    QString question, ok, cancel;
    bool onTop = false, picture = false;
    kstest::ModalAnswerer answerer([&](QWidget* w) {
      auto* d = static_cast<CSwitchAccountDlg*>(w);
      size = d->size();
      question = d->question()->text();
      ok = d->okButton()->GetCaption();
      cancel = d->cancelButton()->GetCaption();
      onTop = d->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
      picture = ShowsPicture(d, d->picture(), 266);
      c.act(d);
    });
    EXPECT_EQ(dlg.DoModal(), c.expected);
    ASSERT_TRUE(answerer.answered());
    EXPECT_EQ(size, QSize(355, 197));
    EXPECT_EQ(question, QStringLiteral("MSGBOX_LOGIOUTUSER"));
    EXPECT_EQ(ok, QStringLiteral("MSGBOX_BUTTON_OK"));
    EXPECT_EQ(cancel, QStringLiteral("MSGBOX_BUTTON_CANCEL"));
    EXPECT_TRUE(onTop);
    EXPECT_TRUE(picture);
    EXPECT_FALSE(dlg.m_pMinButton->isVisible());
  }
}

TEST_F(SmallDialogsTest, SwitchQuestionWithoutItsTextStillAnswers) {
  auto texts = kstest::LoginTexts();
  texts.erase("MESSAGEBOX/MSGBOX_LOGIOUTUSER");
  Language(1, texts);
  CSwitchAccountDlg dlg;
  kstest::ModalAnswerer answerer([](QWidget* w) { static_cast<CSwitchAccountDlg*>(w)->okButton()->click(); });
  EXPECT_EQ(dlg.DoModal(), 1);
  EXPECT_EQ(dlg.question()->text(), QString());
}

TEST_F(SmallDialogsTest, AboutShowsTheLogoOfTheLanguage) {
  struct Case {
    int language;
    unsigned logo;
  } cases[] = {{0, 372}, {1, 374}, {2, 373}, {5, 372}, {-1, 372}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    Language(c.language, kstest::LoginTexts());
    CAboutDlg dlg;
    dlg.show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsLoaded(); }));
    EXPECT_EQ(dlg.size(), QSize(447, 385));
    EXPECT_EQ(dlg.logo()->m_imageId, c.logo);
    EXPECT_TRUE(ShowsPicture(&dlg, dlg.logo(), c.logo));
    EXPECT_TRUE(ShowsPicture(&dlg, dlg.webSign(), 375));
    EXPECT_EQ(dlg.aboutLine()->text(), QStringLiteral("ABOUT_STATIC_ABOUT2"));
    EXPECT_EQ(dlg.link()->text(), QStringLiteral("ABOUT_STATIC_LINK2"));
  }
}

TEST_F(SmallDialogsTest, AboutLinkOpensTheHomePageOnlyWhenThereIsOne) {
  {
    CAboutDlg dlg;
    dlg.show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsLoaded(); }));
    QTest::mouseClick(dlg.link(), Qt::LeftButton);
    EXPECT_TRUE(opened.empty());
  }
  auto texts = kstest::LoginTexts();
  texts["URL/URL_HOMEPAGE"] = QStringLiteral("http://127.0.0.1/home");
  Language(1, texts);
  CAboutDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsLoaded(); }));
  QTest::mouseClick(dlg.link(), Qt::LeftButton);
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1/home"});

  // A language change reads the texts again at the next paint.
  texts["UI/ABOUT_STATIC_ABOUT2"] = QStringLiteral("about, changed");
  Language(1, texts);
  dlg.OnLanguageChanged();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.aboutLine()->text() == QStringLiteral("about, changed"); }));
}

TEST_F(SmallDialogsTest, AboutEndsWithTheCloseButtonAndIsOpenOnlyOnce) {
  int nested = 0;
  kstest::ModalAnswerer answerer([&](QWidget* w) {
    nested = CAboutDlg::ShowOnce();
    static_cast<CAboutDlg*>(w)->m_pCloseButton->click();
  });
  EXPECT_EQ(CAboutDlg::ShowOnce(), 2);
  ASSERT_TRUE(answerer.answered());
  EXPECT_EQ(nested, -1);
  EXPECT_EQ(answerer.className(), QStringLiteral("ks::login::CAboutDlg"));
}

}  // namespace
