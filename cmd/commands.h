// The real commands of Kestyl_Cmd, bound to the program folder (language files, .uuid and
// the desktop program are looked up there).
#pragma once

#include <string>

#include "cmd/dispatch.h"

namespace ks::cmd {

Commands ProgramCommands(const std::string& program_folder);

}  // namespace ks::cmd
