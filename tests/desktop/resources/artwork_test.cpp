// The compiled-in pictures against artwork.tsv, and the table against the sizes the
// program's windows rely on: every id loads, has its size and its probe colour; the states
// of a button or an animation differ visibly; the roaming banner files are real GIFs and
// the local banner page shows them.
#include "desktop/resources/artwork_table.h"
#include "desktop/resources/ks_desktop_resources.h"
#include "tests/desktop/resources/qt_app.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using ks::art::ArtworkRow;

class ArtworkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    EnsureQtApp();
    ks_init_desktop_resources();
    std::string error;
    rows_.clear();
    ASSERT_TRUE(ks::art::LoadArtworkTable(KS_SOURCE_DIR "/desktop/resources/artwork.tsv", rows_, error)) << error;
    for (const ArtworkRow& r : rows_) byId_[r.id] = r;
  }

  static QImage Load(const std::string& id) {
    const ArtworkRow& r = byId_.at(id);
    QString path = QString(":/%1/%2").arg(QString::fromStdString(r.kind), QString::fromStdString(id));
    return QImage(path).convertToFormat(QImage::Format_ARGB32);
  }

  static std::string Hex(QRgb c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06X/a%d", c & 0xFFFFFF, qAlpha(c));
    return buf;
  }

  static std::vector<ArtworkRow> rows_;
  static std::map<std::string, ArtworkRow> byId_;
};

std::vector<ArtworkRow> ArtworkTest::rows_;
std::map<std::string, ArtworkRow> ArtworkTest::byId_;

// Every resource id the desktop program loads, by kind.
const std::map<std::string, std::vector<int>> kIdsUsed = {
    {"png", {219, 220, 222, 223, 224, 225, 232, 234, 253, 259, 260, 263, 266, 272, 280, 281, 282, 283, 284, 285,
             286, 287, 295, 308, 310, 311, 322, 326, 327, 328, 329, 331, 332, 333, 334, 335, 337, 338, 339, 340,
             341, 342, 343, 344, 345, 346, 357, 358, 359, 360, 361, 362, 363, 364, 365, 366, 367, 369, 370, 371,
             372, 373, 374, 375, 376, 377, 379, 380, 381, 382, 384, 385, 386, 387, 388, 389, 391, 393, 394, 395,
             396, 397, 398, 399, 400, 401, 402, 407}},
    {"ico", {128, 174, 239, 240, 241, 242, 243, 254, 255, 313, 314, 315, 316, 320, 349, 350, 353, 354, 355, 356, 368}},
    {"bmp", {296, 297, 408}},
};

TEST_F(ArtworkTest, TableListsEveryIdTheProgramUsesAndNothingElse) {
  std::set<std::pair<std::string, std::string>> listed, used;
  for (const ArtworkRow& r : rows_)
    if (r.kind == "png" || r.kind == "ico" || r.kind == "bmp") listed.insert({r.kind, r.id});
  for (const auto& [kind, ids] : kIdsUsed)
    for (int id : ids) used.insert({kind, std::to_string(id)});
  for (const auto& u : used) EXPECT_TRUE(listed.count(u)) << "missing " << u.first << " " << u.second;
  for (const auto& l : listed) EXPECT_TRUE(used.count(l)) << "not used by the program: " << l.first << " " << l.second;
  for (const char* file : {"banner_ch.gif", "banner_en.gif", "banner_tw.gif", "HtmlDlg.htm"})
    EXPECT_TRUE(byId_.count(file)) << "missing roaming file " << file;
}

