// The update manager: keeps the desktop program up to date.
//
// A check fetches the update description (update_info.h) from the configured address
// (CKSConfig::ReadUpdateURL: "UpdateURL" of "ks_config.cfg", default
// $KESTYL_WEB_URL/kestyl/update-pc.html), compares its version with the program's own
// (the build's version marker), asks the owner through the notice unless HKLM
// SOFTWARE\Kestyl "UpdateNotice" is nonzero, downloads the installer, checks its MD5 and
// hands over to the owner, which records the update, quits and at exit calls
// StartInstaller.
//
// Threads. Checks run on threads the manager owns: one automatic thread (first check after
// KESTYL_UPDATE_FIRST_S seconds, default 10, then every 10 x (r mod 8640) + 1800 seconds,
// r random; a round is skipped while another check is busy or while the agent's transfer
// state is 3 or 4) and manual threads, one at a time (the check, then 5 s during which the
// manager stays busy). Stop() (also the destructor) ends every sleep, every wait for the
// owner and every transfer (the transfer's progress function aborts it), then joins the
// threads: it returns promptly whatever a check is doing. The manager must outlive nothing
// that its callback uses: the owner stops it before it goes away itself.
//
// Callbacks (IUpdateCallback, called on a check thread; the owner only posts to its own
// thread): OnUpdateAvailable -> the owner calls ShowUpdateNotice on its thread;
// OnDownloadFinish -> the owner records the update and calls SetFinishEvent;
// OnUpdateReady -> the owner quits; OnNoUpdate (manual checks only) -> the owner tells.
// Each of the first two blocks the check until the owner answers (or Stop()). The notice's
// answer is waited for on its own: a finish event set meanwhile (the main window tells of a
// finished update at start-up) does not stand for the owner's word.
//
// Files: the private folder $XDG_DATA_HOME/Kestyl (default ~/.local/share/Kestyl, created
// 0700) holds the installer "KestylInstaller" (0600 while downloaded) and the user version
// file "KestylUpdateVerSion.ini", which a description naming exactly the own version
// deletes.
//
// Transfers (desktop/foundation/fetch): http and https only, redirects followed (http,
// https; at most 30), every address checked by loopback mode. Description: 5 s in all,
// reply capped at 64 KiB, any response code parsed, a failed transfer parses nothing.
// Installer: up to 5 tries, each needing status 200, a complete write and the MD5
// (compared in lower case); connect time-out 30 s; aborted below 1 byte/s for
// KESTYL_UPDATE_STALL_S seconds (default 60) or past KESTYL_UPDATE_MAX_MB MiB (default 512,
// also when Content-Length announces more); a failed try removes its file. MD5 over plain
// HTTP guards against transfer errors only; it is no signature.
//
// StartInstaller copies the installer into a fresh 0700 file of the private folder while
// hashing it and runs that copy (detached, new session, arguments "/Sp_" "/VERYSILENT"
// "/NORESTART" "-mode:auto") only when its MD5 equals the one this manager verified; a file
// swapped after the download is never run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/update/update_info.h"

namespace ks::desktop::update {

class IUpdateCallback {
 public:
  virtual ~IUpdateCallback() = default;
  virtual void OnUpdateReady() = 0;      // slot 0: quit so that the installer runs
  virtual void OnNoUpdate() = 0;         // slot 1: manual check, nothing newer
  virtual void OnUpdateAvailable() = 0;  // slot 2: call ShowUpdateNotice on the owner's thread
  virtual void OnDownloadFinish() = 0;   // slot 3: record it, then SetFinishEvent
};

// Answers of the notice.
inline constexpr int kAnswerUpdate = 1;  // IDOK
inline constexpr int kAnswerCancel = 2;  // IDCANCEL

inline constexpr const char* kInstallerName = "KestylInstaller";
inline constexpr const char* kUserVersionName = "KestylUpdateVerSion.ini";
inline constexpr const char* kRegistryKey = "SOFTWARE\\Kestyl";
inline constexpr const char* kUpdateNoticeValue = "UpdateNotice";
inline constexpr const char* kUpdateFinishValue = "UpdateFinish";

// Settings from the environment (the default for a missing, non-numeric or out-of-range
// value).
int StallSeconds();         // KESTYL_UPDATE_STALL_S, 1.., default 60
uint64_t MaxInstallerBytes();  // KESTYL_UPDATE_MAX_MB, 1.., default 512 MiB
int FirstDelaySeconds();    // KESTYL_UPDATE_FIRST_S, 0.., default 10

// $XDG_DATA_HOME/Kestyl, else $HOME/.local/share/Kestyl.
std::string UpdateFolder();
// "UpdateNotice" of HKLM SOFTWARE\Kestyl is nonzero (a key or value that cannot be read
// counts as 0: ask).
bool UpdateWithoutAsking();
// Writes a DWORD value into HKLM SOFTWARE\Kestyl (never creates the key); false when the
// key cannot be opened or the write fails.
bool WriteKestylDword(const char* name, uint32_t value);
// HKLM SOFTWARE\Kestyl can be opened with full access.
bool KestylKeyOpens();
// Reads it; false when the key or value is missing.
bool ReadKestylDword(const char* name, uint32_t& value);
// Lower-case MD5 of the file; "" when it cannot be read.
std::string FileMd5(const std::string& path);

class CUpdateLogic {
 public:
  enum class StartResult { kStarted, kBusy, kStopped };

