// Picture button states, check and option boxes, page button side zone, link button, combo
// box face and selection signal, menu items.
#include "desktop/foundation/skin/buttons.h"
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/resources.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace ks::skin;

class Host : public CDiyDialog {
 public:
  Host() {
    m_nBkImageID = 263;
    m_strBkImageType = QStringLiteral("PNG");
    resize(355, 197);
  }
};

void Send(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
  if (type == QEvent::Enter) {
    QEnterEvent e{QPointF(at), QPointF(at), QPointF(w->mapToGlobal(at))};
    QApplication::sendEvent(w, &e);
    return;
  }
  if (type == QEvent::Leave) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
    return;
  }
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
  QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), type == QEvent::MouseMove ? Qt::NoButton : button,
                held, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

class SkinControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
};

TEST_F(SkinControlsTest, PictureButtonFollowsPressHoverAndDisabled) {
  Host host;
  auto* b = new CColorButton(&host);
  b->SetImages(340, 379, 341, 342);
  b->setGeometry(20, 60, 80, 26);
  host.show();
  kstest::ProcessEvents();
  EXPECT_EQ(b->CurrentImage(), 340u);
  Send(b, QEvent::Enter, {5, 5});
  EXPECT_EQ(b->CurrentImage(), 379u);  // hover
  Send(b, QEvent::MouseButtonPress, {5, 5});
  EXPECT_EQ(b->CurrentImage(), 341u);  // pressed inside
  Send(b, QEvent::MouseMove, {200, 5});
  EXPECT_EQ(b->CurrentImage(), 379u);  // pressed, moved out: hover picture
  Send(b, QEvent::MouseMove, {5, 5});
  EXPECT_EQ(b->CurrentImage(), 341u);  // back in: pressed
  Send(b, QEvent::MouseButtonRelease, {5, 5});
  Send(b, QEvent::Leave, {});
  EXPECT_EQ(b->CurrentImage(), 340u);
  auto pressedFace = kstest::ArtProbe("341");
  Send(b, QEvent::Enter, {5, 5});
  Send(b, QEvent::MouseButtonPress, {5, 5});
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(b, pressedFace.probeX, pressedFace.probeY), kstest::ArtColour("341")));
  Send(b, QEvent::MouseButtonRelease, {5, 5});
  b->setEnabled(false);
  EXPECT_EQ(b->CurrentImage(), 342u);

  auto* check = new CColorButton(&host);
  check->SetStyle(CColorButton::kCheck);
  check->SetCaption(QStringLiteral("Tidy"));
  EXPECT_EQ(check->GetCaption(), QStringLiteral(" Tidy"));
  check->SetCaption(QString());
  EXPECT_EQ(check->GetCaption(), QString());
  check->setGeometry(20, 100, 120, 17);
  check->setChecked(true);
  check->show();
  kstest::ProcessEvents();
  auto tick = kstest::ArtProbe("389");
  auto frame = kstest::ArtProbe("388");
  QImage shot = kstest::Grab(check);
  EXPECT_TRUE(kstest::SameColour(shot.pixel(4 + tick.probeX, (17 - 9) / 2 + tick.probeY), kstest::ArtColour("389")));
  check->setChecked(false);
  shot = kstest::Grab(check);
  EXPECT_TRUE(kstest::SameColour(shot.pixel(1 + frame.probeX, (17 - 15) / 2 + frame.probeY), kstest::ArtColour("388")));
  EXPECT_FALSE(kstest::SameColour(shot.pixel(4 + tick.probeX, (17 - 9) / 2 + tick.probeY), kstest::ArtColour("389")));

  auto* radio = new CColorButton(&host);
  radio->SetStyle(CColorButton::kRadio);
  radio->setGeometry(20, 130, 120, 18);
  radio->setChecked(true);
  radio->show();
  kstest::ProcessEvents();
  auto on = kstest::ArtProbe("222");
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(radio, on.probeX, (18 - 16) / 2 + 1 + on.probeY), kstest::ArtColour("222")));
}

// A button laid out wider and taller than its art still shows the art's face to its far
// edge: the caption centred in it is never cut off by the end of the picture.
TEST_F(SkinControlsTest, PictureButtonWiderThanItsArtFillsItsWidth) {
  Host host;
  auto* b = new CColorButton(&host);
  b->SetImages(340, 340, 341, 340);
  b->setGeometry(20, 60, 150, 28);
  host.show();
  kstest::ProcessEvents();
  const auto face = kstest::ArtProbe("340");
  for (int x : {face.probeX, 75, 140})
    EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(b, x, 14), kstest::ArtColour("340"))) << "x " << x;
}

TEST_F(SkinControlsTest, PageButtonSideZoneAndCaptionColour) {
  Host host;
  auto* b = new CSettingButton(&host);
  b->m_baseImage = 338;
  b->m_iconImage = 310;
  b->m_sideZone = true;
  b->SetTextFont(ks::ui::DefaultArialFont());
  b->SetCaption(QStringLiteral("Settings"));
  b->setGeometry(10, 50, 120, 31);
  host.show();
  kstest::ProcessEvents();
  auto mark = kstest::ArtProbe("402");
  const QPoint markProbe(120 - 14 - 2 + mark.probeX, (31 - 14) / 2 + mark.probeY);
  struct Case {
    QPoint cursor;
    bool zone;
  } cases[] = {{{110, 15}, true}, {{40, 15}, false}, {{-1, -1}, false}};
  for (const Case& c : cases) {
    if (c.cursor.x() >= 0) Send(b, QEvent::MouseMove, c.cursor);
    else Send(b, QEvent::Leave, {});
    EXPECT_EQ(b->OverSideZone(), c.zone) << c.cursor.x();
    EXPECT_EQ(kstest::SameColour(kstest::PixelAt(b, markProbe.x(), markProbe.y()), kstest::ArtColour("402")), c.zone);
  }
}

