// The share-folder list: the rules every list of shared folders obeys (the share page, its
// refill from the agent's share list and the first-run wizard's folder step).
//
// A list is two columns of text per row: column 0 the folder's display name
// (GetLastPathComponent of the path), column 1 the path exactly as it was given (no change
// of case, no trailing "/" removed). A row is identified by its column-1 text, compared as a
// whole, case-sensitive. The list is the whole data: these functions keep no state, show
// nothing and log nothing; they report by result only and the caller chooses the message.
// A refused path leaves the list unchanged.
//
// The list itself is reached through IShareListRows, so the rules run without a window;
// ShareListView (share_list_view.h) is the one over the skinned list control.
//
// Folders that may not be shared are those CKSUtil::IsAllowedFolder refuses: the system trees
// compared per component after the path's symbolic links are resolved (so "/home/u/usr-notes"
// may be shared and a link to "/etc" may not). "/" itself is refused there too, but callers
// that tell the user why ("the whole disk") test IsRootPath first.
//
// GUI thread of the list's owner only; no locking.
#pragma once

#include <string>

namespace ks::dialogs {

// Two columns of text per row.
class IShareListRows {
 public:
  virtual ~IShareListRows() = default;
  virtual int RowCount() const = 0;
  // Column-1 text of a row in [0, RowCount()).
  virtual std::string RowPath(int row) const = 0;
  // Inserts a row at `position` (0..RowCount()) and returns the index it got.
  virtual int InsertRow(int position, const std::string& name, const std::string& path) = 0;
  virtual void DeleteRow(int row) = 0;
};

// AddFolderToList results.
enum : int {
  kShareAdded = 1,
  kShareMissing = 0,
  kShareDuplicate = -1,
  kShareSystemFolder = -2,
};

// Adds a row for `path` at `position` (-1: after the last row). The first rule that applies
// decides: not an existing folder (or "") -> 0; already listed -> -1; under a system
// folder -> -2; else the row is added -> 1.
int AddFolderToList(IShareListRows& list, const std::string& path, int position = -1);

// Removes the first row whose path is `path`: 1, or -1 when there is none.
int RemoveFolderFromList(IShareListRows& list, const std::string& path);

// Index of the first row whose path equals `path` (whole text, case-sensitive), -1 when none.
int FindFolderInList(const IShareListRows& list, const std::string& path);

// True when `path` is one of the system trees or lies below one (see above), and for "", a
// relative path and "/".
bool IsUnderSystemFolder(const std::string& path);

// The display name of a folder path: the text behind the last "/"; when the path ends with
// "/", the text in front of that last "/" instead ("/data/Photos/" -> "/data/Photos"); "/"
// itself for "/"; a path without "/" is its own name.
std::string GetLastPathComponent(const std::string& path);

// The path names the root of the file system: non-empty and nothing but "/" characters.
bool IsRootPath(const std::string& path);

}  // namespace ks::dialogs
