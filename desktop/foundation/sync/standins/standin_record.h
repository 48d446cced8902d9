// Shared by the stand-ins of the synchronisation's outside programs: each appends its
// argument list with a time stamp to <PlatformDir()>/sync/<program>.log, one line per start:
//   <YYYY-MM-DD hh:mm:ss.mmm> <arg1> <arg2> ...   (arguments joined by single blanks)
// (the driver installer adds a line "<stamp> => <its answer>" after it)
// and, when asked to stay, waits until a signal ends it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/service_table.h"

namespace ks::sync_standin {

inline std::string RecordFolder() { return ks::platform::PlatformDir() + "/sync"; }

// Appends "<stamp> <text>\n" to the program's record.
inline void RecordLine(const char* program, const std::string& text) {
  const std::string folder = RecordFolder();
  ::mkdir(ks::platform::PlatformDir().c_str(), 0755);
  ::mkdir(folder.c_str(), 0755);
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  const std::string line = std::string(stamp) + " " + text + "\n";
  if (FILE* f = std::fopen((folder + "/" + program + ".log").c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
}

inline void Record(const char* program, int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);
  RecordLine(program, args);
}

[[noreturn]] inline void StayUntilSignalled() {
  for (;;) ::pause();
}

}  // namespace ks::sync_standin
