#include "desktop/foundation/agentlink/ui_data.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/text/text.h"
#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/types.h"
#include "common/wire/wire.h"
#include "desktop/foundation/agentlink/agent_requests.h"
#include "desktop/foundation/agentlink/data_folder.h"
#include "desktop/foundation/agentlink/socket_connect.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"
#include "platform/process.h"
#include "platform/session_launcher.h"

namespace ks::desktop {

namespace wire = ks::wire;
namespace dw = ks::wire::desktop;

namespace {

constexpr const char* kLocalHost = "127.0.0.1";
constexpr const char* kShellFolderClassId = "74362C5A-C943-4FBE-8500-8F82AD459BB7";
constexpr uint32_t kDefaultSysType = 2;

bool HasUnsafeCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

struct CUIData::Impl : ISocketConnectCallback {
  explicit Impl(const UIDataOptions& o) : options(o), link(o.agentPort, o.listenPort) {}

  // ---- the listener and its calls in flight ----
  template <typename Fn>
  bool WithCallback(Fn fn) {
    IUIDataCallBack* cb;
    {
      std::lock_guard<std::mutex> lock(callbackMutex);
      cb = callback;
      if (cb == nullptr) return false;
      ++callsInFlight;
    }
    fn(cb);
    std::lock_guard<std::mutex> lock(callbackMutex);
    if (--callsInFlight == 0) callbackIdle.notify_all();
    return true;
  }
  bool HasCallback() {
    std::lock_guard<std::mutex> lock(callbackMutex);
    return callback != nullptr;
  }

  std::string Host() {
    std::lock_guard<std::mutex> lock(stateMutex);
    return host;
  }
  bool IsLocal() { return Host() == kLocalHost; }

  // Sends the request; 0 and the reply body when a reply of the request's type came, else
  // SendRequest's failure or 1 (a reply of another type or without head).
  int Ask(const std::vector<uint8_t>& request, std::vector<uint8_t>* body) {
    std::vector<uint8_t> reply;
    int r = link.SendRequest(Host(), request, &reply);
    if (r != 0) return r;
    const uint16_t type = wire::DecodeMsgHead(request.data()).type;
    if (reply.size() < wire::kMsgHeadSize || wire::DecodeMsgHead(reply.data()).type != type) return 1;
    body->assign(reply.begin() + wire::kMsgHeadSize, reply.end());
    return 0;
  }

  // ---- ISocketConnectCallback ----
  void OnReceive(const uint8_t* message, size_t length) override {
    if (length < wire::kMsgHeadSize) return;
    const wire::MsgHead head = wire::DecodeMsgHead(message);
    if (head.type != MSG_SHOW_DEVICE_LOGIN_ASK) return;
    ConnectRequestInfo info = MakeConnectRequestInfo(message, length);
    WithCallback([&](IUIDataCallBack* cb) { cb->OnConnectRequest(&info); });
  }
  void OnError(uint16_t, int) override {}

  void NetCheckThread() {
    std::unique_lock<std::mutex> lock(netMutex);
    for (;;) {
      netWake.wait_for(lock, std::chrono::milliseconds(1000), [&] { return netStop; });
      if (netStop) return;
      lock.unlock();
      const bool alive = platform::IsNetworkAlive();
      WithCallback([&](IUIDataCallBack* cb) {
        if (alive) cb->OnNetConnected();
        else cb->OnNetDisconnected();
      });
      lock.lock();
    }
  }

  // MSG_SHOW_GET_DEF_SHARE: true and the agent's data folder (also kept) on a matching reply.
  bool LoadDefShare(std::string* root) {
    std::vector<uint8_t> body;
    std::vector<std::string> folders;
    if (Ask(dw::MakeRequest(MSG_SHOW_GET_DEF_SHARE, 0), &body) != 0 ||
        !dw::ParseGetDefShareReply(body.data(), body.size(), &folders) || folders.size() != dw::kDefShareFolderCount)
      return false;
    std::lock_guard<std::mutex> lock(stateMutex);
    dataRoot = folders[0];
    categories.assign(folders.begin() + 1, folders.end());
    *root = folders[0];
    return true;
  }

  void SetupLocalDataFolder(bool force);

