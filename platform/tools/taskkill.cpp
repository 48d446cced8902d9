// taskkill: ends the processes of a program name (platform/process_list.h: name rules and
// the installation scope).
//
//   taskkill /IM <name> [/F] [/T]     options in any case; /F kills (SIGKILL), else SIGTERM
//
// Exit 0 when every match was signalled; 128 when nothing matched; 1 when one may not be
// signalled ("Access is denied.").
#include <iostream>
#include <string>

#include "platform/process_list.h"

using namespace ks::platform;

int main(int argc, char** argv) {
  std::string name;
  bool force = false, haveName = false;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    for (char& c : opt) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (opt == "/IM" && i + 1 < argc) {
      name = argv[++i];
      haveName = true;
    } else if (opt == "/F") {
      force = true;
    } else if (opt == "/T") {
    } else {
      std::cerr << "ERROR: Invalid argument/option - '" << argv[i] << "'.\nType \"TASKKILL /?\" for usage.\n";
      return 1;
    }
  }
  if (!haveName || name.empty()) {
    std::cerr << "ERROR: Invalid syntax. /IM option is required.\nType \"TASKKILL /?\" for usage.\n";
    return 1;
  }
  auto outcomes = KillProcessesByName(name, force);
  if (outcomes.empty()) {
    std::cerr << "ERROR: The process \"" << name << "\" not found.\n";
    return 128;
  }
  int code = 0;
  for (const auto& k : outcomes) {
    if (k.error) {
      std::cerr << "ERROR: The process \"" << name << "\" with PID " << k.pid
                << " could not be terminated.\nReason: Access is denied.\n";
      code = 1;
    } else {
      std::cout << "SUCCESS: The process \"" << name << "\" with PID " << k.pid << " has been terminated.\n";
    }
  }
  return code;
}
