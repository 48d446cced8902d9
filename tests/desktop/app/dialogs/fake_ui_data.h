// A recording stand-in for the agent link: every call is logged by name, SetDefShare answers
// from a script, nothing reaches an agent.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

#include <deque>
#include <string>
#include <vector>

namespace kstest {

class RecordingUIData : public ks::desktop::IUIData {
 public:
  int AddRef() override { return ++refs; }
  int Release() override { return --refs; }
  void SetCallBack(ks::desktop::IUIDataCallBack*) override { calls.push_back("SetCallBack"); }
  void ClearCallBack() override { calls.push_back("ClearCallBack"); }
  int Login(ks::desktop::LoginInfo*, bool) override { return Call("Login"); }
  int Logout() override { return Call("Logout"); }
  int GetLogOnInfo(ks::desktop::LoginInfo*) override { return Call("GetLogOnInfo"); }
  int GetDefShare(std::string*, bool) override { return Call("GetDefShare"); }
  int SetDefShare(const std::string& folder) override {
    Call("SetDefShare");
    defShares.push_back(folder);
    if (defShareResults.empty()) return 0;
    const int r = defShareResults.front();
    defShareResults.pop_front();
    return r;
  }
  int GetShare() override { return Call("GetShare"); }
  int UpdateShares(const std::vector<std::string>& add, const std::vector<std::string>& remove) override {
    added.push_back(add);
    removed.push_back(remove);
    return Call("UpdateShares");
  }
  int GetLogOnStatus() override { return Call("GetLogOnStatus"); }
  int GetTransferState() override { return Call("GetTransferState"); }
  int SetHost(const std::string&) override { return Call("SetHost"); }
  int GetTransLog() override { return Call("GetTransLog"); }
  int GetPath(const std::string&) override { return Call("GetPath"); }
  uint32_t GetSysTypeValue() override { return static_cast<uint32_t>(Call("GetSysTypeValue")); }
  int AnswerConnectRequest(const ks::desktop::ConnectDlgResult*) override { return Call("AnswerConnectRequest"); }
  int SetPwd(const std::string&) override { return Call("SetPwd"); }
  int GetPwd(std::string*) override { return Call("GetPwd"); }
  int GetAutoTiding(int*) override { return Call("GetAutoTiding"); }
  int SetAutoTiding(bool) override { return Call("SetAutoTiding"); }
  int SetupDataFolder() override { return Call("SetupDataFolder"); }
  int ExecInSession() override { return Call("ExecInSession"); }

  int refs = 0;
  std::vector<std::string> calls;
  std::vector<std::string> defShares;
  std::deque<int> defShareResults;
  std::vector<std::vector<std::string>> added;
  std::vector<std::vector<std::string>> removed;

 private:
  int Call(const char* name) {
    calls.push_back(name);
    return 0;
  }
};

}  // namespace kstest
