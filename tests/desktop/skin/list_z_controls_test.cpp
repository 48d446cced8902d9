// The painted list header (lines, titles, resize modes, height), the list's rows (height,
// alignment, selection, trace lines) and the z picture controls (states, check pictures,
// static text over the owner's pixels).
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/skin/z_controls.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>

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

void Send(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButtons held = Qt::NoButton) {
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
  const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, held, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

bool Dark(QRgb rgb) { return qGray(rgb) < 110; }

// Columns [first, last] that hold dark pixels in rows [top, bottom] of `image` (-1 when none).
std::pair<int, int> InkSpan(const QImage& image, int left, int right, int top, int bottom) {
  int first = -1, last = -1;
  for (int x = left; x < right && x < image.width(); ++x)
    for (int y = top; y < bottom && y < image.height(); ++y)
      if (Dark(image.pixel(x, y))) {
        if (first < 0) first = x;
        last = x;
        break;
      }
  return {first, last};
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    list = new CKSListCtrl(&host);
    list->setGeometry(10, 10, 320, 160);
    list->setFont(ks::ui::DefaultArialFont());
    list->InsertColumn(0, QStringLiteral("Name"), 0);
    list->InsertColumn(1, QStringLiteral("Size"), 1);
    list->InsertColumn(2, QStringLiteral("Kind"), 2);
    list->setColumnWidth(0, 100);
    list->setColumnWidth(1, 80);
    list->setColumnWidth(2, 60);
    header = list->m_header;
    header->SetTextFont(ks::ui::DefaultArialFont());
    header->m_textColor = 0xFF202020;
    header->LoadBackgroundImage();
    header->SetHeight(28);
  }
  void Show() {
    host.show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return list->isVisible(); }));
    kstest::ProcessEvents();
  }
  QImage HeaderShot() { return kstest::Grab(header->viewport()); }

  Host host;
  CKSListCtrl* list = nullptr;
  CKSHeaderCtrl* header = nullptr;
};

TEST_F(ListTest, HeaderLinesFollowTheirColoursAndWhiteMeansNone) {
  Show();
  // The strip repeats the picture's first pixel column.
  const QImage picture = ks::ui::LoadPngResource(391);
  ASSERT_FALSE(picture.isNull());
  auto stripAt = [&](int y) { return picture.pixel(0, std::min(y, picture.height() - 1)); };
  QImage shot = HeaderShot();
  const int w = shot.width(), h = shot.height();
  ASSERT_EQ(h, 28);
  // All colours at 0xFFFFFFFF: the strip everywhere the titles are not.
  for (QPoint at : {QPoint(0, 5), QPoint(w - 1, 5), QPoint(20, 0), QPoint(20, h - 1), QPoint(20, h - 2),
                    QPoint(100, 3), QPoint(240, 3), QPoint(w - 30, 14)})
    EXPECT_TRUE(kstest::SameColour(shot.pixel(at), stripAt(at.y()))) << at.x() << "," << at.y() << " " << kstest::Hex(shot.pixel(at));

  header->m_leftColor = 0xFFFF0000;
  header->m_rightColor = 0xFF00FF00;
  header->m_topColor = 0xFF0000FF;
  header->m_bottomColor = 0xFFFFFF00;
  header->m_separatorColor = 0xFF00FFFF;
  header->m_frameColor = 0xFF800080;
  shot = HeaderShot();
  struct Case {
    QPoint at;
    QRgb colour;
  } cases[] = {
      {{0, 5}, 0xFFFF0000},       {{0, 0}, 0xFF800080},     {{w - 1, 5}, 0xFF00FF00},
      {{w - 1, h - 3}, 0xFF00FF00}, {{20, h - 2}, 0xFFFFFF00}, {{100, 5}, 0xFF00FFFF},
      {{180, 5}, 0xFF00FFFF},     {{240, 5}, 0xFF00FFFF},   {{20, 0}, 0xFF800080},  // frame over top
      {{20, h - 1}, 0xFF800080},  {{50, 3}, stripAt(3)},    {{99, 3}, stripAt(3)}};
  for (const Case& c : cases)
    EXPECT_TRUE(kstest::SameColour(shot.pixel(c.at), c.colour))
        << c.at.x() << "," << c.at.y() << " " << kstest::Hex(shot.pixel(c.at)) << " want " << kstest::Hex(c.colour);
}

