// Relayed downloads: the file goes to the server package by package on a connection of
// its own, and the server hands it on to the client.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/core/shares/share_open.h"
#include "agent/core/transfer/transfer.h"
#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/net/relay/relay_frame.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"

namespace ks::relay {

namespace {

const char kModule[] = "Intranet tran";
constexpr int kStopCheckMs = 10;

// The job's stop flag: raised by a stop request for its session (taken from the stop
// list, so the requester sees it was seen) or by the agent's stop flag.
class JobStop {
 public:
  explicit JobStop(uint32_t id) : id_(id) {}

  bool operator()() {
    if (!stopped_) {
      if (ks::transfer::TakeStopRequest(id_)) {
        stopped_ = byClient_ = true;
        KS_LOG_INFO(kModule, "get cmd to stop download OK %d", static_cast<int>(id_));
      } else if (ks::state::StopRequested()) {
        stopped_ = true;
      }
    }
    return stopped_;
  }
  bool byClient() const { return byClient_; }

  // Sleeps ms, looking at the flag every few milliseconds; true when it was raised.
  bool Sleep(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!(*this)()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      ks::state::SleepUnlessStopped(std::min<int>(kStopCheckMs, int(left.count())));
    }
    return true;
  }

 private:
  const uint32_t id_;
  bool stopped_ = false;
  bool byClient_ = false;
};

enum class Io { kOk, kClosed, kTimeout, kStopped };

// Exactly n bytes within timeoutMs, looking at the stop flag while waiting.
Io RecvAll(int sock, uint8_t* p, size_t n, int timeoutMs, JobStop& stop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (n > 0) {
    if (stop()) return Io::kStopped;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Io::kTimeout;
    pollfd pfd{sock, POLLIN, 0};
    int r = ::poll(&pfd, 1, std::min<int>(kStopCheckMs, int(left.count())));
    if (r < 0 && errno != EINTR) return Io::kClosed;
    if (r <= 0) continue;
    ssize_t k = ::recv(sock, p, n, MSG_DONTWAIT);
    if (k > 0) {
      p += k, n -= size_t(k);
    } else if (k == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      return Io::kClosed;
    }
  }
  return Io::kOk;
}

class RelayDownload {
 public:
  explicit RelayDownload(const RelayDownloadJob& job) : job_(job), stop_(job.sessionId) {}
  ~RelayDownload() {
    if (fd_ >= 0) ::close(fd_);
    ks::net::OS_SockClose(&sock_);
  }
  void Run();

 private:
  enum class Sent { kOk, kStopped, kRefused, kLost };

  Sent SendPackage(const std::vector<uint8_t>& package, uint32_t number);
  std::vector<uint8_t> BuildPackage(uint32_t number, const uint8_t* data, size_t n) const;
  void EndNotice(char status);

