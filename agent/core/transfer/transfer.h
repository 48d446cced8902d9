// Transfer sessions of mobile clients, the download counter, the stop list and the
// transfer log.
//
// A session is keyed by its owner and the client's session id (the request word of the
// client's MsgHead): the owner is the channel id of a LAN or P2P connection, or
// kRelayOwner for everything that comes through the vendor's server (relay connection
// and relay poll alike), so two clients using the same session id never meet each
// other's file. Each session has a kind and a handler touches only its own kind. Sessions
// bound to a channel go when it closes (DropOwner); relay-made ones expire after a long
// idle time (ExpireIdle). The table's size is what the desktop program sees as transfers
// and what keeps the relay poll running.
//
// Lock order: the table's mutex is held only for lookups and updates, never while a
// session's own lock is taken or a file is touched.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ks::transfer {

constexpr uint64_t kRelayOwner = 0;

enum class Kind { kDownload, kUpload };

struct Session {
  Kind kind = Kind::kDownload;
  uint64_t owner = kRelayOwner;
  uint32_t id = 0;
  std::string path;  // download: the file; upload: the target path
  // Download only: device and inode of the file opened at the request; the allow sends
  // only that same file (0/0: not known, any regular file at the path).
  dev_t fileDev = 0;
  ino_t fileIno = 0;
  // Upload only. The files live in the target's folder, opened beneath its share when the
  // upload was announced and kept open until the session ends: every file operation is
  // relative to that descriptor, so a folder swapped for a link meanwhile changes nothing.
  int dirFd = -1;           // the target's folder (owned: closed with the session)
  std::string name;         // the target's name in it
  std::string tempName;     // the hidden temporary data file
  std::string journalName;  // the resume journal
  std::string tempPath;     // the temporary file's full path, for log lines
  std::string fingerprint;  // announced, 32 hex digits
  uint64_t size = 0;        // announced size
  int fd = -1;              // temporary file open for appending
  int udtSocket = -1;

  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::mutex lock;  // serialises writes and the close of fd
  std::chrono::steady_clock::time_point lastUse = std::chrono::steady_clock::now();

  // Closes fd under the session's lock (idempotent).
  void CloseFile();
  // The end of a session that did not finish (its channel closed, taken over, expired):
  // closes the file, and deletes an upload's temporary file when no journal exists for it
  // (such a file can never be resumed).
  void Discard();
};
using SessionPtr = std::shared_ptr<Session>;

class SessionTable {
 public:
  static SessionTable& Global();

  // Enters the session, replacing (and closing) one with the same owner, id and kind.
  void Put(const SessionPtr& s);
  SessionPtr Find(uint64_t owner, uint32_t id, Kind kind);
  // Removes and returns it (null when absent or of another kind).
  SessionPtr Take(uint64_t owner, uint32_t id, Kind kind);
  // Removes every session the predicate accepts and returns them (files not closed).
  std::vector<SessionPtr> TakeIf(const std::function<bool(const Session&)>& pred);
  // Shows every session to `visit`, under the table's lock (visit must not use the table).
  void ForEach(const std::function<void(const Session&)>& visit);
  // Channel closed: removes its sessions and closes their files.
  void DropOwner(uint64_t owner);
  // Removes relay-owned sessions idle for longer than maxIdle and closes their files.
  void ExpireIdle(std::chrono::seconds maxIdle);
  size_t Size();
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<SessionPtr> sessions_;
};

// Number of downloads in progress (shown to the desktop program).
int DownloadCount();
// Holds one count for its lifetime (released on every path).
class DownloadCounter {
 public:
  DownloadCounter();
  ~DownloadCounter();
  DownloadCounter(const DownloadCounter&) = delete;
  DownloadCounter& operator=(const DownloadCounter&) = delete;
};

// Stop list of relayed downloads (ids from MSG_STOP_DOWNLOAD).
void AddStopRequest(uint32_t id);
// True (and the id removed) when a stop was asked for this id.
bool TakeStopRequest(uint32_t id);
bool HasStopRequest(uint32_t id);
void RemoveStopRequests(uint32_t id);

// One row of the transfer log (ks_trans): type 0 upload to the PC, 1 download from it. A
// size of 0 writes nothing. At 100 rows or more the 50 oldest go first.
void WriteTranLog(const std::string& path, int type, int64_t size);

}  // namespace ks::transfer