// Sizes fixed by the windows that draw the pictures: pictures drawn at their natural size
// into a fixed layout, dialogs whose window size is fixed, template sizes in dialog units
// (MS Shell Dlg 9: x 7/4, y 14/8; 8: x 6/4, y 13/8), the tray icon's 16 px grid.
TEST_F(ArtworkTest, SizesMatchTheLayoutsThatUseThem) {
  struct Expect {
    int id, w, h;
  };
  const Expect table[] = {
      {326, 14, 14}, {327, 14, 14}, {328, 14, 14}, {329, 14, 14},  // caption buttons
      {344, 76, 22}, {376, 76, 22}, {377, 76, 22},                  // title pictures at (8, 8)
      {386, 261, 30}, {369, 254, 29}, {370, 179, 17},               // decorations of layouts 101, 102, 129
      {222, 16, 16}, {223, 16, 16}, {388, 15, 15}, {389, 9, 9},     // option and check box
      {224, 122, 20}, {225, 9, 6},                                  // combo box
      {263, 355, 197}, {259, 73, 25}, {260, 73, 25},                // message box
      {337, 484, 426}, {253, 353, 251}, {295, 322, 198}, {371, 447, 385},
      {232, 421, 232},  // template 102: 241 x 133 at 9 pt
      {387, 529, 299},  // template 101: 353 x 184 at 8 pt
      {338, 120, 31},   // page button rectangle
      {297, 13, 13}, {296, 13, 13}, {408, 13, 13},                  // transfer list image list
  };
  for (const Expect& e : table) {
    const ArtworkRow& r = byId_.at(std::to_string(e.id));
    EXPECT_EQ(r.width, e.w) << e.id;
    EXPECT_EQ(r.height, e.h) << e.id;
  }
  for (int id : kIdsUsed.at("ico")) EXPECT_EQ(byId_.at(std::to_string(id)).width, 32) << id;
}

TEST_F(ArtworkTest, EveryResourceLoadsWithItsSizeAndProbeColour) {
  int checked = 0;
  for (const ArtworkRow& r : rows_) {
    if (r.kind != "png" && r.kind != "ico" && r.kind != "bmp") continue;
    SCOPED_TRACE(r.kind + " " + r.id + " (" + r.role + ")");
    QImage image = Load(r.id);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), r.width);
    EXPECT_EQ(image.height(), r.height);
    QRgb c = image.pixel(r.probeX, r.probeY);
    EXPECT_EQ(qAlpha(c), 255) << Hex(c);
    EXPECT_TRUE(ks::art::ProbeMatches(c & 0xFFFFFF, r.probeRgb)) << "found " << Hex(c);
    ++checked;
  }
  EXPECT_EQ(checked, 88 + 21 + 3);
}

TEST_F(ArtworkTest, IconsComeAtSixteenThirtyTwoAndFortyEightPixels) {
  for (int id : kIdsUsed.at("ico")) {
    for (int size : {16, 32, 48}) {
      QImage image(QString(":/ico/%1/%2").arg(size).arg(id));
      ASSERT_FALSE(image.isNull()) << id << " at " << size;
      EXPECT_EQ(image.size(), QSize(size, size)) << id;
      EXPECT_TRUE(image.hasAlphaChannel()) << id;
      // Transparent corners (the tile is rounded), opaque middle.
      EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << id << " at " << size;
      EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255) << id << " at " << size;
    }
    EXPECT_EQ(QImage(QString(":/ico/%1").arg(id)), QImage(QString(":/ico/32/%1").arg(id))) << id;
  }
}

// Share of pixels that differ clearly (more than 12 in a channel, alpha included).
double DifferingShare(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return 1.0;
  long differing = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (std::abs(qRed(p) - qRed(q)) > 12 || std::abs(qGreen(p) - qGreen(q)) > 12 ||
          std::abs(qBlue(p) - qBlue(q)) > 12 || std::abs(qAlpha(p) - qAlpha(q)) > 12)
        ++differing;
    }
  return double(differing) / (a.width() * a.height());
}

TEST_F(ArtworkTest, StatesOfAControlOrAnimationDifferVisibly) {
  // Groups whose members the program shows in the same place for different states.
  const std::vector<std::vector<int>> groups = {
      // buttons: normal (= hover, = disabled where the owner reuses it), pressed
      {260, 259}, {379, 380}, {381, 382}, {384, 385}, {332, 333}, {334, 335}, {219, 220}, {340, 341},
      {345, 346}, {342, 343}, {362, 363}, {364, 365}, {366, 367}, {398, 397}, {400, 399},
      // caption buttons: normal, hover
      {326, 327}, {328, 329},
      // checked, unchecked
      {222, 223}, {395, 396}, {394, 393},
      // menu line mobile online/offline; hosted network ready/unavailable; wizard steps
      {285, 280}, {331, 266}, {358, 357},
      // tray: steady states, log-in frames, upload and download frames, request flash
      {368, 174, 239}, {320, 349, 350}, {240, 241, 355}, {242, 243, 353}, {313, 314, 356}, {315, 316, 354},
      {255, 254}, {240, 242}, {313, 315}, {240, 313},
      // language variants that carry language text
      {372, 373, 374}, {359, 360, 361},
  };
  for (const auto& group : groups) {
    for (size_t i = 0; i < group.size(); ++i) {
      for (size_t j = i + 1; j < group.size(); ++j) {
        QImage a = Load(std::to_string(group[i])), b = Load(std::to_string(group[j]));
        ASSERT_EQ(a.size(), b.size()) << group[i] << " vs " << group[j];
        // At least 1% of the picture, and at least 6 pixels, must change.
        double share = DifferingShare(a, b);
        EXPECT_GT(share, 0.01) << group[i] << " vs " << group[j];
        EXPECT_GE(share * a.width() * a.height(), 6.0) << group[i] << " vs " << group[j];
      }
    }
  }
}

