#include "desktop/foundation/sync/sync_logic.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/sync/sync_log.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/adapters.h"
#include "platform/process.h"
#include "platform/utf16.h"

namespace pf = ks::platform;

namespace {

struct SyncState {
  std::mutex lock;
  std::condition_variable wake;  // Stop interrupts the worker's pauses
  bool running = false;
  std::unique_ptr<std::thread> worker;  // made in StartWorker, joined by Stop
  std::u16string adapterIndex;
  std::string account;
  std::string syncFolder;
  bool isPrimary = false;
  ISyncNotice* notice = nullptr;
};

SyncState& State() {
  static SyncState state;
  return state;
}

bool HasQuoteOrControl(const std::string& text) {
  for (unsigned char c : text)
    if (c == '"' || c < 0x20 || c == 0x7f) return true;
  return false;
}

// Waits up to `ms` or until running turns false; the lock is held on entry and exit.
// False when stopped.
bool Pause(std::unique_lock<std::mutex>& held, int ms) {
  SyncState& s = State();
  return !s.wake.wait_for(held, std::chrono::milliseconds(ms), [&] { return !s.running; });
}

// A descriptor that becomes readable when the process ends (-1 when it cannot be had,
// which the callers read as "already gone").
int WatchProcess(pid_t pid) {
  return pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
}

bool HasEnded(int pidfd) {
  if (pidfd < 0) return true;
  struct pollfd p {pidfd, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

// Starts KestylSync detached (as RunCommand without waiting would) and keeps a watch on it:
// the pidfd of the started process, or -1 when it could not be started.
int StartDetachedWatched(const std::string& command, const std::string& folder) {
  const std::vector<std::string> argv = pf::SplitCommandLine(command);
  if (argv.empty()) return -1;
  pf::ProcessOptions options;
  options.cwd = folder;
  options.output = pf::ProcessOutput::kDiscard;
  pid_t pid = 0;
  if (pf::StartDetached(argv, options, &pid) != 0) return -1;
  return WatchProcess(pid);
}

void StartKestylSync(const std::string& syncFolder, bool isPrimary, std::unique_lock<std::mutex>& held) {
  SyncState& s = State();
  if (isPrimary) {
    const std::string command = CSyncLogic::PrimaryCommand();
    KS_DESKTOP_LOG("CSyncLogic::primary_thread", "%s", command.c_str());
    const int watch = StartDetachedWatched(command, syncFolder);
    // Time for it to write its marker: up to a second, over as soon as the marker is there
    // or the program has ended already (then nothing more will come), or on Stop.
    const std::string marker = syncFolder + "/.SyncConfig";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (s.running && !HasEnded(watch) && ::access(marker.c_str(), F_OK) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      // Stop needs the lock to say so: it is let go for each short look.
      held.unlock();
      struct pollfd p {watch, POLLIN, 0};
      ::poll(&p, 1, 10);
      held.lock();
    }
    if (watch >= 0) ::close(watch);
    CKSUtil::RunCommand("attrib \"" + marker + "\" +h", nullptr, false, false);
  } else {
    const std::string conf = CKSUtil::GetConfigFolder();
    const std::string command = CSyncLogic::SecondaryCommand(syncFolder);
    KS_DESKTOP_LOG("CSyncLogic::secondary_thread", "%s", command.c_str());
    CKSUtil::RunCommand(command, conf.c_str(), false, false);
  }
}

void WorkerLoop(std::string syncFolder, bool isPrimary) {
  SyncState& s = State();
  int failures = 0;
  std::unique_lock<std::mutex> held(s.lock);
  while (s.running) {
    // The look at the processes and the start batch (which waits for its prompt and its
    // programs) run without the lock: Stop takes it to say so and must not wait for them.
    const std::u16string adapterIndex = s.adapterIndex;
    const std::string account = s.account, configuredFolder = s.syncFolder;
    const bool configuredPrimary = s.isPrimary;
    held.unlock();
    if (!CKSUtil::IsProcessRunning("KestylSyncNet.exe"))
      CSyncLogic::RunStartBatch(adapterIndex, account, configuredFolder, configuredPrimary);
    const bool syncRunning = CKSUtil::IsProcessRunning("KestylSync.exe");
    held.lock();
    if (!s.running) break;  // stopped meanwhile: nothing more is started
    if (syncRunning) {
      failures = 0;
    } else {
      if (failures++ >= 10) {
        failures = 0;
        ISyncNotice* notice = s.notice;
        KS_DESKTOP_LOG("CSyncLogic::worker", "%s", CSyncLogic::kDupIpKey);
        // The box is shown outside the lock so that Stop is never held up by it.
        held.unlock();
        if (notice) notice->ShowNotice(CSyncLogic::kDupIpKey);
        held.lock();
        if (!s.running) break;
      }
      StartKestylSync(syncFolder, isPrimary, held);
    }
    if (!s.running) break;
    Pause(held, CSyncLogic::PassMilliseconds());
  }
}

}  // namespace

bool CSyncLogic::Is64BitMachine() {
  struct utsname u {};
  if (::uname(&u) != 0) return false;
  const std::string m = u.machine;
  return m.find("64") != std::string::npos || m == "s390x";
}

std::string CSyncLogic::PlatformFolderName() { return Is64BitMachine() ? "x64" : "x86"; }

std::u16string CSyncLogic::AdapterDescription() {
  return Is64BitMachine() ? u"TAP-Win32 Adapter V9" : u"Kestyl Sync Driver 2.0";
}

int CSyncLogic::PassMilliseconds() {
  if (const char* v = std::getenv("KESTYL_SYNC_PASS_MS")) {
    char* end = nullptr;
    const long ms = std::strtol(v, &end, 10);
    if (end != v && *end == '\0' && ms > 0 && ms <= 3600000) return static_cast<int>(ms);
  }
  return 5000;
}

std::string CSyncLogic::InstallCommand() {
  const std::string dir = CKSUtil::GetModuleFolder(false) + "/dev/ks_sync_driver/" + PlatformFolderName() + "/";
  return "\"" + dir + "KestylDriverInstall\" install \"" + dir + "OemWin2k.inf\" TAP0901";
}

bool CSyncLogic::InstallDriver() {
  const std::string command = InstallCommand();
  KS_DESKTOP_LOG("CSyncLogic::InstallDriver", "%s", command.c_str());
  const std::string output = CKSUtil::RunCommand(command, nullptr, true, false);
  return output.find("successfully") != std::string::npos;
}

bool CSyncLogic::FindAdapterIndex(const std::u16string& description, std::u16string& index) {
  std::vector<pf::Adapter> adapters;
  if (pf::ReadAdapters(adapters) != 0) return false;
  for (const pf::Adapter& a : adapters) {
    if (pf::Utf8ToUtf16(a.description).find(description) != std::u16string::npos) {
      index = pf::Utf8ToUtf16(std::to_string(a.index));
      return true;
    }
  }
  return false;
}

bool CSyncLogic::CheckAdapter(std::u16string& adapterIndex) {
  return FindAdapterIndex(AdapterDescription(), adapterIndex);
}

bool CSyncLogic::Configure(const std::u16string& adapterIndex, const std::string& account,
                           const std::string& syncFolder, bool isPrimary) {
  SyncState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.adapterIndex = adapterIndex;
  s.account = account;
  s.syncFolder = syncFolder;
  s.isPrimary = isPrimary;
  return true;
}

bool CSyncLogic::StartNetwork() {
  std::u16string index;
  std::string account, folder;
  bool primary;
  {
    SyncState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    index = s.adapterIndex;
    account = s.account;
    folder = s.syncFolder;
    primary = s.isPrimary;
  }
  return RunStartBatch(index, account, folder, primary);
}

bool CSyncLogic::IsAcceptedFolder(const std::string& syncFolder) { return !HasQuoteOrControl(syncFolder); }

std::string CSyncLogic::StartBatchScript(const std::u16string& adapterIndex, const std::string& account,
                                         bool isPrimary) {
  const std::string index = pf::Utf16ToUtf8(adapterIndex);
  if (!CKSUtil::IsValidEmail(account.c_str()) || HasQuoteOrControl(account)) return "";
  if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos) return "";
  const std::string address = isPrimary ? kPrimaryAddress : kSecondaryAddress;
  const std::string sys = CKSUtil::GetSystemFolder();
  const std::string bin = CKSUtil::GetModuleFolder(true);
  const std::string conf = CKSUtil::GetConfigFolder();
  std::string script;
  script += "\"" + sys + "/taskkill\" /IM KestylSyncNet.exe /F\n";
  script += "\"" + sys + "/taskkill\" /IM KestylSync.exe /F\n";
  script += "\"" + sys + "/netsh\" interface ip set address name=\"" + index + "\" static " + address +
            " 255.255.255.0\n";
  script += "start \"\" /B \"" + bin + "/KestylSyncNet\" -c " + account + " -a " + address + "\n";
  if (CKSUtil::IsVistaOrLater()) {
    script += sys + "/netsh advfirewall firewall delete rule name=\"KestylSync\" dir=in program=\"" + conf +
              "/KestylSync\" profile=any\n";
    script += sys + "/netsh advfirewall firewall add rule name=\"KestylSync\" dir=in program=\"" + conf +
              "/KestylSync\" action=allow profile=any\n";
  } else {
    script += sys + "/netsh firewall delete allowedprogram \"" + conf + "/KestylSync\" ALL\n";
    script += sys + "/netsh firewall add allowedprogram \"" + conf + "/KestylSync\" \"KestylSync\" enable\n";
  }
  return script;
}

bool CSyncLogic::RunStartBatch(const std::u16string& adapterIndex, const std::string& account,
                               const std::string& syncFolder, bool isPrimary) {
  if (!IsAcceptedFolder(syncFolder)) {
    KS_DESKTOP_LOG("CSyncLogic::RunStartBatch", "%s", "sync folder refused");
    return false;
  }
  const std::string script = StartBatchScript(adapterIndex, account, isPrimary);
  if (script.empty()) {
    KS_DESKTOP_LOG("CSyncLogic::RunStartBatch", "%s", "account or adapter refused");
    return false;
  }
  KSBatchFile batch(script);
  batch.fileName = kStartBatchName;
  const int rc = CKSUtil::IsVistaOrLater() ? CKSUtil::RunBatchElevated(batch) : CKSUtil::RunBatch(batch);
  if (rc != 0) KS_DESKTOP_LOG("CSyncLogic::RunStartBatch", "start batch not run: %d", rc);
  return rc == 0;
}

std::string CSyncLogic::PrimaryCommand() {
  return "\"" + CKSUtil::GetConfigFolder() + "/KestylSync\" -socket " + kPort;
}

std::string CSyncLogic::SecondaryCommand(const std::string& syncFolder) {
  const std::string conf = CKSUtil::GetConfigFolder();
  return "\"" + conf + "/KestylSync\" -root \"" + syncFolder + "\" -root socket://" + kPrimaryAddress + ":" +
         kPort + "/ -logfile \"" + conf + "/trans.log\" -repeat 15 -silent -terse -ignore \"Name {~$*.*,.SyncConfig}\"";
}

bool CSyncLogic::Run() {
  std::string folder;
  bool primary;
  {
    SyncState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    folder = s.syncFolder;
    primary = s.isPrimary;
  }
  return StartWorker(folder, primary);
}

bool CSyncLogic::StartWorker(const std::string& syncFolder, bool isPrimary) {
  SyncState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.running) return true;
  if (!IsAcceptedFolder(syncFolder)) {
    KS_DESKTOP_LOG("CSyncLogic::StartWorker", "%s", "sync folder refused");
    return true;
  }
  // A worker left by a failed kill has ended already (running was false when it left).
  if (s.worker && s.worker->joinable()) s.worker->join();
  s.running = true;
  s.worker = std::make_unique<std::thread>(WorkerLoop, syncFolder, isPrimary);
  return true;
}

