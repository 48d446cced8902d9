// ks-art-render: turns the SVG sources listed in artwork.tsv into the desktop program's
// pictures at build time, writes the .qrc that rcc compiles into ks_desktop_resources,
// writes the roaming folder's banner GIFs and local banner page, and draws a contact sheet
// of everything for review.
//
//   ks-art-render render <table> <art dir> <roaming src dir> <out dir> <roaming out dir>
//   ks-art-render sheet  <table> <art dir> <roaming src dir> <out png>
//   ks-art-render probe  <table> <art dir> <roaming src dir>
//   ks-art-render one    <svg> <width> <height> <out png>
//
// Any warning of Qt's SVG module (a property it cannot resolve, a node it cannot parse) is
// an error, and so is an element that it skips without a word (filters, masks, clip paths,
// patterns, markers, foreign objects), so that a source never silently renders differently
// from what its author saw in another viewer.
#include "desktop/resources/tool/art_render.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace ks::art {
namespace {

int g_svgWarnings = 0;
QtMessageHandler g_previousHandler = nullptr;

void MessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtDebugMsg && context.category && std::strncmp(context.category, "qt.svg", 6) == 0) ++g_svgWarnings;
  if (g_previousHandler) g_previousHandler(type, context, message);
}

bool WriteFile(const QString& path, const QByteArray& data, QString& error) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

QImage RenderSvg(const QString& path, int width, int height, QString& error, const QColor& backdrop) {
  int warningsBefore = g_svgWarnings;
  QFile source(path);
  if (!source.open(QIODevice::ReadOnly)) {
    error = "cannot read " + path;
    return QImage();
  }
  QByteArray text = source.readAll();
  for (const char* skipped : {"<filter", "<mask", "<clipPath", "<pattern", "<marker", "<foreignObject"}) {
    if (text.contains(skipped)) {
      error = path + ": uses " + skipped + ">, which Qt SVG does not draw";
      return QImage();
    }
  }
  QSvgRenderer renderer(text);
  if (!renderer.isValid()) {
    error = path + ": not a valid SVG";
    return QImage();
  }
  QRectF box = renderer.viewBoxF();
  if (box.width() <= 0 || box.height() <= 0 ||
      std::abs(box.width() / box.height() - double(width) / height) > 0.01) {
    error = QString("%1: viewBox %2x%3 does not have the shape of %4x%5")
                .arg(path).arg(box.width()).arg(box.height()).arg(width).arg(height);
    return QImage();
  }
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(backdrop.isValid() ? backdrop : QColor(Qt::transparent));
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    renderer.render(&painter, QRectF(0, 0, width, height));
  }
  if (g_svgWarnings != warningsBefore) {
    error = path + ": Qt SVG reported unsupported content (see the warnings above)";
    return QImage();
  }
  return image;
}

QList<int> IconSizes(const ArtworkRow& row) {
  QList<int> sizes{16, 32, 48};
  if (!sizes.contains(row.width)) sizes.append(row.width);
  return sizes;
}

QImage RenderRow(const ArtworkRow& row, const QString& artDir, const QString& roamingSrc, QString& error, int iconSize,
                 int scale) {
  QString source = artDir + "/" + QString::fromStdString(row.source);
  if (row.kind == "htm") return RenderLocalPage(row, roamingSrc, error);
  int w = row.width * scale, h = row.height * scale;
  if (row.kind == "bmp" || row.kind == "gif") return RenderSvg(source, w, h, error, Qt::white);
  if (row.kind == "ico") return RenderSvg(source, iconSize * scale, iconSize * scale, error);
  return RenderSvg(source, w, h, error);
}

