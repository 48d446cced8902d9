// The data folder on this PC: the six default folders that travel to the agent, moving the
// data folder to a new place, its local decorations (desktop.ini, user guide) and the
// password hash of the log-in. CUIData runs these only when the agent is on this PC. No Qt.
//
// Moving (PrepareDataFolderMove, then FinishDataFolderMove once the agent stored the new
// folder) never loses a file: the old folder is copied whole into the new one first (files
// already there are never overwritten: a clash fails the copy), a failed or cancelled copy
// removes exactly what it created, and the old folder goes to the owner's trash
// (freedesktop.org layout) only after the agent took the new folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ks::desktop {

constexpr const char* kCryptSalt = "$1$qumvat$";
constexpr const char* kDataFolderName = "Kestyl";
constexpr int kMoveCancelled = 1223;
constexpr int kMoveNotStored = -4;

// The hash part of an MD5-crypt text: the first 10 characters (the salt prefix) cut off when
// the text holds the salt anywhere, else the text unchanged.
std::string StripCryptSalt(const std::string& text);
// The salted hash of `password` (without the salt prefix, 22 characters) made by the
// "crypt" export of the library at `libraryPath`: 0, or -1 (*hash untouched) when the
// library cannot be loaded, lacks the export, or gives no well-formed MD5-crypt text.
int CryptPassword(const std::string& libraryPath, const std::string& password, std::string* hash);

// The six default folders for the data folder `root`: root, then root/<picture>,
// root/<music>, root/<video>, root/<document> and root/<picture>/<instant> (names of the
// system language); "/" joins them whatever system type the agent reports.
std::vector<std::string> FillDefShareFolders(const std::string& root);
// Creates the video, document, music, picture and instant folders (with missing parents).
void CreateFolderIfMissing(const std::vector<std::string>& folders);
// $HOME/Kestyl (the home folder of the user's account when HOME is unset).
std::string DefaultDataFolder();

// Called before each file or folder of a copy is made (its path in the new place): 0 goes
// on, kMoveCancelled cancels, any other value fails the copy.
using CopyObserver = std::function<int(const std::string& target)>;

// Gets the new data folder `newRoot` (absolute) ready for the data of `current`:
//   1   nothing to move: newRoot is current itself, or its parent is current or lies below
//       it (after resolving links, compared per component)
//   -1  refused (not an allowed folder, relative, newRoot holding current, not enough free
//       space, a folder that cannot be created) or the copy failed; nothing stays behind
//   kMoveCancelled  the observer cancelled; nothing stays behind
//   0   newRoot exists with a whole copy of current (*copied true), or current does not
//       exist and newRoot was created (*copied false)
int PrepareDataFolderMove(const std::string& current, const std::string& newRoot, const CopyObserver& observer,
                          bool* copied);
// Moves `folder` to the owner's trash: 0, or -2 when it stays where it is.
int TrashFolder(const std::string& folder);

// <folder>/desktop.ini as a UTF-16LE INI (section ".ShellClassInfo": the icon and the
// display name; the older keys on systems before version 6), marked hidden and system, the
// folder marked system. False when it cannot be written.
bool WriteDesktopIni(const std::string& folder, const std::string& programPath, const std::string& displayName);
// The user guide of the system language copied from `programDir` into `folder` (the other
// guides removed from it first).
void CopyUserGuide(const std::string& programDir, const std::string& folder);
std::vector<std::string> UserGuideNames();

}  // namespace ks::desktop
