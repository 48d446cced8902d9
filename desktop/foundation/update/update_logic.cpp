#include "desktop/foundation/update/update_logic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

#include "common/md5/md5.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/fetch/fetch.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/web/web.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace ks::desktop::update {

namespace {

constexpr long kDescriptionTimeoutS = 5;
constexpr size_t kDescriptionCap = 64 * 1024;
constexpr long kConnectTimeoutS = 30;
constexpr int kDownloadTries = 5;
constexpr int kManualTailS = 5;

int EnvInt(const char* name, int min, int max, int fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v, &end, 10);
  if (errno != 0 || *end != '\0' || n < min || n > max) return fallback;
  return static_cast<int>(n);
}

// Progress of one transfer: aborts it on stop, and (when stall_s > 0) when fewer than
// stall_s bytes arrived in a window of stall_s seconds (below 1 byte/s). The transfer calls
// this at least once a second, also while nothing moves.
struct Progress {
  const std::atomic<bool>* stop = nullptr;
  int stall_s = 0;
  std::chrono::steady_clock::time_point window_start = std::chrono::steady_clock::now();
  uint64_t window_bytes = 0;
  bool stalled = false;

  bool Check(uint64_t received) {
    if (stop->load()) return false;
    if (stall_s <= 0) return true;
    auto now = std::chrono::steady_clock::now();
    if (now - window_start >= std::chrono::seconds(stall_s)) {
      if (received < window_bytes + static_cast<uint64_t>(stall_s)) {
        stalled = true;
        return false;
      }
      window_start = now;
      window_bytes = received;
    }
    return true;
  }
};

// What every transfer of the manager shares: a GET, redirects followed (http, https), the
// connect time-out, the progress check.
fetch::Request CommonRequest(const std::string& url, Progress* progress) {
  fetch::Request r;
  r.url = url;
  r.follow_redirects = true;
  r.connect_timeout_ms = kConnectTimeoutS * 1000;
  r.progress = [progress](uint64_t received, uint64_t) { return progress->Check(received); };
  return r;
}

struct FileSink {
  int fd = -1;
  bool write_error = false;

  bool Write(const char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
      ssize_t w = ::write(fd, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        write_error = true;
        return false;
      }
      done += static_cast<size_t>(w);
    }
    return true;
  }
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Makes every missing folder of `path` (0700) and checks that `path` is a real folder
// (no symbolic link) owned by this user; sets it to 0700.
bool MakePrivateFolder(const std::string& path) {
  if (path.empty()) return false;
  for (size_t p = path.find('/', 1); ; p = path.find('/', p + 1)) {
    std::string part = path.substr(0, p);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (p == std::string::npos) break;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  return (st.st_mode & 0777) == 0700 || ::chmod(path.c_str(), 0700) == 0;
}

const char* kLogName = "CUpdateLogic";

}  // namespace

int StallSeconds() { return EnvInt("KESTYL_UPDATE_STALL_S", 1, 86400, 60); }
uint64_t MaxInstallerBytes() {
  return static_cast<uint64_t>(EnvInt("KESTYL_UPDATE_MAX_MB", 1, 1 << 20, 512)) * 1024 * 1024;
}
int FirstDelaySeconds() { return EnvInt("KESTYL_UPDATE_FIRST_S", 0, 86400 * 30, 10); }

std::string UpdateFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/Kestyl";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/Kestyl";
}

bool ReadKestylDword(const char* name, uint32_t& value) {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  uint32_t type = 0;
  uint32_t data = 0;
  uint32_t size = sizeof data;
  LSTATUS rc = RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<uint8_t*>(&data), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || size != sizeof data) return false;
  value = data;
  return true;
}

bool KestylKeyOpens() {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool WriteKestylDword(const char* name, uint32_t value) {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  LSTATUS rc = RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&value), sizeof value);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

bool UpdateWithoutAsking() {
  uint32_t v = 0;
  return ReadKestylDword(kUpdateNoticeValue, v) && v != 0;
}

std::string FileMd5(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  MD5 md5;
  md5.update(in);
  return md5.toString();
}

