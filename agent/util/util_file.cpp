#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "agent/util/util.h"

int PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0 ? 0 : -1; }

int RenameFileIfExist(const std::string& newPath, const std::string& oldPath) {
  if (PathExists(oldPath) != 0) return -1;
  // Plain rename() would silently replace newPath.
  return ::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0 ? 0 : -1;
}
