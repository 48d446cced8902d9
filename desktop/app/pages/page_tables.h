// The window-free rules of the main window's pages: folding the share page's recorded edits
// into what the agent is told, undoing them, the transfer list's size texts and row names,
// the data folder's category paths, and the checks of a new data folder or sync folder.
//
// Paths are UTF-8 with "/" separators. "Inside" and "the same folder" are decided on the
// paths with their symbolic links resolved (as far as the path exists; the rest is taken
// lexically) and compared per component, never as text prefixes: "/d/Kestyl2" is not inside
// "/d/Kestyl", and a link that spells the current folder differently is the current folder.
// Folders that may not be chosen are CKSUtil::IsAllowedFolder's one list.
//
// Everything here is pure apart from reading the file system for link resolution; all of it
// is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ks::pages {

// ---- share edits ----

// One edit of the share page, in the order the owner made them.
struct ShareChange {
  static constexpr int kAdded = 1;
  static constexpr int kRemoved = 2;
  int op = 0;         // kAdded or kRemoved; other values are ignored everywhere
  std::string path;   // the folder as the list shows it (column 1)
  int row = -1;       // kRemoved: the row the folder had; kAdded: -1
};

// Appends `text` unless an equal element (exact comparison) is already there.
void AddUniqueString(std::vector<std::string>& list, const std::string& text);
// Removes the first element equal to `text`, if any.
void RemoveString(std::vector<std::string>& list, const std::string& text);

// What OK sends: each folder ends in the list of its last edit (added then removed: remove
// only; removed then added: add only), each at most once.
struct ShareLists {
  std::vector<std::string> add;
  std::vector<std::string> remove;
  bool empty() const { return add.empty() && remove.empty(); }
};
ShareLists FoldShareChanges(const std::vector<ShareChange>& changes);

// What Cancel does to the list, in order: the edits undone from the last to the first (an
// added folder's row removed, a removed folder added back), so the list ends as it was
// before the first edit.
struct ShareUndoStep {
  bool addBack = false;  // true: add `path` back; false: remove the row of `path`
  std::string path;
};
std::vector<ShareUndoStep> UndoShareChanges(const std::vector<ShareChange>& changes);

// One row of the share list as Delete sees it.
struct ShareRow {
  std::string path;
  bool selected = false;
};
// The edits that Delete makes: the selected rows from the last to the first, except the row
// of `protectedPath` (the data folder; exact comparison), each with its index as it was
// before any row was removed.
std::vector<ShareChange> DeleteSelectedRows(const std::vector<ShareRow>& rows,
                                            const std::string& protectedPath);

// ---- transfer list ----

// "1KB" below 1024 bytes (negative sizes and 0 included); then whole KB as "%.2fKB"
// (1536 -> "1.00KB"); then "%.2fMB" of KB / 1024; then "%.2fGB".
std::string FormatFileSize(int64_t size);
// The row picture of a transfer operation: 2 for 2, 1 for 0, 0 for any other.
int TransferImageIndex(int operation);
// The row text: the file name of `path` without its folder and its extension ("/p/a.jpg" ->
// "a", "/p/.profile" -> "", "/p/a.b.c" -> "a.b"). Both "/" and "\" separate folders.
std::string TransferItemName(const std::string& path);

// ---- data folder ----

// The one spelling of a folder in the window: no trailing "/" ("/" stays "/").
std::string CanonicalFolderText(const std::string& folder);
// The five category folders of a data folder, in the order picture, music, video, document,
// instant: <data>/<PICTURE>, <data>/<MUSIC>, <data>/<VIDEO>, <data>/<DOCUMENT>,
// <data>/<PICTURE>/<INSTANT>, names from CKSUtil::GetCategoryFolderName; never a doubled "/".
std::array<std::string, 5> BuildDefaultFolderPaths(const std::string& dataFolder);
// Creates the video, document, music and picture folders (with missing parents) that are
// missing; the instant folder is left to the agent. False when one could not be made.
bool CreateCategoryFolders(const std::array<std::string, 5>& paths);

// ---- path rules ----

// `path` with its symbolic links resolved as far as it exists, the rest normalised
// lexically; no trailing "/". "" for "" or a relative path.
std::string ResolvedPath(const std::string& path);
// `path` is `folder` or lies below it, both resolved and compared per component.
bool IsSameOrInside(const std::string& path, const std::string& folder);
// A whole file system: "/" once trailing "/" are removed (and the empty path).
bool IsRootPath(const std::string& path);

// The new data folder for a picked folder: <pick>/Kestyl ("/" gives "/Kestyl"); "" for "".
std::string MoveTargetFor(const std::string& pickedFolder);

enum class MoveCheck {
  kOk,
  kConflict,  // the target is the current data folder (also through a link)
  kRecurse,   // the target lies inside the current data folder
  kFailed,    // the target lies in a system folder (or is no absolute path)
};
MoveCheck CheckMoveTarget(const std::string& target, const std::string& currentDataFolder);
// The key of the box that reports a refused target ("" for kOk).
const char* MoveCheckMessageKey(MoveCheck check);

// The result of the agent link's move of the data folder, as the window reports it.
struct MoveOutcome {
  bool success = false;
  const char* messageKey = nullptr;  // box to show first, or null
};
// 0 moved; -2 moved but the old folder remains (FAILED_DEL box, success); 1 nothing moved
// and the agent not told (the target was the folder itself): the conflict box, no success,
// so the window never shows a folder the agent does not have; -1 copy failed; 1223
// cancelled by the owner; anything else failed.
MoveOutcome InterpretMoveResult(int result);

// A folder the sync page accepts: not a root, allowed, and the data folder is it or lies
// above it (per component after link resolution). An empty data folder accepts nothing.
bool IsAcceptableSyncFolder(const std::string& syncFolder, const std::string& dataFolder);

}  // namespace ks::pages
