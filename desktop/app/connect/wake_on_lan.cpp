#include "desktop/app/connect/wake_on_lan.h"

#include "platform/adapters.h"
#include "platform/elevation.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace ks::desktop {

namespace pf = ks::platform;

namespace {

// Owns an opened registry key for the length of a scope.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) pf::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  pf::HKEY* out() { return &key_; }
  pf::HKEY get() const { return key_; }

 private:
  pf::HKEY key_ = nullptr;
};

std::string SubKeyName(pf::HKEY parent, uint32_t index) {
  char name[256];
  uint32_t size = sizeof name - 1;  // 255 characters, as the adapters' names are
  if (pf::RegEnumKeyEx(parent, index, name, &size, nullptr, nullptr, nullptr, nullptr) != pf::ERROR_SUCCESS)
    return {};
  return std::string(name, size);
}

std::string TextValue(pf::HKEY key, const char* value) {
  char data[512];
  uint32_t type = 0;
  uint32_t size = sizeof data;
  if (pf::RegQueryValueEx(key, value, nullptr, &type, reinterpret_cast<uint8_t*>(data), &size) !=
          pf::ERROR_SUCCESS ||
      type != pf::REG_SZ || size == 0)
    return {};
  return std::string(data, strnlen(data, size));
}

}  // namespace

uint32_t WantedPnPCapabilities(int majorVersion) {
  return majorVersion > 5 ? kPnPCapabilitiesVista : kPnPCapabilitiesOld;
}

bool EnableWakeOnLan() {
  int major = 0, minor = 0;
  pf::WindowsVersion(major, minor);
  const uint32_t wanted = WantedPnPCapabilities(major);

  Key classKey;
  if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, pf::KEY_ALL_ACCESS, classKey.out()) !=
      pf::ERROR_SUCCESS)
    return false;
  uint32_t count = 0;
  if (pf::RegQueryInfoKey(classKey.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) != pf::ERROR_SUCCESS)
    return false;

  for (uint32_t i = 0; i < count; ++i) {
    const std::string name = SubKeyName(classKey.get(), i);
    if (name.empty()) continue;
    Key adapter;
    if (pf::RegOpenKeyEx(classKey.get(), name.c_str(), 0, pf::KEY_ALL_ACCESS, adapter.out()) != pf::ERROR_SUCCESS)
      continue;
    // A missing value, or one of another size, counts as 0: it is written.
    uint8_t data[4] = {};
    uint32_t size = sizeof data;
    uint32_t current = 0;
    if (pf::RegQueryValueEx(adapter.get(), kPnPCapabilitiesValue, nullptr, nullptr, data, &size) ==
            pf::ERROR_SUCCESS &&
        size == sizeof data)
      current = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    if (current == wanted) continue;
    const uint8_t bytes[4] = {static_cast<uint8_t>(wanted), static_cast<uint8_t>(wanted >> 8),
                              static_cast<uint8_t>(wanted >> 16), static_cast<uint8_t>(wanted >> 24)};
    pf::RegSetValueEx(adapter.get(), kPnPCapabilitiesValue, 0, pf::REG_DWORD, bytes, sizeof bytes);
  }
  return true;
}

int SeedAdapterClassKeys() {
  std::vector<pf::Adapter> adapters;
  if (pf::ReadAdapters(adapters) != 0) adapters.clear();
  // Interfaces without a device (bridges, tunnels, containers' links) are not adapters of
  // the machine; the made-up records of the adapters file always are.
  const std::vector<pf::Adapter> fromFile = pf::ParseAdapterFile([] {
    std::string text;
    if (FILE* f = std::fopen(pf::AdapterFilePath().c_str(), "rb")) {
      char buffer[4096];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
      std::fclose(f);
    }
    return text;
  }());
  std::vector<std::string> wanted;
  auto addName = [&wanted](const std::string& name) {
    for (const std::string& w : wanted)
      if (w == name) return;
    wanted.push_back(name);
  };
  for (const pf::Adapter& a : adapters)
    if (a.physical) addName(a.name);
  for (const pf::Adapter& a : fromFile) addName(a.name);

  // Look before writing: a start with nothing new leaves the registry file alone.
  std::set<std::string> known;
  std::set<std::string> taken;
  {
    Key classKey;
    if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, pf::KEY_READ, classKey.out()) ==
        pf::ERROR_SUCCESS) {
      for (uint32_t i = 0;; ++i) {
        const std::string name = SubKeyName(classKey.get(), i);
        if (name.empty()) break;
        taken.insert(name);
        Key adapter;
        if (pf::RegOpenKeyEx(classKey.get(), name.c_str(), 0, pf::KEY_READ, adapter.out()) == pf::ERROR_SUCCESS)
          known.insert(TextValue(adapter.get(), kNetCfgInstanceIdValue));
      }
    }
  }
  std::vector<std::string> missing;
  for (const std::string& name : wanted)
    if (!known.count(name)) missing.push_back(name);
  if (missing.empty()) return 0;

  Key classKey;
  if (pf::RegCreateKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, nullptr, 0, pf::KEY_ALL_ACCESS, nullptr,
                         classKey.out(), nullptr) != pf::ERROR_SUCCESS)
    return -1;
  int added = 0;
  unsigned next = 0;
  for (const std::string& name : missing) {
    char subKey[16];
    // Names compare without case in the registry, and "0000".."9999" are all digits.
    do std::snprintf(subKey, sizeof subKey, "%04u", next++);
    while (taken.count(subKey) && next < 10000);
    if (taken.count(subKey)) break;
    taken.insert(subKey);
    Key adapter;
    if (pf::RegCreateKeyEx(classKey.get(), subKey, 0, nullptr, 0, pf::KEY_ALL_ACCESS, nullptr, adapter.out(),
                           nullptr) != pf::ERROR_SUCCESS)
      return -1;
    if (pf::RegSetValueEx(adapter.get(), kNetCfgInstanceIdValue, 0, pf::REG_SZ,
                          reinterpret_cast<const uint8_t*>(name.c_str()),
                          static_cast<uint32_t>(name.size() + 1)) != pf::ERROR_SUCCESS)
      return -1;
    ++added;
  }
  return added;
}

}  // namespace ks::desktop