// ---- CUpdateLogic ----

CUpdateLogic::CUpdateLogic() : CUpdateLogic(Environment{}) {}

CUpdateLogic::CUpdateLogic(Environment env) : env_(std::move(env)) {
  if (!env_.ownVersion) env_.ownVersion = &ReadOwnVersion;
  if (!env_.updateUrl) env_.updateUrl = [] { return CKSConfig::GetInstance()->ReadUpdateURL(); };
  if (!env_.updateWithoutAsking) env_.updateWithoutAsking = &UpdateWithoutAsking;
  if (env_.folder.empty()) env_.folder = UpdateFolder();
}

CUpdateLogic::~CUpdateLogic() { Stop(); }

void CUpdateLogic::SetCallback(IUpdateCallback* callback) {
  std::lock_guard lk(mu_);
  callback_ = callback;
}

void CUpdateLogic::SetNoticePresenter(std::function<int(const std::string&)> presenter) {
  std::lock_guard lk(mu_);
  presenter_ = std::move(presenter);
}

void CUpdateLogic::SetTransferStateSource(std::function<int()> source) {
  std::lock_guard lk(mu_);
  env_.transferState = std::move(source);
}

IUpdateCallback* CUpdateLogic::callback() const {
  std::lock_guard lk(mu_);
  return callback_;
}

std::string CUpdateLogic::OfferedVersion() const {
  std::lock_guard lk(mu_);
  return offered_;
}

int CUpdateLogic::Answer() const {
  std::lock_guard lk(mu_);
  return answer_;
}

std::string CUpdateLogic::VerifiedMd5() const {
  std::lock_guard lk(mu_);
  return verified_md5_;
}

std::string CUpdateLogic::InstallerPath() const { return env_.folder + "/" + kInstallerName; }
std::string CUpdateLogic::UserVersionPath() const { return env_.folder + "/" + kUserVersionName; }

bool CUpdateLogic::IsBusy() const {
  std::lock_guard lk(mu_);
  return busy_;
}

CUpdateLogic::StartResult CUpdateLogic::StartCheck(bool automatic) {
  std::lock_guard tl(threads_mu_);
  if (stopping()) return StartResult::kStopped;
  if (automatic) {
    if (auto_started_) return StartResult::kBusy;
    auto_started_ = true;
    auto_thread_ = std::thread([this] { AutomaticLoop(); });
    return StartResult::kStarted;
  }
  {
    std::lock_guard lk(mu_);
    if (busy_) return StartResult::kBusy;
    busy_ = true;
  }
  // The last manual thread cleared busy as its final step: joining it is immediate.
  if (manual_thread_.joinable()) manual_thread_.join();
  manual_thread_ = std::thread([this] { ManualRun(); });
  return StartResult::kStarted;
}

void CUpdateLogic::Stop() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  stop_flag_ = true;
  cv_.notify_all();
  std::lock_guard tl(threads_mu_);
  for (std::thread* t : {&auto_thread_, &manual_thread_}) {
    if (!t->joinable()) continue;
    if (t->get_id() == std::this_thread::get_id())
      t->detach();  // stopped from its own callback: it ends by itself
    else
      t->join();
  }
}

bool CUpdateLogic::SleepFor(int seconds) {
  std::unique_lock lk(mu_);
  cv_.wait_for(lk, std::chrono::seconds(seconds), [this] { return stop_; });
  return !stop_;
}

bool CUpdateLogic::WaitForOwner() {
  std::unique_lock lk(mu_);
  cv_.wait(lk, [this] { return stop_ || event_; });
  return !stop_;
}

bool CUpdateLogic::WaitForAnswer() {
  std::unique_lock lk(mu_);
  cv_.wait(lk, [this] { return stop_ || answered_; });
  return !stop_;
}

void CUpdateLogic::ResetEvent() {
  std::lock_guard lk(mu_);
  event_ = false;
}

void CUpdateLogic::SetFinishEvent() {
  {
    std::lock_guard lk(mu_);
    event_ = true;
  }
  cv_.notify_all();
}

