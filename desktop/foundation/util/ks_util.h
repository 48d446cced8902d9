// Free-standing helpers of the desktop program: where it is installed, small file
// operations in its configuration folder, its own text log "Kestyl.log", text helpers
// (e-mail check, URL encoding, replacing, slashes, wide text, category folder names), the
// test of folders that may not be chosen, running the system tools, elevation and
// processes, opening web pages and the test of the folder under Computer.
//
// Folders:
//   program folder        dirname of /proc/self/exe (no trailing "/")
//   installation root     the program folder minus a final "/bin" (exact case), else the
//                         program folder itself: <root>/bin/Kestyl -> <root>,
//                         <root>/Bin/Kestyl -> <root>/Bin
//   configuration folder  <root>/conf ("ks_config.cfg", "ks_log.log", "Kestyl.log", the
//                         banner files and the batch files the program writes)
//   roaming folder        <program folder>/roaming, the master copies of the default files
//   system folder         the folder of the system tools (sc, net, netsh, taskkill, reg,
//                         attrib, cmd): KESTYL_SYSTEM_DIR, else <program folder>/system
//
// Folders that may not be chosen (share, data or synchronisation folder): see
// IsAllowedFolder. Every operation reports failure through its result only; none throws
// and none shows a message. Everything here is thread-safe; only AppendLog and the cached
// elevation answer keep state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A batch file for RunBatch / RunBatchElevated: the script text and the file name (a name
// inside the configuration folder, filled in by the caller).
struct KSBatchFile {
  explicit KSBatchFile(std::string script = "") : script(std::move(script)) {}
  std::string script;
  std::string fileName;
};

// Posts a message to a window after a delay (a one-shot timer of the window's thread); the
// GUI implements it and hands it to CKSUtil::SetDelayedMessagePoster.
class IDelayedMessagePoster {
 public:
  virtual ~IDelayedMessagePoster() = default;
  virtual void PostDelayed(void* window, unsigned message, uintptr_t wParam, intptr_t lParam,
                           int delayMs) = 0;
};

class CKSUtil {
 public:
  // ---- folders ----
  // The program folder when `programFolder` is true, else the installation root.
  static std::string GetModuleFolder(bool programFolder);
  static std::string GetConfigFolder();
  static std::string GetRoamingFolder();
  static std::string GetSystemFolder();
  // The installation root of a program folder (the rule above); pure.
  static std::string InstallRootOf(const std::string& programFolder);
  // Makes every folder above derive from `folder` instead of /proc/self/exe (programs that
  // embed the foundation in another layout, and tests); "" returns to /proc/self/exe.
  static void SetProgramFolder(const std::string& folder);

  // ---- files ----
  // The file can be opened for reading.
  static bool FileExists(const char* path);
  // An existing folder (a symbolic link to one counts).
  static bool FolderExists(const char* path);
  // Creates that one folder (no parents); false when it could not be created.
  static bool CreateFolder(const char* path);
  // Creates or empties <conf>/<name>, writes `length` bytes of `text` (the whole text when
  // `length` is negative) and tells whether the file exists afterwards; false when it cannot
  // be opened or written. A batch file (name ending in ".bat", any case) gets CR LF line
  // ends, as the command interpreter expects; other files are written as given.
  static bool WriteTextFile(const std::string& name, const std::string& text, int length = -1);
  // Removes <conf>/<name>; true when it no longer exists.
  static bool RemoveFile(const std::string& name);
  // Appends `text` unchanged (no line end added) to <conf>/Kestyl.log; writers of several
  // threads never interleave. Nothing happens when the file cannot be opened.
  static void AppendLog(const std::string& text);

  // ---- text ----
  // The whole text matches ([0-9A-Za-z\-_\.]+)@([0-9A-Za-z\-_]+\.[A-Za-z]{2,3}(\.[A-Za-z]{2})?)
  // (so a sub-domain is refused); false for null.
  static bool IsValidEmail(const char* text);
  // Every byte of the UTF-8 text, letters and digits included, as "%" and two lower-case
  // hexadecimal digits.
  static std::string UrlEncode(const std::string& text);
  static std::string IntToString(int value);
  // Folder name of the category key ("PICTURE", "MUSIC", "VIDEO", "DOCUMENT", "INSTANT";
  // exact case) in the system language (CLanguages::SystemLanguageId: KESTYL_LANGID, else
  // LANG): Chinese names (UTF-8) when it is simplified Chinese, else English; "null" for any
  // other key.
  static std::string GetCategoryFolderName(const std::string& key);
  // Every occurrence of `search` replaced, in one left-to-right pass (a replacement that
  // contains the search text is not searched again); an empty `search` changes nothing.
  static std::string ReplaceAll(const std::string& text, const std::string& search,
                                const std::string& replacement);
  // Every "\" turned into "/".
  static std::string ToSlashes(const std::string& text);
  // The UTF-8 text as wide characters (no locale is touched); an invalid byte becomes
  // U+FFFD.
  static std::wstring ToWideString(const std::string& text);
  // The text between the first `start` marker and the first `end` marker (searched from
  // the beginning); empty when either marker is missing or the end marker does not come
  // after the start marker.
  static std::string ExtractBetween(const std::string& text, const std::string& start,
                                    const std::string& end);
  // The path without trailing "/" characters; "/" itself stays "/".
  static std::string RemoveTrailingBackslash(const std::string& path);