bool RenderAll(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc,
               const QString& outDir, const QString& roamingOut, QString& error) {
  QString qrc = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n";
  QMap<QString, QStringList> entries;  // prefix -> <file> lines
  for (const ArtworkRow& row : rows) {
    QString id = QString::fromStdString(row.id);
    if (row.kind == "png" || row.kind == "bmp") {
      QImage image = RenderRow(row, artDir, roamingSrc, error, 0);
      if (image.isNull()) return false;
      bool png = row.kind == "png";
      QString file = QString("%1/%2.%1").arg(png ? "png" : "bmp", id);
      if (!png) image = image.convertToFormat(QImage::Format_RGB888);
      QDir().mkpath(outDir + "/" + row.kind.c_str());
      if (!image.save(outDir + "/" + file, png ? "PNG" : "BMP")) {
        error = "cannot write " + outDir + "/" + file;
        return false;
      }
      entries["/" + QString::fromStdString(row.kind)] << QString("<file alias=\"%1\">%2</file>").arg(id, file);
    } else if (row.kind == "ico") {
      for (int size : IconSizes(row)) {
        QImage image = RenderRow(row, artDir, roamingSrc, error, size);
        if (image.isNull()) return false;
        QString file = QString("ico/%1/%2.png").arg(size).arg(id);
        QDir().mkpath(outDir + "/ico/" + QString::number(size));
        if (!image.save(outDir + "/" + file, "PNG")) {
          error = "cannot write " + outDir + "/" + file;
          return false;
        }
        // :/ico/<size>/<id> for every size, and :/ico/<id> for the table's own size.
        entries["/ico"] << QString("<file alias=\"%1/%2\">%3</file>").arg(size).arg(id, file);
        if (size == row.width) entries["/ico"] << QString("<file alias=\"%1\">%2</file>").arg(id, file);
      }
    } else if (row.kind == "gif") {
      QImage image = RenderRow(row, artDir, roamingSrc, error, 0);
      if (image.isNull()) return false;
      std::vector<uint8_t> gif = EncodeGif(image);
      if (gif.empty()) {
        error = "cannot encode " + id;
        return false;
      }
      if (!WriteFile(roamingOut + "/" + id, QByteArray(reinterpret_cast<const char*>(gif.data()), static_cast<qsizetype>(gif.size())), error))
        return false;
    } else if (row.kind == "htm") {
      QFile page(roamingSrc + "/" + QString::fromStdString(row.source));
      if (!page.open(QIODevice::ReadOnly)) {
        error = "cannot read " + page.fileName();
        return false;
      }
      if (!WriteFile(roamingOut + "/" + id, page.readAll(), error)) return false;
    }
  }
  for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
    qrc += QString("<qresource prefix=\"%1\">\n").arg(it.key());
    for (const QString& line : it.value()) qrc += "  " + line + "\n";
    qrc += "</qresource>\n";
  }
  qrc += "</RCC>\n";
  return WriteFile(outDir + "/ks_desktop_resources.qrc", qrc.toUtf8(), error);
}

}  // namespace ks::art

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: ks-art-render render <table> <art dir> <roaming src dir> <out dir> <roaming out dir>\n"
               "       ks-art-render sheet <table> <art dir> <roaming src dir> <out png>\n"
               "       ks-art-render probe <table> <art dir> <roaming src dir>\n"
               "       ks-art-render one <svg> <width> <height> <out png>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir runtimeDir;  // a private runtime folder keeps Qt quiet when none is set
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir.isValid()) qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
  ks::art::g_previousHandler = qInstallMessageHandler(ks::art::MessageHandler);
  QGuiApplication app(argc, argv);
  if (argc < 2) return Usage();
  QString mode = argv[1];
  QString error;
  if (mode == "one" && argc == 6) {
    QImage image = ks::art::RenderSvg(argv[2], QString(argv[3]).toInt(), QString(argv[4]).toInt(), error);
    if (image.isNull() || !image.save(argv[5], "PNG")) {
      std::fprintf(stderr, "ks-art-render: %s\n", qPrintable(error.isEmpty() ? QString("cannot write ") + argv[5] : error));
      return 1;
    }
    return 0;
  }
  if ((mode == "render" && argc == 7) || (mode == "sheet" && argc == 6) || (mode == "probe" && argc == 5)) {
    std::vector<ks::art::ArtworkRow> rows;
    std::string tableError;
    if (!ks::art::LoadArtworkTable(argv[2], rows, tableError)) {
      std::fprintf(stderr, "ks-art-render: %s\n", tableError.c_str());
      return 1;
    }
    bool ok = mode == "render" ? ks::art::RenderAll(rows, argv[3], argv[4], argv[5], argv[6], error)
              : mode == "sheet" ? ks::art::DrawContactSheet(rows, argv[3], argv[4], argv[5], error)
                                : ks::art::CheckProbes(rows, argv[3], argv[4], error);
    if (!ok) {
      std::fprintf(stderr, "ks-art-render: %s\n", qPrintable(error));
      return 1;
    }
    return 0;
  }
  return Usage();
}
