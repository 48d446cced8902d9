#include "desktop/app/shell/system_hosts.h"

#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/registry.h"
#include "platform/service_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace ks::app {

namespace pf = ks::platform;

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MakeParents(const std::string& path) {
  for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
    const std::string dir = path.substr(0, pos);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Replaces the file atomically (write aside, rename).
bool ReplaceFile(const std::string& path, const std::string& text) {
  if (!MakeParents(path)) return false;
  const std::string aside = path + ".tmp";
  ::unlink(aside.c_str());
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text);
  ::close(fd);
  if (!ok || ::rename(aside.c_str(), path.c_str()) != 0) {
    ::unlink(aside.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string SystemServiceHost::RunCommand(const std::string& command) {
  return CKSUtil::RunCommand(command, nullptr, true, false);
}

void SystemServiceHost::Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SystemServiceHost::WriteScript(const std::string& name, const std::string& text) {
  const std::string path = ConfigFolder() + "/" + name;
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const bool ok = WriteAll(fd, crlf);
  ::close(fd);
  if (!ok) ::unlink(path.c_str());
  return ok;
}

void SystemServiceHost::RemoveScript(const std::string& name) {
  const std::string path = ConfigFolder() + "/" + name;
  ::unlink(path.c_str());
}

int SystemServiceHost::RunAs(const std::string& program, const std::string& parameters) {
  return CKSUtil::RunElevated(program, parameters, true);
}

bool SystemServiceHost::IsVistaOrLater() { return CKSUtil::IsVistaOrLater(); }
bool SystemServiceHost::IsUacEnabled() { return CKSUtil::IsUacEnabled(); }
bool SystemServiceHost::IsElevated() { return CKSUtil::IsElevated(); }
bool SystemServiceHost::IsUserAdmin() { return CKSUtil::IsUserAdmin(); }
bool SystemServiceHost::IsProcessRunning(const std::string& name) { return CKSUtil::IsProcessRunning(name); }

bool SystemServiceHost::DebugOn() {
  CKSConfig* config = CKSConfig::GetInstance();
  return config != nullptr && config->DebugOn() == "true";
}

void SystemServiceHost::Log(const std::string& function, const std::string& line) {
  CKSLog::GetInstance()->Write(function.c_str(), 600, function.c_str(), __LINE__, "%s", line.c_str());
}

std::string SystemServiceHost::ProgramFolder() { return CKSUtil::GetModuleFolder(true); }
std::string SystemServiceHost::ConfigFolder() { return CKSUtil::GetConfigFolder(); }
std::string SystemServiceHost::SystemFolder() { return CKSUtil::GetSystemFolder(); }

std::optional<uint32_t> ReadServiceState() {
  pf::ServiceTable table;
  pf::ServiceStatus status;
  if (table.QueryStatus(kServiceName, status) != pf::kServiceOk) return std::nullopt;
  return status.currentState;
}

SystemAutoStartHost::~SystemAutoStartHost() { CloseRunKey(); }

bool SystemAutoStartHost::OpenRunKey() {
  CloseRunKey();
  pf::HKEY key = nullptr;
  if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kRunKeyPath, 0, 0xF003F, &key) != 0) return false;
  key_ = key;
  return true;
}

void SystemAutoStartHost::CloseRunKey() {
  if (key_ != nullptr) pf::RegCloseKey(static_cast<pf::HKEY>(key_));
  key_ = nullptr;
}

bool SystemAutoStartHost::IsServiceAutoStart() { return CKSUtil::IsServiceAutoStart(); }

void SystemAutoStartHost::SetRunValue(const std::string& text) {
  if (key_ == nullptr) return;
  const std::string data = text + std::string(1, '\0');
  pf::RegSetValueEx(static_cast<pf::HKEY>(key_), kRunValueName, 0, pf::REG_SZ,
                    reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()));
}

void SystemAutoStartHost::DeleteRunValue() {
  if (key_ != nullptr) pf::RegDeleteValue(static_cast<pf::HKEY>(key_), kRunValueName);
}

void SystemAutoStartHost::WriteAutostartEntry(const std::string& text) {
  const std::string path = AutostartEntryPath();
  if (!path.empty()) ReplaceFile(path, text);
}

void SystemAutoStartHost::RemoveAutostartEntry() {
  const std::string path = AutostartEntryPath();
  if (!path.empty()) ::unlink(path.c_str());
}

bool RunValuePresent() {
  std::string value;
  return pf::RegGetString(pf::HKEY_LOCAL_MACHINE, kRunKeyPath, kRunValueName, value) == 0;
}

}  // namespace ks::app
