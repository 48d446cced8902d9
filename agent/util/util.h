// Small helpers shared by the whole agent: file and folder tests, folder listings, unique
// file names, free disk space and host name. The program-neutral texts (time and number
// texts, splitting, formatting, character-set conversion) are in common/text and come
// with this header.
//
// Results are 0 for success and -1 for failure unless said otherwise. Nothing throws.
// Paths are native ("/" separated). On Linux a name beginning with "." or containing
// "kestyl.rename" counts as hidden; anything that is neither a regular file nor a folder
// (FIFO, socket, device) counts as system. Listings skip both. A symbolic link counts as
// what it points to (a link to a folder is listed as a folder, as a junction was); a
// dangling link counts as system. Callers that walk folders recursively must expect a link
// back up the tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/text/text.h"

int PathExists(const std::string& path);
// 0 when the path does not exist or was removed; a folder is not removed (-1).
int DeleteFileIfExist(const std::string& path);
// -1 when old does not exist; never replaces an existing new path (fails instead).
int RenameFileIfExist(const std::string& newPath, const std::string& oldPath);
// Whole copy, every write and the final close checked: -1 on any failure (full disk), and
// then the partial target is removed. Copying a file onto itself fails (it would empty it).
int CopyFileByStream(const std::string& source, const std::string& target);
// Cuts at the last "\\" or "/" (not the last character, never the first), in place, at any
// length; returns `path`, or null for a null path or one shorter than 2 characters (the
// string form returns such a path unchanged).
char* CutLastPathElem(char* path);
std::string CutLastPathElem(const std::string& path);
// 0 when the path names an existing folder.
int CheckPathExist(const std::string& path);
// Names of the visible sub-folders / visible (or all, with includeHidden) regular files.
int GetSubDirList(const std::string& folder, std::vector<std::string>& out);
int GetFileList(const std::string& folder, std::vector<std::string>& out, bool includeHidden);
// path, or path.(N).ext (ext from the last path component only), the first that is free:
// photo.jpg, photo.jpg.(0).jpg, photo.jpg.(1).jpg ... A dangling link counts as taken.
int GetUniqueFileName(const std::string& path, std::string& out);
// Free space in KB, 64 bits (callers with a narrower field saturate): the space an
// ordinary writer may use on the file system of the path, or of its nearest existing
// folder. Prints "disk %lluKB free." on the console.
int GetDiskFreeSpaceKB(const std::string& path, uint64_t& kb);
// 0, or errno of gethostname.
int GetHostName(std::string& out);

// True for names the listings treat as hidden (see above).
bool IsHiddenName(const std::string& name);
