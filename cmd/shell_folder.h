// Shell folder registration (cmd_add_icon): the folder under "Computer" that opens the
// desktop program's data folder, written into the registry (platform/registry.h).
//
// Under HKEY_CLASSES_ROOT, keys created (or opened) in this order, with these values:
//   CLSID\{G}                    default and "InfoTip": ("UI", "DIRVER_NAME") of language L
//   CLSID\{G}\DefaultIcon        default: <icon>,0
//   CLSID\{G}\InprocServer32     default "shdocvw.dll", "ThreadingModel" "ApartMent"
//   CLSID\{G}\Instance           "CLSID" "{0AFACED1-E828-11D1-9187-B532F1E9575D}"
//   CLSID\{G}\Instance\InitPropertyBag   "Target": <target>
//   CLSID\{G}\shellex\PropertySheetHandlers\{G}, CLSID\{G}\shell   no values
//   CLSID\{G}\ShellFolder        "Attributes" REG_DWORD 0xF8801108, "WantsFORPARSING" and
//                                "PinToNameSpaceTree" empty texts
// and, under HKEY_LOCAL_MACHINE, the namespace key
//   SOFTWARE\Microsoft\Windows\CurrentVersion\explorer\MyComputer\NameSpace\{G}   (no values).
// G is the class id of ApplyShellFolderGuid (dispatch.h). All texts are REG_SZ. One registry view (there is no 32/64-bit split here).
//
// Target and icon lose one double quote at the start, then one at the end; nothing else is
// trimmed. The folder name comes from a language object made for this call with language L
// (files of CLanguages::LanguageFolder(), the program's folder); a missing file or key
// gives the empty text. A key that cannot be created is skipped with its values, a value
// that cannot be written is skipped; the others are still written, and the result is false
// when anything was skipped. Running it again overwrites the values.
#pragma once

#include <string>

namespace ks::cmd {

// One double quote dropped at the start, then one at the end.
std::string TrimOneQuote(const std::string& text);

bool RegisterShellFolder(const std::string& target, const std::string& icon, int language);

inline constexpr const char* kFolderShortcutClass = "{0AFACED1-E828-11D1-9187-B532F1E9575D}";
inline constexpr unsigned kShellFolderAttributes = 0xF8801108u;

}  // namespace ks::cmd
