#include "desktop/app/dialogs/share_list.h"

#include <sys/stat.h>

#include "desktop/foundation/util/ks_util.h"

namespace ks::dialogs {

namespace {

// An existing folder; a symbolic link to one counts.
bool IsFolder(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int AddFolderToList(IShareListRows& list, const std::string& path, int position) {
  if (!IsFolder(path)) return kShareMissing;
  if (FindFolderInList(list, path) >= 0) return kShareDuplicate;
  if (IsUnderSystemFolder(path)) return kShareSystemFolder;
  const int count = list.RowCount();
  if (position < 0 || position > count) position = count;
  list.InsertRow(position, GetLastPathComponent(path), path);
  return kShareAdded;
}

int RemoveFolderFromList(IShareListRows& list, const std::string& path) {
  const int row = FindFolderInList(list, path);
  if (row < 0) return -1;
  list.DeleteRow(row);
  return 1;
}

int FindFolderInList(const IShareListRows& list, const std::string& path) {
  for (int row = 0; row < list.RowCount(); ++row)
    if (list.RowPath(row) == path) return row;
  return -1;
}

bool IsUnderSystemFolder(const std::string& path) { return !CKSUtil::IsAllowedFolder(path); }

std::string GetLastPathComponent(const std::string& path) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return path;
  if (last + 1 < path.size()) return path.substr(last + 1);
  if (last == 0) return "/";
  return path.substr(0, last);
}

bool IsRootPath(const std::string& path) {
  return !path.empty() && path.find_first_not_of('/') == std::string::npos;
}

}  // namespace ks::dialogs
