// Running the system tools and batch files, elevation, processes, the wake message and
// delayed messages.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"
#include "platform/process.h"
#include "platform/process_list.h"
#include "platform/registry.h"

namespace {

namespace pf = ks::platform;

const char* const kTools[] = {"sc", "net", "taskkill", "netsh", "reg", "attrib"};

// The tool named exactly (".exe" allowed), or "".
std::string ToolName(const std::string& file) {
  std::string name = file;
  if (name.size() > 4) {
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == ".exe") name.resize(name.size() - 4);
  }
  for (const char* t : kTools)
    if (name == t) return name;
  return "";
}

bool HasQuoteOrControl(const std::string& s) {
  for (unsigned char c : s)
    if (c == '"' || c < 0x20 || c == 0x7f) return true;
  return false;
}

std::atomic<int> g_elevated{0};  // 0 not asked yet, 1 elevated, -1 not

std::mutex g_wakeMutex;
std::set<unsigned> g_wakeAllowed;

std::mutex g_posterMutex;
IDelayedMessagePoster* g_poster = nullptr;

// Writes the batch file; its quoted full path, or "" when it cannot be used.
std::string WriteBatch(const KSBatchFile& batch) {
  const std::string path = CKSUtil::GetConfigFolder() + "/" + batch.fileName;
  if (batch.fileName.empty() || HasQuoteOrControl(path)) return "";
  if (!CKSUtil::WriteTextFile(batch.fileName, batch.script)) return "";
  return "\"" + path + "\"";
}

}  // namespace

std::string CKSUtil::RunCommand(const std::string& command, const char* folder, bool capture, bool) {
  std::vector<std::string> argv = pf::SplitCommandLine(command);
  if (argv.empty()) {
    std::printf("Error on CreateProcess()\n");
    return "ERROR";
  }
  for (const char* t : kTools) {
    const std::string prefix = std::string(t) + " ";
    if (command.compare(0, prefix.size(), prefix) == 0) {
      argv[0] = GetSystemFolder() + "/" + t;
      break;
    }
  }
  pf::ProcessOptions options;
  if (folder) options.cwd = folder;
  if (!capture) {
    options.output = pf::ProcessOutput::kDiscard;
    if (pf::StartDetached(argv, options) != 0) std::printf("Error on CreateProcess()\n");
    return "ERROR";
  }
  options.output = pf::ProcessOutput::kCapture;
  pf::ProcessResult result;
  if (pf::RunProcess(argv, options, result) != 0) {
    std::printf("Error on CreateProcess()\n");
    return "ERROR";
  }
  return result.output;
}

int CKSUtil::RunElevated(const std::string& file, const std::string& parameters, bool wait) {
  const std::string tool = ToolName(file);
  return pf::RunAs(tool.empty() ? file : GetSystemFolder() + "/" + tool, parameters, wait);
}

int CKSUtil::RunBatch(const KSBatchFile& batch) {
  const std::string command = WriteBatch(batch);
  if (command.empty()) return -1;
  RunCommand(command, nullptr, false, false);
  // The callers go on as soon as the script has begun.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return 0;
}

int CKSUtil::RunBatchElevated(const KSBatchFile& batch) {
  if (!IsVistaOrLater()) return -1;
  const std::string command = WriteBatch(batch);
  if (command.empty()) return -1;
  return RunElevated(command, "", true);
}

bool CKSUtil::IsElevated() {
  if (g_elevated.load() == 0) {
    // What "reg query HKU\S-1-5-19" answers, read here without starting the tool: the
    // local service account's key and its two subkeys open only for an elevated process.
    auto opens = [](const char* key) {
      pf::HKEY handle = nullptr;
      if (pf::RegOpenKeyEx(pf::HKEY_USERS, key, 0, pf::KEY_READ, &handle) != pf::ERROR_SUCCESS) return false;
      pf::RegCloseKey(handle);
      return true;
    };
    const bool yes = opens("S-1-5-19\\Software") && opens("S-1-5-19\\Environment");
    int expected = 0;
    g_elevated.compare_exchange_strong(expected, yes ? 1 : -1);
  }
  return g_elevated.load() == 1;
}

bool CKSUtil::IsUserAdmin() { return pf::IsUserAdmin(); }

bool CKSUtil::IsVistaOrLater() { return pf::IsVistaOrLater(); }

bool CKSUtil::IsUacEnabled() {
  if (!IsVistaOrLater()) return false;
  uint32_t value = 0;
  if (pf::RegGetDword(pf::HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                      "EnableLUA", value) != pf::ERROR_SUCCESS)
    return false;
  return value == 1;
}

bool CKSUtil::IsProcessRunning(const std::string& name) { return pf::IsProcessRunning(name); }

bool CKSUtil::KillProcess(const std::string& name) {
  // A name that cannot be quoted is never put into a command line.
  if (name.empty() || HasQuoteOrControl(name)) return !IsProcessRunning(name);
  const std::string params = "/IM \"" + name + "\" /F";
  RunCommand("taskkill " + params, nullptr, true, false);
  if (IsProcessRunning(name)) RunElevated("taskkill", params, true);
  return !IsProcessRunning(name);
}

bool CKSUtil::IsServiceAutoStart() {
  return RunCommand("sc qc Kestyl", nullptr, true, false).find("AUTO_START") != std::string::npos;
}

int CKSUtil::AllowWakeMessage() {
  if (!IsVistaOrLater()) return 0;
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  g_wakeAllowed.insert(0x604);
  return 1;
}

bool CKSUtil::IsWakeMessageAllowed(unsigned message) {
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  return g_wakeAllowed.count(message) != 0;
}

void CKSUtil::SetDelayedMessagePoster(IDelayedMessagePoster* poster) {
  std::lock_guard<std::mutex> lock(g_posterMutex);
  g_poster = poster;
}

void CKSUtil::PostMessageDelayed(void* window) {
  if (!window) return;
  std::lock_guard<std::mutex> lock(g_posterMutex);
  if (g_poster) g_poster->PostDelayed(window, 0x10 /* WM_CLOSE */, 0, 0, 5000);
}