TEST_F(ListTest, HeaderWithoutPictureOrFontPaintsNoTitles) {
  CKSListCtrl bare(&host);
  bare.setGeometry(10, 10, 200, 100);
  bare.InsertColumn(0, QStringLiteral("Name"), 2);
  bare.setColumnWidth(0, 120);
  bare.m_header->m_leftColor = 0xFFFF0000;
  bare.m_header->m_textColor = 0xFF000000;
  bare.m_header->SetTextFont(ks::ui::DefaultArialFont());
  Show();
  // No picture: no strip, no title, no line.
  QImage shot = kstest::Grab(bare.m_header->viewport());
  EXPECT_FALSE(kstest::SameColour(shot.pixel(60, 3), kstest::ArtColour("391")));
  EXPECT_FALSE(kstest::SameColour(shot.pixel(0, 5), 0xFFFF0000));
  EXPECT_EQ(InkSpan(shot, 0, shot.width(), 0, shot.height()).first, -1);
  // A picture but no font: the strip and no title.
  CKSListCtrl noFont(&host);
  noFont.setGeometry(10, 10, 200, 100);
  noFont.InsertColumn(0, QStringLiteral("Name"), 2);
  noFont.m_header->m_textColor = 0xFF000000;
  noFont.m_header->LoadBackgroundImage();
  noFont.show();
  kstest::ProcessEvents();
  shot = kstest::Grab(noFont.m_header->viewport());
  EXPECT_TRUE(kstest::SameColour(shot.pixel(60, 12), kstest::ArtColour("391")));
  EXPECT_EQ(InkSpan(shot, 0, shot.width(), 0, shot.height()).first, -1);
}

TEST_F(ListTest, TitlesAndCellsAlignLikeTheirColumnFormat) {
  for (int c = 0; c < 3; ++c) EXPECT_EQ(list->InsertItem(c, {QStringLiteral("Wd"), QStringLiteral("Wd"), QStringLiteral("Wd")}), c);
  list->SetRowHeight();
  Show();
  const QImage head = HeaderShot();
  const QImage rows = kstest::Grab(list->viewport());
  struct Case {
    int column, left, width;
    char code;
  } cases[] = {{0, 0, 100, '0'}, {1, 100, 80, '1'}, {2, 180, 60, '2'}};
  for (const Case& c : cases) {
    EXPECT_EQ(header->AlignCode(c.column), QLatin1Char(c.code));
    const QRect cell = list->visualItemRect(list->topLevelItem(1));
    for (const auto& [image, top, bottom, what] :
         {std::tuple{head, 0, head.height(), "title"}, std::tuple{rows, cell.top(), cell.bottom(), "cell"}}) {
      const auto [first, last] = InkSpan(image, c.left + 2, c.left + c.width - 2, top, bottom);
      ASSERT_GE(first, 0) << what << " of column " << c.column;
      const int right = c.left + c.width;
      if (c.code == '0') { EXPECT_LE(first - c.left, 5) << what; }
      if (c.code == '1') { EXPECT_LE(right - last, 6) << what; }
      if (c.code == '2') { EXPECT_LE(std::abs((first + last) / 2 - (c.left + c.width / 2)), 3) << what; }
      if (c.code != '0') { EXPECT_GT(first - c.left, 15) << what; }
    }
  }
}

TEST_F(ListTest, RowHeightAndHeaderHeightSetTheGeometry) {
  QTreeWidget plain;
  plain.setFont(list->font());
  plain.setColumnCount(1);
  plain.setRootIsDecorated(false);
  plain.addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("Photos")}));
  plain.show();
  for (int r = 0; r < 3; ++r) list->InsertItem(r, QStringLiteral("Photos"));
  Show();
  EXPECT_EQ(list->visualItemRect(list->topLevelItem(0)).height(),
            plain.visualItemRect(plain.topLevelItem(0)).height());
  list->SetRowHeight();
  kstest::ProcessEvents();
  for (int r = 0; r < 3; ++r) {
    const QRect rect = list->visualItemRect(list->topLevelItem(r));
    EXPECT_EQ(rect.height(), 25);
    EXPECT_EQ(rect.top(), r * 25);
  }
  EXPECT_EQ(header->height(), 28);
  EXPECT_EQ(list->viewport()->geometry().top(), header->geometry().bottom() + 1);
  header->SetHeight(34);
  kstest::ProcessEvents();
  EXPECT_EQ(header->height(), 34);
  EXPECT_EQ(list->viewport()->geometry().top(), header->geometry().bottom() + 1);
}

