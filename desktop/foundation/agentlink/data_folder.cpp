#include "desktop/foundation/agentlink/data_folder.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"
#include "platform/file_attributes.h"
#include "platform/profile.h"
#include "platform/utf16.h"

namespace ks::desktop {

namespace fs = std::filesystem;

namespace {

constexpr size_t kSaltLength = 10;
constexpr size_t kHashLength = 22;

// The path with links resolved as far as it exists, "." and ".." folded.
fs::path Resolved(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  if (ec) p = fs::path(path).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return fs::path(s);
}

// `inner` is `outer` or lies below it, compared per component.
bool IsSameOrBelow(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

uint64_t TreeSize(const fs::path& root) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e2;
    if (it->is_regular_file(e2) && !it->is_symlink(e2)) total += it->file_size(e2);
  }
  return total;
}

void CopyTimes(const fs::path& from, const fs::path& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return;
  timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Copies the tree `from` into `to` (which exists), recording every entry it makes in
// `made`; never overwrites. 0, kMoveCancelled or -1.
int CopyTree(const fs::path& from, const fs::path& to, const CopyObserver& observer, std::vector<fs::path>* made) {
  std::error_code ec;
  fs::directory_iterator it(from, ec);
  if (ec) return -1;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return -1;
    const fs::path source = it->path();
    const fs::path target = to / source.filename();
    if (observer) {
      int verdict = observer(target.string());
      if (verdict == kMoveCancelled) return kMoveCancelled;
      if (verdict != 0) return -1;
    }
    fs::file_status st = fs::symlink_status(source, ec);
    if (ec) return -1;
    if (fs::is_symlink(st)) {
      fs::path link = fs::read_symlink(source, ec);
      if (ec) return -1;
      fs::create_symlink(link, target, ec);
      if (ec) return -1;
      made->push_back(target);
    } else if (fs::is_directory(st)) {
      bool created = fs::create_directory(target, ec);
      if (ec) return -1;
      if (created) {
        made->push_back(target);
        fs::permissions(target, fs::status(source).permissions(), ec);
      } else if (!fs::is_directory(fs::symlink_status(target, ec))) {
        return -1;
      }
      int r = CopyTree(source, target, observer, made);
      if (r != 0) return r;
      if (created) CopyTimes(source, target);
    } else if (fs::is_regular_file(st)) {
      if (!fs::copy_file(source, target, fs::copy_options::none, ec) || ec) {
        // copy_file may leave a partial file it created; a clash leaves the other file alone.
        if (ec != std::errc::file_exists) {
          std::error_code e2;
          if (fs::exists(fs::symlink_status(target, e2))) made->push_back(target);
        }
        return -1;
      }
      made->push_back(target);
      CopyTimes(source, target);
    } else {
      return -1;  // devices, pipes and sockets are not data
    }
  }
  return ec ? -1 : 0;
}

void RemoveMade(const std::vector<fs::path>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    std::error_code ec;
    fs::remove(*it, ec);
  }
}

std::string UserHome() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

// Trash of the folder's volume: the home trash when it lies on the same device, else
// <top of the volume>/.Trash-<uid>.
fs::path TrashFor(const fs::path& folder) {
  std::string dataHome;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') dataHome = x;
  else dataHome = UserHome() + "/.local/share";
  fs::path home = fs::path(dataHome) / "Trash";
  struct stat a, b;
  fs::path parent = folder.parent_path();
  if (::stat(parent.c_str(), &a) != 0) return {};
  std::error_code ec;
  fs::create_directories(home / "files", ec);
  fs::create_directories(home / "info", ec);
  if (::stat(home.c_str(), &b) == 0 && a.st_dev == b.st_dev) return home;
  fs::path top = parent;
  while (top.has_parent_path() && top != top.root_path()) {
    struct stat up;
    if (::stat(top.parent_path().c_str(), &up) != 0 || up.st_dev != a.st_dev) break;
    top = top.parent_path();
  }
  return top / (".Trash-" + std::to_string(::getuid()));
}

