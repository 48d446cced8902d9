#include "desktop/foundation/ui/resources.h"

#include "desktop/resources/ks_desktop_resources.h"

#include <QFile>

#include <map>
#include <mutex>
#include <utility>

namespace ks::ui {
namespace {

std::mutex g_mutex;
std::map<std::pair<QString, unsigned>, QImage> g_cache;

void EnsureResources() {
  static std::once_flag once;
  std::call_once(once, [] { ks_init_desktop_resources(); });
}

}  // namespace

QImage LoadImageFromResource(unsigned id, const QString& type) {
  EnsureResources();
  const QString kind = type.toLower();
  if (kind != QLatin1String("png") && kind != QLatin1String("bmp") && kind != QLatin1String("ico")) return QImage();
  std::lock_guard<std::mutex> lock(g_mutex);
  auto key = std::make_pair(kind, id);
  auto it = g_cache.find(key);
  if (it != g_cache.end()) return it->second;
  QImage image(QStringLiteral(":/%1/%2").arg(kind).arg(id));
  if (!image.isNull()) image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  g_cache.emplace(key, image);
  return image;
}

QImage LoadPngResource(unsigned id) { return LoadImageFromResource(id, QStringLiteral("PNG")); }

QIcon LoadIconResource(unsigned id) {
  EnsureResources();
  QIcon icon;
  for (int size : {16, 32, 48}) {
    const QString path = QStringLiteral(":/ico/%1/%2").arg(size).arg(id);
    if (QFile::exists(path)) icon.addFile(path, QSize(size, size));
  }
  return icon;
}

}  // namespace ks::ui
