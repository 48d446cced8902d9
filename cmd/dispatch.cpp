#include "cmd/dispatch.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace ks::cmd {

namespace {

const ShellFolderKeys kTemplates = {
    "CLSID\\{<GUID>}",
    "CLSID\\{<GUID>}\\InprocServer32",
    "CLSID\\{<GUID>}\\DefaultIcon",
    "CLSID\\{<GUID>}\\Instance",
    "CLSID\\{<GUID>}\\Instance\\InitPropertyBag",
    "CLSID\\{<GUID>}\\shell",
    "CLSID\\{<GUID>}\\shellex\\PropertySheetHandlers\\{<GUID>}",
    "CLSID\\{<GUID>}\\ShellFolder",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\MyComputer\\NameSpace\\{<GUID>}",
};

std::string g_guid;
ShellFolderKeys g_keys = kTemplates;

std::string Fill(const std::string& tmpl, const std::string& guid) {
  static const std::string kMark = "<GUID>";
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t at = tmpl.find(kMark, pos);
    if (at == std::string::npos) break;
    out.append(tmpl, pos, at - pos);
    out += guid;
    pos = at + kMark.size();
  }
  out.append(tmpl, pos, std::string::npos);
  return out;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

void ApplyShellFolderGuid(const std::string& guid) {
  g_guid = guid;
  ShellFolderKeys k;
  k.class_key = Fill(kTemplates.class_key, guid);
  k.server_key = Fill(kTemplates.server_key, guid);
  k.icon_key = Fill(kTemplates.icon_key, guid);
  k.instance_key = Fill(kTemplates.instance_key, guid);
  k.property_bag_key = Fill(kTemplates.property_bag_key, guid);
  k.verbs_key = Fill(kTemplates.verbs_key, guid);
  k.property_sheet_key = Fill(kTemplates.property_sheet_key, guid);
  k.folder_key = Fill(kTemplates.folder_key, guid);
  k.namespace_key = Fill(kTemplates.namespace_key, guid);
  g_keys = k;
}

const std::string& ShellFolderGuid() { return g_guid; }

const ShellFolderKeys& Keys() { return g_keys; }

bool IsValidClassId(const std::string& guid) {
  static const size_t kGroups[] = {8, 4, 4, 4, 12};
  size_t pos = 0;
  for (size_t g = 0; g < 5; ++g) {
    if (g > 0) {
      if (pos >= guid.size() || guid[pos] != '-') return false;
      ++pos;
    }
    for (size_t i = 0; i < kGroups[g]; ++i, ++pos)
      if (pos >= guid.size() || !IsHex(guid[pos])) return false;
  }
  return pos == guid.size();
}

int ParseOperationType(const std::string& text) {
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return 1;
  return static_cast<int>(v);
}

std::string DispatchCommand(int argc, const char* const* argv, const Commands& commands) {
  if (argc < 3) return kResultFailed;
  const std::string name = argv[2];
  auto result = [](bool ok) { return std::string(ok ? kResultOk : kResultFailed); };

  if (name == "cmd_add_icon") {
    if (argc < 6 || !IsValidClassId(ShellFolderGuid()) || !commands.register_shell_folder) return kResultFailed;
    const std::string digit = argv[3];
    int language = digit == "0" ? 0 : digit == "2" ? 2 : 1;
    return result(commands.register_shell_folder(argv[4], argv[5], language));
  }
  if (name == "cmd_db_adaption") {
    if (argc < 5 || !commands.adapt_database) return kResultFailed;
    return result(commands.adapt_database(argv[3], argv[4]));
  }
  if (name == "cmd_send_statistic") {
    if (!commands.send_statistic) return kResultFailed;
    if (argc == 4) {
      if (std::string(argv[3]) != "uninstall") return kResultFailed;
      return result(commands.send_statistic(StatisticValues{}));
    }
    if (argc < 10) return kResultFailed;
    StatisticValues v;
    v.user = argv[3];
    v.version = argv[4];
    v.operation = ParseOperationType(argv[5]);
    v.description = argv[6];
    v.device_id = argv[7];
    v.system = argv[8];
    return result(commands.send_statistic(v));
  }
  return kResultFailed;
}

int RunCommandProgram(int argc, const char* const* argv, const Commands& commands, std::string& out) {
  if (argc < 4) {
    out = kResultFailed;
    return 1;
  }
  ApplyShellFolderGuid(argv[1]);
  out = DispatchCommand(argc, argv, commands);
  return 0;
}

}  // namespace ks::cmd
