// Where the first-run wizard proposes the data folder: "Kestyl" in the owner's home folder.
//
// Home folder: $HOME when it is set and not empty, else the password database's entry of
// the real user; "/" when neither is known. A data folder below a chosen base is the base,
// one "/" and "Kestyl", whatever the base ends with ("/h/" -> "/h/Kestyl", "/" -> "/Kestyl").
// Pure apart from HomeFolder's reads; thread-safe.
#pragma once

#include <string>

namespace ks::dialogs {

inline constexpr const char* kDataFolderName = "Kestyl";

// base + "/Kestyl" with exactly one "/" between them ("" counts as "/").
std::string DataFolderUnder(const std::string& base);
std::string HomeFolder();
// DataFolderUnder(HomeFolder()).
std::string DefaultDataFolder();

}  // namespace ks::dialogs