TEST_F(ListTest, SelectedRowsUseHighlightOthersBase) {
  list->InsertItem(0, QStringLiteral("a"));
  list->InsertItem(1, QStringLiteral("b"));
  list->SetRowHeight();
  Show();
  list->topLevelItem(1)->setSelected(true);
  const QImage rows = kstest::Grab(list->viewport());
  EXPECT_TRUE(kstest::SameColour(rows.pixel(90, 12), list->palette().color(QPalette::Base).rgb()));
  EXPECT_TRUE(kstest::SameColour(rows.pixel(90, 37), list->palette().color(QPalette::Highlight).rgb()))
      << kstest::Hex(rows.pixel(90, 37)) << " " << kstest::Hex(list->palette().color(QPalette::Highlight).rgb());
  // The frame around the list.
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(list, 0, 80), 0xFFAFAFAF));
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(list, list->width() - 1, 80), 0xFFAFAFAF));
  EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(list, 100, list->height() - 1), 0xFFAFAFAF));
}

TEST_F(ListTest, ResizeModesGateBorderDrags) {
  struct Case {
    int mode, drag, width;
    bool splitCursor;
  } cases[] = {{0, -90, 100, false}, {1, -90, 10, true}, {2, -90, 30, true}, {2, 25, 125, true}, {3, -90, 100, false}};
  Show();
  for (const Case& c : cases) {
    header->SetResizeMode(c.mode);
    header->resizeSection(0, 100);
    QWidget* vp = header->viewport();
    vp->unsetCursor();
    const QPoint border(header->sectionViewportPosition(0) + header->sectionSize(0) - 1, 14);
    Send(vp, QEvent::MouseMove, border);
    EXPECT_EQ(vp->cursor().shape() == Qt::SplitHCursor, c.splitCursor) << "mode " << c.mode;
    Send(vp, QEvent::MouseButtonPress, border, Qt::LeftButton);
    Send(vp, QEvent::MouseMove, border + QPoint(c.drag / 2, 0), Qt::LeftButton);
    Send(vp, QEvent::MouseMove, border + QPoint(c.drag, 0), Qt::LeftButton);
    Send(vp, QEvent::MouseButtonRelease, border + QPoint(c.drag, 0));
    EXPECT_EQ(header->sectionSize(0), c.width) << "mode " << c.mode << " drag " << c.drag;
  }
}

TEST_F(ListTest, RowsWriteTraceLines) {
  QTemporaryDir dir;
  const QString trace = dir.filePath(QStringLiteral("trace.txt"));
  ks::ui::SetControlId(list, 1021);
  ks::ui::SetTraceFile(trace);
  list->InsertItem(0, {QStringLiteral("Photos"), QStringLiteral("/home/a \"b\"")});
  list->InsertItem(0, QStringLiteral("Music"));
  EXPECT_TRUE(list->DeleteItem(1));
  EXPECT_FALSE(list->DeleteItem(5));
  ks::ui::SetTraceFile(QString());
  QFile f(trace);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  EXPECT_EQ(lines, (QStringList{QStringLiteral("row CKSListCtrl 1021 add 0 \"Photos\" \"/home/a \\\"b\\\"\""),
                                QStringLiteral("row CKSListCtrl 1021 add 0 \"Music\" \"\""),
                                QStringLiteral("row CKSListCtrl 1021 del 1 \"Photos\" \"/home/a \\\"b\\\"\"")}));
}

class ZTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
  Host host;
};

