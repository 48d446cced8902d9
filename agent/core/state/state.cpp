#include "agent/core/state/state.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ks::state {
namespace {

// Never destroyed: at exit, destroying a condition variable waits for every thread still
// sleeping on it, so a job in SleepUnlessStopped would hold the process for up to its
// whole sleep.
std::mutex& Mutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::condition_variable& StopCv() {
  static auto* cv = new std::condition_variable();
  return *cv;
}
std::atomic<bool> g_stop{false};
std::atomic<uint16_t> g_localPort{0};
std::atomic<uint16_t> g_systemType{2};

struct Texts {
  std::string root, deviceId, mac, localIp, encoding = "en", osName;
};
Texts& T() {
  static Texts* t = new Texts();  // outlives every thread that may still read it at exit
  return *t;
}

std::string Get(std::string Texts::*field) {
  std::lock_guard<std::mutex> lock(Mutex());
  return T().*field;
}
void Set(std::string Texts::*field, const std::string& v) {
  std::lock_guard<std::mutex> lock(Mutex());
  T().*field = v;
}

}  // namespace

bool StopRequested() { return g_stop.load(std::memory_order_acquire); }

void RequestStop() {
  {
    std::lock_guard<std::mutex> lock(Mutex());
    g_stop.store(true, std::memory_order_release);
  }
  StopCv().notify_all();
}

void ClearStop() { g_stop.store(false, std::memory_order_release); }

bool SleepUnlessStopped(int ms) {
  std::unique_lock<std::mutex> lock(Mutex());
  return StopCv().wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                           [] { return g_stop.load(std::memory_order_acquire); });
}

std::string InstallRoot() { return Get(&Texts::root); }
void SetInstallRoot(const std::string& root) { Set(&Texts::root, root); }
std::string DatabasePath() {
  std::string root = InstallRoot();
  return root.empty() ? std::string() : root + "/etc/Kestyl.db";
}

std::string DeviceId() { return Get(&Texts::deviceId); }
void SetDeviceId(const std::string& id) { Set(&Texts::deviceId, id.substr(0, 63)); }
std::string MacText() { return Get(&Texts::mac); }
void SetMacText(const std::string& mac) { Set(&Texts::mac, mac); }
std::string LocalIp() { return Get(&Texts::localIp); }
void SetLocalIp(const std::string& ip) { Set(&Texts::localIp, ip); }
std::string TextEncoding() { return Get(&Texts::encoding); }
void SetTextEncoding(const std::string& e) { Set(&Texts::encoding, e); }
std::string OsName() { return Get(&Texts::osName); }
void SetOsName(const std::string& n) { Set(&Texts::osName, n); }
uint16_t SystemType() { return g_systemType.load(); }
void SetSystemType(uint16_t t) { g_systemType.store(t); }
uint16_t LocalBindPort() { return g_localPort.load(); }
void SetLocalBindPort(uint16_t p) { g_localPort.store(p); }

}  // namespace ks::state
