// The system half of the hosts of the service control and the autostart: the tools of the
// system folder through CKSUtil, the elevation prompt stand-in, the configuration folder,
// the platform registry and the session autostart folder. The window half (notices, timers,
// texts, ending the program) stays abstract for the main window to fill in.
#pragma once

#include "desktop/app/shell/autostart.h"
#include "desktop/app/shell/service_control.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ks::app {

class SystemServiceHost : public ServiceHost {
 public:
  std::string RunCommand(const std::string& command) override;
  void Pause(int ms) override;
  // O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600, CR LF line ends; a file left by an earlier run
  // (or a link in its place) is removed first, never followed.
  bool WriteScript(const std::string& name, const std::string& text) override;
  void RemoveScript(const std::string& name) override;
  int RunAs(const std::string& program, const std::string& parameters) override;
  bool IsVistaOrLater() override;
  bool IsUacEnabled() override;
  bool IsElevated() override;
  bool IsUserAdmin() override;
  bool IsProcessRunning(const std::string& name) override;
  bool DebugOn() override;
  void Log(const std::string& function, const std::string& line) override;
  std::string ProgramFolder() override;
  std::string ConfigFolder() override;
  std::string SystemFolder() override;
};

// The state of the service "Kestyl" read from the service table; nullopt when the table or
// the service cannot be read.
std::optional<uint32_t> ReadServiceState();

// The system half of the autostart host; RunElevated is the window's.
class SystemAutoStartHost : public AutoStartHost {
 public:
  ~SystemAutoStartHost() override;
  bool OpenRunKey() override;
  void CloseRunKey() override;
  bool IsServiceAutoStart() override;
  void SetRunValue(const std::string& text) override;
  void DeleteRunValue() override;
  void WriteAutostartEntry(const std::string& text) override;
  void RemoveAutostartEntry() override;

 private:
  void* key_ = nullptr;
};

// Whether the Run value "Kestyl" can be read (the settings page's check box).
bool RunValuePresent();

}  // namespace ks::app