std::string TrashInfoPath(const fs::path& path) {
  // The Path key is URL-escaped except for "/" and the unreserved characters.
  std::string out;
  for (unsigned char c : path.string()) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

std::string StripCryptSalt(const std::string& text) {
  if (text.find(kCryptSalt) == std::string::npos) return text;
  return text.size() > kSaltLength ? text.substr(kSaltLength) : std::string();
}

int CryptPassword(const std::string& libraryPath, const std::string& password, std::string* hash) {
  // Loaded once per path and kept, as the library stays loaded once loaded.
  static std::mutex mutex;
  static std::string loadedPath;
  static void* handle = nullptr;
  using CryptFn = char* (*)(const char*, const char*);
  CryptFn fn = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (handle == nullptr || loadedPath != libraryPath) {
      if (libraryPath.empty() || libraryPath[0] != '/') return -1;
      void* h = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (h == nullptr) return -1;
      handle = h;
      loadedPath = libraryPath;
    }
    fn = reinterpret_cast<CryptFn>(::dlsym(handle, "crypt"));
  }
  if (fn == nullptr) return -1;
  const char* out = fn(password.c_str(), kCryptSalt);
  if (out == nullptr) return -1;
  std::string text(out, ::strnlen(out, 64));
  if (text.size() != kSaltLength + kHashLength || text.compare(0, kSaltLength, kCryptSalt) != 0) return -1;
  *hash = StripCryptSalt(text);
  return 0;
}

std::vector<std::string> FillDefShareFolders(const std::string& root) {
  std::string base = root;
  if (base.empty() || base.back() != '/') base += '/';
  const std::string picture = base + CKSUtil::GetCategoryFolderName("PICTURE");
  return {root,
          picture,
          base + CKSUtil::GetCategoryFolderName("MUSIC"),
          base + CKSUtil::GetCategoryFolderName("VIDEO"),
          base + CKSUtil::GetCategoryFolderName("DOCUMENT"),
          picture + "/" + CKSUtil::GetCategoryFolderName("INSTANT")};
}

void CreateFolderIfMissing(const std::vector<std::string>& folders) {
  // video, document, music, picture, instant
  for (size_t index : {3u, 4u, 2u, 1u, 5u}) {
    if (index >= folders.size() || folders[index].empty()) continue;
    std::error_code ec;
    fs::create_directories(folders[index], ec);
  }
}

std::string DefaultDataFolder() {
  std::string home = UserHome();
  if (home.back() != '/') home += '/';
  return home + kDataFolderName;
}

int PrepareDataFolderMove(const std::string& current, const std::string& newRoot, const CopyObserver& observer,
                          bool* copied) {
  *copied = false;
  if (newRoot.empty() || newRoot[0] != '/' || !CKSUtil::IsAllowedFolder(newRoot)) return -1;
  const fs::path target = Resolved(newRoot);
  const fs::path source = Resolved(current);
  if (target == source || IsSameOrBelow(target.parent_path(), source)) return 1;
  if (IsSameOrBelow(source, target)) return -1;  // the new folder would hold the old one

  std::error_code ec;
  if (!CKSUtil::FolderExists(current.c_str())) {
    fs::create_directories(target, ec);
    return CKSUtil::FolderExists(target.c_str()) ? 0 : -1;
  }
  const bool existed = fs::exists(fs::symlink_status(target, ec));
  fs::path firstMade;  // the topmost folder this call creates, removed on failure
  for (fs::path p = target; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    if (fs::exists(fs::symlink_status(p, ec))) break;
    firstMade = p;
  }
  fs::create_directories(target, ec);
  if (ec || !fs::is_directory(target, ec)) return -1;
  auto undoFolders = [&] {
    if (!firstMade.empty()) {
      std::error_code e;
      fs::remove_all(firstMade, e);
    }
  };
  struct statvfs vfs;
  if (::statvfs(target.c_str(), &vfs) != 0 ||
      static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < TreeSize(source)) {
    undoFolders();
    return -1;
  }
  std::vector<fs::path> made;
  int r = CopyTree(source, target, observer, &made);
  if (r != 0) {
    RemoveMade(made);
    if (!existed) undoFolders();
    return r;
  }
  CopyTimes(source, target);
  *copied = true;
  return 0;
}