TEST_F(SkinControlsTest, ComboFaceAndOneSelectionSignal) {
  Host host;
  auto* combo = new CColorCombobox(&host);
  combo->SetTextFont(ks::ui::DefaultArialFont());
  EXPECT_EQ(combo->InsertString(0, QStringLiteral("English")), 0);
  EXPECT_EQ(combo->InsertString(1, QStringLiteral("Deutsch")), 1);
  combo->setGeometry(20, 60, 122, 20);
  host.show();
  kstest::ProcessEvents();
  auto arrow = kstest::ArtProbe("225");
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(combo, 123 - 9 - 6 + arrow.probeX, (21 - 6) / 2 + 1 + arrow.probeY),
                                 kstest::ArtColour("225")));
  QSignalSpy spy(combo, &CColorCombobox::selChange);
  emit combo->activated(1);
  combo->setCurrentIndex(1);  // a change by the program is not a user's choice
  kstest::ProcessEvents();
  EXPECT_EQ(spy.count(), 1);
  combo->clear();
  kstest::ProcessEvents();
  EXPECT_EQ(combo->count(), 0);
  kstest::Grab(combo);  // an empty combo paints without a text
}

TEST_F(SkinControlsTest, MenuItemsIconsGreyTextSeparatorAndModify) {
  CDiyMenu menu;
  menu.AppendItem(32816, QStringLiteral("Mobile"));
  menu.AppendSeparator();
  menu.AppendItem(32787, QStringLiteral("Exit"), false);
  auto* sub = new CDiyMenu(&menu);
  sub->AppendItem(1, QStringLiteral("one"));
  menu.AppendSubMenu(sub, QStringLiteral("More"));
  EXPECT_EQ(menu.IconFor(32816), 280u);
  menu.m_bOnline = true;
  EXPECT_EQ(menu.IconFor(32816), 285u);
  EXPECT_EQ(menu.IconFor(12345), 0u);

  // By position: the first sub-menu's item; the sub-menu entry itself stays a sub-menu.
  EXPECT_TRUE(menu.ModifyItem(0, CDiyMenu::MF_BYPOSITION | CDiyMenu::MF_OWNERDRAW, 32848, QStringLiteral("Help")));
  EXPECT_EQ(sub->actions().at(0)->data().toUInt(), 32848u);
  EXPECT_EQ(menu.TextOf(32848), QStringLiteral("Help"));
  EXPECT_TRUE(menu.ModifyItem(32816, CDiyMenu::MF_OWNERDRAW, 32816, QStringLiteral("Mobile online")));
  EXPECT_EQ(menu.TextOf(32816), QStringLiteral("Mobile online"));
  EXPECT_NE(menu.actions().last()->menu(), nullptr);
  EXPECT_FALSE(menu.ModifyItem(99, 0, 1, QStringLiteral("x")));

  menu.popup(QPoint(100, 100));
  kstest::ProcessEvents();
  QImage shot = kstest::Grab(&menu);
  const QRect exit = menu.actionGeometry(menu.ActionOf(32787));
  const QRect first = menu.actionGeometry(menu.ActionOf(32816));
  EXPECT_EQ(first.height(), 27);
  EXPECT_GE(first.width(), 130);
  // Separator: one grey pixel line from x 27 on, band colour before it.
  const int sepY = first.bottom() + 1;
  EXPECT_TRUE(kstest::SameColour(shot.pixel(first.left() + 40, sepY), 0xFFDDDDDD));
  EXPECT_TRUE(kstest::SameColour(shot.pixel(first.left() + 10, sepY), 0xFFF3F3F3));
  // Online icon 285 in the band of the first item.
  auto icon = kstest::ArtProbe("285");
  EXPECT_TRUE(kstest::SameColour(shot.pixel(first.left() + (27 - 16) / 2 + icon.probeX, first.top() + (27 - 16) / 2 + icon.probeY),
                                 kstest::ArtColour("285")));
  // The disabled item's text is grey: no black pixels, some grey ones.
  bool grey = false, black = false;
  for (int y = exit.top(); y <= exit.bottom(); ++y)
    for (int x = exit.left() + 30; x < exit.right(); ++x) {
      QRgb c = shot.pixel(x, y);
      if (qRed(c) < 60 && qGreen(c) < 60 && qBlue(c) < 60) black = true;
      if (kstest::SameColour(c, 0xFF7F7F7F, 12)) grey = true;
    }
  EXPECT_TRUE(grey);
  EXPECT_FALSE(black);
  QSignalSpy spy(&menu, &CDiyMenu::command);
  menu.ActionOf(32816)->trigger();
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.at(0).at(0).toUInt(), 32816u);
  menu.hide();
}

}  // namespace
