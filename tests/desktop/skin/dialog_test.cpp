// CDiyDialog: composed skin by language and layout, rounded mask, drag band, caption
// buttons, close versus the hide message, results.
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "tests/desktop/skin/fake_language.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

using ks::skin::CDiyDialog;

class TestDialog : public CDiyDialog {
 public:
  explicit TestDialog(unsigned background, unsigned layout = 0) {
    m_nBkImageID = background;
    m_strBkImageType = QStringLiteral("PNG");
    m_nLayoutID = layout;
    const QImage bg = ks::ui::LoadPngResource(background);
    resize(bg.isNull() ? QSize(300, 200) : bg.size());
  }
  int minimised = 0;
  void Minimize() override { ++minimised; }
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }

  // The region of `image` at `at` of `picture`'s size equals the picture composed over `base`.
  static bool Shows(const QImage& image, QPoint at, unsigned picture, unsigned base) {
    QImage expected = ks::ui::LoadPngResource(base).copy().convertToFormat(QImage::Format_ARGB32);
    QImage top = ks::ui::LoadPngResource(picture);
    QPainter(&expected).drawImage(at, top);
    QRect r(at, top.size());
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x)
        if (!kstest::SameColour(image.pixel(x, y), expected.pixel(x, y), 3)) return false;
    return true;
  }
};

TEST_F(DialogTest, TitlePictureFollowsTheLanguageAndItsSwitches) {
  struct Case {
    int language;  // -1: no language source
    bool showTitle;
    unsigned expected;  // 0: no title picture
  } cases[] = {{0, true, 344}, {1, true, 376}, {2, true, 377}, {7, true, 0}, {-1, true, 0}, {1, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "language " << c.language << " show " << c.showTitle);
    ks::ui::SetLanguageSource(c.language >= 0 ? std::make_shared<kstest::FakeLanguage>(c.language) : nullptr);
    TestDialog d(263);
    d.m_bShowTitleImage = c.showTitle;
    d.show();
    kstest::ProcessEvents();
    QImage shot = kstest::Grab(&d);
    // The three title pictures look alike (the product name); the id tells them apart.
    if (c.showTitle) {
      EXPECT_EQ(d.m_nTitleImageID, c.expected);
    }
    EXPECT_EQ(Shows(shot, {8, 8}, 376, 263), c.expected != 0);
    if (c.expected == 0) {
      QImage bg = ks::ui::LoadPngResource(263);
      EXPECT_TRUE(kstest::SameColour(shot.pixel(11, 19), bg.pixel(11, 19)));
    }
    if (c.language >= 0 && c.language <= 2) {
      EXPECT_EQ(d.windowTitle(), QStringLiteral("Kestyl"));
    }
    auto probe = kstest::ArtProbe("263");
    EXPECT_TRUE(kstest::SameColour(shot.pixel(probe.probeX, probe.probeY), kstest::ArtColour("263")));
  }
}

