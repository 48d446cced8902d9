// The update notice and the update information window, headless: what ends the notice,
// what its buttons store, its sentence and banner across a language change, and the
// information window's texts.
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/update/update_notice_dlg.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "platform/registry.h"
#include "tests/desktop/app/update/update_test_kit.h"

#include <QPlainTextEdit>
#include <QTest>

namespace {

using ks::update::CUpdateDlg;
using ks::update::CUpdateNoticeDlg;
namespace upd = ks::desktop::update;

class UpdateNoticeTest : public kstest::UpdateWindowTest {};

TEST_F(UpdateNoticeTest, EnterEscapeAndTheCloseButtonLeaveItOpen) {
  CUpdateNoticeDlg dlg;
  dlg.SetOfferedVersion(QStringLiteral("1.2.0.5"));
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsApplied(); }));
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(&dlg, key);
  QTest::mouseClick(dlg.m_pCloseButton, Qt::LeftButton);
  kstest::ProcessEvents();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), 0);
  bool present = true;
  NoticeValue(&present);
  EXPECT_FALSE(present) << "nothing is written before a button is pressed";
}

TEST_F(UpdateNoticeTest, ButtonsStoreTheBoxAndGiveTheirAnswer) {
  struct Case {
    const char* name;
    bool ticked;
    bool update;      // else cancel
    bool keyPresent;  // HKLM SOFTWARE\Kestyl
    int result;
  } cases[] = {
      {"cancel, box ticked", true, false, true, ks::skin::IDCANCEL},
      {"update, box clear", false, true, true, ks::skin::IDOK},
      {"update, box ticked, key missing", true, true, false, ks::skin::IDOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    using namespace ks::platform;
    if (c.keyPresent) {
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyEx(HKEY_LOCAL_MACHINE, upd::kRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                              nullptr, &key, nullptr));
      RegCloseKey(key);
      // The opposite of what the button stores, so that a missing write shows.
      ASSERT_TRUE(upd::WriteKestylDword(upd::kUpdateNoticeValue, c.ticked ? 0 : 1));
    } else {
      RegDeleteTree(HKEY_LOCAL_MACHINE, upd::kRegistryKey);
    }
    kstest::ModalAnswerer answerer([&](QWidget* w) {
      auto* dlg = qobject_cast<CUpdateNoticeDlg*>(w);
      ASSERT_NE(dlg, nullptr);
      if (c.ticked) QTest::mouseClick(dlg->neverShowBox(), Qt::LeftButton);
      QTest::mouseClick(c.update ? dlg->updateButton() : dlg->cancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(ks::update::RunUpdateNotice("1.2.0.5"), c.result);
    EXPECT_TRUE(answerer.answered());
    bool present = false;
    const uint32_t value = NoticeValue(&present);
    if (c.keyPresent) {
      EXPECT_TRUE(present);
      EXPECT_EQ(value, c.ticked ? 1u : 0u);
    } else {
      EXPECT_FALSE(present) << "the key is opened, never created";
    }
  }
}

TEST_F(UpdateNoticeTest, SentenceAndBannerFollowTheLanguage) {
  kstest::TraceCapture trace;
  CUpdateNoticeDlg dlg;
  dlg.SetOfferedVersion(QStringLiteral("1.2.0.5"));
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsApplied(); }));
  const QString sentence = QStringLiteral("<UPDATE_STATIC_UPDATENOTICE_HEAD>1.2.0.5<UPDATE_STATIC_UPDATENOTICE_TAIL>");
  EXPECT_EQ(dlg.sentence()->text(), sentence);
  EXPECT_TRUE(trace.With(QStringLiteral("text CUpdateNoticeDlg 1045 ")).contains(
      QStringLiteral("text CUpdateNoticeDlg 1045 \"%1\"").arg(sentence)));
  EXPECT_EQ(dlg.updateButton()->GetCaption(), QStringLiteral("<UPDATE_BUTTON_UPDATE>"));
  EXPECT_EQ(dlg.cancelButton()->GetCaption(), QStringLiteral("<UPDATE_BUTTON_CANCEL>"));
  EXPECT_EQ(dlg.neverShowBox()->GetCaption().trimmed(), QStringLiteral("<UPDATE_STATIC_NEVERSHOW>"));
  EXPECT_FALSE(dlg.neverShowBox()->isChecked());
  ASSERT_NE(dlg.banner(), nullptr);
  EXPECT_EQ(dlg.banner()->parentWidget(), &dlg);
  EXPECT_EQ(dlg.banner()->geometry(), QRect(0, dlg.m_nCaptionHeight, 452, 111));
  EXPECT_TRUE(kstest::WaitUntil([&] { return Gets("/kestyl/bannerpc?L=en") == 1; }));

  kstest::UseLanguage(2, "-tw");
  dlg.OnLanguageChanged();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.textsApplied() && dlg.sentence()->text().contains("-tw"); }));
  EXPECT_EQ(dlg.sentence()->text(),
            QStringLiteral("<UPDATE_STATIC_UPDATENOTICE_HEAD-tw>1.2.0.5<UPDATE_STATIC_UPDATENOTICE_TAIL-tw>"));
  EXPECT_EQ(dlg.updateButton()->GetCaption(), QStringLiteral("<UPDATE_BUTTON_UPDATE-tw>"));
  EXPECT_TRUE(dlg.BannerUrl().endsWith(QStringLiteral("?L=tw")));
  EXPECT_TRUE(kstest::WaitUntil([&] { return Gets("/kestyl/bannerpc?L=tw") == 1; }));
}

TEST_F(UpdateNoticeTest, BannerAddressByLanguage) {
  const std::string base = server_.url() + "/kestyl/bannerpc";
  EXPECT_EQ(CUpdateNoticeDlg::BannerUrlFor(0).toStdString(), base + "?L=cn");
  EXPECT_EQ(CUpdateNoticeDlg::BannerUrlFor(1).toStdString(), base + "?L=en");
  EXPECT_EQ(CUpdateNoticeDlg::BannerUrlFor(2).toStdString(), base + "?L=tw");
  EXPECT_EQ(CUpdateNoticeDlg::BannerUrlFor(3).toStdString(), base);
}

TEST_F(UpdateNoticeTest, InformationWindowTextsAndOk) {
  CUpdateDlg dlg;
  dlg.show();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.initialised() && dlg.isVisible(); }));
  EXPECT_EQ(dlg.size(), QSize(414, 308));
  EXPECT_EQ(dlg.heading()->text(), QStringLiteral("<UPDATE_STATIC1>"));
  EXPECT_EQ(dlg.info()->toPlainText(), QStringLiteral("<MSGBOX_STATUS_UPDATEINFO>"));
  EXPECT_TRUE(dlg.info()->isReadOnly());
  EXPECT_EQ(dlg.note1()->text(), QStringLiteral("<UPDATE_STATIC3>"));
  EXPECT_EQ(dlg.note2()->text(), QStringLiteral("<UPDATE_STATIC4>"));
  EXPECT_FALSE(dlg.note1()->isVisible());
  EXPECT_FALSE(dlg.note2()->isVisible());
  EXPECT_EQ(dlg.okButton()->GetCaption(), QStringLiteral("<MSGBOX_BUTTON_OK>"));
  QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), ks::skin::IDOK);
}

}  // namespace
