// Share policy: the only road from a client's path to a local one.
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
