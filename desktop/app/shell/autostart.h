// Start with the session: the start type of the agent's service and the start of the
// desktop program at log-on, kept together.
//
// SetAutoStart carries out a pending change of the start-with-session box:
//  1. opens the Run key (HKLM "Software\Microsoft\Windows\CurrentVersion\Run"); when it
//     cannot be opened nothing at all changes;
//  2. with a pending change, runs elevated
//       sc config Kestyl binPath= "\"<bin>/KestylClient\" -r Kestyl" start= auto|demand
//     (the executable quoted inside the command, so a folder with a blank works);
//  3. sets or removes, in one step, the Run value "Kestyl" = "\"<bin>/Kestyl\" autostartup"
//     and the session autostart entry ${XDG_CONFIG_HOME:-~/.config}/autostart/Kestyl.desktop
//     (Exec="<bin>/Kestyl" autostartup): present exactly when the start type changed to
//     automatic with the box ticked, or, when it did not change, when the service starts
//     automatically. A failed or declined sc therefore leaves both matching the start type
//     the service still has.
// A program folder with a line break writes no entry (it could not be expressed safely).
#pragma once

#include <string>

namespace ks::app {

inline constexpr const char* kRunKeyPath = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* kRunValueName = "Kestyl";
inline constexpr const char* kAutoStartArgument = "autostartup";

class AutoStartHost {
 public:
  virtual ~AutoStartHost() = default;
  virtual bool OpenRunKey() = 0;
  virtual void CloseRunKey() = 0;
  virtual bool IsServiceAutoStart() = 0;
  // The elevation step of the window (notice + prompt); true when sc ran.
  virtual bool RunElevated(const std::string& program, const std::string& parameters,
                           const std::string& messageKey) = 0;
  virtual void SetRunValue(const std::string& text) = 0;
  virtual void DeleteRunValue() = 0;
  virtual void WriteAutostartEntry(const std::string& text) = 0;
  virtual void RemoveAutostartEntry() = 0;
};

// "config Kestyl binPath= \"\\\"<bin>/KestylClient\\\" -r Kestyl\" start= auto|demand"
std::string ServiceConfigParameters(const std::string& programFolder, bool automatic);
// "\"<bin>/Kestyl\" autostartup"
std::string RunValueText(const std::string& programFolder);
// The desktop entry file text; "" when the folder cannot be expressed (line break).
std::string AutostartEntryText(const std::string& programFolder);
// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/Kestyl.desktop; "" without either variable.
std::string AutostartEntryPath();

// `check`: the box's value; `pending`: it was toggled since the last apply (only 1 counts).
void SetAutoStart(AutoStartHost& host, const std::string& programFolder, bool check, int pending);

}  // namespace ks::app
