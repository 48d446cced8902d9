#include "agent/handlers/shares/shares.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

#include "agent/log/log.h"
#include "agent/util/codes.h"
#include "agent/util/settings/settings.h"
#include "agent/util/util.h"
#include "platform/install_root.h"

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

bool HasControlCharacter(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
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

int GetSubFileInfo(const std::string& folder, std::vector<SubFileInfo>& out) {
  std::vector<std::string> dirs, files;
  int rc = GetSubDirList(folder, dirs);
  if (GetFileList(folder, files, false) != 0) rc = -1;
  std::string base = folder;
  if (base.empty() || base.back() != '/') base += '/';
  for (const std::string& name : dirs) {
    if (HasControlCharacter(name)) continue;
    SubFileInfo e;
    e.type = 0;
    e.time = GetCurTimeStr();
    e.name = name;
    struct stat st {};
    if (::stat((base + name).c_str(), &st) == 0) e.time = TimeToStr(st.st_mtime);
    out.push_back(std::move(e));
  }
  for (const std::string& name : files) {
    if (HasControlCharacter(name)) continue;
    SubFileInfo e;
    e.type = 1;
    e.time = GetCurTimeStr();
    e.name = name;
    struct stat st {};
    if (::stat((base + name).c_str(), &st) == 0) {
      e.size = static_cast<int64_t>(st.st_size);
      e.time = TimeToStr(st.st_mtime);
    }
    out.push_back(std::move(e));
  }
  return rc;
}

int CreateDirPath(const std::string& path) {
  if (CheckPathExist(path) == 0) return 0;
  std::vector<std::string> elements;
  SplitString(path, elements, "/");
  if (elements.size() < 2) return -1;
  // The first element is the root ("" for an absolute path), never created.
  std::string prefix = elements[0] + "/";
  for (size_t i = 1; i < elements.size(); ++i) {
    if (elements[i].empty()) continue;  // repeated or trailing separator
    prefix += elements[i] + "/";
    if (CheckPathExist(prefix) == 0) continue;
    // EEXIST is success only when a folder appeared meanwhile, not when a file is in the way.
    if (::mkdir(prefix.c_str(), 0755) != 0 && (errno != EEXIST || CheckPathExist(prefix) != 0)) return -1;
  }
  return 0;
}

int DeleteRenameFiles(const std::string& folder) {
  if (folder.empty() || CheckPathExist(folder) != 0) return 0;
  if (folder.find('/') == std::string::npos) return 0;
  std::string base = folder;
  if (base.back() != '/') base += '/';
  std::vector<std::string> files;
  GetFileList(base, files, true);
  for (const std::string& name : files) {
    if (name.find("kestyl.rename") == std::string::npos) continue;
    if (DeleteFileIfExist(base + name) != 0)
      KS_LOG_WARNING("CommLib", "delete left-over upload file %s%s failed.", base.c_str(), name.c_str());
  }
  return 0;
}

void ClearDefaultDirTmp() {
  DefShareInfo d;
  ParseDefaultDir(d);
  for (const std::string* f : {&d.def_doc, &d.def_pic, &d.def_video, &d.def_music, &d.def_instant})
    DeleteRenameFiles(*f);
}

int GetModuleDir(std::string& out) {
  out = ks::platform::ProgramDir();
  return out.empty() ? 1 : 0;
}

int GetRootPath(std::string& out) {
  out = ks::platform::InstallRoot();
  return out.empty() ? -1 : 0;
}

std::string LangEncodeForLangId(uint16_t langId) {
  if ((langId & 0x3FF) != 0x04) return "en";
  if (langId >= 0x0800 && langId <= 0x0BFF) return "gb2312";
  if (langId >= 0x0400 && langId <= 0x07FF) return "big5";
  return "en";
}

std::string GetDefLangEncode() {
  std::string e = ks::settings::TextEncodingOverride();
  if (e == "gb2312" || e == "big5" || e == "en") return e;
  return "en";  // file names on Linux are UTF-8: nothing to convert
}
