// kestyl-probe: runs single operations of the desktop foundation against the installation
// it is copied into (its own program folder), for tests and outside checks.
//
//   config get <key>                  the setting (Read<Key>) after the program's start-up
//                                     (load; on failure copy the default files, load again)
//   config set <key> <value>          Write<Key> (other keys: written as given)
//   log <level> <text> [<threads> <lines each>]
//                                     start-up of the log as the program does it, then the
//                                     lines [LOG <tid> CSettingDlg::OnClose 12] <text>
//   allowed <path>                    IsAllowedFolder
//   email <text>                      IsValidEmail
//   urlencode <text>                  UrlEncode
//   namespace <path>                  IsNamespaceFolderRegistered
//   run <command line>                RunCommand's text (captured)
//   elevated                          IsElevated
//   running <name>                    IsProcessRunning
//   kill <name>                       KillProcess
//   autostart                         IsServiceAutoStart
//   sync check-adapter                CheckAdapter (prints the index)
//   sync install-driver               InstallDriver
//   sync run <primary|secondary> <account> <folder> <seconds>
//                                     CheckAdapter, Configure, StartNetwork, Run; Stop after
//                                     the seconds, or earlier on SIGINT or SIGTERM. Prints "notice <key>" for each box
//                                     (MSGBOX_SETTING_SYNC_FAILEDTOOPEN when the start
//                                     batch failed, then Stop at once) and "stopped <1|0>"
//                                     (Stop's result)
//   sync stop                         Stop
//   sync export <csv> <langid>        ExportLog with KESTYL_LANGID=<langid>
//   link status                       GetLogOnStatus (the number)
//   link login <account> <password> [hash]
//                                     Login (with "hash": the salted hash, printed), then
//                                     waits until the agent took the request
//   link logout                       Logout
//   link info                         GetLogOnInfo: account, password, remember (a line each)
//   link shares                       GetShare: one folder a line
//   link add-share <path>             UpdateShares adding the path (the agent's result)
//   link remove-share <path>          UpdateShares removing the path (the agent's result)
//   link defshare                     GetDefShare: the data folder
//   link set-defshare <folder>        SetDefShare(<folder>/Kestyl) (the result)
//   link translog                     GetTransLog: "type status size time file" a line
//   link transfer                     GetTransferState (the number)
//   link autotiding [0|1]             SetAutoTiding (the result), or GetAutoTiding (0 or 1)
//   link exec                         ExecInSession (the result)
//   link answer <seconds> accept|refuse
//                                     listens for the agent's log-in asks for the seconds,
//                                     prints "request <sender> <network>" and answers each;
//                                     SIGINT or SIGTERM end it early (it waits for them
//                                     in sigtimedwait once every ask gets its answer)
//   link setup-folder                 GetDefShare, then SetupDataFolder (the result)
// The link finds the agent at KESTYL_AGENT_PORT and listens at KESTYL_DESKTOP_PORT.
//
// Answers go to stdout. Exit status 0, or 1 for a false answer; 2 for a usage error.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/agentlink/data_folder.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/sync/sync_logic.h"
#include "desktop/foundation/util/ks_util.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: kestyl-probe config get <key> | config set <key> <value> |\n"
               "       log <level> <text> [<threads> <lines each>] | allowed <path> |\n"
               "       email <text> | urlencode <text> | namespace <path> | run <command line> |\n"
               "       elevated | running <name> | kill <name> | autostart |\n"
               "       sync <operation> ... | link <operation> ...\n");
  return 2;
}

int Bool(bool b) {
  std::printf("%s\n", b ? "true" : "false");
  return b ? 0 : 1;
}

// The program's start-up: load; when that fails and every master copy is there, copy the
// missing default files and load again.
CKSConfig* StartConfig() {
  CKSConfig* config = CKSConfig::GetInstance();
  if (!config->IsLoaded() && config->DefaultFilesExist() && config->CopyDefaultFiles()) config->Load();
  return config;
}

int Config(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string op = argv[2], key = argv[3];
  CKSConfig* c = StartConfig();
  if (op == "get" && argc == 4) {
    std::string v;
    if (key == "Language") v = c->ReadLanguage();
    else if (key == "RemPass") v = c->ReadRemPass(true);
    else if (key == "SyncAsPrimary") v = c->ReadSyncAsPrimary(true);
    else if (key == "SyncOn") v = c->ReadSyncOn(true);
    else if (key == "SyncPath") v = c->ReadSyncPath(true);
    else if (key == "GlobalLoggerOn") v = c->ReadGlobalLoggerOn(true);
    else if (key == "UpdateURL") v = c->ReadUpdateURL();
    else if (key == "DebugOn") v = c->ReadDebugOn();
    else v = c->ReadKey(key, "");
    std::printf("%s\n", v.c_str());
    return 0;
  }
  if (op == "set" && argc == 5) {
    const std::string v = argv[4];
    bool ok;
    if (key == "Language") ok = c->WriteLanguage(v, true);
    else if (key == "RemPass") ok = c->WriteRemPass(v, true);
    else if (key == "SyncAsPrimary") ok = c->WriteSyncAsPrimary(v, true);
    else if (key == "SyncOn") ok = c->WriteSyncOn(v, true);
    else if (key == "SyncPath") ok = c->WriteSyncPath(v, true);
    else ok = c->WriteKey(key, v);
    return Bool(ok);
  }
  return Usage();
}

