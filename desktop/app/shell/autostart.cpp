#include "desktop/app/shell/autostart.h"

#include <cstdlib>

namespace ks::app {

namespace {

// An argument of an Exec key: inside double quotes, '"', '`', '$' and '\' take a backslash;
// the whole value then goes through the string escaping of the entry format ('\' doubled).
std::string ExecQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  std::string escaped;
  for (char c : out) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::string ServiceConfigParameters(const std::string& programFolder, bool automatic) {
  return "config Kestyl binPath= \"\\\"" + programFolder + "/KestylClient\\\" -r Kestyl\" start= " +
         (automatic ? "auto" : "demand");
}

std::string RunValueText(const std::string& programFolder) {
  return "\"" + programFolder + "/Kestyl\" " + kAutoStartArgument;
}

std::string AutostartEntryText(const std::string& programFolder) {
  for (char c : programFolder)
    if (c == '\n' || c == '\r' || c == '\0') return "";
  return "[Desktop Entry]\nType=Application\nName=Kestyl\nExec=" + ExecQuoted(programFolder + "/Kestyl") +
         " " + kAutoStartArgument + "\nX-GNOME-Autostart-enabled=true\n";
}

std::string AutostartEntryPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return "";
    base = std::string(home) + "/.config";
  }
  return base + "/autostart/Kestyl.desktop";
}

void SetAutoStart(AutoStartHost& host, const std::string& programFolder, bool check, int pending) {
  if (!host.OpenRunKey()) return;
  const std::string parameters = ServiceConfigParameters(programFolder, check);
  const bool before = host.IsServiceAutoStart();
  if (pending == 1) host.RunElevated("sc", parameters, "MSGBOX_UAC_STOPSERVICE");
  const bool after = host.IsServiceAutoStart();
  const bool present = before != after ? check : after;
  const std::string entry = AutostartEntryText(programFolder);
  if (present && !entry.empty()) {
    host.SetRunValue(RunValueText(programFolder));
    host.WriteAutostartEntry(entry);
  } else {
    host.DeleteRunValue();
    host.RemoveAutostartEntry();
  }
  host.CloseRunKey();
}

}  // namespace ks::app
