#include "desktop/foundation/ui/fonts.h"

#include "desktop/foundation/ui/dialog_units.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QStringList>

#include <cmath>
#include <mutex>

namespace ks::ui {
namespace {

// DejaVu Sans Condensed comes first: its letters are about as wide as Arial's, for which the
// dialogs were laid out (plain DejaVu Sans is a tenth wider and clips tight captions).
const QStringList kLatinFaces = {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                                 QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans")};
const QStringList kCjkFaces = {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")};

QFont FromLogFont(const QString& face, int lfHeight, int weight, bool underline) {
  InstallFontSubstitutions();
  QFont font(face);
  // The face, its stand-ins, then a CJK face for the characters the others lack. Qt tries
  // every listed family before any family's substitutes, so the stand-ins must be listed
  // here: after the CJK face they were never reached and "Arial" text came out in the CJK
  // face's Latin letters, which also kept megabytes of that large font file in memory.
  QStringList families{face};
  families += QFont::substitutes(face);
  if (!families.contains(kCjkFaces.front())) families += kCjkFaces.front();
  font.setFamilies(families);
  font.setStyleHint(QFont::SansSerif);
  font.setUnderline(underline);
  int w = weight == 0 ? 400 : weight;
  if (w < 1) w = 1;
  if (w > 1000) w = 1000;
  font.setWeight(static_cast<QFont::Weight>(w));
  if (lfHeight < 0) {
    font.setPixelSize(-lfHeight);
  } else if (lfHeight > 0) {
    // Cell height: find the pixel size whose ascent + descent is not above lfHeight.
    int px = lfHeight;
    for (; px > 1; --px) {
      font.setPixelSize(px);
      if (std::ceil(QFontMetricsF(font).ascent() + QFontMetricsF(font).descent()) <= lfHeight) break;
    }
    font.setPixelSize(px);
  } else {
    font.setPixelSize(12);
  }
  return font;
}

}  // namespace

void InstallFontSubstitutions() {
  static std::once_flag once;
  std::call_once(once, [] {
    const QStringList latin = kLatinFaces + kCjkFaces;
    const QStringList cjk = kCjkFaces + kLatinFaces;
    for (const char* face : {"Arial", "MS Shell Dlg", "MS Shell Dlg 2", "Tahoma", "Verdana", "Segoe UI"})
      QFont::insertSubstitutions(QString::fromLatin1(face), latin);
    for (const char* face : {"Microsoft YaHei", "Microsoft JhengHei", "SimSun", "NSimSun", "PMingLiU", "MingLiU",
                             "SimHei"})
      QFont::insertSubstitutions(QString::fromLatin1(face), cjk);
    QFont::insertSubstitutions(QString::fromUtf8("微软雅黑"), cjk);
    QFont::insertSubstitutions(QString::fromUtf8("微軟正黑體"), cjk);
    QFont::insertSubstitutions(QString::fromUtf8("宋体"), cjk);
    QFont::insertSubstitutions(QString::fromUtf8("新細明體"), cjk);
  });
}

int LogFontHeight(const FontRecord& record, int dpiY) { return -MulDiv(record.height, dpiY, 72); }

QFont FontFromRecord(const FontRecord& record, bool underline, int dpiY) {
  return FromLogFont(record.name.isEmpty() ? QStringLiteral("Arial") : record.name, LogFontHeight(record, dpiY),
                     record.weight, underline);
}

QFont DefaultArialFont() { return FromLogFont(QStringLiteral("Arial"), -12, 400, false); }

QFont CreateLanguageFont(const std::string& section, bool underline) {
  auto source = GetLanguageSource();
  if (source) {
    if (auto record = source->Font(section)) return FontFromRecord(*record, underline);
  }
  QFont f = DefaultArialFont();
  f.setUnderline(underline);
  return f;
}

}  // namespace ks::ui