void CUpdateLogic::ShowUpdateNotice() {
  std::function<int(const std::string&)> presenter;
  std::string offered;
  {
    std::lock_guard lk(mu_);
    presenter = presenter_;
    offered = offered_;
  }
  int answer = presenter ? presenter(offered) : 0;
  {
    std::lock_guard lk(mu_);
    answer_ = answer;
    answered_ = true;
    event_ = true;
  }
  cv_.notify_all();
}

void CUpdateLogic::AutomaticLoop() {
  if (!SleepFor(FirstDelaySeconds())) return;
  std::mt19937 rng(static_cast<unsigned>(std::time(nullptr)));
  std::uniform_int_distribution<int> draw(0, 8639);
  for (;;) {
    int delay = 10 * draw(rng) + 1800;
    bool run = false;
    std::function<int()> transferState;
    {
      std::lock_guard lk(mu_);
      if (!busy_ && !stop_) {
        busy_ = true;
        run = true;
        transferState = env_.transferState;
      }
    }
    if (run) {
      // A transfer with a mobile device (states 3 and 4) is left alone this round.
      int state = transferState ? transferState() : -1;
      if (state != 3 && state != 4) CheckForUpdate(true);
      std::lock_guard lk(mu_);
      busy_ = false;
    }
    if (!SleepFor(delay)) return;
  }
}

void CUpdateLogic::ManualRun() {
  CheckForUpdate(false);
  SleepFor(kManualTailS);
  std::lock_guard lk(mu_);
  busy_ = false;
}

bool CUpdateLogic::CheckForUpdate(bool automatic) {
  if (stopping()) return false;
  UpdateInfo info = FetchDescription();
  if (!info.Complete()) return false;
  return Decide(info, automatic);
}

UpdateInfo CUpdateLogic::FetchDescription() {
  std::string url = env_.updateUrl();
  if (!web::IsAllowedUrl(url)) {
    KS_DESKTOP_LOG(kLogName, "Update address refused: %s", url.c_str());
    return {};
  }
  std::string text;
  Progress progress;
  progress.stop = &stop_flag_;
  fetch::Request request = CommonRequest(url, &progress);
  request.total_timeout_ms = kDescriptionTimeoutS * 1000;
  request.max_bytes = kDescriptionCap;
  request.sink = [&text](const char* data, size_t n) {
    text.append(data, n);
    return true;
  };
  // Whatever the response code, a complete reply is parsed; a cut one (time-out, cap,
  // stop) is not.
  if (fetch::Perform(request).code != fetch::Code::kOk) return {};
  return ParseUpdateInfo(text);
}

bool CUpdateLogic::Decide(const UpdateInfo& info, bool automatic) {
  IUpdateCallback* cb = callback();
  std::string own = env_.ownVersion();
  if (!own.empty() && info.version == own) {
    ::unlink(UserVersionPath().c_str());
    if (!automatic && cb) cb->OnNoUpdate();
    return false;
  }
  {
    std::lock_guard lk(mu_);
    offered_ = info.version;
  }
  if (own.empty() || !IsNewerVersion(own, info.version)) {
    if (!automatic && cb) cb->OnNoUpdate();
    return false;
  }
  if (!env_.updateWithoutAsking()) {
    // Nobody to ask: no download without the owner's word.
    if (!cb) return false;
    {
      std::lock_guard lk(mu_);
      answer_ = 0;
      answered_ = false;
      event_ = false;
    }
    cb->OnUpdateAvailable();
    if (!WaitForAnswer()) return false;
    if (Answer() == kAnswerCancel) return false;
  }
  return Download(info);
}