  UIDataOptions options;
  bool processWide = false;
  std::atomic<int> refs{0};
  std::string programDir;
  std::string cryptPath;
  std::atomic<uint32_t> sysType{kDefaultSysType};

  std::mutex stateMutex;  // the fields below up to the link
  std::string host = kLocalHost;
  LoginInfo savedLogin{};
  std::vector<std::string> shares;
  bool sharesLoaded = false;
  std::string dataRoot;
  std::vector<std::string> categories;  // picture, music, video, document, instant

  std::mutex callbackMutex;
  std::condition_variable callbackIdle;
  IUIDataCallBack* callback = nullptr;
  int callsInFlight = 0;

  std::mutex netMutex;
  std::condition_variable netWake;
  bool netStop = false;
  std::thread netThread;

  CSocketConnect link;  // declared last: destroyed (its threads joined) before the rest
};

namespace {
std::mutex g_instanceMutex;
CUIData* g_instance = nullptr;
}  // namespace

CUIData::CUIData(const UIDataOptions& options, bool processWide) : impl_(std::make_unique<Impl>(options)) {
  Impl& d = *impl_;
  d.processWide = processWide;
  d.programDir = options.programDir.empty() ? CKSUtil::GetModuleFolder(true) : options.programDir;
  d.cryptPath = options.cryptLibrary.empty() ? d.programDir + "/crypt.dll" : options.cryptLibrary;
  std::vector<uint8_t> body;
  uint32_t type = 0;
  if (d.Ask(dw::MakeRequest(MSG_SHOW_GET_SYS_TYPE, 0), &body) == 0 &&
      dw::ParseResultReply(body.data(), body.size(), &type))
    d.sysType = type;
  if (options.listen) d.link.StartListening();
  if (options.watchNetwork) d.netThread = std::thread([&d] { d.NetCheckThread(); });
}

CUIData::~CUIData() {
  Impl& d = *impl_;
  if (d.netThread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(d.netMutex);
      d.netStop = true;
    }
    d.netWake.notify_all();
    d.netThread.join();
  }
  d.link.SetCallback(nullptr);
}

IUIData* CUIData::GetInstance() {
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (g_instance == nullptr) {
    try {
      g_instance = new CUIData(UIDataOptions{}, true);
    } catch (...) {
      return nullptr;
    }
  }
  g_instance->AddRef();
  return g_instance;
}

IUIData* CUIData::Create(const UIDataOptions& options) {
  CUIData* data;
  try {
    data = new CUIData(options, false);
  } catch (...) {
    return nullptr;
  }
  data->AddRef();
  return data;
}

int CUIData::AddRef() { return ++impl_->refs; }

int CUIData::Release() {
  if (impl_->processWide) {
    std::unique_lock<std::mutex> lock(g_instanceMutex);
    int left = --impl_->refs;
    if (left > 0) return left;
    g_instance = nullptr;
    lock.unlock();
    delete this;
    return 0;
  }
  int left = --impl_->refs;
  if (left > 0) return left;
  delete this;
  return 0;
}

void CUIData::SetCallBack(IUIDataCallBack* callback) {
  if (callback == nullptr) {
    ClearCallBack();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->callbackMutex);
    impl_->callback = callback;
  }
  impl_->link.SetCallback(impl_.get());
}

void CUIData::ClearCallBack() {
  // Pushes that arrive from now on have nobody to answer them: the link closes them at once.
  impl_->link.SetCallback(nullptr);
  std::unique_lock<std::mutex> lock(impl_->callbackMutex);
  impl_->callback = nullptr;
  impl_->callbackIdle.wait(lock, [&] { return impl_->callsInFlight == 0; });
}

