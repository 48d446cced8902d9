// CDiyMessageBox: layout by type, captions, results from every way out, a box from a
// worker thread, the text's line breaks and height.
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/skin/fake_language.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace ks::skin;

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::FakeLanguage>(1));
  }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }
};

QWidget* Control(QWidget* box, int id) {
  for (QWidget* w : box->findChildren<QWidget*>())
    if (ks::ui::ControlId(w) == id) return w;
  return nullptr;
}

TEST_F(MessageBoxTest, LayoutAndCaptionsByType) {
  struct Case {
    unsigned type;
    bool okShown, cancelShown;
    QPoint ok, cancel;
    const char* okCaption;
    const char* cancelCaption;
  } cases[] = {
      {MB_OK, true, false, {141, 160}, {}, "OK", ""},
      {MB_OKCANCEL, true, true, {67, 160}, {200, 160}, "OK", "Cancel"},
      {MB_YESNO, true, true, {67, 160}, {200, 160}, "Yes", "No"},
      {3, false, false, {}, {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type);
    CDiyMessageBox box(QStringLiteral("text"), QStringLiteral("Kestyl"), c.type);
    box.show();
    kstest::ProcessEvents();
    EXPECT_EQ(box.size(), QSize(355, 197));
    EXPECT_EQ(box.okButton()->isVisible(), c.okShown);
    EXPECT_EQ(box.cancelButton()->isVisible(), c.cancelShown);
    EXPECT_FALSE(Control(&box, CDiyMessageBox::kYesId)->isVisible());
    EXPECT_FALSE(Control(&box, CDiyMessageBox::kNoId)->isVisible());
    EXPECT_FALSE(box.m_pMinButton->isVisible());
    if (c.okShown) {
      EXPECT_EQ(box.okButton()->geometry(), QRect(c.ok, QSize(73, 24)));
      EXPECT_EQ(box.okButton()->GetCaption(), QString::fromLatin1(c.okCaption));
    }
    if (c.cancelShown) {
      EXPECT_EQ(box.cancelButton()->geometry(), QRect(c.cancel, QSize(73, 24)));
      EXPECT_EQ(box.cancelButton()->GetCaption(), QString::fromLatin1(c.cancelCaption));
    }
    QImage shot = kstest::Grab(&box);
    auto bg = kstest::ArtProbe("263");
    EXPECT_TRUE(kstest::SameColour(shot.pixel(bg.probeX, bg.probeY), kstest::ArtColour("263")));
    if (c.okShown) {  // the button face with its picture's probe colour
      auto face = kstest::ArtProbe("260");
      EXPECT_TRUE(kstest::SameColour(shot.pixel(c.ok + QPoint(face.probeX, face.probeY)), kstest::ArtColour("260")));
    }
  }
}

TEST_F(MessageBoxTest, ResultsFromButtonsKeysAndTheCloseButton) {
  auto click = [](int id) {
    return [id](QWidget* w) { QTest::mouseClick(Control(w, id), Qt::LeftButton, {}, QPoint(30, 12)); };
  };
  struct Case {
    unsigned type;
    std::function<void(QWidget*)> answer;
    int expected;
  } cases[] = {
      {MB_OK, click(IDOK), IDOK},
      {MB_OKCANCEL, click(IDOK), IDOK},
      {MB_OKCANCEL, click(IDCANCEL), IDCANCEL},
      {MB_YESNO, click(IDOK), IDOK},          // Yes
      {MB_YESNO, click(IDCANCEL), IDCANCEL},  // No
      {MB_YESNO, click(CDiyDialog::kCloseButtonId), IDCANCEL},
      {MB_OK, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }, IDCANCEL},
      {MB_OK, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }, IDOK},
      {9, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }, IDCANCEL},
  };
  for (const Case& c : cases) {
    kstest::ModalAnswerer answerer(c.answer);
    EXPECT_EQ(ShowDiyMessageBox(QStringLiteral("Question"), QStringLiteral("Kestyl"), c.type), c.expected)
        << "type " << c.type;
    EXPECT_TRUE(answerer.answered());
    EXPECT_TRUE(answerer.texts().contains(QStringLiteral("Question")));
  }
}

TEST_F(MessageBoxTest, TheMinimiseCommandDoesNothing) {
  CDiyMessageBox box(QStringLiteral("x"), QStringLiteral("Kestyl"), MB_OK);
  box.show();
  kstest::ProcessEvents();
  box.Minimize();
  kstest::ProcessEvents();
  EXPECT_FALSE(box.isMinimized());
  EXPECT_TRUE(box.isVisible());
}

TEST_F(MessageBoxTest, ABoxFromAWorkerRunsOnTheGuiThreadAndReturnsItsResult) {
  std::atomic<int> result{-1};
  kstest::ModalAnswerer answerer([](QWidget* w) {
    for (QWidget* c : w->findChildren<QWidget*>())
      if (ks::ui::ControlId(c) == IDCANCEL) QTest::mouseClick(c, Qt::LeftButton, {}, QPoint(30, 12));
  });
  std::thread worker([&] { result = ShowDiyMessageBoxByKey("ASK", MB_YESNO); });
  ASSERT_TRUE(kstest::WaitUntil([&] { return result.load() != -1; }, 10000));
  worker.join();
  EXPECT_EQ(result.load(), IDCANCEL);
  EXPECT_EQ(answerer.title(), QStringLiteral("Kestyl"));
  EXPECT_TRUE(answerer.texts().contains(QStringLiteral("Sure?\nReally?")));  // the \n mark became a break
}

TEST_F(MessageBoxTest, TextHeightCountsLinesAndTheControlStaysAboveTheButtons) {
  struct Case {
    int tw, th, cw, wrapped, line, want;
  } cases[] = {
      {618, 15, 309, 2, 15, 32},  // exactly twice the width: 2 x (th + 1)
      {619, 15, 309, 3, 15, 48},  // one pixel more: three lines
      {100, 30, 309, 2, 15, 31},  // two lines by a break: th counts both
      {500, 15, 309, 3, 15, 46},  // word wrapping needs a third line the estimate lacks
      {100, 15, 0, 1, 15, 16},    // width 0: one line
  };
  for (const Case& c : cases)
    EXPECT_EQ(CDiyMessageBox::TextHeight(c.tw, c.th, c.cw, c.wrapped, c.line), c.want) << c.tw << "/" << c.cw;

  for (QString text : {QStringLiteral("short"), QStringLiteral("a\\nb"), QString(60, QLatin1Char('w')).repeated(20)}) {
    CDiyMessageBox box(text, QStringLiteral("Kestyl"), MB_OK);
    box.show();
    kstest::ProcessEvents();
    QRect r = box.textControl()->geometry();
    EXPECT_EQ(r.x(), 27);
    EXPECT_EQ(r.width(), 309);
    EXPECT_GE(r.y(), 30) << text.size();
    EXPECT_LE(r.bottom(), 160) << text.size();
    if (text == QStringLiteral("a\\nb")) {
      EXPECT_EQ(box.textControl()->text(), QStringLiteral("a\nb"));
    }
  }
}

}  // namespace
