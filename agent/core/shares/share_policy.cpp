#include "agent/core/shares/share_policy.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

#include "agent/log/log.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"

namespace {

struct VirtualName {
  const char* name;
  std::string DefShareInfo::*member;
};

// Compared in this order; the first whose text starts the path wins.
const VirtualName kVirtualNames[] = {
    {"$DEFAULT$", &DefShareInfo::def},
    {"$DEFAULT_PIC$", &DefShareInfo::def_pic},
    {"$DEFAULT_MUSIC$", &DefShareInfo::def_music},
    {"$DEFAULT_VIDEO$", &DefShareInfo::def_video},
    {"$DEFAULT_DOC$", &DefShareInfo::def_doc},
    {"$DEFAULT_INSTANT$", &DefShareInfo::def_instant},
};

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The real location of an existing path; "" when it cannot be resolved.
std::string RealLocation(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::string();
  return buf;
}

bool Below(const std::string& path, const std::string& root) {
  if (root == "/") return StartsWith(path, "/");
  return path == root || StartsWith(path, root + "/");
}

}  // namespace

std::string GetRealPath(const std::string& path, const DefShareInfo& defaults) {
  for (const VirtualName& v : kVirtualNames) {
    if (!StartsWith(path, v.name)) continue;
    const std::string& folder = defaults.*(v.member);
    if (folder.empty()) return std::string();
    std::string out;
    ReplaceAll(path, v.name, out, folder);
    return out;
  }
  return path;
}

std::string GetRealPath(const std::string& path) {
  DefShareInfo defaults;
  ParseDefaultDir(defaults);
  return GetRealPath(path, defaults);
}

bool NormalizeSharePath(const std::string& path, std::string& normalized) {
  normalized.clear();
  bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\');
  std::string element;
  std::vector<std::string> elements;
  auto flush = [&]() -> bool {
    if (element == "..") return false;
    if (!element.empty() && element != ".") elements.push_back(element);
    element.clear();
    return true;
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!flush()) return false;
    } else {
      element += c;
    }
  }
  if (!flush()) return false;
  if (absolute) normalized = "/";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i) normalized += '/';
    normalized += elements[i];
  }
  return true;
}

void GetDefShareList(std::vector<std::string>& out) {
  out.clear();
  DefShareInfo d;
  ParseDefaultDir(d);
  out = {d.def, d.def_pic, d.def_music, d.def_video, d.def_doc, d.def_instant};
}

void GetShareRoots(std::vector<std::string>& out) {
  out.clear();
  ParseShareInfo(out);
  std::vector<std::string> defaults;
  GetDefShareList(defaults);
  out.insert(out.end(), defaults.begin(), defaults.end());
}

int CheckSharePathIn(const std::string& path, const std::vector<std::string>& roots,
                     std::string* normalized) {
  std::string norm;
  if (!NormalizeSharePath(path, norm) || norm.empty()) return KS_PATH_NOT_SHARED;
  if (normalized) *normalized = norm;
  if (CheckPathExist(norm) != 0) return KS_PATH_MISSING;
  std::string real = RealLocation(norm);
  if (real.empty()) return KS_PATH_MISSING;
  for (const std::string& root : roots) {
    std::string rootNorm;
    // An unset default folder is an empty text: it must not match every path.
    if (root.empty() || !NormalizeSharePath(root, rootNorm) || rootNorm.empty()) continue;
    std::string rootReal = RealLocation(rootNorm);
    if (rootReal.empty()) continue;
    if (Below(real, rootReal)) return KS_OK;
  }
  return KS_PATH_NOT_SHARED;
}

int CheckSharePath(const std::string& path, std::string* normalized) {
  std::vector<std::string> roots;
  GetShareRoots(roots);
  return CheckSharePathIn(path, roots, normalized);
}

int CheckShareFilePath(const std::string& path, std::string* normalized) {
  std::string norm;
  if (!NormalizeSharePath(path, norm) || norm.empty() || norm == "/") return KS_PATH_NOT_SHARED;
  if (normalized) *normalized = norm;
  std::string folder = norm.substr(0, norm.find_last_of('/'));
  if (folder.empty()) folder = "/";
  std::vector<std::string> roots;
  GetShareRoots(roots);
  int rc = CheckSharePathIn(folder, roots, nullptr);
  if (rc != KS_OK) return rc;
  // The file may be a symlink that leads out of the share: judge where it really is.
  struct stat st {};
  if (::lstat(norm.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::string real = RealLocation(norm);
    if (real.empty()) return KS_OK;  // dangling: opening it fails later
    for (const std::string& root : roots) {
      std::string rootNorm;
      if (root.empty() || !NormalizeSharePath(root, rootNorm) || rootNorm.empty()) continue;
      std::string rootReal = RealLocation(rootNorm);
      if (!rootReal.empty() && Below(real, rootReal)) return KS_OK;
    }
    return KS_PATH_NOT_SHARED;
  }
  return KS_OK;
}