int CUIData::Login(LoginInfo* info, bool hash) {
  if (info == nullptr) return -1;
  dw::LogOnRequest request;
  request.account.assign(info->account, ::strnlen(info->account, dw::kAccountFieldSize));
  request.password.assign(info->password, ::strnlen(info->password, sizeof info->password));
  std::string hashed;
  if (hash) {
    if (CryptPassword(impl_->cryptPath, request.password, &hashed) != 0) return -1;
    request.password = hashed;
  }
  std::vector<uint8_t> message = dw::MakeLogOnRequest(0, request);
  // The account field carries a 32-byte account whole; the last byte of the password field
  // (always its NUL) is not sent: 71 bytes.
  if (request.account.size() == dw::kAccountFieldSize)
    std::memcpy(message.data() + wire::kMsgHeadSize, request.account.data(), dw::kAccountFieldSize);
  message.resize(wire::kMsgHeadSize + dw::kLogOnBodySize - 1);
  wire::PutU16(message.data(), static_cast<uint16_t>(message.size()));
  int r = impl_->link.PostRequest(impl_->Host(), message);
  if (hash) {
    std::memset(info->password, 0, sizeof info->password);
    std::memcpy(info->password, hashed.data(), std::min(hashed.size(), sizeof info->password - 1));
  }
  return r == 0 ? 0 : -1;
}

bool CUIData::WaitForQueuedRequests(int timeoutMs) { return impl_->link.WaitForQueue(timeoutMs); }

int CUIData::Logout() {
  if (CKSConfig::GetInstance()->IsDebugOn()) KS_DESKTOP_LOG("CUIData::Logout", "CUIData::Logout() begin");
  std::vector<uint8_t> body;
  impl_->Ask(dw::MakeRequest(MSG_SHOW_LOGOUT, 0), &body);
  if (CKSConfig::GetInstance()->IsDebugOn()) KS_DESKTOP_LOG("CUIData::Logout", "CUIData::Logout() end");
  return 0;
}

int CUIData::GetLogOnInfo(LoginInfo* info) {
  std::vector<uint8_t> body;
  dw::LogOnInfo reply;
  if (impl_->Ask(dw::MakeRequest(MSG_SHOW_GET_LOGON_INFO, 0), &body) != 0 ||
      !dw::ParseGetLogOnInfoReply(body.data(), body.size(), &reply))
    return 0;
  LoginInfo copy{};
  CopyTextField(copy.account, sizeof copy.account, reply.account);
  CopyTextField(copy.password, sizeof copy.password, reply.password);
  copy.remember = !reply.account.empty() && !reply.password.empty() ? 1 : 0;
  {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->savedLogin = copy;
  }
  if (info) *info = copy;
  return 0;
}

int CUIData::GetDefShare(std::string* root, bool prepare) {
  Impl& d = *impl_;
  std::string answered;
  if (d.LoadDefShare(&answered) && root) *root = answered;
  if (!prepare) return 0;
  std::string current;
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    current = d.dataRoot;
  }
  if (current.empty()) {
    current = DefaultDataFolder();
    if (SetDefShare(current) == 0 && root) *root = current;
  }
  d.SetupLocalDataFolder(false);
  return 0;
}

int CUIData::SetDefShare(const std::string& folder) {
  Impl& d = *impl_;
  const std::string newRoot = CKSUtil::RemoveTrailingBackslash(folder);
  if (newRoot.empty() || newRoot[0] != '/') return -1;
  const std::vector<std::string> fields = FillDefShareFolders(newRoot);
  for (const std::string& f : fields)
    if (f.size() >= dw::kFolderFieldSize) return -1;  // the agent would get another folder

  std::string oldRoot;
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    oldRoot = d.dataRoot;
  }
  // A data folder never asked for yet may hold data: moving without it would leave that
  // data behind, out of the agent's reach.
  if (oldRoot.empty()) d.LoadDefShare(&oldRoot);
  int r = 0;
  bool copied = false;
  if (!oldRoot.empty()) {
    if (!d.IsLocal()) return -1;
    r = PrepareDataFolderMove(oldRoot, newRoot, d.options.copyObserver, &copied);
    if (r != 0) return r;  // -1, 1 or 1223: nothing sent, nothing changed
  }
  CreateFolderIfMissing(fields);
  // A data folder that cannot be made here (a file of that name, no permission) would leave
  // the agent with a root nobody can use: refuse it before the agent hears of it.
  if (d.IsLocal() && !CKSUtil::FolderExists(newRoot.c_str())) return -1;

  std::vector<uint8_t> body;
  uint32_t stored = 1;
  if (d.Ask(dw::MakeSetDefShareRequest(0, fields), &body) != 0 ||
      !dw::ParseResultReply(body.data(), body.size(), &stored) || stored != 0) {
    KS_DESKTOP_LOG("CUIData::SetDefShare", "The agent did not take the data folder %s; it keeps %s%s",
                   newRoot.c_str(), oldRoot.c_str(), copied ? " (the copy stays in the new folder)" : "");
    return kMoveNotStored;
  }
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    d.dataRoot = newRoot;
    d.categories.assign(fields.begin() + 1, fields.end());
  }
  if (!oldRoot.empty()) {
    // The synchronised folder moves along when it is the data folder or lies inside it.
    CKSConfig* config = CKSConfig::GetInstance();
    const std::string sync = config->ReadSyncPath(true);
    const std::string oldBase = CKSUtil::RemoveTrailingBackslash(oldRoot);
    if (sync == oldBase || sync.rfind(oldBase + "/", 0) == 0) config->WriteSyncPath(newRoot + sync.substr(oldBase.size()), true);
  }
  if (copied && TrashFolder(oldRoot) != 0) r = -2;
  d.SetupLocalDataFolder(false);
  return r;
}

