// The hosted Wi-Fi network: what the hosted-network dialog shows and what it runs.
//
// State: one process-wide started flag (false at start; set when a start was confirmed,
// cleared when a start failed or a stop ran), so a dialog made afresh shows the right state.
//
// ApViewFor gives what the dialog shows for the flag, the system's major version and
// whether a wireless adapter exists: started -> "AP_STARTED" with stop shown; else start
// shown, enabled with "AP_OK" when the version is 6 or later and a wireless adapter exists,
// else disabled with "AP_OS" (version below 6) or "AP_NOWLAN". The icon is PNG 331 for the
// ready and started states and 266 for the others.
//
// LayoutApStatus places the status icon and text in a W x H dialog for a text measuring
// w x h unwrapped, with A = W - 54 the room of one line: one line centred when w <= A, else
// ceil(w / A) lines from x 43. A window too narrow to hold any line (A <= 0) lays out as
// one line, so nothing divides by zero.
//
// HasWirelessAdapter: an interface of /sys/class/net with a "wireless" or "phy80211" entry,
// or a type=wifi record of the platform's adapters file (platform/adapters.h).
//
// The batch file that starts the network is created owner-only and exclusively in the
// configuration folder (a stale file or link of that name is removed first, never
// followed), and removed again on every path. The tools run from the system folder by
// absolute path (ks_util.h RunCommand), never through the search path. Every operation
// blocks until netsh has ended; call them on the thread that may wait.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <string>

namespace ks::desktop {

inline constexpr const char* kApBatchFileName = "_tmp_start_hostednetwork.bat";
inline constexpr const char* kApSetParameters =
    "wlan set hostednetwork mode=allow ssid=kestyl key=58203746 keyUsage=persistent";
inline constexpr const char* kApStartParameters = "wlan start hostednetwork";
inline constexpr const char* kApShowCommand = "netsh wlan show hostednetwork";
inline constexpr const char* kApStopCommand = "netsh wlan stop hostednetwork";
inline constexpr unsigned kApIconReady = 331;
inline constexpr unsigned kApIconOther = 266;

struct ApView {
  const char* statusKey;  // language key of section "UI"
  unsigned icon;          // PNG resource id
  bool startVisible;
  bool startEnabled;
  bool stopVisible;
};

ApView ApViewFor(bool started, int majorVersion, bool hasWirelessAdapter);

struct ApStatusLayout {
  QPoint icon;
  QRect text;
};

ApStatusLayout LayoutApStatus(int dialogWidth, int dialogHeight, QSize textSize);

bool HostedNetworkStarted();
void SetHostedNetworkStarted(bool started);

bool HasWirelessAdapter();
// The same test over a given /sys/class/net folder and adapters file text (for tests).
bool HasWirelessAdapterIn(const std::string& sysClassNet, const std::string& adaptersFileText);

// The batch text: <system folder>/netsh <set parameters> CR LF <system folder>/netsh <start>.
std::string ApBatchText(const std::string& systemFolder);

// Creates <conf>/<kApBatchFileName> with `text`, mode 0600, exclusively; the full path, or
// "" when it could not be written (nothing is left behind then).
std::string WriteApBatchFile(const std::string& text);

// Whether "netsh wlan show hostednetwork" reports a BSSID (the network is up).
bool HostedNetworkIsUp();
// Runs "netsh wlan stop hostednetwork" and waits for it.
void StopHostedNetwork();

}  // namespace ks::desktop
