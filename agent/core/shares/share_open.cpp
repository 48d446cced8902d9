// Opening what a client names, element by element beneath its share root (share_open.h).
#include "agent/core/shares/share_open.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "agent/core/shares/share_policy.h"

namespace ks::shares {
namespace {

constexpr int kMaxLinks = 40;

std::string RealLocation(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::string();
  return buf;
}

bool Below(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// The part of `path` below `root` (both normalised), without a leading "/".
std::string Rest(const std::string& path, const std::string& root) {
  if (path.size() <= root.size()) return std::string();
  return path.substr(root == "/" ? 1 : root.size() + 1);
}

void Split(const std::string& text, std::deque<std::string>* out, bool front) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    if (slash > start) parts.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  if (front) {
    out->insert(out->begin(), parts.begin(), parts.end());
  } else {
    out->insert(out->end(), parts.begin(), parts.end());
  }
}

// The folders walked so far, the root first; closes them when done (the root only when
// the stack owns it).
class FolderStack {
 public:
  FolderStack(int root, bool ownsRoot) : ownsRoot_(ownsRoot) { fds_.push_back(root); }
  ~FolderStack() {
    for (size_t i = ownsRoot_ ? 0 : 1; i < fds_.size(); ++i) ::close(fds_[i]);
  }
  int Current() const { return fds_.back(); }
  void Push(int fd) { fds_.push_back(fd); }
  bool Pop() {  // false at the root
    if (fds_.size() == 1) return false;
    ::close(fds_.back());
    fds_.pop_back();
    return true;
  }
  void BackToRoot() {
    while (Pop()) {
    }
  }

