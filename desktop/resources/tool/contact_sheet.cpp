// The contact sheet of ks-art-render, and the rendering of the local banner page.
#include "desktop/resources/tool/art_render.h"

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>

#include <algorithm>

namespace ks::art {
namespace {

const QColor kSheetBackground(0xF2, 0xF3, 0xF5);
const QColor kBand(0x1A, 0x8C, 0xE0);  // the title band: white glyphs are shown on it

struct Cell {
  QString title;
  QString role;
  QList<QImage> images;  // drawn side by side
  int section = 0;
};

// White-on-transparent glyphs (caption buttons, title pictures) are invisible on a light
// backdrop; they are meant for the title band.
bool MeantForBand(const QImage& image) {
  qint64 transparent = 0, lightWeight = 0, weight = 0;
  QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < argb.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    for (int x = 0; x < argb.width(); ++x) {
      int a = qAlpha(row[x]);
      if (a == 0) ++transparent;
      weight += a;
      if (qGray(row[x]) > 225) lightWeight += a;
    }
  }
  qint64 total = qint64(argb.width()) * argb.height();
  return transparent * 5 > total && weight > 0 && lightWeight * 10 > weight * 7;
}

void DrawBackdrop(QPainter& p, const QRect& r, bool band) {
  if (band) {
    p.fillRect(r, kBand);
    return;
  }
  p.fillRect(r, Qt::white);
  for (int y = r.top(); y <= r.bottom(); y += 6)
    for (int x = r.left() + (((y - r.top()) / 6) % 2) * 6; x <= r.right(); x += 12)
      p.fillRect(QRect(x, y, 6, 6).intersected(r), QColor(0xE6, 0xE8, 0xEB));
}

int Section(const ArtworkRow& row) {
  if (row.kind == "gif" || row.kind == "htm") return 5;
  if (row.kind == "ico") return 4;
  if (row.kind == "bmp") return 3;
  if (row.width >= 300) return 0;
  if (row.width >= 50 || row.height >= 40) return 1;
  return 2;
}

}  // namespace

QImage RenderLocalPage(const ArtworkRow& row, const QString& roamingSrc, QString& error, const QImage& banner) {
  QFile file(roamingSrc + "/" + QString::fromStdString(row.source));
  if (!file.open(QIODevice::ReadOnly)) {
    error = "cannot read " + file.fileName();
    return QImage();
  }
  QString html = QString::fromUtf8(file.readAll());
  QTextDocument document;
  document.setDocumentMargin(0);
  if (!banner.isNull()) {
    document.addResource(QTextDocument::ImageResource, QUrl("banner.gif"), banner);
    html.replace("</body>", "<img src=\"banner.gif\"></body>");
  }
  document.setHtml(html);
  document.setTextWidth(row.width);
  QImage image(row.width, row.height, QImage::Format_ARGB32_Premultiplied);
  QBrush background = document.rootFrame()->frameFormat().background();
  image.fill(background.style() == Qt::NoBrush ? QColor(Qt::white) : background.color());
  QPainter painter(&image);
  document.drawContents(&painter, QRectF(0, 0, row.width, row.height));
  return image;
}

