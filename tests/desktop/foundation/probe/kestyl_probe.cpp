// kestyl-probe: runs single operations of the desktop foundation against the installation
// it is copied into (its own program folder), for tests and outside checks.
//
//   config get <key>                  the setting (Read<Key>), after the start-up load
//   config set <key> <value>          Write<Key>
//   log <level> <text> [<threads> <lines each>]
//                                     start-up of the log as the program does it, then the
//                                     lines [LOG <tid> CSettingDlg::OnClose 12] <text>
//   allowed <path>                    IsAllowedFolder
//   email <text>                      IsValidEmail
//   urlencode <text>                  UrlEncode
//
// Answers go to stdout. Exit status 0, or 1 for a false answer; 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: kestyl-probe config get <key> | config set <key> <value> |\n"
               "       log <level> <text> [<threads> <lines each>] | allowed <path> |\n"
               "       email <text> | urlencode <text>\n");
  return 2;
}

int Bool(bool b) {
  std::printf("%s\n", b ? "true" : "false");
  return b ? 0 : 1;
}

int Log(int argc, char** argv) {
  if (argc != 4 && argc != 6) return Usage();
  const int level = std::atoi(argv[2]);
  const std::string text = argv[3];
  const int threads = argc == 6 ? std::atoi(argv[4]) : 1;
  const int each = argc == 6 ? std::atoi(argv[5]) : 1;
  if (threads < 1 || each < 0) return Usage();

  CKSLog* log = CKSLog::GetInstance();
  int rc = log->Start(CKSUtil::GetConfigFolder(), true);
  if (rc != 1) {
    std::fprintf(stderr, "log set-up failed: %d\n", rc);
    return 1;
  }
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < each; ++i) log->Write("LOG", level, "CSettingDlg::OnClose", 12, "%s", text.c_str());
    });
  for (auto& w : workers) w.join();
  CKSLog::Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "log") return Log(argc, argv);
  if (cmd == "allowed" && argc == 3) return Bool(CKSUtil::IsAllowedFolder(argv[2]));
  if (cmd == "email" && argc == 3) return Bool(CKSUtil::IsValidEmail(argv[2]));
  if (cmd == "urlencode" && argc == 3) {
    std::printf("%s\n", CKSUtil::UrlEncode(argv[2]).c_str());
    return 0;
  }
  return Usage();
}
