#include "cmd/shell_folder.h"

#include <cstdint>

#include "cmd/dispatch.h"
#include "desktop/foundation/lang/languages.h"
#include "platform/registry.h"

namespace ks::cmd {

namespace reg = ks::platform;

namespace {

// Keys are created with the access of a 32-bit process on a 32-bit system; the registry
// here has one view, so the flag only documents the request.
constexpr uint32_t kAccess = reg::KEY_ALL_ACCESS | reg::KEY_WOW64_32KEY;

class Writer {
 public:
  reg::HKEY Create(reg::HKEY root, const std::string& path) {
    reg::HKEY key = nullptr;
    if (reg::RegCreateKeyEx(root, path.c_str(), 0, nullptr, reg::REG_OPTION_NON_VOLATILE, kAccess, nullptr, &key,
                            nullptr) != reg::ERROR_SUCCESS) {
      ok_ = false;
      return nullptr;
    }
    return key;
  }
  void Text(reg::HKEY key, const char* name, const std::string& value) {
    if (!key) return;
    if (reg::RegSetValueEx(key, name, 0, reg::REG_SZ, reinterpret_cast<const uint8_t*>(value.c_str()),
                           static_cast<uint32_t>(value.size() + 1)) != reg::ERROR_SUCCESS)
      ok_ = false;
  }
  void Dword(reg::HKEY key, const char* name, uint32_t value) {
    if (!key) return;
    uint8_t data[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                       static_cast<uint8_t>(value >> 24)};
    if (reg::RegSetValueEx(key, name, 0, reg::REG_DWORD, data, 4) != reg::ERROR_SUCCESS) ok_ = false;
  }
  static void Close(reg::HKEY key) {
    if (key) reg::RegCloseKey(key);
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = true;
};

}  // namespace

std::string TrimOneQuote(const std::string& text) {
  std::string t = text;
  if (!t.empty() && t.front() == '"') t.erase(0, 1);
  if (!t.empty() && t.back() == '"') t.pop_back();
  return t;
}

bool RegisterShellFolder(const std::string& target_arg, const std::string& icon_arg, int language) {
  const std::string target = TrimOneQuote(target_arg);
  const std::string icon = TrimOneQuote(icon_arg);
  std::string name;
  {
    ks::desktop::CLanguages texts(language);
    name = texts.GetTextA("UI", "DIRVER_NAME");
  }

  const ShellFolderKeys& k = Keys();
  Writer w;
  reg::HKEY root = reg::HKEY_CLASSES_ROOT;
  reg::HKEY class_key = w.Create(root, k.class_key);
  reg::HKEY icon_key = w.Create(root, k.icon_key);
  reg::HKEY server_key = w.Create(root, k.server_key);
  reg::HKEY instance_key = w.Create(root, k.instance_key);
  reg::HKEY bag_key = w.Create(root, k.property_bag_key);
  reg::HKEY sheet_key = w.Create(root, k.property_sheet_key);
  reg::HKEY verbs_key = w.Create(root, k.verbs_key);
  reg::HKEY folder_key = w.Create(root, k.folder_key);

  w.Text(class_key, "", name);
  w.Text(class_key, "InfoTip", name);
  w.Text(icon_key, "", icon + ",0");
  w.Text(server_key, "", "shdocvw.dll");
  w.Text(server_key, "ThreadingModel", "ApartMent");
  w.Dword(folder_key, "Attributes", kShellFolderAttributes);
  w.Text(folder_key, "WantsFORPARSING", "");
  w.Text(folder_key, "PinToNameSpaceTree", "");
  w.Text(instance_key, "CLSID", kFolderShortcutClass);
  w.Text(bag_key, "Target", target);

  reg::HKEY namespace_key = w.Create(reg::HKEY_LOCAL_MACHINE, k.namespace_key);
  for (reg::HKEY key : {class_key, icon_key, server_key, instance_key, bag_key, sheet_key, verbs_key, folder_key,
                        namespace_key})
    Writer::Close(key);
  return w.ok();
}

}  // namespace ks::cmd
