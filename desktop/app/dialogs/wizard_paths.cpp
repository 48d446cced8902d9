#include "desktop/app/dialogs/wizard_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace ks::dialogs {

std::string DataFolderUnder(const std::string& base) {
  std::string out = base;
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out + "/" + kDataFolderName;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0')
    return found->pw_dir;
  return "/";
}

std::string DefaultDataFolder() { return DataFolderUnder(HomeFolder()); }

}  // namespace ks::dialogs
