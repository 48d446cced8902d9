// The probe mode of ks-art-render: for every row, the colour the rendered picture has at
// the row's probe point, and whether that point is a safe one: fully opaque, and wholly
// inside one shape, so that it lies on no anti-aliased edge (checked on the picture drawn
// three times as large: the 3 x 3 pixels there must all have the probe's colour). A
// maintainer who changes a picture runs it to see whether
// the table still holds:
//   ks-art-render probe <table> <art dir> <roaming src dir>
// Output: one line per row, "<id> <colour found> <colour listed> ok|CHANGED|EDGE|TRANSLUCENT".
#include "desktop/resources/tool/art_render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ks::art {
namespace {

int Difference(QRgb a, QRgb b) {
  return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b)),
                   std::abs(qAlpha(a) - qAlpha(b))});
}

}  // namespace

bool CheckProbes(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc, QString& error) {
  bool allGood = true;
  for (const ArtworkRow& row : rows) {
    QImage image = RenderRow(row, artDir, roamingSrc, error, row.width);
    if (image.isNull()) return false;
    QRgb centre = image.convertToFormat(QImage::Format_ARGB32).pixel(row.probeX, row.probeY);
    int spread = 0;
    if (row.kind != "htm") {
      const int k = 3;
      QImage large = RenderRow(row, artDir, roamingSrc, error, row.width, k);
      if (large.isNull()) return false;
      large = large.convertToFormat(QImage::Format_ARGB32);
      for (int dy = 0; dy < k; ++dy)
        for (int dx = 0; dx < k; ++dx)
          spread = std::max(spread, Difference(centre, large.pixel(row.probeX * k + dx, row.probeY * k + dy)));
    }
    uint32_t found = centre & 0xFFFFFF;
    const char* verdict = qAlpha(centre) != 255                ? "TRANSLUCENT"
                          : spread > kProbeTolerance           ? "EDGE"
                          : !ProbeMatches(found, row.probeRgb) ? "CHANGED"
                                                               : "ok";
    if (std::string(verdict) != "ok") allGood = false;
    std::printf("%-14s #%06X #%06X %s\n", row.id.c_str(), found, row.probeRgb, verdict);
  }
  if (!allGood) error = "some probes do not hold (see above)";
  return allGood;
}

}  // namespace ks::art