int CUIData::GetShare() {
  Impl& d = *impl_;
  std::vector<uint8_t> body;
  if (d.Ask(dw::MakeRequest(MSG_SHOW_GET_SHARE, 0), &body) != 0) return 0;
  std::vector<std::string> folders = dw::ParseLinesReply(body.data(), body.size());
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    d.shares = folders;
    d.sharesLoaded = true;
  }
  for (const std::string& f : folders) d.WithCallback([&](IUIDataCallBack* cb) { cb->OnAddShareFolder(f); });
  return 0;
}

int CUIData::UpdateShares(const std::vector<std::string>& add, const std::vector<std::string>& remove) {
  Impl& d = *impl_;
  bool loaded;
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    loaded = d.sharesLoaded;
  }
  if (!loaded) {
    // Sending a list never loaded would replace the agent's shares by these changes alone.
    std::vector<std::string> current;
    if (ks::desktop::GetShare(d.link, d.Host(), &current) != 0) return -1;
    std::lock_guard<std::mutex> lock(d.stateMutex);
    if (!d.sharesLoaded) {
      d.shares = current;
      d.sharesLoaded = true;
    }
  }
  std::vector<std::string> list;
  {
    std::lock_guard<std::mutex> lock(d.stateMutex);
    for (const std::string& p : add)
      if (std::find(d.shares.begin(), d.shares.end(), p) == d.shares.end()) d.shares.push_back(p);
    for (const std::string& p : remove) {
      auto it = std::find(d.shares.begin(), d.shares.end(), p);
      if (it != d.shares.end()) d.shares.erase(it);
    }
    list = d.shares;
  }
  int r = ks::desktop::SetShare(d.link, d.Host(), list);
  return r < 0 || r == CSocketConnect::kTimedOut ? -1 : r;
}

int CUIData::GetLogOnStatus() {
  Impl& d = *impl_;
  return ks::desktop::GetLogOnStatus(d.link, d.Host());
}

int CUIData::GetTransferState() {
  Impl& d = *impl_;
  return ks::desktop::GetTransferState(d.link, d.Host());
}

int CUIData::SetHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->host = host;
  return 0;
}

int CUIData::GetTransLog() {
  Impl& d = *impl_;
  std::vector<uint8_t> body;
  if (d.Ask(dw::MakeRequest(MSG_SHOW_GET_TRANS_LOG, 0), &body) != 0) return 0;
  for (const TransferLogItem& item : MakeTransferLogItems(body.data(), body.size()))
    d.WithCallback([&](IUIDataCallBack* cb) { cb->OnTransferItem(&item); });
  return 0;
}

int CUIData::GetPath(const std::string& path) {
  Impl& d = *impl_;
  std::vector<uint8_t> request;
  if (!dw::MakeGetPathRequest(0, path, &request)) return -1;
  std::vector<uint8_t> body;
  if (d.Ask(request, &body) != 0) return 0;
  for (const std::string& line : dw::ParseLinesReply(body.data(), body.size()))
    d.WithCallback([&](IUIDataCallBack* cb) { cb->OnPathEntry(line); });
  return 0;
}

uint32_t CUIData::GetSysTypeValue() { return impl_->sysType.load(); }

