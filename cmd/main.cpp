// Kestyl_Cmd: see dispatch.h for the command line and the result line.
#include <csignal>
#include <cstdio>
#include <string>

#include "cmd/commands.h"
#include "cmd/dispatch.h"
#include "cmd/statistic.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::string folder = ks::cmd::GetModuleFolder();
  if (folder.empty()) {
    std::printf("Fatal Error: GetModuleHandle failed\n");
    std::fflush(stdout);
    return 1;
  }
  std::string line;
  int code = ks::cmd::RunCommandProgram(argc, argv, ks::cmd::ProgramCommands(folder), line);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  return code;
}
