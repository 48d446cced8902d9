// The synchronisation control of the desktop program: one folder of this PC kept in step
// with a folder of a second PC over a virtual adapter. One PC is the primary (address
// 172.10.10.1, runs KestylSync as a server on port 8679), the other the secondary
// (172.10.10.2, runs KestylSync against socket://172.10.10.1:8679/ with its log in
// <conf>/trans.log). KestylSyncNet runs beside it on both.
//
// CSyncLogic is process-wide state and free operations (one per program):
//   - InstallDriver runs <root>/dev/ks_sync_driver/<x64|x86>/KestylDriverInstall and is true
//     when its output holds "successfully"; x64 and the description "TAP-Win32 Adapter V9"
//     on a 64-bit machine (uname -m), else x86 and "Kestyl Sync Driver 2.0".
//   - CheckAdapter/FindAdapterIndex find the adapter by description in the platform adapter
//     list (platform/adapters.h, including the made-up records of the adapters file).
//   - RunStartBatch writes "ks_sync_cmd.bat" (six lines, CR LF on disk) into the conf folder
//     and runs it elevated (Windows 6 or later) or plain; true when the runner reports 0.
//     An account that is not a valid e-mail address, or a sync folder holding '"' or a
//     control character, is refused (false, logged) before anything is written.
//   - StartWorker starts one worker of the role unless one runs; the worker keeps
//     KestylSyncNet (re-running the start batch) and KestylSync alive, one pass every
//     KESTYL_SYNC_PASS_MS (default 5000) ms, and after 11 passes in a row without KestylSync
//     (and every 11 after) shows the notice "MSGBOX_SETTING_SYNC_DUPIP" through the
//     ISyncNotice given (outside the lock; the call returns when the box is closed).
//     The primary's pass gives KestylSync up to a second to write its marker
//     ".SyncConfig" and then hides it with attrib; the wait ends at once when the marker is
//     there or KestylSync has ended already, so a KestylSync that cannot stay up costs no
//     pause and every pass without it counts.
//   - Stop ends the worker (the pause is interruptible: it returns within one pass),
//     joins it and, when KestylSync or KestylSyncNet runs, runs "ks_sync_stop.bat". Never
//     started: true, nothing run. A failed kill: false and running set again.
// Thread-safe; the operations are meant for one UI thread plus the one worker.
#pragma once

#include <string>

namespace ks::desktop {
class ILanguages;
}
using ks::desktop::ILanguages;

// Shows a message box by language key and returns when it is closed (the GUI posts it to
// its own thread and waits for the answer).
class ISyncNotice {
 public:
  virtual ~ISyncNotice() = default;
  virtual void ShowNotice(const std::string& key) = 0;
};

class CSyncLogic {
 public:
  static constexpr const char* kPrimaryAddress = "172.10.10.1";
  static constexpr const char* kSecondaryAddress = "172.10.10.2";
  static constexpr const char* kPort = "8679";
  static constexpr const char* kStartBatchName = "ks_sync_cmd.bat";
  static constexpr const char* kStopBatchName = "ks_sync_stop.bat";
  static constexpr const char* kDupIpKey = "MSGBOX_SETTING_SYNC_DUPIP";

  static bool InstallDriver();
  static bool CheckAdapter(std::u16string& adapterIndex);
  static bool FindAdapterIndex(const std::u16string& description, std::u16string& index);
  static bool Configure(const std::u16string& adapterIndex, const std::string& account,
                        const std::string& syncFolder, bool isPrimary);
  static bool StartNetwork();
  static bool RunStartBatch(const std::u16string& adapterIndex, const std::string& account,
                            const std::string& syncFolder, bool isPrimary);
  static bool Run();
  static bool StartWorker(const std::string& syncFolder, bool isPrimary);
  static bool Stop();
  // Writes the finished operations of <conf>/trans.log as CSV (sync_log.h).
  static bool ExportLog(const std::string& csvPath, const ILanguages* languages);

  // The receiver of the worker's notices (null: none shown, only logged).
  static void SetNotice(ISyncNotice* notice);
  static bool IsRunning();

  // Pieces, exposed for the probe and tests.
  static bool Is64BitMachine();
  static std::string PlatformFolderName();      // "x64" or "x86"
  static std::u16string AdapterDescription();   // by Is64BitMachine
  static std::string InstallCommand();
  // The start batch text ("\n" line ends), or "" when the inputs are refused.
  static std::string StartBatchScript(const std::u16string& adapterIndex, const std::string& account,
                                      bool isPrimary);
  static std::string PrimaryCommand();
  static std::string SecondaryCommand(const std::string& syncFolder);
  static bool IsAcceptedFolder(const std::string& syncFolder);
  static int PassMilliseconds();
};