  const RelayDownloadJob job_;
  JobStop stop_;
  std::string path_;
  ks::shares::FileIdentity identity_;  // of the file opened at the request
  int fd_ = -1;
  int sock_ = -1;
};

void RelayDownload::Run() {
  const uint32_t id = job_.sessionId;
  // The session goes first, whatever happens next: a left-over one keeps the poll running.
  if (auto s = ks::transfer::SessionTable::Global().Take(ks::transfer::kRelayOwner, id, ks::transfer::Kind::kDownload)) {
    s->CloseFile();
    path_ = s->path;
    identity_ = {s->fileDev, s->fileIno};
  }
  if (ConnectCurrentServer(&sock_) != 0) {
    KS_LOG_ERROR(kModule, "connect server error, relayed download %u dropped.", id);
    return;
  }
  if (path_.empty()) {
    KS_LOG_WARNING(kModule, "no download session %u.", id);
    return EndNotice('1');
  }
  // Only the file opened at the request, beneath its share root (share_open.h).
  uint64_t fileSize = 0;
  int openError = ks::shares::OpenRegularInShare(path_, &identity_, &fd_, &fileSize);
  if (openError == EXDEV || openError == ELOOP || openError == ESTALE)
    KS_LOG_WARNING(kModule, "relayed download %s is no longer the file asked for: refused.", path_.c_str());
  if (openError != 0 || fileSize < job_.startOffset) {
    KS_LOG_ERROR(kModule, "open file %s error.", path_.c_str());
    return EndNotice('1');
  }
  uint64_t offset = job_.startOffset;
  uint32_t number = job_.startOffset / kPackageSize;
  KS_LOG_INFO(kModule, "begain download file %s using interline, package count %d.", path_.c_str(), int(number));
  {
    ks::transfer::DownloadCounter counting;
    std::vector<uint8_t> data(kPackageSize);
    for (;;) {
      if (stop_()) break;
      ssize_t n;
      do {
        n = ::pread(fd_, data.data(), kPackageSize, off_t(offset));
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        KS_LOG_ERROR(kModule, "read file %s error.", path_.c_str());
        return EndNotice('1');
      }
      if (n == 0) break;
      ++number;
      Sent r = SendPackage(BuildPackage(number, data.data(), size_t(n)), number);
      if (r == Sent::kRefused) return EndNotice('1');
      if (r != Sent::kOk) break;
      offset += uint64_t(n);
    }
  }
  ::close(fd_);
  fd_ = -1;
  if (stop_()) {
    if (stop_.byClient()) ks::transfer::RemoveStopRequests(id);
    return;  // the client asked for it, or the agent stops: no end notice
  }
  if (sock_ < 0) return;  // the server could not be reached again
  struct stat now {};
  int64_t size = ::stat(path_.c_str(), &now) == 0 ? int64_t(now.st_size) : 0;
  ks::transfer::WriteTranLog(path_, 1, size);
  KS_LOG_INFO(kModule, "end download file %s.", path_.c_str());
  EndNotice('0');
}

std::vector<uint8_t> RelayDownload::BuildPackage(uint32_t number, const uint8_t* data, size_t n) const {
  std::vector<uint8_t> p = MakeRelayHead(SRV_RELAY_FILE_DATA, ks::state::DeviceId(), job_.peerId, kPackageHeadSize + n);
  const size_t at = p.size();
  p.resize(at + kPackageHeadSize + n, 0);
  ks::net::EncodeMsgHead(ks::net::MsgHead{uint16_t(kPackageHeadSize + n), MSG_DOWNLOAD_DATA, job_.sessionId},
                         p.data() + at);
  ks::net::PutU32(p.data() + at + 8, number);
  std::memcpy(p.data() + at + kPackageHeadSize, data, n);
  return p;
}

RelayDownload::Sent RelayDownload::SendPackage(const std::vector<uint8_t>& package, uint32_t number) {
  const RelayTimings t = Timings();
  int reconnectMs = 0, cacheWaitMs = 0;
  for (;;) {
    if (stop_()) return Sent::kStopped;
    if (sock_ < 0) {
      KS_LOG_WARNING(kModule, "send error reconnect.");
      if (stop_.Sleep(t.reconnectPauseMs)) return Sent::kStopped;
      reconnectMs += t.reconnectPauseMs;
      if (ConnectCurrentServer(&sock_) == 0) {
        reconnectMs = 0;
        KS_LOG_INFO(kModule, "send error reconnect ok.");
      } else if (reconnectMs > t.reconnectLimitMs) {
        KS_LOG_ERROR(kModule, "download file %s time out.", path_.c_str());
        return Sent::kLost;
      }
      continue;
    }
    if (ks::net::OS_SockSend(&sock_, package.size(), package.data()) != 0) {
      ks::net::OS_SockClose(&sock_);
      continue;
    }
    uint8_t head[ks::net::ServerReplyHead::kSize];
    Io io = RecvAll(sock_, head, sizeof head, t.ioTimeoutMs, stop_);
    if (io == Io::kStopped) return Sent::kStopped;
    if (io == Io::kClosed) {
      // The server dropped the connection after taking the package: send it again on a
      // new one (package numbers let the client drop a repeat).
      ks::net::OS_SockClose(&sock_);
      continue;
    }
    if (io == Io::kTimeout) {
      KS_LOG_ERROR(kModule, "recev error.");
      return Sent::kRefused;
    }
    ks::net::ServerReplyHead reply = ks::net::ServerReplyHead::Decode(head);
    if (reply.length > sizeof head) {
      // An answer with a body: read past it to stay in step.
      std::vector<uint8_t> rest(reply.length - sizeof head);
      if (RecvAll(sock_, rest.data(), rest.size(), t.ioTimeoutMs, stop_) != Io::kOk) {
        ks::net::OS_SockClose(&sock_);
        continue;
      }
    }
    if (reply.status == 0) return Sent::kOk;
    if (reply.status != kStatusCacheFull) {
      KS_LOG_ERROR(kModule, "server refused package %u of file %s, status %d.", number, path_.c_str(),
                   int(reply.status));
      return Sent::kRefused;
    }
    if (stop_.Sleep(t.cacheFullPauseMs)) return Sent::kStopped;
    cacheWaitMs += t.cacheFullPauseMs;
    KS_LOG_DEBUG(kModule, "server cash is full. time: %d, file %s", cacheWaitMs, path_.c_str());
    if (cacheWaitMs > t.cacheFullLimitMs) {
      KS_LOG_ERROR(kModule, "download file %s time out.", path_.c_str());
      return Sent::kRefused;
    }
  }
}

void RelayDownload::EndNotice(char status) {
  // The connection may have been lost just before: the client is still told.
  if (sock_ < 0 && ConnectCurrentServer(&sock_) != 0) return;
  WriteInterDownLoadOverMsg(job_.peerId, &sock_, status, job_.sessionId);
}

}  // namespace