int TrashFolder(const std::string& folder) {
  const fs::path path = Resolved(folder);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return 0;
  fs::path trash = TrashFor(path);
  if (trash.empty()) return -2;
  fs::create_directories(trash / "files", ec);
  fs::create_directories(trash / "info", ec);
  ::chmod(trash.c_str(), 0700);
  const std::string base = path.filename().string();
  for (int n = 1; n < 10000; ++n) {
    std::string name = n == 1 ? base : base + "." + std::to_string(n);
    fs::path info = trash / "info" / (name + ".trashinfo");
    int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -2;
    }
    char when[32];
    time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
    std::string text = "[Trash Info]\nPath=" + TrashInfoPath(path) + "\nDeletionDate=" + when + "\n";
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    fs::path dest = trash / "files" / name;
    if (written && !fs::exists(fs::symlink_status(dest, ec)) && ::rename(path.c_str(), dest.c_str()) == 0)
      return 0;
    ::unlink(info.c_str());
    if (written && fs::exists(fs::symlink_status(dest, ec))) continue;
    return -2;
  }
  return -2;
}

bool WriteDesktopIni(const std::string& folder, const std::string& programPath, const std::string& displayName) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += "desktop.ini";
  // A UTF-16LE file: the writes below keep the encoding the file starts with.
  std::string existing;
  {
    std::ifstream in(path, std::ios::binary);
    char mark[2] = {0, 0};
    if (in.read(mark, 2)) existing.assign(mark, 2);
  }
  if (existing != "\xFF\xFE") {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write("\xFF\xFE", 2);
    if (!out) return false;
  }
  const std::u16string file = platform::Utf8ToUtf16(path);
  const std::u16string section = u".ShellClassInfo";
  auto put = [&](const char16_t* key, const std::string& value) {
    return platform::WritePrivateProfileStringW(section.c_str(), key, platform::Utf8ToUtf16(value).c_str(),
                                                file.c_str()) == 1;
  };
  bool ok;
  if (platform::IsVistaOrLater()) {
    ok = put(u"IconResource", programPath + ",0") && put(u"LocalizedResourceName", displayName);
  } else {
    ok = put(u"InfoTip", displayName) && put(u"IconFile", programPath) && put(u"IconIndex", "0");
  }
  constexpr uint32_t kArchive = 0x20;
  platform::ChangeFileAttributes(path, platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM | kArchive,
                                 0);
  platform::ChangeFileAttributes(folder, platform::FILE_ATTRIBUTE_SYSTEM, 0);
  return ok;
}

std::vector<std::string> UserGuideNames() {
  // English, simplified Chinese, traditional Chinese (by language index 1, 0, 2).
  return {"Instructions for Kestyl.pdf", "Kestyl\xE4\xBD\xBF\xE7\x94\xA8\xE8\xAF\xB4\xE6\x98\x8E.pdf",
          "Kestyl\xE4\xBD\xBF\xE7\x94\xA8\xE8\xAA\xAA\xE6\x98\x8E.pdf"};
}

void CopyUserGuide(const std::string& programDir, const std::string& folder) {
  std::string target = folder;
  if (target.empty() || target.back() != '/') target += '/';
  const std::vector<std::string> names = UserGuideNames();
  for (const std::string& name : names) ::unlink((target + name).c_str());
  int index = CLanguages::IndexForLanguageId(CLanguages::SystemLanguageId());
  const std::string& chosen = index == 0 ? names[1] : index == 2 ? names[2] : names[0];
  std::error_code ec;
  fs::copy_file(fs::path(programDir) / chosen, target + chosen, fs::copy_options::none, ec);
}

}  // namespace ks::desktop