  // ---- folders that may not be chosen ----
  // False for "", a relative path, "/" and any path that, with its symbolic links resolved
  // (as far as it exists), is one of the system trees or lies below one, compared per
  // component ("/data/usr" and "/variety" are allowed, a link into /etc is not). The trees
  // come from KESTYL_SYSTEM_TREES (colon-separated; a final "*" matches any component that
  // begins with the text before it), by default SystemTreesDefault().
  static bool IsAllowedFolder(const std::string& path);
  static const char* SystemTreesDefault();
  static std::vector<std::string> SystemTrees();

  // ---- programs, elevation, processes (ks_util_process.cpp) ----
  // Runs the command line (split by the Windows C runtime's rules, platform/process.h; never
  // through a shell) with `folder` (null: this process's) as its working folder. A command
  // beginning with "sc ", "net ", "taskkill ", "netsh ", "reg " or "attrib " runs that tool
  // of the system folder, whatever PATH says. With `capture` it waits (without a time
  // limit) and returns everything the command wrote to its standard output and error, in
  // order; without, it starts the command detached and returns "ERROR" at once. "ERROR"
  // (and "Error on CreateProcess()" on the standard output) when it cannot be started.
  // `show` has no meaning here (no console windows).
  static std::string RunCommand(const std::string& command, const char* folder, bool capture, bool show);
  // Starts `file` with the parameters through the elevation prompt (platform RunAs),
  // waiting for it when asked: 0, 1223 when the prompt is declined, 2 when the program is
  // missing, else an errno value. The tool names sc, net, taskkill, netsh, reg and attrib
  // (exactly; ".exe" allowed) run from the system folder.
  static int RunElevated(const std::string& file, const std::string& parameters, bool wait);
  // Writes the batch file into the configuration folder (CR LF) and starts it through the
  // command interpreter without waiting; pauses 1 s for it to begin; 0. -1 (nothing run)
  // when the file cannot be written or its path holds a quote.
  static int RunBatch(const KSBatchFile& batch);
  // -1 before Windows 6 (KESTYL_WINVER); else writes the batch file and runs it elevated,
  // waiting: RunElevated's result (-1 when the file cannot be written or its path holds a
  // quote).
  static int RunBatchElevated(const KSBatchFile& batch);
  // Whether the process runs elevated: the registry's HKU\S-1-5-19 lets it open both
  // "Software" and "Environment" below it (what "reg query HKU\S-1-5-19" lists). Asked once
  // per process; the answer is kept.
  static bool IsElevated();
  static bool IsUserAdmin();
  // Windows 6.0 or later (KESTYL_WINVER) and the DWORD EnableLUA of the HKLM key
  // SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\System is exactly 1.
  static bool IsUacEnabled();
  static bool IsVistaOrLater();
  // A process of this installation runs the program (".exe" optional, any case;
  // platform/process_list.h).
  static bool IsProcessRunning(const std::string& name);
  // "taskkill /IM "<name>" /F"; when the program still runs, the same elevated; true when
  // it no longer runs (so also when it never ran: then nothing is elevated).
  static bool KillProcess(const std::string& name);
  // The output of "sc qc Kestyl" holds "AUTO_START".
  static bool IsServiceAutoStart();
  // Lets the private message 0x604 through the wake endpoint (IsWakeMessageAllowed); 0 and
  // nothing changed before Windows 6, else 1.
  static int AllowWakeMessage();
  static bool IsWakeMessageAllowed(unsigned message);
  // Posts WM_CLOSE (0x10) to the window after 5 s through the GUI's poster; nothing for a
  // null window or without a poster.
  static void PostMessageDelayed(void* window);
  static void SetDelayedMessagePoster(IDelayedMessagePoster* poster);

  // ---- links and the shell (ks_util_shell.cpp) ----
  // Opens the address in the user's browser (platform ShellOpen: the address is one
  // argument, never part of a command text); `forceBuiltIn` is accepted and has no effect.
  // Logs "Open URL: %s" when DebugOn is "true". 0 or an errno value.
  static int OpenUrl(const std::string& address, bool forceBuiltIn);
};

// The folder under Computer of the command program's registration is registered for `path`:
// the HKLM key ...\Explorer\MyComputer\Namespace\{74362C5A-C943-4FBE-8500-8F82AD459BB7}
// exists and the value Target of the HKLM key
// SOFTWARE\Classes\CLSID\{same}\Instance\InitPropertyBag equals the path exactly
// (read whole, however long).
bool IsNamespaceFolderRegistered(const std::string& path);
