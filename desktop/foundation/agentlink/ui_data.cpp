#include "desktop/foundation/agentlink/ui_data.h"

#include <atomic>
#include <mutex>

namespace ks::desktop {

struct CUIData::Impl {
  UIDataOptions options;
  bool processWide = false;
  std::atomic<int> refs{0};
  std::mutex callbackMutex;
  IUIDataCallBack* callback = nullptr;
};

namespace {
std::mutex g_instanceMutex;
CUIData* g_instance = nullptr;
}  // namespace

CUIData::CUIData(const UIDataOptions& options, bool processWide) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
  impl_->processWide = processWide;
}

CUIData::~CUIData() = default;

IUIData* CUIData::GetInstance() {
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (g_instance == nullptr) g_instance = new CUIData(UIDataOptions{}, true);
  g_instance->AddRef();
  return g_instance;
}

IUIData* CUIData::Create(const UIDataOptions& options) {
  auto* data = new CUIData(options, false);
  data->AddRef();
  return data;
}

int CUIData::AddRef() { return ++impl_->refs; }

int CUIData::Release() {
  if (impl_->processWide) {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    int left = --impl_->refs;
    if (left > 0) return left;
    g_instance = nullptr;
    delete this;
    return 0;
  }
  int left = --impl_->refs;
  if (left > 0) return left;
  delete this;
  return 0;
}

void CUIData::SetCallBack(IUIDataCallBack* callback) {
  std::lock_guard<std::mutex> lock(impl_->callbackMutex);
  impl_->callback = callback;
}
void CUIData::ClearCallBack() { SetCallBack(nullptr); }
int CUIData::Login(LoginInfo*, bool) { return -1; }
int CUIData::Logout() { return 0; }
int CUIData::GetLogOnInfo(LoginInfo*) { return 0; }
int CUIData::GetDefShare(std::string*, bool) { return 0; }
int CUIData::SetDefShare(const std::string&) { return -1; }
int CUIData::GetShare() { return 0; }
int CUIData::UpdateShares(const std::vector<std::string>&, const std::vector<std::string>&) { return -1; }
int CUIData::GetLogOnStatus() { return -2; }
int CUIData::GetTransferState() { return 0; }
int CUIData::SetHost(const std::string&) { return 0; }
int CUIData::GetTransLog() { return 0; }
int CUIData::GetPath(const std::string&) { return 0; }
uint32_t CUIData::GetSysTypeValue() { return 2; }
int CUIData::AnswerConnectRequest(const ConnectDlgResult*) { return 0; }
int CUIData::SetPwd(const std::string&) { return 0; }
int CUIData::GetPwd(std::string*) { return 0; }
int CUIData::GetAutoTiding(int*) { return -1; }
int CUIData::SetAutoTiding(bool) { return 0; }
int CUIData::SetupDataFolder() { return 0; }
int CUIData::ExecInSession() { return 0; }

}  // namespace ks::desktop