int WriteInterDownLoadOverMsg(const uint8_t peerId[64], int* sock, char status, uint32_t sessionId) {
  if (!sock || *sock < 0) return -1;
  std::vector<uint8_t> notice = MakeRelayHead(SRV_RELAY_FILE_DATA, ks::state::DeviceId(), peerId, 12);
  const size_t at = notice.size();
  notice.resize(kEndNoticeSize, 0);
  ks::net::EncodeMsgHead(ks::net::MsgHead{12, MSG_DOWNLOAD_OVER, sessionId}, notice.data() + at);
  notice[at + 8] = static_cast<uint8_t>(status);
  ks::net::ServerReplyHead reply;
  int rc = ks::net::OS_SockSend(sock, notice.size(), notice.data());
  if (rc == 0) rc = ks::net::OS_SockRecv(sock, &reply);
  ks::net::OS_SockClose(sock);
  return rc == 0 ? 0 : -1;
}

void DownLoadFile_Cash(void* arg) {
  std::unique_ptr<RelayDownloadJob> job(static_cast<RelayDownloadJob*>(arg));
  if (!job) return;
  RelayDownload(*job).Run();
}

int StartRelayedDownload(uint32_t sessionId, uint32_t startOffset, const uint8_t peerId[64]) {
  auto* job = new (std::nothrow) RelayDownloadJob;
  if (job) {
    job->sessionId = sessionId;
    job->startOffset = startOffset;
    if (peerId) std::memcpy(job->peerId, peerId, sizeof job->peerId);
    if (ks::net::DispatchThreadPool(ks::net::GlobalPool(), DownLoadFile_Cash, job) == 0) return 0;
    delete job;
  }
  KS_LOG_ERROR(kModule, "relayed download %u not started.", sessionId);
  if (auto s = ks::transfer::SessionTable::Global().Take(ks::transfer::kRelayOwner, sessionId,
                                                         ks::transfer::Kind::kDownload))
    s->CloseFile();
  return -1;
}

}  // namespace ks::relay
