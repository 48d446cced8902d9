// The desktop program's interface to everything that comes from the agent: IUIData (what the
// windows ask), IUIDataCallBack (what the agent link tells them) and the records both carry.
// CUIData is the one process-wide implementation; the windows reach it through
// CUIData::GetInstance() and give each reference back with Release(). No Qt.
//
// Texts: every path and text here is UTF-8 (the local character set of this system). Paths
// are std::string and kept whole (never cut to a fixed buffer).
//
// Results: every operation returns an int that is 0 unless its line says otherwise; an
// operation that gets no matching reply from the agent leaves its outputs untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ks::desktop {

// The account record exchanged between the log-in dialog, the main window and the link.
// Layout kept as the dialogs store and copy it: 72 bytes.
struct LoginInfo {
  char account[33];   // at most 32 bytes, NUL-terminated
  char password[35];  // the typed password (at most 32 bytes) or its stored hash, NUL-terminated
  uint32_t remember;  // 1 when the password is to be remembered (or both texts are non-empty)
};
static_assert(sizeof(LoginInfo) == 72, "LoginInfo layout");
static_assert(offsetof(LoginInfo, password) == 33 && offsetof(LoginInfo, remember) == 68, "LoginInfo layout");

// A mobile client asks to log in and the owner must decide (136 bytes).
struct ConnectRequestInfo {
  char sender[64];     // the asking client's name, NUL-terminated, at most 63 bytes (whole UTF-8 characters)
  char network[64];    // the request's network text, NUL-terminated, at most 63 bytes
  uint32_t requestId;  // the push head's request word, the four bytes exactly as received
  uint32_t age;        // 0 when the link builds the record; the main window's queue counts seconds in it
};
static_assert(sizeof(ConnectRequestInfo) == 136, "ConnectRequestInfo layout");

// The owner's answer to one ConnectRequestInfo.
struct ConnectDlgResult {
  uint32_t requestId;  // copied from the request
  bool accepted;       // true accepted, false refused
};

// One transfer-log entry as handed to IUIDataCallBack::OnTransferItem (300 bytes, host order).
struct TransferLogItem {
  uint16_t type;        // the agent record's operation code
  uint16_t status;      // the agent record's status
  uint32_t size;        // size in bytes
  char time[30];        // the time text as it came, NUL-terminated
  char fileName[262];   // the file path, NUL-terminated, cut at a whole UTF-8 character
};
static_assert(sizeof(TransferLogItem) == 300, "TransferLogItem layout");

// The listener of the agent link. Operations in this order; CUIData calls each only while a
// listener is set. None returns anything the link uses.
class IUIDataCallBack {
 public:
  // One shared folder, from IUIData::GetShare, on the calling thread.
  virtual void OnAddShareFolder(const std::string& folder) = 0;
  // One transfer-log entry, from IUIData::GetTransLog, on the calling thread, in reply order.
  virtual void OnTransferItem(const TransferLogItem* item) = 0;
  // One line of a folder listing, from IUIData::GetPath; windows that do not list folders
  // leave it as it is.
  virtual void OnPathEntry(const std::string& line) { (void)line; }
  // A mobile client asks to log in; on a connection thread of the link. Answer it later
  // with IUIData::AnswerConnectRequest (from any thread).
  virtual void OnConnectRequest(const ConnectRequestInfo* request) = 0;
  // The network watch, once a second on its own thread: the PC has a network / has none.
  virtual void OnNetConnected() = 0;
  virtual void OnNetDisconnected() = 0;

 protected:
  virtual ~IUIDataCallBack() = default;
};

