// Where the running program is installed.
//
// The install root is the parent of the folder that holds the program file
// (<root>/bin/KestylClient -> <root>); it holds the bin, etc and log folders.
#pragma once

#include <string>

namespace ks::platform {

// Absolute path of the running program (from /proc/self/exe); "" when unknown.
std::string ProgramPath();
// Folder of the running program; "" when unknown.
std::string ProgramDir();
// Parent of the folder of the absolute `programPath`; "" when that is not a folder below
// "/" ("/KestylClient", "/bin/KestylClient", a relative path).
std::string InstallRootOf(const std::string& programPath);
// InstallRootOf(ProgramPath()).
std::string InstallRoot();

}  // namespace ks::platform
