#include "agent/handlers/thumbnail/resolve_path.h"

#include "agent/util/codes.h"

namespace ks::handlers {

int ResolveThumbnailPath(const std::string& clientPath, std::string* localPath) {
  localPath->clear();
  std::string path = clientPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty() || path[0] != '/') return 1;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return 1;
    start = end + 1;
  }
  *localPath = path;
  return KS_OK;
}

}  // namespace ks::handlers