bool CSyncLogic::Stop() {
  SyncState& s = State();
  std::unique_ptr<std::thread> worker;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.running) return true;
    s.running = false;
    worker = std::move(s.worker);
  }
  s.wake.notify_all();
  if (worker && worker->joinable()) worker->join();
  int rc = 0;
  if (CKSUtil::IsProcessRunning("KestylSync.exe") || CKSUtil::IsProcessRunning("KestylSyncNet.exe")) {
    const std::string sys = CKSUtil::GetSystemFolder();
    KSBatchFile batch("\"" + sys + "/taskkill\" /IM KestylSync.exe /F\n\"" + sys +
                      "/taskkill\" /IM KestylSyncNet.exe /F\n");
    batch.fileName = kStopBatchName;
    rc = CKSUtil::IsVistaOrLater() ? CKSUtil::RunBatchElevated(batch) : CKSUtil::RunBatch(batch);
  }
  if (rc == 0) return true;
  std::lock_guard<std::mutex> g(s.lock);
  s.running = true;
  return false;
}

bool CSyncLogic::IsRunning() {
  SyncState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  return s.running;
}

void CSyncLogic::SetNotice(ISyncNotice* notice) {
  SyncState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.notice = notice;
}

bool CSyncLogic::ExportLog(const std::string& csvPath, const ILanguages* languages) {
  return ExportSyncLog(CKSUtil::GetConfigFolder() + "/trans.log", csvPath, ks::desktop::CLanguages::SystemLanguageId(),
                       languages);
}
