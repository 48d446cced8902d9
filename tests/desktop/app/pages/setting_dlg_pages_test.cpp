// The pages inside the real main window, headless: the window's page buttons show exactly
// their page's controls (the sync page's own controls, which reuse three of the window's
// ids, never count as the window's), and OK with no share edits sends only the photo
// sorting; each page's controls lie inside the window without covering each other. The
// agent link is the recording stand-in; no service is checked or started.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/pages/setting_pages.h"
#include "desktop/app/pages/sync_dlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "desktop/foundation/skin/z_controls.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/app/pages/pages_fake_ui_data.h"
#include "tests/desktop/ui/ui_test_kit.h"

namespace {

namespace fs = std::filesystem;
using ks::mainwnd::CSettingDlg;

class SettingDlgPagesTest : public ::testing::Test {
 protected:
  SettingDlgPagesTest() {
    kstest::EnsureGuiApp();
    fs::create_directories(KS_TEST_WORK_DIR);
    std::string tmpl = std::string(KS_TEST_WORK_DIR) + "/window-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    work = fs::canonical(tmpl).string();
    fs::create_directories(work + "/Kestyl");
    agent.defShare = work + "/Kestyl";
    ks::mainwnd::SettingDlgOptions options;
    options.uiData = &agent;
    options.startServiceCheck = false;
    options.startUpdateCheck = false;
    dlg = std::make_unique<CSettingDlg>(options);
    dlg->OnInitDialog();
    dlg->SetDataFolder();  // the agent's, as the start of the log-in takes it
  }
  ~SettingDlgPagesTest() override {
    dlg.reset();
    std::error_code ec;
    fs::remove_all(work, ec);
  }
  bool Shown(QWidget* w) { return w->isVisibleTo(dlg.get()); }

  std::string work;
  kstest::PagesFakeUIData agent;
  std::unique_ptr<CSettingDlg> dlg;
};

TEST_F(SettingDlgPagesTest, PageButtonsShowTheirControls) {
  auto* sync = qobject_cast<ks::pages::CSyncDlg*>(dlg->m_pSyncDlg);
  ASSERT_NE(sync, nullptr);
  // The window opens on the share page.
  EXPECT_TRUE(Shown(&dlg->m_listShare));
  EXPECT_FALSE(Shown(sync));

  dlg->m_pBtnSetting->click();
  EXPECT_TRUE(Shown(dlg->m_editDataFolder));
  EXPECT_TRUE(Shown(&dlg->m_btnPhotoSorting));
  EXPECT_FALSE(Shown(&dlg->m_listShare));
  EXPECT_EQ(dlg->m_editDataFolder->text().toStdString(), work + "/Kestyl");

  dlg->m_pBtnShare->click();
  for (QWidget* w : {static_cast<QWidget*>(&dlg->m_listShare), static_cast<QWidget*>(&dlg->m_btnDelete),
                     static_cast<QWidget*>(&dlg->m_btnAdd)})
    EXPECT_TRUE(Shown(w));
  EXPECT_FALSE(Shown(dlg->m_editDataFolder));
  EXPECT_FALSE(Shown(&dlg->m_listTrans));

  dlg->m_pBtnSync->click();
  EXPECT_TRUE(Shown(sync));
  EXPECT_TRUE(sync->SwitchButton()->isVisibleTo(sync));
  EXPECT_FALSE(Shown(&dlg->m_btnPhotoSorting));
  EXPECT_FALSE(Shown(&dlg->m_btnSwitchAccount));
  EXPECT_FALSE(Shown(&dlg->m_btnWakeup));

  dlg->m_pBtnAccount->click();
  EXPECT_TRUE(Shown(&dlg->m_btnSwitchAccount));
  EXPECT_FALSE(Shown(sync));
}

TEST_F(SettingDlgPagesTest, OkWithoutEditsSendsOnlyThePhotoSorting) {
  dlg->m_pBtnSetting->click();
  dlg->m_btnPhotoSorting.click();
  agent.ClearCalls();
  dlg->m_btnOk.click();
  EXPECT_TRUE(agent.CallsStartingWith("UpdateShares").empty());
  EXPECT_EQ(agent.CallsStartingWith("SetAutoTiding"), std::vector<std::string>{"SetAutoTiding 1"});
  EXPECT_EQ(dlg->m_bPhotoSorting, 0);
}

// Each page's controls, with OK and Cancel, lie inside the window below the page buttons and
// none covers another, so every one of them can be seen and clicked.
TEST_F(SettingDlgPagesTest, EveryPageLaysItsControlsOutInsideTheWindow) {
  const QRect window(0, 0, ks::mainwnd::kWindowWidth, ks::mainwnd::kWindowHeight);
  using ks::pages::Page;
  const std::pair<QAbstractButton*, Page> pages[] = {{dlg->m_pBtnAccount, Page::kAccount},
                                                     {dlg->m_pBtnShare, Page::kShare},
                                                     {dlg->m_pBtnTrans, Page::kTrans},
                                                     {dlg->m_pBtnSetting, Page::kSetting}};
  for (const auto& [button, page] : pages) {
    button->click();
    std::vector<QWidget*> shown{&dlg->m_btnOk, &dlg->m_btnCancel};
    for (int id : ks::pages::PageControls(page)) {
      for (QWidget* w : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (ks::ui::ControlId(w) == id && Shown(w)) shown.push_back(w);
    }
    SCOPED_TRACE(button->text().toStdString());
    EXPECT_TRUE(Shown(&dlg->m_btnOk));
    EXPECT_TRUE(Shown(&dlg->m_btnCancel));
    EXPECT_GE(shown.size(), 3u);
    for (size_t i = 0; i < shown.size(); ++i) {
      const QRect r = shown[i]->geometry();
      const int id = ks::ui::ControlId(shown[i]);
      EXPECT_TRUE(window.contains(r)) << id;
      EXPECT_GE(r.top(), 187) << id << " lies over the page buttons";
      for (size_t j = 0; j < i; ++j)
        EXPECT_FALSE(r.intersects(shown[j]->geometry())) << id << " covers " << ks::ui::ControlId(shown[j]);
    }
  }
}

}  // namespace