int CUIData::AnswerConnectRequest(const ConnectDlgResult* result) {
  if (result == nullptr) return 0;
  impl_->link.SendPushReply(result->requestId, result->accepted ? 0 : 1);
  return 0;
}

int CUIData::SetPwd(const std::string& password) {
  std::vector<uint8_t> body;
  impl_->Ask(dw::MakeSetPwdRequest(0, password), &body);
  return 0;
}

int CUIData::GetPwd(std::string* password) {
  std::vector<uint8_t> body;
  std::string text;
  if (impl_->Ask(dw::MakeRequest(MSG_SHOW_GET_PWD, 0), &body) == 0 &&
      dw::ParseTextFieldReply(body.data(), body.size(), &text) && password)
    *password = text;
  return 0;
}

int CUIData::GetAutoTiding(int* on) {
  bool value = false;
  if (ks::desktop::GetAutoTiding(impl_->link, impl_->Host(), &value) != 0) return -1;
  if (on) *on = value ? 1 : 0;
  return 0;
}

int CUIData::SetAutoTiding(bool on) {
  return ks::desktop::SetAutoTiding(impl_->link, impl_->Host(), on) == 0 ? 0 : -1;
}

int CUIData::SetupDataFolder() {
  impl_->SetupLocalDataFolder(true);
  return 0;
}

void CUIData::Impl::SetupLocalDataFolder(bool force) {
  if (!IsLocal()) return;
  std::string root;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    root = dataRoot;
  }
  if (root.empty() || !CKSUtil::FolderExists(root.c_str())) return;
  const std::string program = programDir + "/Kestyl";
  ILanguages* languages = CLanguages::GetInstance();
  std::string name = languages ? languages->GetTextA("UI", "DIRVER_NAME") : std::string();
  int language = languages ? languages->GetCurrentLanguage() : 1;
  if (languages) languages->Release();
  WriteDesktopIni(root, program, name);
  CopyUserGuide(programDir, root);
  if (!force && IsNamespaceFolderRegistered(root)) return;
  if (HasUnsafeCharacter(root) || HasUnsafeCharacter(program)) return;
  const std::vector<std::string> args = {kShellFolderClassId, "cmd_add_icon",
                                         language == 0 ? "0" : language == 2 ? "2" : "1", root, program};
  const std::string command = programDir + "/Kestyl_Cmd";
  const bool elevate =
      platform::IsVistaOrLater() ? CKSUtil::IsUacEnabled() && !CKSUtil::IsElevated() : !CKSUtil::IsUserAdmin();
  if (elevate) {
    KS_DESKTOP_LOG("CUIData::RunCmdProgram", "Registering the data folder asks for elevation");
    CKSUtil::RunElevated(command, platform::JoinCommandLine(args), true);
    return;
  }
  std::vector<std::string> argv = {command};
  argv.insert(argv.end(), args.begin(), args.end());
  platform::ProcessOptions po;
  po.output = platform::ProcessOutput::kDiscard;
  platform::ProcessResult result;
  platform::RunProcess(argv, po, result);
}

int CUIData::ExecInSession() {
  // The agent starts the program with this session's display: it reads it from this file.
  if (!platform::WriteSessionEnv()) KS_DESKTOP_LOG("CUIData::ExecInSession", "Session environment not written");
  std::vector<uint8_t> request;
  // The agent's launcher runs the text through the shell: the path goes as one quoted word.
  std::string quoted = "'";
  for (char c : impl_->programDir + "/Kestyl") quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  if (!dw::MakeExecRequest(0, static_cast<uint32_t>(::getuid()), quoted, &request)) return -1;
  std::vector<uint8_t> reply;
  return impl_->link.SendRequest(impl_->Host(), request, &reply) == 0 ? 0 : -1;
}

int CUIData::ExecInSession(const std::string& commandLine) {
  std::vector<uint8_t> request;
  if (!dw::MakeExecRequest(0, static_cast<uint32_t>(::getuid()), commandLine, &request)) return -1;
  std::vector<uint8_t> reply;
  return impl_->link.SendRequest(impl_->Host(), request, &reply) == 0 ? 0 : -1;
}

}  // namespace ks::desktop