TEST_F(ZTest, ButtonPicksItsPictureByStateAndCursor) {
  auto* b = new z::CZButton(&host);
  b->LoadImages(398, 397, 400, 399);
  b->SetTextFont(ks::ui::DefaultArialFont());
  b->setText(QStringLiteral("Output Log"));
  b->setGeometry(20, 60, 105, 26);
  host.show();
  kstest::ProcessEvents();
  using S = z::CZButton::State;
  auto probe = [&](const char* id) {
    const auto row = kstest::ArtProbe(id);
    return kstest::SameColour(kstest::PixelAt(b, row.probeX, row.probeY), kstest::ArtColour(id));
  };
  struct Step {
    QEvent::Type type;
    QPoint at;
    Qt::MouseButtons held;
    S state;
    const char* picture;
  } steps[] = {
      {QEvent::None, {}, {}, S::Normal, "398"},
      {QEvent::Enter, {5, 5}, {}, S::Hover, "400"},
      {QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton, S::Pressed, "397"},
      {QEvent::MouseMove, {300, 5}, Qt::LeftButton, S::Hover, "400"},  // dragged out
      {QEvent::MouseMove, {5, 5}, Qt::LeftButton, S::Pressed, "397"},  // back in
      {QEvent::MouseButtonRelease, {5, 5}, {}, S::Hover, "400"},
      {QEvent::Leave, {}, {}, S::Normal, "398"},
  };
  for (const Step& s : steps) {
    if (s.type != QEvent::None) Send(b, s.type, s.at, s.held);
    EXPECT_EQ(b->CurrentState(), s.state) << s.picture;
    EXPECT_TRUE(probe(s.picture)) << s.picture;
  }
  EXPECT_FALSE(b->m_pressed);
  b->setEnabled(false);
  for (QEvent::Type t : {QEvent::Enter, QEvent::Leave}) {
    Send(b, t, {5, 5});
    EXPECT_EQ(b->CurrentState(), S::Disabled);
    EXPECT_TRUE(probe("399"));
  }
  // Disabled caption: grey, whatever the caption colour.
  b->m_textColor = 0xFF0000FF;
  const QImage shot = kstest::Grab(b);
  int grey = 0, blue = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) {
      grey += kstest::SameColour(shot.pixel(x, y), z::CZButton::kDisabledText, 3);
      blue += kstest::SameColour(shot.pixel(x, y), 0xFF0000FF, 40);
    }
  EXPECT_GT(grey, 5);
  EXPECT_EQ(blue, 0);
}

TEST_F(ZTest, CheckPicturesFollowTheCheckState) {
  auto* radio = new z::CZRadioButton(&host);
  radio->m_checkedImage = ks::ui::LoadPngResourceZ(395);
  radio->m_uncheckedImage = ks::ui::LoadPngResourceZ(396);
  radio->SetTextFont(ks::ui::DefaultArialFont());
  radio->m_textColor = 0xFF000000;
  radio->setText(QStringLiteral("Two-way"));
  radio->setGeometry(20, 60, 120, 16);
  auto* toggle = new z::CZToggleButton(&host);
  toggle->m_onImage = ks::ui::LoadPngResourceZ(394);
  toggle->m_offImage = ks::ui::LoadPngResourceZ(393);
  toggle->setGeometry(20, 100, 80, 30);
  host.show();
  kstest::ProcessEvents();
  struct Case {
    QAbstractButton* button;
    bool checked;
    const char* picture;
  } cases[] = {{radio, true, "395"}, {radio, false, "396"}, {toggle, true, "394"}, {toggle, false, "393"}};
  for (const Case& c : cases) {
    c.button->setChecked(c.checked);
    const auto row = kstest::ArtProbe(c.picture);
    EXPECT_TRUE(kstest::SameColour(kstest::PixelAt(c.button, row.probeX, row.probeY), kstest::ArtColour(c.picture)))
        << c.picture;
  }
  // A click toggles the state the parent reads.
  toggle->setChecked(false);
  toggle->click();
  EXPECT_TRUE(toggle->isChecked());
  // Around the pictures: the dialog's own pixels; the caption from x 16.
  const QImage under = BackgroundUnder(toggle);
  EXPECT_EQ(kstest::PixelAt(toggle, 70, 28), under.pixel(70, 28));
  const QImage shot = kstest::Grab(radio);
  EXPECT_GE(InkSpan(shot, 15, shot.width(), 0, shot.height()).first, 16);
}

TEST_F(ZTest, StaticDrawsOneClippedLineOverTheOwner) {
  auto* s = new z::CZStatic(&host);
  s->setGeometry(20, 120, 90, 40);
  s->SetText(QStringLiteral("A text far longer than the control is wide"));
  host.show();
  kstest::ProcessEvents();
  EXPECT_EQ(kstest::Grab(s), BackgroundUnder(s).convertToFormat(QImage::Format_ARGB32));  // no font: no text
  s->SetTextFont(ks::ui::DefaultArialFont());
  const QImage shot = kstest::Grab(s);
  const int lineHeight = QFontMetrics(ks::ui::DefaultArialFont()).height();
  EXPECT_GE(InkSpan(shot, 0, shot.width(), 0, lineHeight).first, 0);
  EXPECT_GE(InkSpan(shot, 0, shot.width(), 0, lineHeight).second, shot.width() - 8);  // runs to the edge
  EXPECT_EQ(InkSpan(shot, 0, shot.width(), lineHeight + 1, shot.height()).first, -1);  // not wrapped
}

}  // namespace
