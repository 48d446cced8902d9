#include "desktop/app/pages/page_tables.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "desktop/foundation/util/ks_util.h"

namespace ks::pages {

namespace fs = std::filesystem;

void AddUniqueString(std::vector<std::string>& list, const std::string& text) {
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

void RemoveString(std::vector<std::string>& list, const std::string& text) {
  auto it = std::find(list.begin(), list.end(), text);
  if (it != list.end()) list.erase(it);
}

ShareLists FoldShareChanges(const std::vector<ShareChange>& changes) {
  ShareLists lists;
  for (const ShareChange& change : changes) {
    if (change.op == ShareChange::kAdded) {
      AddUniqueString(lists.add, change.path);
      RemoveString(lists.remove, change.path);
    } else if (change.op == ShareChange::kRemoved) {
      AddUniqueString(lists.remove, change.path);
      RemoveString(lists.add, change.path);
    }
  }
  return lists;
}

std::vector<ShareUndoStep> UndoShareChanges(const std::vector<ShareChange>& changes) {
  std::vector<ShareUndoStep> steps;
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    if (it->op == ShareChange::kAdded) {
      steps.push_back({false, it->path});
    } else if (it->op == ShareChange::kRemoved) {
      steps.push_back({true, it->path});
    }
  }
  return steps;
}

std::vector<ShareChange> DeleteSelectedRows(const std::vector<ShareRow>& rows,
                                            const std::string& protectedPath) {
  std::vector<ShareChange> changes;
  for (int i = static_cast<int>(rows.size()) - 1; i >= 0; --i) {
    const ShareRow& row = rows[static_cast<size_t>(i)];
    if (!row.selected || row.path == protectedPath) continue;
    changes.push_back({ShareChange::kRemoved, row.path, i});
  }
  return changes;
}

std::string FormatFileSize(int64_t size) {
  if (size < 1024) return "1KB";
  char text[64];
  const int64_t kilo = size / 1024;
  if (kilo < 1024) {
    std::snprintf(text, sizeof text, "%.2fKB", static_cast<double>(kilo));
    return text;
  }
  const double mega = static_cast<double>(kilo) / 1024.0;
  if (mega < 1024.0) {
    std::snprintf(text, sizeof text, "%.2fMB", mega);
  } else {
    std::snprintf(text, sizeof text, "%.2fGB", mega / 1024.0);
  }
  return text;
}

int TransferImageIndex(int operation) {
  if (operation == 2) return 2;
  if (operation == 0) return 1;
  return 0;
}

std::string TransferItemName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string CanonicalFolderText(const std::string& folder) {
  return CKSUtil::RemoveTrailingBackslash(folder);
}

namespace {

std::string JoinFolder(const std::string& base, const std::string& name) {
  return base.empty() || base.back() == '/' ? base + name : base + "/" + name;
}

}  // namespace

std::array<std::string, 5> BuildDefaultFolderPaths(const std::string& dataFolder) {
  const std::string base = CanonicalFolderText(dataFolder);
  const std::string picture = JoinFolder(base, CKSUtil::GetCategoryFolderName("PICTURE"));
  return {picture, JoinFolder(base, CKSUtil::GetCategoryFolderName("MUSIC")),
          JoinFolder(base, CKSUtil::GetCategoryFolderName("VIDEO")),
          JoinFolder(base, CKSUtil::GetCategoryFolderName("DOCUMENT")),
          JoinFolder(picture, CKSUtil::GetCategoryFolderName("INSTANT"))};
}

bool CreateCategoryFolders(const std::array<std::string, 5>& paths) {
  bool ok = true;
  for (size_t index : {2u, 3u, 1u, 0u}) {
    const std::string& path = paths[index];
    if (path.empty()) continue;
    std::error_code ec;
    if (fs::is_directory(path, ec)) continue;
    fs::create_directories(path, ec);
    if (!fs::is_directory(path, ec)) ok = false;
  }
  return ok;
}

std::string ResolvedPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return "";
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(fs::path(path), ec);
  if (ec) resolved = fs::path(path).lexically_normal();
  return CKSUtil::RemoveTrailingBackslash(resolved.string());
}

bool IsSameOrInside(const std::string& path, const std::string& folder) {
  const std::string p = ResolvedPath(path);
  const std::string f = ResolvedPath(folder);
  if (p.empty() || f.empty()) return false;
  if (f == "/") return true;
  return p == f || (p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/');
}

bool IsRootPath(const std::string& path) {
  const std::string text = CKSUtil::RemoveTrailingBackslash(path);
  return text.empty() || text == "/";
}

std::string MoveTargetFor(const std::string& pickedFolder) {
  if (pickedFolder.empty()) return "";
  const std::string base = CanonicalFolderText(pickedFolder);
  return JoinFolder(base, "Kestyl");
}

MoveCheck CheckMoveTarget(const std::string& target, const std::string& currentDataFolder) {
  if (target.empty() || target[0] != '/') return MoveCheck::kFailed;
  if (!currentDataFolder.empty()) {
    if (CanonicalFolderText(target) == CanonicalFolderText(currentDataFolder) ||
        ResolvedPath(target) == ResolvedPath(currentDataFolder)) {
      return MoveCheck::kConflict;
    }
    if (IsSameOrInside(target, currentDataFolder)) return MoveCheck::kRecurse;
  }
  if (!CKSUtil::IsAllowedFolder(target)) return MoveCheck::kFailed;
  return MoveCheck::kOk;
}

const char* MoveCheckMessageKey(MoveCheck check) {
  switch (check) {
    case MoveCheck::kOk:
      return "";
    case MoveCheck::kConflict:
      return "MSGBOX_MOVEFOLDER_CONFLICT";
    case MoveCheck::kRecurse:
      return "MSGBOX_MOVEFOLDER_RECURSE";
    case MoveCheck::kFailed:
      break;
  }
  return "MSGBOX_MOVEFOLDER_FAILED";
}

MoveOutcome InterpretMoveResult(int result) {
  switch (result) {
    case 0:
      return {true, nullptr};
    case -2:
      return {true, "MSGBOX_MOVEFOLDER_FAILED_DEL"};
    case 1:
      return {false, "MSGBOX_MOVEFOLDER_CONFLICT"};
    case -1:
      return {false, "MSGBOX_MOVEFOLDER_FAILED_COPY"};
    case 1223:
      return {false, "MSGBOX_MOVEFOLDER_CANCELED"};
    default:
      return {false, "MSGBOX_MOVEFOLDER_FAILED"};
  }
}

bool IsAcceptableSyncFolder(const std::string& syncFolder, const std::string& dataFolder) {
  if (IsRootPath(syncFolder) || IsRootPath(dataFolder)) return false;
  if (!CKSUtil::IsAllowedFolder(syncFolder)) return false;
  return IsSameOrInside(syncFolder, dataFolder);
}

}  // namespace ks::pages