class IUIData {
 public:
  virtual int AddRef() = 0;
  // Drops one reference; at 0 the object is destroyed. Returns the remaining count.
  virtual int Release() = 0;
  // The one listener (replacing the previous one); ClearCallBack returns only after every
  // callback call in flight has returned, so the listener may be destroyed afterwards.
  virtual void SetCallBack(IUIDataCallBack* callback) = 0;
  virtual void ClearCallBack() = 0;
  // Queues the log-in (account: first 32 bytes, password: first 31 bytes). With hash the
  // password is sent as its salted hash, which is also written back into info->password.
  // 0 when queued; -1 when the hash cannot be made (nothing sent, record untouched). The
  // outcome is read later with GetLogOnStatus.
  virtual int Login(LoginInfo* info, bool hash) = 0;
  virtual int Logout() = 0;
  // The agent's stored account and password into *info (remember = 1 when both non-empty);
  // *info untouched without an answer.
  virtual int GetLogOnInfo(LoginInfo* info) = 0;
  // The agent's data folder into *root ("" when it has none or did not answer). With
  // prepare and no data folder known, the link chooses $HOME/Kestyl and sets it up.
  virtual int GetDefShare(std::string* root, bool prepare) = 0;
  // Makes `folder` the data folder, moving the old data into it: 0 or 1 success (1: nothing
  // had to move), -1 the copy failed (nothing changed), 1223 cancelled, -4 the agent did not
  // store the new folder (the old one stays in use), other values failure.
  virtual int SetDefShare(const std::string& folder) = 0;
  // Reloads the share list from the agent, each folder handed to OnAddShareFolder.
  virtual int GetShare() = 0;
  // Adds (unless present) and removes folders of the share list, then sends the whole list:
  // the agent's result, -1 when the list could not be loaded or sent.
  virtual int UpdateShares(const std::vector<std::string>& add, const std::vector<std::string>& remove) = 0;
  // 1 logged on, 2 wrong account or password, 4, 5 network error, 7 log-on failed, other
  // agent words as they are; 0 no answer; -2 agent not reachable, -3 no reply, 10060 time-out.
  virtual int GetLogOnStatus() = 0;
  // 0 no answer, 1 no mobile client linked, 2 linked and idle, 3 uploading, 4 downloading.
  virtual int GetTransferState() = 0;
  virtual int SetHost(const std::string& host) = 0;
  // Each transfer-log entry handed to OnTransferItem.
  virtual int GetTransLog() = 0;
  // The agent's listing of `path`, each line handed to OnPathEntry.
  virtual int GetPath(const std::string& path) = 0;
  // The agent's system type (2 until it answered).
  virtual uint32_t GetSysTypeValue() = 0;
  // Answers the kept request of result->requestId (nothing when none is kept).
  virtual int AnswerConnectRequest(const ConnectDlgResult* result) = 0;
  // The mobile access password (at most 31 bytes).
  virtual int SetPwd(const std::string& password) = 0;
  // *password untouched without an answer.
  virtual int GetPwd(std::string* password) = 0;
  // *on = 1 or 0 and 0; -1 (and *on untouched) when the agent did not answer.
  virtual int GetAutoTiding(int* on) = 0;
  virtual int SetAutoTiding(bool on) = 0;
  // Writes the local decorations of the data folder again (only for the host "127.0.0.1").
  virtual int SetupDataFolder() = 0;
  // Asks the agent to start this program (<program folder>/Kestyl, quoted for the shell) in
  // the owner's session (the user id), after writing this session's display variables for it.
  virtual int ExecInSession() = 0;

 protected:
  virtual ~IUIData() = default;
};

// Where CUIData finds its peers; the defaults suit the installed program. Tests point it at
// their own ports and folders.
struct UIDataOptions {
  uint16_t agentPort = 0;         // 0: KESTYL_AGENT_PORT, else 15002
  uint16_t listenPort = 0;        // 0: KESTYL_DESKTOP_PORT, else 15003
  bool listen = true;             // listen for the agent's pushes
  bool watchNetwork = true;       // run the network watch
  std::string programDir;         // "": the folder of the running program
  std::string cryptLibrary;       // "": the platform's password-hash library
  // Asked before each file or folder a move of the data folder copies: 0 goes on, 1223
  // cancels, other values fail the copy (nothing is left behind either way).
  std::function<int(const std::string& target)> copyObserver;
};

class CUIData final : public IUIData {
 public:
  // The process-wide object, made on first use, with one reference taken for the caller;
  // nullptr when it cannot be made.
  static IUIData* GetInstance();
  // A separate object (not the process-wide one) with one reference, for tests and tools.
  static IUIData* Create(const UIDataOptions& options);

  int AddRef() override;
  int Release() override;
  void SetCallBack(IUIDataCallBack* callback) override;
  void ClearCallBack() override;
  int Login(LoginInfo* info, bool hash) override;
  int Logout() override;
  int GetLogOnInfo(LoginInfo* info) override;
  int GetDefShare(std::string* root, bool prepare) override;
  int SetDefShare(const std::string& folder) override;
  int GetShare() override;
  int UpdateShares(const std::vector<std::string>& add, const std::vector<std::string>& remove) override;
  int GetLogOnStatus() override;
  int GetTransferState() override;
  int SetHost(const std::string& host) override;
  int GetTransLog() override;
  int GetPath(const std::string& path) override;
  uint32_t GetSysTypeValue() override;
  int AnswerConnectRequest(const ConnectDlgResult* result) override;
  int SetPwd(const std::string& password) override;
  int GetPwd(std::string* password) override;
  int GetAutoTiding(int* on) override;
  int SetAutoTiding(bool on) override;
  int SetupDataFolder() override;
  int ExecInSession() override;
  // The same request with the caller's command line, sent as it is (the launcher runs it
  // through /bin/sh -c: the caller quotes); the caller writes the session environment.
  int ExecInSession(const std::string& commandLine);

  // Waits until the queued requests (the log-in) are sent and answered: true, or false
  // after timeoutMs. For tools that end right after queueing one.
  bool WaitForQueuedRequests(int timeoutMs);

  struct Impl;

 private:
  explicit CUIData(const UIDataOptions& options, bool processWide);
  ~CUIData() override;

  std::unique_ptr<Impl> impl_;
};

}  // namespace ks::desktop