TEST_F(DialogTest, DecorationsByLayout) {
  struct Case {
    unsigned background, layout;
    bool extra;
    std::vector<std::pair<unsigned, QPoint>> shown;
    std::vector<std::pair<unsigned, QPoint>> absent;
  } cases[] = {
      {387, 101, false, {{386, {178, 56}}, {386, {178, 105}}, {386, {178, 154}}}, {}},
      {232, 102, false, {{369, {109, 62}}, {369, {109, 105}}}, {}},
      {337, 129, true, {{370, {29, 349}}}, {}},
      {337, 129, false, {}, {{370, {29, 349}}}},
      {387, 0, false, {}, {{386, {178, 56}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "layout " << c.layout << " extra " << c.extra);
    TestDialog d(c.background, c.layout);
    d.m_bShowExtraImage = c.extra;
    d.show();
    kstest::ProcessEvents();
    QImage shot = kstest::Grab(&d);
    for (auto& [id, at] : c.shown) {
      auto row = kstest::ArtProbe(std::to_string(id));
      EXPECT_TRUE(kstest::SameColour(shot.pixel(at.x() + row.probeX, at.y() + row.probeY), kstest::ArtColour(row.id)))
          << id;
      EXPECT_TRUE(Shows(shot, at, id, c.background)) << id;
    }
    for (auto& [id, at] : c.absent) EXPECT_FALSE(Shows(shot, at, id, c.background)) << id;
  }
}

TEST_F(DialogTest, RoundedMaskPerRadiusAndRebuiltAfterResize) {
  TestDialog d(263);
  d.show();
  kstest::ProcessEvents();
  QRegion mask = d.WindowRegion();
  EXPECT_FALSE(mask.contains(QPoint(0, 0)));
  EXPECT_FALSE(mask.contains(QPoint(354, 196)));
  EXPECT_TRUE(mask.contains(QPoint(1, 0)));
  EXPECT_TRUE(mask.contains(QPoint(0, 2)));
  EXPECT_TRUE(mask.contains(QPoint(177, 100)));
  d.resize(400, 300);
  kstest::ProcessEvents();
  EXPECT_TRUE(d.WindowRegion().contains(QPoint(398, 150)));
  EXPECT_FALSE(d.WindowRegion().contains(QPoint(399, 299)));

  QRegion wizard = CDiyDialog::RoundedRegion(718, 466, 25);
  EXPECT_FALSE(wizard.contains(QPoint(2, 2)));
  EXPECT_TRUE(wizard.contains(QPoint(12, 0)));
  EXPECT_TRUE(wizard.contains(QPoint(4, 4)));
  EXPECT_FALSE(wizard.contains(QPoint(715, 463)));
  EXPECT_TRUE(CDiyDialog::RoundedRegion(10, 10, 0).contains(QPoint(0, 0)));
  EXPECT_TRUE(CDiyDialog::RoundedRegion(0, 10, 4).isEmpty());
}

void SendMouse(QWidget* w, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButtons held) {
  QMouseEvent e(type, QPointF(local), QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                held, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

TEST_F(DialogTest, TheTopBandDragsTheWindowAndTheRestDoesNot) {
  struct Case {
    QPoint press;
    bool moves;
  } cases[] = {{{100, 10}, true}, {{300, 40}, true}, {{100, 60}, false}, {{100, 41}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.press.x() << "," << c.press.y());
    TestDialog d(263);
    d.move(200, 150);
    d.show();
    kstest::ProcessEvents();
    const QPoint start = d.pos();
    const QPoint g0 = start + c.press;
    SendMouse(&d, QEvent::MouseButtonPress, c.press, g0, Qt::LeftButton);
    SendMouse(&d, QEvent::MouseMove, c.press + QPoint(20, 10), g0 + QPoint(20, 10), Qt::LeftButton);
    SendMouse(&d, QEvent::MouseMove, c.press + QPoint(40, 30), g0 + QPoint(40, 30), Qt::LeftButton);
    SendMouse(&d, QEvent::MouseButtonRelease, c.press + QPoint(40, 30), g0 + QPoint(40, 30), Qt::NoButton);
    kstest::ProcessEvents();
    EXPECT_EQ(d.pos() - start, c.moves ? QPoint(40, 30) : QPoint(0, 0));
  }
}

TEST_F(DialogTest, CaptionButtonsSitInTheCornerAndTheMinimiseButtonCanBeLeftOut) {
  for (bool withMin : {true, false}) {
    TestDialog d(263);
    d.m_bShowMinButton = withMin;
    d.show();
    kstest::ProcessEvents();
    const int w = d.width();
    ASSERT_NE(d.m_pCloseButton, nullptr);
    EXPECT_EQ(d.m_pCloseButton->geometry(), QRect(w - 34, 0, 32, 30));
    EXPECT_EQ(d.m_pMinButton->geometry(), QRect(w - 60, 6, 26, 24));
    EXPECT_EQ(d.m_pMinButton->isVisible(), withMin);
    QImage shot = kstest::Grab(&d);
    // The close picture centred in its rectangle: its probe (6, 6) lands at (W-34+9+6, 8+6).
    auto close = kstest::ArtProbe("326");
    EXPECT_TRUE(kstest::SameColour(shot.pixel(w - 34 + 9 + close.probeX, 8 + close.probeY), kstest::ArtColour("326")));
    auto minimise = kstest::ArtProbe("328");
    const QPoint minProbe(w - 60 + 6 + minimise.probeX, 6 + 5 + minimise.probeY);
    EXPECT_EQ(kstest::SameColour(shot.pixel(minProbe), kstest::ArtColour("328")),
              kstest::SameColour(ks::ui::LoadPngResource(263).pixel(minProbe), kstest::ArtColour("328")) || withMin);
    if (withMin) {
      QTest::mouseClick(d.m_pMinButton, Qt::LeftButton);
      EXPECT_EQ(d.minimised, 1);
    }
  }
}

TEST_F(DialogTest, CloseButtonClosesWithCancelOrPostsTheHideMessage) {
  for (bool hideOnClose : {false, true}) {
    SCOPED_TRACE(hideOnClose ? "hide on close" : "close");
    TestDialog d(263);
    d.m_bHideOnClose = hideOnClose;
    QSignalSpy finished(&d, &QDialog::finished);
    d.show();
    kstest::ProcessEvents();
    QTest::mouseClick(d.m_pCloseButton, Qt::LeftButton);
    EXPECT_TRUE(d.isVisible());  // queued, never immediate
    ASSERT_TRUE(kstest::WaitUntil([&] { return !d.isVisible(); }));
    if (hideOnClose) {
      kstest::ProcessEvents();
      EXPECT_EQ(finished.count(), 0);
    } else {
      ASSERT_EQ(finished.count(), 1);
      EXPECT_EQ(finished.at(0).at(0).toInt(), ks::skin::IDCANCEL);
    }
  }
  // The hide message from anywhere hides the dialog without ending it.
  TestDialog d(263);
  QSignalSpy finished(&d, &QDialog::finished);
  d.show();
  kstest::ProcessEvents();
  ks::ui::PostMsg(&d, CDiyDialog::kMsgHideSelf);
  ASSERT_TRUE(kstest::WaitUntil([&] { return !d.isVisible(); }));
  EXPECT_EQ(finished.count(), 0);
}

TEST_F(DialogTest, DoModalResultsAndEscape) {
  struct Case {
    std::function<void(QWidget*)> answer;
    int expected;
  } cases[] = {
      {[](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }, ks::skin::IDCANCEL},
      {[](QWidget* w) { static_cast<QDialog*>(w)->accept(); }, ks::skin::IDOK},
      {[](QWidget* w) { static_cast<QDialog*>(w)->done(ks::skin::IDYES); }, ks::skin::IDYES},
      {[](QWidget* w) { static_cast<QDialog*>(w)->done(ks::skin::IDNO); }, ks::skin::IDNO},
      {[](QWidget* w) { w->close(); }, ks::skin::IDCANCEL},
  };
  for (const Case& c : cases) {
    TestDialog d(263);
    kstest::ModalAnswerer answerer(c.answer);
    EXPECT_EQ(d.DoModal(), c.expected);
    EXPECT_TRUE(answerer.answered());
  }
}

TEST_F(DialogTest, AMissingBackgroundPaintsNothingAndFailsNothing) {
  TestDialog d(99999);
  d.show();
  kstest::ProcessEvents();
  EXPECT_TRUE(d.ComposeSkin().isNull());
  QImage shot = kstest::Grab(&d);
  EXPECT_EQ(shot.size(), QSize(300, 200));
}

}  // namespace
