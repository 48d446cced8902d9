// Folders of the installation (see ks_util.h).
#include "desktop/foundation/util/ks_util.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex g_folderMutex;
std::string g_programFolderOverride;

std::string ExecutableFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void CKSUtil::SetProgramFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  g_programFolderOverride = folder;
  while (g_programFolderOverride.size() > 1 && g_programFolderOverride.back() == '/')
    g_programFolderOverride.pop_back();
}

std::string CKSUtil::InstallRootOf(const std::string& programFolder) {
  static const std::string kBin = "/bin";
  if (programFolder.size() > kBin.size() &&
      programFolder.compare(programFolder.size() - kBin.size(), kBin.size(), kBin) == 0)
    return programFolder.substr(0, programFolder.size() - kBin.size());
  return programFolder;
}

std::string CKSUtil::GetModuleFolder(bool programFolder) {
  std::string folder;
  {
    std::lock_guard<std::mutex> lock(g_folderMutex);
    folder = g_programFolderOverride;
  }
  if (folder.empty()) folder = ExecutableFolder();
  return programFolder ? folder : InstallRootOf(folder);
}

std::string CKSUtil::GetConfigFolder() {
  std::string root = GetModuleFolder(false);
  return (root == "/" ? "" : root) + "/conf";
}

std::string CKSUtil::GetRoamingFolder() {
  std::string folder = GetModuleFolder(true);
  return (folder == "/" ? "" : folder) + "/roaming";
}

std::string CKSUtil::GetSystemFolder() {
  const char* dir = std::getenv("KESTYL_SYSTEM_DIR");
  if (dir && *dir) return dir;
  std::string folder = GetModuleFolder(true);
  return (folder == "/" ? "" : folder) + "/system";
}