 private:
  bool ownsRoot_;
  std::vector<int> fds_;
};

// The target of the link `name` in folder `dir`; false when it cannot be read.
bool ReadLink(int dir, const std::string& name, std::string* target) {
  char buf[PATH_MAX];
  ssize_t n = ::readlinkat(dir, name.c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
  target->assign(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace

namespace {

// OpenBeneath from the root's descriptor held by the caller (heldRoot >= 0), else from the
// root opened by name.
int WalkBeneath(const std::string& root, int heldRoot, const std::string& rootReal, const std::string& relative,
                int flags, int* fd) {
  int rootFd = heldRoot >= 0 ? heldRoot : ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return errno;
  FolderStack folders(rootFd, heldRoot < 0);
  std::deque<std::string> todo;
  Split(relative, &todo, false);
  int links = 0;
  // A link read: its target is walked in place of the link.
  auto follow = [&](const std::string& target) {
    if (++links > kMaxLinks) return ELOOP;
    if (!target.empty() && target[0] == '/') {
      std::string norm;
      if (!NormalizeSharePath(target, norm) || !Below(norm, rootReal)) return EXDEV;
      folders.BackToRoot();
      Split(Rest(norm, rootReal), &todo, true);
    } else {
      Split(target, &todo, true);
    }
    return 0;
  };
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!folders.Pop()) return EXDEV;  // above the root
      continue;
    }
    if (!todo.empty()) {
      int next = ::openat(folders.Current(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) return errno;
      struct stat st {};
      if (::fstat(next, &st) != 0) {
        int e = errno;
        ::close(next);
        return e;
      }
      if (S_ISLNK(st.st_mode)) {
        ::close(next);
        std::string target;
        if (!ReadLink(folders.Current(), name, &target)) return ENOENT;
        if (int e = follow(target)) return e;
        continue;
      }
      if (!S_ISDIR(st.st_mode)) {
        ::close(next);
        return ENOTDIR;
      }
      folders.Push(next);
      continue;
    }
    // The last element: the object itself, never through a link.
    int got = ::openat(folders.Current(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (got >= 0) {
      *fd = got;
      return 0;
    }
    int e = errno;
    struct stat st {};
    if ((e == ELOOP || e == ENOTDIR) && ::fstatat(folders.Current(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      std::string target;
      if (!ReadLink(folders.Current(), name, &target)) return ENOENT;
      if (int f = follow(target)) return f;
      continue;
    }
    return e;
  }
  // Nothing left to walk: the folder reached is the object.
  int got = ::openat(folders.Current(), ".", flags | O_CLOEXEC);
  if (got < 0) return errno;
  *fd = got;
  return 0;
}

}  // namespace

int OpenBeneath(const std::string& root, const std::string& rootReal, const std::string& relative, int flags,
                int* fd) {
  return WalkBeneath(root, -1, rootReal, relative, flags, fd);
}

void HoldRoots(std::vector<ResolvedRoot>* roots) {
  for (ResolvedRoot& root : *roots)
    if (root.fd < 0) root.fd = ::open(root.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void CloseHeldRoots(std::vector<ResolvedRoot>* roots) {
  for (ResolvedRoot& root : *roots) {
    if (root.fd >= 0) ::close(root.fd);
    root.fd = -1;
  }
}

std::vector<ResolvedRoot> ResolveRoots(const std::vector<std::string>& roots) {
  std::vector<ResolvedRoot> out;
  for (const std::string& root : roots) {
    std::string rootNorm;
    if (root.empty() || !NormalizeSharePath(root, rootNorm) || rootNorm.empty()) continue;
    std::string rootReal = RealLocation(rootNorm);
    if (rootReal.empty()) continue;
    out.push_back({std::move(rootNorm), std::move(rootReal), -1});
  }
  return out;
}

namespace {

// The root `norm` lies under, the longest by the root's own text or its real location, with
// the part of `norm` below it; null when there is none.
const ResolvedRoot* FindRoot(const std::string& norm, const std::vector<ResolvedRoot>& roots, std::string* rest) {
  const ResolvedRoot* best = nullptr;
  const std::string* bestBase = nullptr;
  for (const ResolvedRoot& root : roots) {
    for (const std::string* base : {&root.path, &root.real}) {
      if (Below(norm, *base) && (!best || base->size() > bestBase->size())) {
        best = &root;
        bestBase = base;
      }
    }
  }
  if (best && rest) *rest = Rest(norm, *bestBase);
  return best;
}

}  // namespace

bool UnderResolvedRoots(const std::string& path, const std::vector<ResolvedRoot>& roots) {
  std::string norm;
  return NormalizeSharePath(path, norm) && !norm.empty() && norm[0] == '/' && FindRoot(norm, roots, nullptr);
}

int OpenInResolvedRoots(const std::string& path, const std::vector<ResolvedRoot>& roots, int flags, int* fd) {
  std::string norm, rest;
  if (!NormalizeSharePath(path, norm) || norm.empty() || norm[0] != '/') return EXDEV;
  const ResolvedRoot* root = FindRoot(norm, roots, &rest);
  if (!root) return EXDEV;
  // A root that lies inside another share is reached through that share, never by its name:
  // whoever can write in the outer share could swap the inner root's folder for a link to
  // anywhere, and opening it by name would follow it. The walk starts at the outermost share
  // that holds it, by text or by real location.
  const ResolvedRoot* outer = nullptr;
  std::string prefix;
  for (const ResolvedRoot& other : roots) {
    if (other.path == root->path) continue;
    const size_t size = outer ? outer->path.size() : std::string::npos;
    if (Below(root->path, other.path) && other.path.size() < size) {
      outer = &other;
      prefix = Rest(root->path, other.path);
    } else if (Below(root->real, other.real) && other.real != root->real && other.path.size() < size) {
      outer = &other;
      prefix = Rest(root->real, other.real);
    }
  }
  if (outer) {
    if (!prefix.empty() && !rest.empty()) prefix += '/';
    return WalkBeneath(outer->path, outer->fd, outer->real, prefix + rest, flags, fd);
  }
  return WalkBeneath(root->path, root->fd, root->real, rest, flags, fd);
}

int OpenInShareRoots(const std::string& path, const std::vector<std::string>& roots, int flags, int* fd) {
  return OpenInResolvedRoots(path, ResolveRoots(roots), flags, fd);
}

int OpenInShare(const std::string& path, int flags, int* fd) {
  std::vector<std::string> roots;
  GetShareRoots(roots);
  return OpenInShareRoots(path, roots, flags, fd);
}

int OpenFolderInShareRoots(const std::string& path, const std::vector<std::string>& roots, bool create, int* fd) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY;
  int rc = OpenInShareRoots(path, roots, kFlags, fd);
  if (rc != ENOENT || !create) return rc;
  std::string norm;
  if (!NormalizeSharePath(path, norm)) return EXDEV;
  const size_t slash = norm.find_last_of('/');
  // A missing share root is never made here (it has no folder inside a share above it).
  if (slash == std::string::npos || slash == 0 || slash + 1 == norm.size()) return rc;
  const std::string name = norm.substr(slash + 1);
  int parent = -1;
  if (int e = OpenFolderInShareRoots(norm.substr(0, slash), roots, true, &parent)) return e;
  int made = ::mkdirat(parent, name.c_str(), 0755) == 0 || errno == EEXIST ? 0 : errno;
  int got = made == 0 ? ::openat(parent, name.c_str(), kFlags | O_NOFOLLOW | O_CLOEXEC) : -1;
  int e = got < 0 && made == 0 ? errno : made;
  ::close(parent);
  if (got >= 0) {
    *fd = got;
    return 0;
  }
  // A link stands there now (made by someone else meanwhile): the walk judges where it leads.
  if (e == ELOOP || e == ENOTDIR) return OpenInShareRoots(norm, roots, kFlags, fd);
  return e;
}

int OpenFolderInShare(const std::string& path, bool create, int* fd) {
  std::vector<std::string> roots;
  GetShareRoots(roots);
  return OpenFolderInShareRoots(path, roots, create, fd);
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool IdentityOf(int fd, FileIdentity* id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  return true;
}

int OpenRegularInShare(const std::string& path, const FileIdentity* expected, int* fd, uint64_t* size) {
  int got = -1;
  if (int rc = OpenInShare(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, &got)) return rc;
  struct stat st {};
  int rc = 0;
  if (::fstat(got, &st) != 0) {
    rc = errno;
  } else if (!S_ISREG(st.st_mode)) {
    rc = EINVAL;
  } else if (expected && (expected->dev != 0 || expected->ino != 0) &&
             (st.st_dev != expected->dev || st.st_ino != expected->ino)) {
    rc = ESTALE;
  }
  if (rc != 0) {
    ::close(got);
    return rc;
  }
  *fd = got;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

}  // namespace ks::shares
