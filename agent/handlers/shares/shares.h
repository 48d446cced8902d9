// Shares and default folders: the only road from a client's path to a local one.
//
// Every request that names a path passes through here: GetRealPath turns a leading
// virtual share name ("$DEFAULT$", "$DEFAULT_PIC$", ...) into its folder, and
// CheckSharePath decides whether the result lies inside something the owner shared
// (the ks_share folders and the six default folders).
//
// Containment is strict: "\" and "/" are both separators in a client's path, any ".."
// element is refused, empty roots are skipped, and a path passes only when it is a share
// root itself or lies below one ("<root>/..."), judged on the real (symlink-resolved)
// locations, so neither a sibling folder such as "Data2" of share "Data" nor a symlink
// that leads out of a share passes. Callers go on with the normalised path that
// CheckSharePath hands back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/db/local_db.h"

// One entry of a folder listing. type 0 sub-folder, 1 file; size in bytes (0 for a
// folder); time "%Y-%m-%d %H:%M:%S" (local time of the last change); the bare name.
struct SubFileInfo {
  int type = 0;
  int64_t size = 0;
  std::string time;
  std::string name;
};

// The path with a leading virtual share name replaced by its folder (every occurrence of
// the name, as the desktop program and clients expect); "" when that folder is not set;
// the path unchanged when it names no virtual share.
std::string GetRealPath(const std::string& path);
// The same against a given set of default folders (no database read).
std::string GetRealPath(const std::string& path, const DefShareInfo& defaults);

// "\" and "/" become "/", repeated separators and "." elements go, a trailing separator
// goes (except for "/" itself). False when an element is "..".
bool NormalizeSharePath(const std::string& path, std::string& normalized);

// 0 when the path is an existing folder inside a share; 4117 when it does not exist (or
// is not a folder); 4118 when it lies in no share or has a ".." element. `normalized`
// (optional) receives the normalised path.
int CheckSharePath(const std::string& path, std::string* normalized = nullptr);
// The same against given share roots (no database read).
int CheckSharePathIn(const std::string& path, const std::vector<std::string>& roots,
                     std::string* normalized = nullptr);
// For a file: 0 when its folder passes CheckSharePath and the file itself resolves inside
// a share too (a symlinked file cannot lead out); codes as CheckSharePath, 4117 when the
// folder is missing. `normalized` receives the file's normalised path.
int CheckShareFilePath(const std::string& path, std::string* normalized = nullptr);

// The six default folders in the order def, def_pic, def_music, def_video, def_doc,
// def_instant, empty ones too.
void GetDefShareList(std::vector<std::string>& out);
// Every root CheckSharePath tests against: ks_share paths, then the default folders.
void GetShareRoots(std::vector<std::string>& out);

// Appends the visible sub-folders, then the visible regular files of the folder. Names
// with control characters are left out (clients cannot show them). 0, or -1 when the
// folder cannot be read.
int GetSubFileInfo(const std::string& folder, std::vector<SubFileInfo>& out);

// 0 when the folder exists or was created with every missing parent; -1 when the path
// has fewer than two elements; otherwise the failing mkdir's result (-1).
int CreateDirPath(const std::string& path);

// Deletes left-over upload files (names containing "kestyl.rename") in def_doc, def_pic,
// def_video, def_music and def_instant (not def itself).
void ClearDefaultDirTmp();
int DeleteRenameFiles(const std::string& folder);

// 0 and the folder of the program file; 1 when it cannot be read.
int GetModuleDir(std::string& out);
// 0 and the install root (parent of the program's folder); -1 and "" on failure.
int GetRootPath(std::string& out);

// The agent's text encoding: "gb2312", "big5" or "en". On Linux file names are UTF-8, so
// it is "en" unless KESTYL_TEXT_ENCODING overrides it.
std::string GetDefLangEncode();
// The rule by a Windows language id: 0x08xx-0x0Bxx Chinese → "gb2312", 0x04xx-0x07xx
// Chinese → "big5", anything else "en".
std::string LangEncodeForLangId(uint16_t langId);
