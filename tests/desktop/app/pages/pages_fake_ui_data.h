// A stand-in for the agent link of the pages' tests: records every call by name with its
// arguments, answers from fields the test sets. SetDefShare may be held on a gate, so a test
// can act while a move runs on the page's worker; the calls are recorded under a lock since
// that one arrives from the worker.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace kstest {

class PagesFakeUIData : public ks::desktop::IUIData {
 public:
  int AddRef() override { return ++refs; }
  int Release() override { return --refs; }
  void SetCallBack(ks::desktop::IUIDataCallBack*) override {}
  void ClearCallBack() override {}
  int Login(ks::desktop::LoginInfo*, bool) override { return Call("Login"); }
  int Logout() override { return Call("Logout"); }
  int GetLogOnInfo(ks::desktop::LoginInfo* info) override {
    Call("GetLogOnInfo");
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->account, account.c_str(), sizeof info->account - 1);
    return 0;
  }
  int GetDefShare(std::string* root, bool) override {
    Call("GetDefShare");
    *root = defShare;
    return 0;
  }
  int SetDefShare(const std::string& folder) override {
    Call("SetDefShare " + folder);
    std::unique_lock<std::mutex> lock(mutex_);
    ++setDefShareStarted_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdMove_; });
    // The real link leaves the data in the new folder when it reports a move.
    if (moveResult == 0 || moveResult == -2) std::filesystem::create_directories(folder);
    return moveResult;
  }
  int GetShare() override { return Call("GetShare"); }
  int UpdateShares(const std::vector<std::string>& add, const std::vector<std::string>& remove) override {
    std::string line = "UpdateShares add";
    for (const auto& a : add) line += " " + a;
    line += " remove";
    for (const auto& r : remove) line += " " + r;
    return Call(line);
  }
  int GetLogOnStatus() override { return Call("GetLogOnStatus"); }
  int GetTransferState() override { return Call("GetTransferState"); }
  int SetHost(const std::string&) override { return Call("SetHost"); }
  int GetTransLog() override { return Call("GetTransLog"); }
  int GetPath(const std::string&) override { return Call("GetPath"); }
  uint32_t GetSysTypeValue() override { return 2; }
  int AnswerConnectRequest(const ks::desktop::ConnectDlgResult*) override { return Call("AnswerConnectRequest"); }
  int SetPwd(const std::string&) override { return Call("SetPwd"); }
  int GetPwd(std::string*) override { return Call("GetPwd"); }
  int GetAutoTiding(int* on) override {
    Call("GetAutoTiding");
    *on = autoTiding;
    return 0;
  }
  int SetAutoTiding(bool on) override { return Call(on ? "SetAutoTiding 1" : "SetAutoTiding 0"); }
  int SetupDataFolder() override { return Call("SetupDataFolder"); }
  int ExecInSession() override { return Call("ExecInSession"); }

  // Holds the next SetDefShare until Release().
  void HoldMove() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdMove_ = true;
  }
  void ReleaseMove() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdMove_ = false;
    changed_.notify_all();
  }
  int MovesStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return setDefShareStarted_;
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The calls whose text starts with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : Calls())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

  int refs = 1;
  std::string account;
  std::string defShare;
  int autoTiding = 0;
  int moveResult = 0;

 private:
  int Call(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(line);
    return 0;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holdMove_ = false;
  int setDefShareStarted_ = 0;
  std::vector<std::string> calls_;
};

}  // namespace kstest