int Log(int argc, char** argv) {
  if (argc != 4 && argc != 6) return Usage();
  const int level = std::atoi(argv[2]);
  const std::string text = argv[3];
  const int threads = argc == 6 ? std::atoi(argv[4]) : 1;
  const int each = argc == 6 ? std::atoi(argv[5]) : 1;
  if (threads < 1 || each < 0) return Usage();

  // As the program: without a loaded configuration the log is never set up.
  CKSConfig* config = StartConfig();
  if (!config->IsLoaded()) {
    std::fprintf(stderr, "configuration not loaded\n");
    return 1;
  }
  CKSLog* log = CKSLog::GetInstance();
  int rc = log->Start(CKSUtil::GetConfigFolder(), config->IsGlobalLoggerOn());
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

class PrintingNotice : public ISyncNotice {
 public:
  void ShowNotice(const std::string& key) override {
    std::printf("notice %s\n", key.c_str());
    std::fflush(stdout);
  }
};

int Sync(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string op = argv[2];
  if (op == "check-adapter" && argc == 3) {
    std::u16string index;
    const bool ok = CSyncLogic::CheckAdapter(index);
    if (ok) std::printf("%s\n", std::string(index.begin(), index.end()).c_str());
    return Bool(ok);
  }
  if (op == "install-driver" && argc == 3) return Bool(CSyncLogic::InstallDriver());
  if (op == "stop" && argc == 3) return Bool(CSyncLogic::Stop());
  if (op == "export" && argc == 5) {
    ::setenv("KESTYL_LANGID", argv[4], 1);
    return Bool(CSyncLogic::ExportLog(argv[3], nullptr));
  }
  if (op == "run" && argc == 7) {
    const std::string role = argv[3];
    if (role != "primary" && role != "secondary") return Usage();
    // SIGINT/SIGTERM end the wait early: blocked here, before any thread starts, so that
    // every thread inherits the mask and only the wait below takes them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    PrintingNotice notice;
    CSyncLogic::SetNotice(&notice);
    std::u16string index;
    if (!CSyncLogic::CheckAdapter(index)) {
      notice.ShowNotice("MSGBOX_SETTING_SYNC_NO_DRIVER");
      return 1;
    }
    CSyncLogic::Configure(index, argv[4], argv[5], role == "primary");
    bool started = CSyncLogic::StartNetwork();
    if (started) {
      CSyncLogic::Run();
      const auto end = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<long long>(std::atof(argv[6]) * 1000));
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const struct timespec wait {
          static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)
        };
        const int got = ::sigtimedwait(&endSignals, nullptr, &wait);
        if (got == SIGINT || got == SIGTERM || (got < 0 && errno == EAGAIN)) break;
      }
    }
    const bool stopped = CSyncLogic::Stop();
    CSyncLogic::SetNotice(nullptr);
    if (!started) notice.ShowNotice("MSGBOX_SETTING_SYNC_FAILEDTOOPEN");
    std::printf("stopped %d\n", stopped ? 1 : 0);
    return started && stopped ? 0 : 1;
  }
  return Usage();
}

int Number(int n) {
  std::printf("%d\n", n);
  return 0;
}

// Prints the result; exit status 1 unless it is one of the successes.
int Result(int n, std::initializer_list<int> successes = {0}) {
  std::printf("%d\n", n);
  for (int ok : successes)
    if (n == ok) return 0;
  return 1;
}

// Prints each folder, transfer-log entry and log-in ask; answers the asks with `verdict`.
class PrintingListener : public ks::desktop::IUIDataCallBack {
 public:
  explicit PrintingListener(ks::desktop::IUIData* data, bool accept = false) : data_(data), accept_(accept) {}
  void OnAddShareFolder(const std::string& folder) override { std::printf("%s\n", folder.c_str()); }
  void OnTransferItem(const ks::desktop::TransferLogItem* item) override {
    std::printf("%u %u %u %s %s\n", item->type, item->status, item->size, item->time, item->fileName);
  }
  void OnConnectRequest(const ks::desktop::ConnectRequestInfo* request) override {
    std::printf("request %s %s\n", request->sender, request->network);
    std::fflush(stdout);
    ks::desktop::ConnectDlgResult answer{request->requestId, accept_};
    data_->AnswerConnectRequest(&answer);
  }
  void OnNetConnected() override {}
  void OnNetDisconnected() override {}

 private:
  ks::desktop::IUIData* data_;
  bool accept_;
};

