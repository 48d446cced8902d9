// An agent link for the log-in tests that answers from a script and records what it was
// asked; the log-in status question can be held to show that the window never waits on it.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"
#include "tests/desktop/app/login/login_test_kit.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kstest {

using ks::desktop::LoginInfo;

class ScriptedLink : public ks::desktop::IUIData {
 public:
  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallBack(ks::desktop::IUIDataCallBack*) override {}
  void ClearCallBack() override {}
  int Login(LoginInfo* info, bool hash) override {
    if (hash) std::strcpy(info->password, "HASHEDHASHEDHASHED0123");  // 22 characters, as the link writes back
    logins.push_back({"Login", info->account, info->password, hash ? 1 : 0, info->remember});
    return 0;
  }
  int Logout() override {
    ++logouts;
    saved = LoginInfo{};
    return 0;
  }
  int GetLogOnInfo(LoginInfo* info) override {
    *info = saved;
    return 0;
  }
  int GetDefShare(std::string* root, bool) override {
    *root = dataFolder;
    return 0;
  }
  int SetDefShare(const std::string&) override { return 0; }
  int GetShare() override { return 0; }
  int UpdateShares(const std::vector<std::string>&, const std::vector<std::string>&) override { return 0; }
  int GetLogOnStatus() override {
    std::unique_lock<std::mutex> lock(mutex);
    ++statusAsked;
    asked.notify_all();
    released.wait(lock, [&] { return !holdStatus; });
    return status;
  }
  int GetTransferState() override {
    ++transferAsked;
    return transfer;
  }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  uint32_t GetSysTypeValue() override { return 2; }
  int AnswerConnectRequest(const ks::desktop::ConnectDlgResult*) override { return 0; }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string*) override { return 0; }
  int GetAutoTiding(int*) override { return 0; }
  int SetAutoTiding(bool) override { return 0; }
  int SetupDataFolder() override { return 0; }
  int ExecInSession() override { return 0; }

  void Hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    holdStatus = on;
    released.notify_all();
  }
  bool WaitAsked(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return asked.wait_for(lock, std::chrono::seconds(5), [&] { return statusAsked >= count; });
  }

  LoginInfo saved{};
  std::string dataFolder;
  std::atomic<int> status{0};
  std::atomic<int> transfer{1};
  std::atomic<int> transferAsked{0};
  int logouts = 0;
  std::vector<kstest::LoginCall> logins;

 private:
  std::mutex mutex;
  std::condition_variable asked;
  std::condition_variable released;
  int statusAsked = 0;
  bool holdStatus = false;
};

}  // namespace kstest