  // What the manager takes from its surroundings; each has a default.
  struct Environment {
    std::function<std::string()> ownVersion;     // default ReadOwnVersion
    std::function<std::string()> updateUrl;      // default CKSConfig::ReadUpdateURL
    // The agent's transfer state (IUIData::GetTransferState); default: none (-1, checks run).
    std::function<int()> transferState;
    std::function<bool()> updateWithoutAsking;   // default UpdateWithoutAsking
    std::string folder;                          // default UpdateFolder()
  };

  CUpdateLogic();
  explicit CUpdateLogic(Environment env);
  ~CUpdateLogic();
  CUpdateLogic(const CUpdateLogic&) = delete;
  CUpdateLogic& operator=(const CUpdateLogic&) = delete;

  // Set before the first check; null tells nobody.
  void SetCallback(IUpdateCallback* callback);
  // Shows the notice for an offered version and returns its answer; run by
  // ShowUpdateNotice on the owner's thread. Without a presenter the answer is 0 (update).
  void SetNoticePresenter(std::function<int(const std::string& offeredVersion)> presenter);
  void SetTransferStateSource(std::function<int()> source);

  // Starts the automatic thread (once; later calls return kBusy) or a manual check
  // (kBusy while any check is busy: the caller tells the owner "MSGBOX_ISUPDATINGNOW").
  StartResult StartCheck(bool automatic);
  bool IsBusy() const;

  // One check on the calling thread (the threads' work); true only when an installer was
  // downloaded, verified and handed over.
  bool CheckForUpdate(bool automatic);

  // On the owner's thread after OnUpdateAvailable: shows the notice through the
  // presenter, keeps the answer, sets the finish event.
  void ShowUpdateNotice();
  // Releases a check waiting for the owner.
  void SetFinishEvent();

  // Ends sleeps, waits and transfers and joins the threads; idempotent.
  void Stop();

  std::string OfferedVersion() const;
  int Answer() const;
  std::string InstallerPath() const;
  std::string UserVersionPath() const;
  std::string Folder() const { return env_.folder; }
  // MD5 (lower case) of the installer this manager downloaded and verified; "" when none.
  std::string VerifiedMd5() const;

  // Runs the verified installer as described above; false (and a log line) when nothing
  // ran. `argv` (optional) receives the command that was started.
  bool StartInstaller(std::vector<std::string>* argv = nullptr);
  static const std::vector<std::string>& InstallerArguments();

  // The installer download alone (what CheckForUpdate does after the notice): true when
  // one try delivered a file with the MD5.
  bool Download(const UpdateInfo& info);
  // Fetches and parses the description.
  UpdateInfo FetchDescription();

 private:
  void AutomaticLoop();
  void ManualRun();
  bool Decide(const UpdateInfo& info, bool automatic);
  bool DownloadOnce(const std::string& url, const std::string& target);
  bool SleepFor(int seconds);  // false when stopped
  bool WaitForOwner();         // false when stopped
  bool WaitForAnswer();        // the notice's answer; false when stopped
  void ResetEvent();
  IUpdateCallback* callback() const;
  bool stopping() const { return stop_flag_.load(); }

  Environment env_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool event_ = false;
  bool answered_ = false;  // ShowUpdateNotice kept an answer since the check asked
  bool busy_ = false;
  int answer_ = kAnswerUpdate;
  std::string offered_;
  std::string verified_md5_;
  IUpdateCallback* callback_ = nullptr;
  std::function<int(const std::string&)> presenter_;
  std::atomic<bool> stop_flag_{false};

  std::mutex threads_mu_;  // starting and joining threads
  std::thread auto_thread_;
  std::thread manual_thread_;
  bool auto_started_ = false;
};

}  // namespace ks::desktop::update
