// netsh: the hosted Wi-Fi network, interface addresses and firewall rules, kept as state
// files in <PlatformDir()>/netsh/ (nothing on the machine changes):
//   hostednetwork.ini   section "hostednetwork": mode, ssid, key, keyusage, started
//   addresses           one line per "interface ip set address" call (its arguments)
//   firewall_rules      one line per rule: the arguments of "advfirewall firewall add rule"
//   calls.log           every call, one line: its arguments joined by the command-line rules
//
//   netsh wlan set hostednetwork [mode=allow|disallow] [ssid=<s>] [key=<k>] [keyUsage=<u>]
//   netsh wlan start|stop|show hostednetwork
//   netsh interface ip set address ...
//   netsh advfirewall firewall add rule name=<n> ... | delete rule name=<n> ...
//   netsh firewall ...
//
// Starting needs an elevated caller, the mode "allow" and a Wi-Fi adapter (adapters.h,
// including the made-up records of the adapters file). "show" prints a BSSID line (the
// adapter's MAC) only while started. Changing addresses and firewall rules also needs an
// elevated caller. Errors exit 1.
#include <strings.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "platform/adapters.h"
#include "platform/elevation.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/service_table.h"

using namespace ks::platform;

namespace {

std::string StateDir() { return PlatformDir() + "/netsh"; }
std::string HostedFile() { return StateDir() + "/hostednetwork.ini"; }

void AppendLine(const std::string& file, const std::string& line) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

bool Is(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Hosted(const char* key, const std::string& def = "") {
  return ReadProfileValue(HostedFile(), "hostednetwork", key).value_or(def);
}

bool SetHosted(const char* key, const std::string& value) {
  return WriteProfileValue(HostedFile(), "hostednetwork", key, value);
}

std::optional<Adapter> WifiAdapter() {
  std::vector<Adapter> adapters;
  if (ReadAdapters(adapters) != 0) return std::nullopt;
  for (const auto& a : adapters) {
    if (a.kind == AdapterKind::kWifi) return a;
  }
  return std::nullopt;
}

int NeedsElevation() {
  std::cout << "The requested operation requires elevation (Run as administrator).\n\n";
  return 1;
}

int WlanSet(const std::vector<std::string>& args) {
  // args: "set" "hostednetwork" key=value...
  std::string out;
  for (size_t i = 2; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    if (eq == std::string::npos) {
      std::cout << "The syntax supplied for this command is not valid. Check help for the correct syntax.\n\n";
      return 1;
    }
    std::string key = args[i].substr(0, eq), value = args[i].substr(eq + 1);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value.find_first_of("\r\n") != std::string::npos) return 1;
    if (key == "mode") {
      if (!Is(value, "allow") && !Is(value, "disallow")) return 1;
      SetHosted("mode", Is(value, "allow") ? "allow" : "disallow");
      out += std::string("The hosted network mode has been set to ") + (Is(value, "allow") ? "allow" : "disallow") + ".\n";
    } else if (key == "ssid") {
      SetHosted("ssid", value);
      out += "The SSID of the hosted network has been successfully changed.\n";
    } else if (key == "key") {
      SetHosted("key", value);
      out += "The user key passphrase of the hosted network has been successfully changed.\n";
    } else if (key == "keyusage") {
      SetHosted("keyusage", value);
    } else {
      std::cout << "The syntax supplied for this command is not valid. Check help for the correct syntax.\n\n";
      return 1;
    }
  }
  std::cout << out << "\n";
  return 0;
}

int WlanShow() {
  std::string mode = Hosted("mode", "disallow");
  std::string ssid = Hosted("ssid");
  auto wifi = WifiAdapter();
  bool started = Hosted("started") == "1" && wifi.has_value();
  std::cout << "\nHosted network settings\n-----------------------\n"
            << "    Mode                   : " << (mode == "allow" ? "Allowed" : "Disallowed") << "\n";
  if (!ssid.empty()) std::cout << "    SSID name              : \"" << ssid << "\"\n";
  std::cout << "    Max number of clients  : 100\n"
            << "    Authentication         : WPA2-Personal\n"
            << "    Cipher                 : CCMP\n\n"
            << "Hosted network status\n---------------------\n";
  if (!wifi) {
    std::cout << "    Status                 : Not available\n\n";
  } else if (!started) {
    std::cout << "    Status                 : Not started\n\n";
  } else {
    char mac[32];
    const auto& m = wifi->mac;
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    std::cout << "    Status                 : Started\n"
              << "    BSSID                  : " << mac << "\n"
              << "    Radio type             : 802.11n\n"
              << "    Channel                : 11\n"
              << "    Number of clients      : 0\n\n";
  }
  return 0;
}

int Wlan(const std::vector<std::string>& args) {
  if (args.size() < 2 || !Is(args[1], "hostednetwork")) {
    std::cout << "The following command was not found: wlan " << (args.empty() ? "" : args[0]) << ".\n";
    return 1;
  }
  if (Is(args[0], "set")) return WlanSet(args);
  if (Is(args[0], "show")) return WlanShow();
  if (Is(args[0], "start")) {
    if (!IsProcessElevated()) {
      std::cout << "The hosted network couldn't be started.\n";
      return NeedsElevation();
    }
    if (Hosted("mode") != "allow" || !WifiAdapter()) {
      std::cout << "The hosted network couldn't be started.\n"
                   "The group or resource is not in the correct state to perform the requested operation.\n\n";
      return 1;
    }
    SetHosted("started", "1");
    std::cout << "The hosted network started. \n\n";
    return 0;
  }
  if (Is(args[0], "stop")) {
    SetHosted("started", "0");
    std::cout << "The hosted network stopped. \n\n";
    return 0;
  }
  std::cout << "The following command was not found: wlan " << args[0] << " hostednetwork.\n";
  return 1;
}

// The arguments from `from` on, joined by the command-line rules.
std::string Joined(const std::vector<std::string>& args, size_t from) {
  std::vector<std::string> rest = {"x"};
  rest.insert(rest.end(), args.begin() + static_cast<long>(std::min(from, args.size())), args.end());
  return JoinCommandLine(rest).substr(std::min<size_t>(2, JoinCommandLine(rest).size()));
}

int Firewall(const std::vector<std::string>& args) {
  // args: "firewall" "add"|"delete" "rule" name=...
  if (args.size() < 3 || !Is(args[0], "firewall") || !Is(args[2], "rule")) {
    std::cout << "The following command was not found: advfirewall " << Joined(args, 0) << ".\n";
    return 1;
  }
  if (!IsProcessElevated()) return NeedsElevation();
  std::string name;
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i].size() > 5 && strncasecmp(args[i].c_str(), "name=", 5) == 0) name = args[i].substr(5);
  }
  if (name.empty()) {
    std::cout << "A specified value is not valid.\n\n";
    return 1;
  }
  std::string rulesFile = StateDir() + "/firewall_rules";
  if (Is(args[1], "add")) {
    AppendLine(rulesFile, Joined(args, 3));
    std::cout << "Ok.\n\n";
    return 0;
  }
  if (!Is(args[1], "delete")) return 1;
  std::ifstream in(rulesFile);
  std::vector<std::string> kept;
  std::string line;
  int deleted = 0;
  while (std::getline(in, line)) {
    auto fields = SplitCommandLine("x " + line);
    bool match = false;
    for (size_t i = 1; i < fields.size(); ++i) {
      if (strncasecmp(fields[i].c_str(), "name=", 5) == 0 && fields[i].substr(5) == name) match = true;
    }
    if (match) ++deleted;
    else kept.push_back(line);
  }
  in.close();
  if (!deleted) {
    std::cout << "\nNo rules match the specified criteria.\n\n";
    return 1;
  }
  std::string text;
  for (const auto& k : kept) text += k + "\n";
  std::string tmp = rulesFile + ".~" + std::to_string(::getpid());
  std::ofstream(tmp, std::ios::binary) << text;
  std::filesystem::rename(tmp, rulesFile);
  std::cout << "\nDeleted " << deleted << " rule(s).\nOk.\n\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::error_code ec;
  std::filesystem::create_directories(StateDir(), ec);
  std::string call = Joined(args, 0);
  for (char& c : call) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  AppendLine(StateDir() + "/calls.log", call);
  if (args.empty()) {
    std::cout << "netsh>\n";
    return 0;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (Is(args[0], "wlan")) return Wlan(rest);
  if (Is(args[0], "advfirewall")) return Firewall(rest);
  if (Is(args[0], "interface")) {
    if (rest.size() >= 3 && Is(rest[0], "ip") && Is(rest[1], "set") && Is(rest[2], "address")) {
      if (!IsProcessElevated()) return NeedsElevation();
      AppendLine(StateDir() + "/addresses", Joined(rest, 3));
      return 0;
    }
  }
  if (Is(args[0], "firewall")) {
    if (!IsProcessElevated()) return NeedsElevation();
    std::cout << "Ok.\n\n";
    return 0;
  }
  std::cout << "The following command was not found: " << Joined(args, 0) << ".\n";
  return 1;
}
