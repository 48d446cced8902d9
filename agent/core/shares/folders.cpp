#include "agent/core/shares/folders.h"

#include "agent/core/shares/share_policy.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <set>

#include "agent/core/shares/share_policy.h"
#include "agent/db/local_db.h"
#include "agent/log/log.h"
#include "agent/util/util.h"
#include "platform/file_attributes.h"

namespace {

bool HasControlCharacter(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

int GetSubFileInfo(const std::string& folder, std::vector<SubFileInfo>& out) {
  std::vector<std::string> dirs, files;
  int rc = GetSubDirList(folder, dirs);
  if (GetFileList(folder, files, false) != 0) rc = -1;
  std::string base = folder;
  if (base.empty() || base.back() != '/') base += '/';
  // Entries marked hidden or system (desktop.ini of the data folder) are not listed, as
  // listings on systems with such attributes never showed them.
  const std::set<std::string> marked = ks::platform::EntriesWithAttributes(
      folder, ks::platform::FILE_ATTRIBUTE_HIDDEN | ks::platform::FILE_ATTRIBUTE_SYSTEM);
  for (const std::string& name : dirs) {
    if (HasControlCharacter(name) || marked.count(name)) continue;
    SubFileInfo e;
    e.type = 0;
    e.time = GetCurTimeStr();
    e.name = name;
    struct stat st {};
    if (::stat((base + name).c_str(), &st) == 0) e.time = TimeToStr(st.st_mtime);
    out.push_back(std::move(e));
  }
  for (const std::string& name : files) {
    if (HasControlCharacter(name) || marked.count(name)) continue;
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

int DeleteRenameFiles(const std::string& folder, bool keepResumable) {
  if (folder.empty() || CheckPathExist(folder) != 0) return 0;
  if (folder.find('/') == std::string::npos) return 0;
  std::string base = folder;
  if (base.back() != '/') base += '/';
  std::vector<std::string> files;
  GetFileList(base, files, true);
  for (const std::string& name : files) {
    if (name.find("kestyl.rename") == std::string::npos) continue;
    const std::string journalSuffix = "kestyl.renametmp";
    bool isJournal = name.size() >= journalSuffix.size() &&
                     name.compare(name.size() - journalSuffix.size(), journalSuffix.size(), journalSuffix) == 0;
    // A journal with its temporary file, or a temporary file with its journal, can resume.
    const std::string partner = isJournal ? name.substr(0, name.size() - 3) : name + "tmp";
    struct stat st {};
    if (keepResumable && ::lstat((base + partner).c_str(), &st) == 0) continue;
    if (DeleteFileIfExist(base + name) != 0)
      KS_LOG_WARNING("CommLib", "delete left-over upload file %s%s failed.", base.c_str(), name.c_str());
  }
  return 0;
}

void ClearDefaultDirTmp() {
  DefShareInfo d;
  ParseDefaultDir(d);
  std::vector<std::string> categories;
  for (const std::string* f : {&d.def_doc, &d.def_pic, &d.def_video, &d.def_music, &d.def_instant}) {
    if (f->empty()) continue;
    DeleteRenameFiles(*f, false);
    categories.push_back(*f);
  }
  std::vector<std::string> roots;
  GetShareRoots(roots);
  for (const std::string& root : roots) {
    bool category = false;
    for (const std::string& c : categories) category = category || c == root;
    if (!category) DeleteRenameFiles(root, true);
  }
}
