// Elevation, the shell's "runas" and "open" verbs, and facts about the machine.
//
// Elevated: KESTYL_ELEVATED is "1", or the effective user is root. Read afresh at each call
// (the desktop program keeps its own cached answer).
//
// RunAs(file, parameters, wait) stands in for the elevation prompt. The policy is
// KESTYL_RUNAS: "decline" refuses every prompt (1223, nothing runs); anything else (default)
// accepts. Each prompt appends "runas accept <program> <parameters>" or
// "runas decline <program> <parameters>" to <PlatformDir()>/shell.log (<program> is the file
// as given without one pair of enclosing quotes). An accepted program is found as
// process.h FindProgram does (a ".bat" runs through cmd), gets the parameters split by the
// command-line rules of process.h and KESTYL_ELEVATED=1 in its environment, and runs with
// its output on /dev/null: waited for without a time limit when `wait`, else detached.
// Results: 0 started (or ran; its exit code is not reported), 1223 declined, 2 the program
// is missing, another errno value when it cannot be started.
//
// ShellOpen(target) opens a web page or file in the user's browser: $KESTYL_BROWSER (its
// text split by the command-line rules; default "xdg-open") with the target as one more,
// single argument, detached. It appends "open <target>" to shell.log. Targets with control
// characters are refused (EINVAL). 0 or an errno value.
//
// shell.log lines are written with one append each, so concurrent writers never mix lines;
// control characters in the logged texts become "?".
//
// Facts:
//  - IsUserAdmin: KESTYL_ADMIN ("1" yes, anything else no) when set; else effective user
//    root or a member of the group "sudo".
//  - WindowsVersion: KESTYL_WINVER "<major>.<minor>" (default 6.1); only the branches for
//    old systems look at it (IsVistaOrLater: major > 5).
//  - IsNetworkAlive: <PlatformDir()>/facts/network_alive when present ("1" alive, anything
//    else not); else whether an interface other than loopback is up and running.
#pragma once

#include <string>

namespace ks::platform {

constexpr int kRunAsDeclined = 1223;  // ERROR_CANCELLED
constexpr int kRunAsMissing = 2;      // ERROR_FILE_NOT_FOUND

bool IsProcessElevated();
int RunAs(const std::string& file, const std::string& parameters, bool wait);
int ShellOpen(const std::string& target);
std::string ShellLogPath();

bool IsUserAdmin();
void WindowsVersion(int& major, int& minor);
bool IsVistaOrLater();
bool IsNetworkAlive();

}  // namespace ks::platform
