// Stand-in of the adapter driver installer: no driver is installed on Linux. It records its
// arguments and, for "install <inf> TAP0901", appends a made-up tap adapter (next free index,
// 100 at least, clear of the real interfaces)
// to the platform adapters file, so the adapter lookup finds it.
// KESTYL_DRIVER_INSTALL=fail: prints a failure text and exits 1 without touching the file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "desktop/foundation/sync/standins/standin_record.h"
#include "platform/adapters.h"

#ifndef KS_DRIVER_DESCRIPTION
#error KS_DRIVER_DESCRIPTION must name the adapter description
#endif

namespace {

// Prints the answer and records it beside the arguments.
int Answer(const char* text, int code) {
  std::puts(text);
  ks::sync_standin::RecordLine("KestylDriverInstall", std::string("=> ") + text);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  ks::sync_standin::Record("KestylDriverInstall", argc, argv);
  const char* mode = std::getenv("KESTYL_DRIVER_INSTALL");
  if (mode && std::string(mode) == "fail") {
    return Answer("Driver installation failed.", 1);
  }
  if (argc < 4 || std::string(argv[1]) != "install" || std::string(argv[3]) != "TAP0901") {
    return Answer("usage: KestylDriverInstall install <inf> TAP0901", 1);
  }
  const std::string path = ks::platform::PlatformDir() + "/adapters";
  unsigned next = 100;
  {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const auto at = line.find("index=");
      if (at == std::string::npos) continue;
      const unsigned long n = std::strtoul(line.c_str() + at + 6, nullptr, 10);
      if (n >= next) next = static_cast<unsigned>(n) + 1;
    }
  }
  std::ofstream out(path, std::ios::app);
  out << "index=" << next << " type=tap desc=" << KS_DRIVER_DESCRIPTION << " mac=00:ff:10:0a:0a:"
      << std::hex << (next & 0xff) << "\n";
  if (!out) {
    return Answer("Driver installation failed: cannot write the adapters file.", 1);
  }
  return Answer("Driver installed successfully.", 0);
}
