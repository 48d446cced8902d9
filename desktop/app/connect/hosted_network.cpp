#include "desktop/app/connect/hosted_network.h"

#include "desktop/foundation/util/ks_util.h"
#include "platform/adapters.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ks::desktop {

namespace {

std::atomic<bool> g_started{false};

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ApView ApViewFor(bool started, int majorVersion, bool hasWirelessAdapter) {
  if (started) return {"AP_STARTED", kApIconReady, false, false, true};
  if (majorVersion >= 6 && hasWirelessAdapter) return {"AP_OK", kApIconReady, true, true, false};
  return {majorVersion < 6 ? "AP_OS" : "AP_NOWLAN", kApIconOther, true, false, false};
}

ApStatusLayout LayoutApStatus(int W, int H, QSize textSize) {
  const int w = textSize.width();
  const int h = textSize.height();
  const int A = W - 54;
  ApStatusLayout layout;
  if (A <= 0 || w <= A) {
    const int x0 = (W - w - 54) / 2;
    layout.icon = QPoint(x0 + 15, H - 44);
    layout.text = QRect(x0 + 39, H - 44 + (24 - h) / 2, w + 4, h + 4);
    return layout;
  }
  const int n = (w + A - 1) / A;
  const int r = (n - 1) * h;
  layout.icon = QPoint(15, H - r - 45);
  layout.text = QRect(43, H - 45 - r + (24 - h) / 2, A, n * h + 1);
  return layout;
}

bool HostedNetworkStarted() { return g_started.load(); }
void SetHostedNetworkStarted(bool started) { g_started.store(started); }

bool HasWirelessAdapterIn(const std::string& sysClassNet, const std::string& adaptersFileText) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(sysClassNet, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code probe;
    if (std::filesystem::exists(it->path() / "wireless", probe) ||
        std::filesystem::exists(it->path() / "phy80211", probe))
      return true;
  }
  for (const ks::platform::Adapter& a : ks::platform::ParseAdapterFile(adaptersFileText))
    if (a.kind == ks::platform::AdapterKind::kWifi) return true;
  return false;
}

bool HasWirelessAdapter() {
  return HasWirelessAdapterIn("/sys/class/net", ReadWholeFile(ks::platform::AdapterFilePath()));
}

std::string ApBatchText(const std::string& systemFolder) {
  // A folder with a blank must stay one word of the command line.
  const std::string netsh = systemFolder.find(' ') == std::string::npos ? systemFolder + "/netsh"
                                                                        : "\"" + systemFolder + "/netsh\"";
  return netsh + " " + kApSetParameters + "\r\n" + netsh + " " + kApStartParameters;
}

std::string WriteApBatchFile(const std::string& text) {
  const std::string path = CKSUtil::GetConfigFolder() + "/" + kApBatchFileName;
  // A file left by a crash, or a link planted there, goes first; unlink never follows it.
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = ::close(fd) == 0 && done == text.size();
  if (!ok) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

bool HostedNetworkIsUp() {
  return CKSUtil::RunCommand(kApShowCommand, nullptr, true, false).find("BSSID") != std::string::npos;
}

void StopHostedNetwork() { CKSUtil::RunCommand(kApStopCommand, nullptr, true, false); }

}  // namespace ks::desktop
