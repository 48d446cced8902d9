// The main window's texts, label colours and check-box widths applied to a window that has
// the controls of those ids.
#include "desktop/app/login/setting_texts.h"
#include "desktop/foundation/skin/buttons.h"
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using ks::login::FindControl;

template <class W>
W* Add(QWidget* window, int id) {
  auto* w = new W(window);
  ks::ui::SetControlId(w, id);
  return w;
}

class SettingTextsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    window = std::make_unique<QWidget>();
    shares = Add<ks::skin::CKSListCtrl>(window.get(), 1012);
    shares->InsertColumn(0, QString(), 0);
    shares->InsertColumn(1, QString(), 0);
    transfers = Add<ks::skin::CKSListCtrl>(window.get(), 1132);
    for (int i = 0; i < 3; ++i) transfers->InsertColumn(i, QString(), 1);
    languageLabel = Add<ks::skin::CDiyStatic>(window.get(), 1051);
    section = Add<ks::skin::CDiyStatic>(window.get(), 1078);
    shareButton = Add<ks::skin::CSettingButton>(window.get(), 1049);
    autoStart = Add<ks::skin::CColorButton>(window.get(), 1050);
    autoStart->setGeometry(30, 40, 50, 18);
    photoSort = Add<ks::skin::CColorButton>(window.get(), 1074);
    switchAccount = Add<ks::skin::CColorButton>(window.get(), 1135);
    combo = Add<ks::skin::CColorCombobox>(window.get(), 1053);
    combo->InsertString(0, QStringLiteral("old"));
  }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }

  static std::map<std::string, QString> Texts() {
    std::map<std::string, QString> t;
    for (const auto& row : ks::login::SettingTexts()) t[std::string(row.section) + "/" + row.key] = QString::fromLatin1(row.key);
    return t;
  }

  std::unique_ptr<QWidget> window;
  ks::skin::CKSListCtrl* shares;
  ks::skin::CKSListCtrl* transfers;
  ks::skin::CDiyStatic* languageLabel;
  ks::skin::CDiyStatic* section;
  ks::skin::CSettingButton* shareButton;
  ks::skin::CColorButton* autoStart;
  ks::skin::CColorButton* photoSort;
  ks::skin::CColorButton* switchAccount;
  ks::skin::CColorCombobox* combo;
};

TEST_F(SettingTextsTest, TextsGoToTheirControlsAndTheComboIsRefilledOnTheLanguage) {
  ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(2, Texts()));
  EXPECT_TRUE(ks::login::ApplySettingTexts(window.get()));
  EXPECT_EQ(shares->headerItem()->text(1), QStringLiteral("SETTING_LISTBOX_PATH"));
  EXPECT_EQ(shares->columnWidth(0), 130);
  EXPECT_EQ(transfers->headerItem()->text(2), QStringLiteral("SETTING_LISTBOX_TRANS_TIME"));
  EXPECT_EQ(transfers->columnWidth(1), 76);
  EXPECT_EQ(languageLabel->text(), QStringLiteral("SETTING_STATIC_LANGUAGESET"));
  EXPECT_EQ(section->text(), QStringLiteral("SETTING_STATIC_SETTING1"));
  EXPECT_EQ(shareButton->GetCaption(), QStringLiteral("SETTING_BUTTON_SHARE"));
  EXPECT_EQ(autoStart->GetCaption(), QStringLiteral("SETTING_CHECKBOX_AUTOSTART"));
  EXPECT_EQ(switchAccount->GetCaption(), QStringLiteral("SETTING_BUTTON_SWITCH_ACCOUNT"));
  EXPECT_EQ(switchAccount->m_textColor, 0xFF41799Cu);
  ASSERT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->itemText(0), QStringLiteral("LANGUAGE_CHINESESIMPLIFIED"));
  EXPECT_EQ(combo->itemText(2), QStringLiteral("LANGUAGE_CHINESETRAD"));
  EXPECT_EQ(combo->currentIndex(), 2);
  EXPECT_EQ(combo->m_textColor, 0xFF323232u);

  // Set again (a language change): still three items.
  ks::login::ApplySettingTexts(window.get());
  EXPECT_EQ(combo->count(), 3);
}

TEST_F(SettingTextsTest, WithoutTextsTheCallerIsToldToSetThemAgain) {
  ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(1, std::map<std::string, QString>{}));
  EXPECT_FALSE(ks::login::ApplySettingTexts(window.get()));
}

TEST_F(SettingTextsTest, LabelColoursAndCheckBoxWidthsByLanguage) {
  ks::login::ApplyLabelColours(window.get());
  EXPECT_EQ(section->palette().color(QPalette::Window).rgb(), 0xFFF9F9F9u);
  EXPECT_EQ(section->m_textColor, 0xFF888888u);
  EXPECT_EQ(combo->palette().color(QPalette::Base).rgb(), 0xFFFFFFFFu);
  EXPECT_EQ(autoStart->palette().color(QPalette::Window).rgb(), 0xFFF8F8F8u);
  EXPECT_FALSE(ks::login::LabelColoursFor(1012).has_value());
  EXPECT_FALSE(ks::login::LabelColoursFor(1050)->text.has_value());

  ks::login::ApplyCheckBoxWidths(window.get(), 1);
  EXPECT_EQ(autoStart->geometry(), QRect(30, 40, 220, 18));
  EXPECT_EQ(photoSort->width(), 195);
  ks::login::ApplyCheckBoxWidths(window.get(), 0);
  EXPECT_EQ(autoStart->geometry(), QRect(30, 40, 105, 18));
  EXPECT_EQ(photoSort->width(), 140);
}

}  // namespace
