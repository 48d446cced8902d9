#include "agent/handlers/thumbnail/resolve_path.h"

#include "agent/core/shares/share_policy.h"
#include "agent/util/codes.h"

namespace ks::handlers {

int ResolveThumbnailPath(const std::string& clientPath, std::string* localPath) {
  localPath->clear();
  std::string real = GetRealPath(clientPath);
  if (real.empty()) return clientPath.empty() ? 1 : KS_DEFAULT_SHARE_UNSET;
  std::string normalized;
  if (CheckShareFilePath(real, &normalized) != KS_OK) return 1;
  *localPath = normalized;
  return KS_OK;
}

}  // namespace ks::handlers
