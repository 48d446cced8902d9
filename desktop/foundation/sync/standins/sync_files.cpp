// Stand-in of the file synchroniser: no files are synchronised on Linux. It records its
// arguments, then
//   primary ("-socket <port>"): creates ".SyncConfig" in its working folder;
//   secondary ("-logfile <path>"): appends <PlatformDir()>/sync/trans.fixture (when present)
//   to the log file once;
// and stays alive until signalled. KESTYL_SYNC_EXIT=1: exits at once after recording.
#include <cstdlib>
#include <fstream>
#include <string>

#include "desktop/foundation/sync/standins/standin_record.h"

int main(int argc, char** argv) {
  ks::sync_standin::Record("KestylSync", argc, argv);
  const char* exitNow = std::getenv("KESTYL_SYNC_EXIT");
  if (exitNow && std::string(exitNow) == "1") return 0;
  std::string logFile;
  bool primary = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-socket") primary = true;
    if (arg == "-logfile" && i + 1 < argc) logFile = argv[i + 1];
  }
  if (primary) {
    std::ofstream(".SyncConfig", std::ios::app) << "socket\n";
  } else if (!logFile.empty()) {
    std::ifstream fixture(ks::sync_standin::RecordFolder() + "/trans.fixture", std::ios::binary);
    if (fixture) {
      std::ofstream out(logFile, std::ios::app | std::ios::binary);
      out << fixture.rdbuf();
    }
  }
  ks::sync_standin::StayUntilSignalled();
}
