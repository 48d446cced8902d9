// A stand-in for the agent link that records the answers to connection requests; every
// other question gets a plain "nothing" answer.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

#include <mutex>
#include <vector>

namespace kstest {

class RecordingUIData : public ks::desktop::IUIData {
 public:
  struct Answer {
    uint32_t requestId;
    bool accepted;
    bool operator==(const Answer& o) const { return requestId == o.requestId && accepted == o.accepted; }
  };
  std::vector<Answer> answers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }
  std::vector<ks::desktop::LoginInfo> logins() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logins_;
  }

  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallBack(ks::desktop::IUIDataCallBack*) override {}
  void ClearCallBack() override {}
  int Login(ks::desktop::LoginInfo* info, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    logins_.push_back(*info);
    return 0;
  }
  int Logout() override { return 0; }
  int GetLogOnInfo(ks::desktop::LoginInfo*) override { return 0; }
  int GetDefShare(std::string*, bool) override { return 0; }
  int SetDefShare(const std::string&) override { return 0; }
  int GetShare() override { return 0; }
  int UpdateShares(const std::vector<std::string>&, const std::vector<std::string>&) override { return 0; }
  int GetLogOnStatus() override { return 0; }
  int GetTransferState() override { return 0; }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  uint32_t GetSysTypeValue() override { return 2; }
  int AnswerConnectRequest(const ks::desktop::ConnectDlgResult* result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back({result->requestId, result->accepted});
    return 0;
  }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string*) override { return 0; }
  int GetAutoTiding(int*) override { return -1; }
  int SetAutoTiding(bool) override { return 0; }
  int SetupDataFolder() override { return 0; }
  int ExecInSession() override { return 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<Answer> answers_;
  std::vector<ks::desktop::LoginInfo> logins_;
};

}  // namespace kstest