int Link(int argc, char** argv) {
  using ks::desktop::CUIData;
  if (argc < 3) return Usage();
  const std::string op = argv[2];
  // "answer" ends on SIGINT/SIGTERM: blocked here, before the link starts its threads, so that
  // every thread inherits the mask and only the wait below takes them (a signal coming
  // earlier waits for it rather than ending the probe with its output lost).
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  if (op == "answer") ::pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
  ks::desktop::UIDataOptions options;
  options.watchNetwork = false;
  options.listen = op == "answer";
  CUIData* data = static_cast<CUIData*>(CUIData::Create(options));
  if (data == nullptr) return 1;
  struct Releaser {
    CUIData* d;
    ~Releaser() { d->Release(); }
  } releaser{data};
  PrintingListener printer(data);

  if (op == "status" && argc == 3) return Number(data->GetLogOnStatus());
  if (op == "transfer" && argc == 3) return Number(data->GetTransferState());
  if (op == "logout" && argc == 3) return Number(data->Logout());
  if (op == "exec" && argc == 3) return Result(data->ExecInSession());
  if (op == "login" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "hash"))) {
    ks::desktop::LoginInfo info{};
    std::snprintf(info.account, sizeof info.account, "%s", argv[3]);
    std::snprintf(info.password, sizeof info.password, "%s", argv[4]);
    const bool hash = argc == 6;
    if (data->Login(&info, hash) != 0) return Result(-1);
    if (hash) std::printf("%s\n", info.password);
    return Bool(data->WaitForQueuedRequests(10000));
  }
  if (op == "info" && argc == 3) {
    ks::desktop::LoginInfo info{};
    data->GetLogOnInfo(&info);
    std::printf("%s\n%s\n%u\n", info.account, info.password, info.remember);
    return 0;
  }
  if (op == "shares" && argc == 3) {
    data->SetCallBack(&printer);
    data->GetShare();
    data->ClearCallBack();
    return 0;
  }
  if ((op == "add-share" || op == "remove-share") && argc == 4) {
    const std::vector<std::string> one = {argv[3]};
    return Result(op == "add-share" ? data->UpdateShares(one, {}) : data->UpdateShares({}, one));
  }
  if (op == "defshare" && argc == 3) {
    std::string root;
    data->GetDefShare(&root, false);
    std::printf("%s\n", root.c_str());
    return 0;
  }
  if (op == "set-defshare" && argc == 4) {
    std::string folder = CKSUtil::RemoveTrailingBackslash(argv[3]);
    return Result(data->SetDefShare(folder + "/" + ks::desktop::kDataFolderName), {0, 1});
  }
  if (op == "translog" && argc == 3) {
    data->SetCallBack(&printer);
    data->GetTransLog();
    data->ClearCallBack();
    return 0;
  }
  if (op == "autotiding" && argc == 3) {
    int on = 0;
    if (data->GetAutoTiding(&on) != 0) return Result(-1);
    return Number(on);
  }
  if (op == "autotiding" && argc == 4 && (std::string(argv[3]) == "0" || std::string(argv[3]) == "1")) {
    return Result(data->SetAutoTiding(std::string(argv[3]) == "1"));
  }
  if (op == "answer" && argc == 5) {
    const std::string verdict = argv[4];
    if (verdict != "accept" && verdict != "refuse") return Usage();
    PrintingListener answering(data, verdict == "accept");
    data->SetCallBack(&answering);
    const double seconds = std::atof(argv[3]);
    const struct timespec wait {
      static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)
    };
    ::sigtimedwait(&endSignals, nullptr, &wait);
    data->ClearCallBack();
    return 0;
  }
  if (op == "setup-folder" && argc == 3) {
    std::string root;
    data->GetDefShare(&root, false);
    if (root.empty()) return Result(-1);
    return Result(data->SetupDataFolder());
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "config") return Config(argc, argv);
  if (cmd == "log") return Log(argc, argv);
  if (cmd == "sync") return Sync(argc, argv);
  if (cmd == "link") return Link(argc, argv);
  if (cmd == "allowed" && argc == 3) return Bool(CKSUtil::IsAllowedFolder(argv[2]));
  if (cmd == "email" && argc == 3) return Bool(CKSUtil::IsValidEmail(argv[2]));
  if (cmd == "urlencode" && argc == 3) {
    std::printf("%s\n", CKSUtil::UrlEncode(argv[2]).c_str());
    return 0;
  }
  if (cmd == "namespace" && argc == 3) return Bool(IsNamespaceFolderRegistered(argv[2]));
  if (cmd == "run" && argc == 3) {
    const std::string out = CKSUtil::RunCommand(argv[2], nullptr, true, false);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (cmd == "elevated" && argc == 2) return Bool(CKSUtil::IsElevated());
  if (cmd == "running" && argc == 3) return Bool(CKSUtil::IsProcessRunning(argv[2]));
  if (cmd == "kill" && argc == 3) return Bool(CKSUtil::KillProcess(argv[2]));
  if (cmd == "autostart" && argc == 2) return Bool(CKSUtil::IsServiceAutoStart());
  return Usage();
}
