// Opening web pages and the test of the folder under Computer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"
#include "platform/registry.h"

namespace {

namespace pf = ks::platform;

constexpr const char* kFolderClass = "{74362C5A-C943-4FBE-8500-8F82AD459BB7}";

}  // namespace

int CKSUtil::OpenUrl(const std::string& address, bool) {
  if (CKSConfig::GetInstance()->DebugOn() == "true") {
    const char* browser = std::getenv("KESTYL_BROWSER");
    const std::string command = std::string(browser && *browser ? browser : "xdg-open") + " " + address;
    CKSLog::GetInstance()->Write("LOG", 600, "CKSUtil::OpenUrl", __LINE__, "Open URL: %s", command.c_str());
  }
  return pf::ShellOpen(address);
}

bool IsNamespaceFolderRegistered(const std::string& path) {
  pf::HKEY key = nullptr;
  const std::string ns =
      std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\Namespace\\") + kFolderClass;
  if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, ns.c_str(), 0, pf::KEY_READ, &key) != pf::ERROR_SUCCESS) return false;
  pf::RegCloseKey(key);
  std::string target;
  const std::string bag = std::string("SOFTWARE\\Classes\\CLSID\\") + kFolderClass + "\\Instance\\InitPropertyBag";
  if (pf::RegGetString(pf::HKEY_LOCAL_MACHINE, bag, "Target", target) != pf::ERROR_SUCCESS) return false;
  return target == path;
}