bool DrawContactSheet(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc,
                      const QString& outPng, QString& error) {
  QList<Cell> cells;
  QList<QImage> previews = DrawPreviews(rows, artDir, roamingSrc, error);
  if (previews.isEmpty()) return false;
  const char* previewNames[] = {"main window, share page", "log-in dialog", "message box, No pressed",
                                "tray menu", "notification area at 16 px"};
  for (int i = 0; i < previews.size(); ++i) {
    Cell cell;
    cell.section = -1;
    cell.title = QString("preview: ") + previewNames[i];
    cell.role = "composed as the windows place the pictures; captions are samples";
    cell.images << previews[i];
    cells << cell;
  }
  QImage englishBanner;
  for (const ArtworkRow& row : rows) {
    Cell cell;
    cell.section = Section(row);
    cell.title = QString("%1  %2x%3").arg(QString::fromStdString(row.id)).arg(row.width).arg(row.height);
    cell.role = QString::fromStdString(row.role);
    if (row.kind == "ico") {
      for (int size : IconSizes(row)) {
        QImage image = RenderRow(row, artDir, roamingSrc, error, size);
        if (image.isNull()) return false;
        cell.images << image;
      }
      // The notification area shows 16 px: a 4x enlargement shows every pixel of it.
      cell.images << cell.images.first().scaled(64, 64, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    } else if (row.kind == "gif") {
      QImage image = RenderRow(row, artDir, roamingSrc, error, 0);
      if (image.isNull()) return false;
      std::vector<uint8_t> gif = EncodeGif(image);
      QImage decoded = QImage::fromData(reinterpret_cast<const uchar*>(gif.data()), int(gif.size()), "GIF");
      cell.images << (decoded.isNull() ? image : decoded);
      if (row.id == "banner_en.gif") englishBanner = cell.images.first();
    } else if (row.kind == "htm") {
      QImage image = RenderLocalPage(row, roamingSrc, error, englishBanner);
      if (image.isNull()) return false;
      cell.images << image;
      cell.role += " (with banner_en.gif)";
    } else {
      QImage image = RenderRow(row, artDir, roamingSrc, error, 0);
      if (image.isNull()) return false;
      cell.images << image;
    }
    cells << cell;
  }
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return a.section < b.section; });

  const int sheetWidth = 1800, margin = 16, gap = 14, labelHeight = 30;
  QFont titleFont("DejaVu Sans");
  titleFont.setPixelSize(11);
  titleFont.setBold(true);
  QFont roleFont("DejaVu Sans");
  roleFont.setPixelSize(10);
  QFontMetrics roleMetrics(roleFont);

  struct Placed {
    const Cell* cell;
    QRect rect;
  };
  QList<Placed> placed;
  int x = margin, y = margin + 34, rowHeight = 0, section = cells.isEmpty() ? 0 : cells.first().section;
  for (const Cell& cell : cells) {
    int w = 0, h = 0;
    for (const QImage& image : cell.images) {
      w += image.width() + (w ? 6 : 0);
      h = std::max(h, image.height());
    }
    w = std::max(w, 96) + 8;
    h += 8 + labelHeight;
    if (cell.section != section || x + w > sheetWidth - margin) {
      x = margin;
      y += rowHeight + gap + (cell.section != section ? 12 : 0);
      rowHeight = 0;
      section = cell.section;
    }
    placed << Placed{&cell, QRect(x, y, w, h)};
    x += w + gap;
    rowHeight = std::max(rowHeight, h);
  }
  QImage sheet(sheetWidth, y + rowHeight + margin, QImage::Format_RGB32);
  sheet.fill(kSheetBackground);
  QPainter p(&sheet);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QFont heading("DejaVu Sans");
  heading.setPixelSize(18);
  heading.setBold(true);
  p.setFont(heading);
  p.setPen(QColor(0x2B, 0x36, 0x42));
  p.drawText(QPoint(margin, margin + 18), QString("Kestyl desktop artwork: %1 pictures (icons at 16, 32, 48 px and 16 px enlarged 4x)").arg(rows.size()));
  for (const Placed& pl : placed) {
    p.fillRect(pl.rect, Qt::white);
    p.setPen(QColor(0xD5, 0xD9, 0xDE));
    p.drawRect(QRectF(pl.rect).adjusted(0.5, 0.5, -0.5, -0.5));
    int ix = pl.rect.left() + 4;
    for (const QImage& image : pl.cell->images) {
      QRect area(ix, pl.rect.top() + 4, image.width(), image.height());
      DrawBackdrop(p, area, MeantForBand(image));
      p.drawImage(area.topLeft(), image);
      ix += image.width() + 6;
    }
    int ly = pl.rect.bottom() - labelHeight + 12;
    p.setPen(QColor(0x22, 0x2A, 0x33));
    p.setFont(titleFont);
    p.drawText(QPoint(pl.rect.left() + 4, ly), pl.cell->title);
    p.setPen(QColor(0x5E, 0x6A, 0x76));
    p.setFont(roleFont);
    p.drawText(QPoint(pl.rect.left() + 4, ly + 13), roleMetrics.elidedText(pl.cell->role, Qt::ElideRight, pl.rect.width() - 8));
  }
  p.end();
  if (!sheet.save(outPng, "PNG")) {
    error = "cannot write " + outPng;
    return false;
  }
  return true;
}

}  // namespace ks::art