bool CUpdateLogic::DownloadOnce(const std::string& url, const std::string& target) {
  int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    KS_DESKTOP_LOG(kLogName, "Cannot write the installer file %s (errno %d)", target.c_str(), errno);
    return false;
  }
  ::fchmod(fd, 0600);
  FileSink sink;
  sink.fd = fd;
  Progress progress;
  progress.stop = &stop_flag_;
  progress.stall_s = StallSeconds();
  fetch::Request request = CommonRequest(url, &progress);
  request.max_bytes = MaxInstallerBytes();
  request.sink = [&sink](const char* data, size_t n) { return sink.Write(data, n); };
  fetch::Result r = fetch::Perform(request);
  bool closed = ::close(fd) == 0;
  bool ok = r.code == fetch::Code::kOk && r.status == 200 && closed && !sink.write_error;
  if (!ok) {
    KS_DESKTOP_LOG(kLogName, "Installer download failed: error %d, status %ld%s%s%s", static_cast<int>(r.code),
                   r.status, r.code == fetch::Code::kTooLarge ? ", too large" : "",
                   sink.write_error ? ", write error" : "", progress.stalled ? ", stalled" : "");
    ::unlink(target.c_str());
  }
  return ok;
}

bool CUpdateLogic::Download(const UpdateInfo& info) {
  if (!web::IsAllowedUrl(info.down)) {
    KS_DESKTOP_LOG(kLogName, "Installer address refused: %s", info.down.c_str());
    return false;
  }
  if (!MakePrivateFolder(env_.folder)) {
    KS_DESKTOP_LOG(kLogName, "Cannot make the private folder %s", env_.folder.c_str());
    return false;
  }
  const std::string target = InstallerPath();
  const std::string want = Lower(info.md5);
  bool done = false;
  for (int attempt = 0; attempt < kDownloadTries && !done && !stopping(); ++attempt) {
    if (!DownloadOnce(info.down, target)) continue;
    std::string got = FileMd5(target);
    if (!got.empty() && got == want) {
      done = true;
    } else {
      KS_DESKTOP_LOG(kLogName, "Installer MD5 %s differs from %s", got.c_str(), want.c_str());
      ::unlink(target.c_str());
    }
  }
  if (!done) {
    ::unlink(target.c_str());
    return false;
  }
  {
    std::lock_guard lk(mu_);
    verified_md5_ = want;
  }
  IUpdateCallback* cb = callback();
  if (cb) {
    ResetEvent();
    cb->OnDownloadFinish();
    if (!WaitForOwner()) return false;
    cb->OnUpdateReady();
  }
  return true;
}

const std::vector<std::string>& CUpdateLogic::InstallerArguments() {
  static const std::vector<std::string> args = {"/Sp_", "/VERYSILENT", "/NORESTART", "-mode:auto"};
  return args;
}

bool CUpdateLogic::StartInstaller(std::vector<std::string>* argv) {
  const std::string want = VerifiedMd5();
  if (want.empty()) {
    KS_DESKTOP_LOG(kLogName, "No verified installer: nothing is run");
    return false;
  }
  if (!MakePrivateFolder(env_.folder)) return false;
  int in = ::open(InstallerPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    KS_DESKTOP_LOG(kLogName, "The installer is gone: nothing is run");
    return false;
  }
  std::string copy = env_.folder + "/" + kInstallerName + ".run.XXXXXX";
  int out = ::mkostemp(copy.data(), O_CLOEXEC);
  if (out < 0) {
    ::close(in);
    return false;
  }
  ::fchmod(out, 0700);
  MD5 md5;
  bool io_ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) io_ok = false;
    if (n <= 0) break;
    md5.update(buf, static_cast<size_t>(n));
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        io_ok = false;
        break;
      }
      done += w;
    }
    if (!io_ok) break;
  }
  ::close(in);
  if (::close(out) != 0) io_ok = false;
  if (!io_ok || md5.toString() != want) {
    KS_DESKTOP_LOG(kLogName, "The installer does not match its checked MD5: nothing is run");
    ::unlink(copy.c_str());
    return false;
  }
  std::vector<std::string> cmd = {copy};
  cmd.insert(cmd.end(), InstallerArguments().begin(), InstallerArguments().end());
  platform::ProcessOptions options;
  options.cwd = env_.folder;
  int rc = platform::StartDetached(cmd, options);
  if (rc != 0) {
    KS_DESKTOP_LOG(kLogName, "The installer could not be started (errno %d)", rc);
    ::unlink(copy.c_str());
    return false;
  }
  if (argv) *argv = cmd;
  return true;
}

}  // namespace ks::desktop::update
