#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "agent/util/util.h"

namespace {

constexpr const char* kJournalMark = "kestyl.rename";

// lstat-based: a dangling symbolic link still names an entry.
bool EntryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

enum class EntryKind { kFile, kFolder, kSystem };

// What a listing sees: a symbolic link counts as what it points to; anything that is
// neither a regular file nor a folder (FIFO, socket, device, dangling link) is "system".
EntryKind KindOf(int dirFd, const struct dirent* e) {
  if (e->d_type == DT_REG) return EntryKind::kFile;
  if (e->d_type == DT_DIR) return EntryKind::kFolder;
  if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) return EntryKind::kSystem;
  struct stat st {};
  if (::fstatat(dirFd, e->d_name, &st, 0) != 0) return EntryKind::kSystem;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  return EntryKind::kSystem;
}

// Appends the names of `folder` that `wanted` accepts, in directory order. 0 when the
// whole folder was read.
template <typename Wanted>
int ListFolder(const std::string& folder, std::vector<std::string>& out, Wanted wanted) {
  out.clear();
  if (folder.empty()) return -1;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return -1;
  int dirFd = ::dirfd(dir);
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (!e) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (wanted(KindOf(dirFd, e), std::string(e->d_name))) out.emplace_back(e->d_name);
  }
  int err = errno;
  ::closedir(dir);
  return err == 0 ? 0 : -1;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

int PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0 ? 0 : -1; }

int RenameFileIfExist(const std::string& newPath, const std::string& oldPath) {
  if (PathExists(oldPath) != 0) return -1;
  // Plain rename() would silently replace newPath.
  return ::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0 ? 0 : -1;
}

int DeleteFileIfExist(const std::string& path) {
  if (!EntryExists(path)) return 0;
  // unlink, not remove(): a folder is not a file and stays (as on the original platform).
  return ::unlink(path.c_str()) == 0 ? 0 : -1;
}

int CopyFileByStream(const std::string& source, const std::string& target) {
  if (PathExists(source) != 0) return -1;
  // Opening the target would truncate the source itself.
  if (SameFile(source, target)) return -1;
  FILE* in = std::fopen(source.c_str(), "rbe");
  if (!in) return -1;
  FILE* out = std::fopen(target.c_str(), "wbe");
  if (!out) {
    std::fclose(in);
    return -1;
  }
  // Only a regular file is removed after a failure (never a device such as /dev/full).
  struct stat targetStat {};
  bool regularTarget = ::fstat(::fileno(out), &targetStat) == 0 && S_ISREG(targetStat.st_mode);
  char buffer[64 * 1024];
  bool ok = true;
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, in);
    if (n > 0 && std::fwrite(buffer, 1, n, out) != n) {
      ok = false;
      break;
    }
    if (n < sizeof buffer) {
      if (std::ferror(in)) ok = false;
      break;
    }
  }
  std::fclose(in);
  // The last buffered bytes reach the disk only here: a full disk shows up at the close.
  if (std::fflush(out) != 0) ok = false;
  if (std::fclose(out) != 0) ok = false;
  if (!ok) {
    // Half a copy is neither the old target nor the source.
    if (regularTarget) ::unlink(target.c_str());
    return -1;
  }
  return 0;
}

char* CutLastPathElem(char* path) {
  if (!path) return nullptr;
  size_t len = std::strlen(path);
  if (len < 2) return nullptr;
  // The last character is not looked at and the first is never cut. The result is a prefix
  // of the input, so it is cut in place whatever the length.
  for (size_t i = len - 2; i >= 1; --i) {
    if (path[i] == '\\' || path[i] == '/') {
      path[i] = '\0';
      break;
    }
  }
  return path;
}

std::string CutLastPathElem(const std::string& path) {
  std::string copy = path.substr(0, path.find('\0'));
  if (copy.size() < 2) return copy;
  CutLastPathElem(copy.data());
  return std::string(copy.c_str());
}

int CheckPathExist(const std::string& path) {
  if (path.empty()) return -1;
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 0 : -1;
}

bool IsHiddenName(const std::string& name) {
  return (!name.empty() && name[0] == '.') || name.find(kJournalMark) != std::string::npos;
}

int GetSubDirList(const std::string& folder, std::vector<std::string>& out) {
  return ListFolder(folder, out, [](EntryKind kind, const std::string& name) {
    return kind == EntryKind::kFolder && !IsHiddenName(name);
  });
}

int GetFileList(const std::string& folder, std::vector<std::string>& out, bool includeHidden) {
  return ListFolder(folder, out, [includeHidden](EntryKind kind, const std::string& name) {
    return kind == EntryKind::kFile && (includeHidden || !IsHiddenName(name));
  });
}

int GetUniqueFileName(const std::string& path, std::string& out) {
  if (!EntryExists(path)) {
    out = path;
    return 0;
  }
  // The extension comes from the last path component only: "/a.b/photo" has none.
  size_t slash = path.find_last_of('/');
  std::vector<std::string> pieces;
  SplitString(slash == std::string::npos ? path : path.substr(slash + 1), pieces, ".");
  bool hasExtension = pieces.size() > 1;
  std::string extension = hasExtension ? pieces.back() : std::string();
  for (unsigned n = 0; n < 1000000; ++n) {
    std::string candidate = path + ".(" + std::to_string(n) + ")";
    if (hasExtension) candidate += "." + extension;
    if (!EntryExists(candidate)) {
      out = candidate;
      return 0;
    }
  }
  out.clear();
  return -1;
}