TEST_F(ArtworkTest, BannerGifsAreGif89aWithTheirSizeAndProbeColour) {
  for (const ArtworkRow& r : rows_) {
    if (r.kind != "gif") continue;
    SCOPED_TRACE(r.id);
    QFile file(QString(KS_ROAMING_DIR "/") + QString::fromStdString(r.id));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray data = file.readAll();
    EXPECT_TRUE(data.startsWith("GIF89a"));
    EXPECT_TRUE(data.endsWith(";"));
    QImage image = QImage::fromData(data, "GIF").convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(r.width, r.height));
    QRgb c = image.pixel(r.probeX, r.probeY);
    EXPECT_TRUE(ks::art::ProbeMatches(c & 0xFFFFFF, r.probeRgb)) << Hex(c);
  }
}

// The local page as the banner window shows it after a failed load: the page, with the
// banner picture of the language appended to its body, in the main window's 483 x 113 and
// the update notice's 452 x 111.
QImage ShowLocalPage(const QString& html, const QImage& banner, QSize window) {
  QTextDocument document;
  document.setDocumentMargin(0);
  QString page = html;
  if (!banner.isNull()) {
    document.addResource(QTextDocument::ImageResource, QUrl("banner.gif"), banner);
    page.replace("</body>", "<img src=\"banner.gif\"></body>");
  }
  document.setHtml(page);
  document.setTextWidth(window.width());
  QImage image(window, QImage::Format_ARGB32);
  image.fill(document.rootFrame()->frameFormat().background().color());
  QPainter painter(&image);
  document.drawContents(&painter, QRectF(QPointF(0, 0), QSizeF(window)));
  return image;
}

TEST_F(ArtworkTest, LocalBannerPageShowsTheBannerOnItsOwnBackground) {
  const ArtworkRow& pageRow = byId_.at("HtmlDlg.htm");
  QFile file(KS_ROAMING_DIR "/HtmlDlg.htm");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QString html = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(html.contains("<body")) << "the program appends the picture to the body";
  EXPECT_FALSE(html.contains("<img", Qt::CaseInsensitive)) << "the program adds the picture itself";
  EXPECT_TRUE(html.contains("margin: 0px"));
  for (const char* gif : {"banner_ch.gif", "banner_en.gif", "banner_tw.gif"}) {
    const ArtworkRow& bannerRow = byId_.at(gif);
    QImage banner(QString(KS_ROAMING_DIR "/") + gif);
    ASSERT_FALSE(banner.isNull()) << gif;
    for (QSize window : {QSize(483, 113), QSize(452, 111)}) {
      SCOPED_TRACE(std::string(gif) + " in " + std::to_string(window.width()));
      QImage shown = ShowLocalPage(html, banner, window);
      QRgb c = shown.pixel(bannerRow.probeX, bannerRow.probeY);
      EXPECT_TRUE(ks::art::ProbeMatches(c & 0xFFFFFF, bannerRow.probeRgb)) << Hex(c);
      // Page and picture share one background, so the window has no seam at its edges.
      QRgb corner = shown.pixel(window.width() - 1, window.height() - 1);
      EXPECT_TRUE(ks::art::ProbeMatches(corner & 0xFFFFFF, pageRow.probeRgb)) << Hex(corner);
    }
  }
  QImage alone = ShowLocalPage(html, QImage(), QSize(pageRow.width, pageRow.height));
  EXPECT_TRUE(ks::art::ProbeMatches(alone.pixel(pageRow.probeX, pageRow.probeY) & 0xFFFFFF, pageRow.probeRgb));
}

}  // namespace
