// Folders of the shares as the agent reads and writes them: listings for clients, creating
// a folder path, and removing left-over upload files. Paths are local ones that already
// passed the share policy (share_policy.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of a folder listing. type 0 sub-folder, 1 file; size in bytes (0 for a
// folder); time "%Y-%m-%d %H:%M:%S" (local time of the last change); the bare name.
struct SubFileInfo {
  int type = 0;
  int64_t size = 0;
  std::string time;
  std::string name;
};

// Appends the visible sub-folders, then the visible regular files of the folder. Names
// with control characters are left out (clients cannot show them). 0, or -1 when the
// folder cannot be read.
int GetSubFileInfo(const std::string& folder, std::vector<SubFileInfo>& out);

// 0 when the folder exists or was created with every missing parent; -1 when the path
// has fewer than two elements; otherwise the failing mkdir's result (-1).
int CreateDirPath(const std::string& path);

// Start-up clean-up of upload left-overs (names containing "kestyl.rename"), in every share
// root (ks_share folders and the default folders, not below them): in def_doc, def_pic,
// def_video, def_music and def_instant all of them; in the others (def and the ks_share
// folders) those that cannot resume: a temporary file without its journal ("<temporary
// name>tmp"), a journal without its temporary file. A pair of both stays there for the
// client's resume.
void ClearDefaultDirTmp();
// The same for one folder: every left-over, or with keepResumable only those that cannot
// resume.
int DeleteRenameFiles(const std::string& folder, bool keepResumable = false);
