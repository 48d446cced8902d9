// The command program Kestyl_Cmd: one administrative command per start, one result line.
//
// Command line (UTF-8; index 0 is the program):
//   1   class id of the shell folder, without braces (used by cmd_add_icon only, present
//       for every command)
//   2   command name, compared byte by byte
//   3.. the command's arguments
//
//   cmd_add_icon        >= 6 arguments  3 language digit ("0" -> 0, "2" -> 2, else 1),
//                                       4 target folder, 5 icon file; the class id must be
//                                       8-4-4-4-12 hexadecimal digits (it becomes key text)
//   cmd_db_adaption     >= 5 arguments  3 old database file, 4 new database file
//   cmd_send_statistic  exactly 4       3 "uninstall": every value its default
//   cmd_send_statistic  >= 10           3 user name, 4 version, 5 operation type (decimal;
//                                       not a number or 0 -> 1), 6 description, 7 device
//                                       id, 8 system name; 9 and later ignored
//
// The result line is "Code:1\n" when the command succeeded, "Code:-1\n" otherwise (also for
// an unknown command or a wrong argument count). The program (main.cpp) prints it on
// stdout and nothing else, and exits 0 once a command was looked up; 1 when its own path
// cannot be read ("Fatal Error: GetModuleHandle failed\n") or fewer than 4 arguments were
// given ("Code:-1\n").
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ks::cmd {

inline constexpr const char* kResultOk = "Code:1\n";
inline constexpr const char* kResultFailed = "Code:-1\n";

// The registry keys of the shell folder, with the class id filled in.
struct ShellFolderKeys {
  std::string class_key;           // HKCR  CLSID\{G}
  std::string server_key;          // HKCR  CLSID\{G}\InprocServer32
  std::string icon_key;            // HKCR  CLSID\{G}\DefaultIcon
  std::string instance_key;        // HKCR  CLSID\{G}\Instance
  std::string property_bag_key;    // HKCR  CLSID\{G}\Instance\InitPropertyBag
  std::string verbs_key;           // HKCR  CLSID\{G}\shell
  std::string property_sheet_key;  // HKCR  CLSID\{G}\shellex\PropertySheetHandlers\{G}
  std::string folder_key;          // HKCR  CLSID\{G}\ShellFolder
  std::string namespace_key;       // HKLM  SOFTWARE\Microsoft\Windows\CurrentVersion\explorer\MyComputer\NameSpace\{G}
};

// Stores the class id and fills it into the key templates ("<GUID>" replaced).
void ApplyShellFolderGuid(const std::string& guid);
const std::string& ShellFolderGuid();
const ShellFolderKeys& Keys();
// True for 8-4-4-4-12 hexadecimal digits (either case), nothing else.
bool IsValidClassId(const std::string& guid);

// Values of one statistics record; nullopt: absent (the default applies).
struct StatisticValues {
  std::optional<std::string> user;
  std::optional<std::string> version;
  std::optional<int> operation;
  std::optional<std::string> description;
  std::optional<std::string> device_id;
  std::optional<std::string> system;
};

// The three commands; the program plugs the real ones, tests their own.
struct Commands {
  std::function<bool(const std::string& target, const std::string& icon, int language)> register_shell_folder;
  std::function<bool(const std::string& old_db, const std::string& new_db)> adapt_database;
  std::function<bool(const StatisticValues& values)> send_statistic;
};

// Looks up argv[2] and runs the command; returns the result line. Needs argc >= 3.
std::string DispatchCommand(int argc, const char* const* argv, const Commands& commands);

// Operation type of the long form: strtol of the text; out of int range -> 1 (the caller's
// default for 0 then applies too).
int ParseOperationType(const std::string& text);

// The whole program: result line in `out`, exit code returned (main prints and exits).
int RunCommandProgram(int argc, const char* const* argv, const Commands& commands, std::string& out);

}  // namespace ks::cmd
