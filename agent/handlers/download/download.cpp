#include "agent/handlers/download/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "agent/handlers/mobile/client_request.h"
#include "agent/core/shares/share_policy.h"
#include "agent/core/transfer/transfer.h"
#include "agent/core/shares/share_open.h"
#include "agent/log/log.h"
#include "agent/net/proto/proto.h"
#include "agent/util/codes.h"
#include "common/md5/md5.h"
#include "agent/util/settings/settings.h"

namespace ks::download {

namespace {

constexpr const char* kModule = "Intranet tran";
// Packages per file read.
constexpr size_t kPackagesPerRead = 256;

// The local message server's connections are byte streams: several whole messages may go
// in one write. UDT peers and the relay frame each write as one message.
bool IsByteStream(ks::net::Channel* conn) {
  return conn->origin() == ks::net::Origin::kLocal || conn->origin() == ks::net::Origin::kLan;
}

std::atomic<RelayedDownloadStarter> g_relayedStarter{nullptr};

// Direct downloads streaming now. Each holds a thread (its connection's executor) for as
// long as its client reads, so their number is capped.
std::atomic<int> g_streaming{0};

int StreamCap() {
  static const int cap = [] {
    long v = ks::settings::Number("KESTYL_MAX_DOWNLOADS", kDefaultStreamCap);
    return (v > 0 && v <= 100000) ? static_cast<int>(v) : kDefaultStreamCap;
  }();
  return cap;
}

// One of the capped streaming places, or none when all are taken.
class StreamSlot {
 public:
  StreamSlot() {
    int now = g_streaming.load();
    while (now < StreamCap() && !g_streaming.compare_exchange_weak(now, now + 1)) {
    }
    held_ = now < StreamCap();
  }
  ~StreamSlot() {
    if (held_) g_streaming.fetch_sub(1);
  }
  StreamSlot(const StreamSlot&) = delete;
  StreamSlot& operator=(const StreamSlot&) = delete;
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

std::vector<uint8_t> ErrorAnswer(uint32_t id, uint16_t code) {
  std::vector<uint8_t> m = ks::mobile::MakeMessage(MSG_DOWNLOAD_ERROR, id, kErrorAnswerSize - 8);
  ks::net::PutU16(m.data() + 8, code);
  m[10] = '0';
  return m;
}

// Reads up to `length` bytes at `offset`; the count read (0 at the end), -1 on error.
ssize_t ReadAt(int fd, uint8_t* data, size_t length, uint64_t offset) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::pread(fd, data + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

int OpenDownloadFile(const ks::transfer::Session& session, uint64_t& size) {
  ks::shares::FileIdentity expected{session.fileDev, session.fileIno};
  int fd = -1;
  int rc = ks::shares::OpenRegularInShare(session.path, &expected, &fd, &size);
  if (rc == EXDEV || rc == ELOOP)
    KS_LOG_WARNING(kModule, "download %s leads out of its share: refused.", session.path.c_str());
  if (rc == ESTALE)
    KS_LOG_WARNING(kModule, "download %s is another file than at its request: refused.", session.path.c_str());
  return rc == 0 ? fd : -1;
}

namespace {

}  // namespace

std::vector<uint8_t> MakeDownloadOver(uint32_t id, char status) {
  std::vector<uint8_t> m = ks::mobile::MakeMessage(MSG_DOWNLOAD_OVER, id, kOverSize - 8);
  m[8] = static_cast<uint8_t>(status);
  return m;
}

void SetRelayedDownloadStarter(RelayedDownloadStarter starter) { g_relayedStarter.store(starter); }

int StreamFile(int fd, uint64_t offset, uint64_t size, uint32_t id, ks::net::Channel* conn) {
  // A byte stream takes a whole read's packages in one gathered write: each package's head
  // and its bytes straight from the read buffer, so the file is never copied again here.
  // UDT peers and the relay frame each write as one message: one package per write.
  const bool stream = IsByteStream(conn);
  std::vector<uint8_t> block;
  std::vector<uint8_t> heads;
  std::vector<iovec> parts;
  std::vector<uint8_t> out;
  try {
    block.resize(kPackageSize * kPackagesPerRead);
    heads.resize(kDataHeadSize * kPackagesPerRead);
    if (stream) {
      parts.resize(2 * kPackagesPerRead);
    } else {
      out.resize(kDataHeadSize + kPackageSize);
    }
  } catch (const std::bad_alloc&) {
    KS_LOG_ERROR(kModule, "Allocate memory error.");
    return KS_OUT_OF_MEMORY;
  }
  uint32_t number = static_cast<uint32_t>(offset / kPackageSize);
  while (offset < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), size - offset));
    const ssize_t got = ReadAt(fd, block.data(), want, offset);
    if (got <= 0) return 1;  // read error, or the file was cut short meanwhile
    const size_t length = static_cast<size_t>(got);
    size_t packages = 0;
    for (size_t at = 0; at < length; at += kPackageSize, ++packages) {
      const size_t n = std::min(kPackageSize, length - at);
      uint8_t* head = stream ? heads.data() + packages * kDataHeadSize : out.data();
      ks::net::EncodeMsgHead({static_cast<uint16_t>(kDataHeadSize + n), MSG_DOWNLOAD_DATA, id}, head);
      ks::net::PutU32(head + 8, ++number);
      std::memset(head + 12, 0, 8);
      if (stream) {
        parts[2 * packages] = {head, kDataHeadSize};
        parts[2 * packages + 1] = {block.data() + at, n};
        continue;
      }
      std::memcpy(out.data() + kDataHeadSize, block.data() + at, n);
      if (!conn->Write(out.data(), kDataHeadSize + n)) {
        KS_LOG_ERROR("CommLib", "Write return message error.");
        return -1;
      }
    }
    if (stream && !conn->WriteParts(parts.data(), 2 * packages)) {
      KS_LOG_ERROR("CommLib", "Write return message error.");
      return -1;
    }
    offset += length;
    if (length < want) return 1;
  }
  return 0;
}

int ReqDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                    ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  if (!body) {
    KS_LOG_ERROR("USER", "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  const uint32_t id = head->sequence;
  ks::mobile::ClientRequest req =
      ks::mobile::ReadClientRequest(body, bodyLength, conn, udtSocket ? *udtSocket : -1, direct ? *direct : 1);
  auto request = ks::net::FixedBody<kDownloadRequestSize>(req.payload, req.payloadLength);
  std::string path = GetRealPath(ks::mobile::FromWireText(ks::net::FieldText(request.data() + kPathOffset, kPathSize)));
  if (path.empty()) {
    KS_LOG_WARNING(kModule, "def share dir is empty.");
    *reply = ErrorAnswer(id, KS_PATH_NOT_SHARED);
    return KS_DEFAULT_SHARE_UNSET;
  }
  KS_LOG_INFO(kModule, "DownLoad file :%s", path.c_str());
  std::string file;
  int rc = CheckShareFilePath(path, &file);
  if (rc == KS_PATH_NOT_SHARED) {
    KS_LOG_WARNING(kModule, "File %s not in share list.", path.c_str());
    *reply = ErrorAnswer(id, KS_PATH_NOT_SHARED);
    return KS_PATH_NOT_SHARED;
  }
  // From here on only what the share opener opened counts: the path may be swapped for a
  // link to elsewhere at any moment.
  ks::transfer::Session probe;
  probe.path = file;
  uint64_t size = 0;
  int fd = rc == KS_OK ? OpenDownloadFile(probe, size) : -1;
  ks::shares::FileIdentity identity;
  if (fd < 0 || !ks::shares::IdentityOf(fd, &identity)) {
    if (fd >= 0) ::close(fd);
    KS_LOG_WARNING(kModule, "File %s not exits.", path.c_str());
    *reply = ErrorAnswer(id, KS_FILE_MISSING);
    return -1;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  if (g_streaming.load() >= StreamCap()) {
    KS_LOG_WARNING(kModule, "%d downloads under way: %s refused.", g_streaming.load(), file.c_str());
    *reply = ErrorAnswer(id, KS_FILE_SIZE);
    return -1;
  }
  if (size >= kRefusedSize) {
    KS_LOG_WARNING(kModule, "file %s size %llu is to large error.", file.c_str(), static_cast<unsigned long long>(size));
    *reply = ErrorAnswer(id, KS_FILE_SIZE);
    return -1;
  }

  MD5 fingerprint("/proc/self/fd/" + std::to_string(fd));  // the file opened, not the name
  const auto& digest = fingerprint.digestBytes();
  // The cap keeps the size within the answer's 32-bit field.
  *reply = ks::mobile::MakeMessage(MSG_REQ_DOWNLOAD_FILE_OK, id, kOkAnswerSize - 8);
  ks::net::PutU32(reply->data() + 8, static_cast<uint32_t>(size));
  ks::net::PutU32(reply->data() + 12, static_cast<uint32_t>((size + kPackageSize - 1) / kPackageSize));
  std::memcpy(reply->data() + 16, &digest[0], 16);

  auto session = std::make_shared<ks::transfer::Session>();
  session->kind = ks::transfer::Kind::kDownload;
  session->owner = req.owner;
  session->id = id;
  session->path = file;
  session->fileDev = identity.dev;
  session->fileIno = identity.ino;
  session->size = size;
  session->udtSocket = udtSocket ? *udtSocket : -1;
  ks::transfer::SessionTable::Global().Put(session);
  return KS_OK;
}

int AllowDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                      ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  KS_LOG_INFO(kModule, "AllowDownLoadFile.");
  const uint32_t id = head->sequence;
  const int udt = udtSocket ? *udtSocket : -1;
  ks::mobile::ClientRequest req = ks::mobile::ReadClientRequest(body, bodyLength, conn, udt, direct ? *direct : 1);
  const uint32_t start = ks::net::GetU32(ks::net::FixedBody<4>(req.payload, req.payloadLength).data());

  if (req.relayed) {
    KS_LOG_INFO(kModule, "DownLoad File interline.");
    RelayedDownloadJob job;
    job.sessionId = id;
    job.startOffset = start;
    if (req.peerId) std::memcpy(job.peerId, req.peerId, sizeof job.peerId);
    if (RelayedDownloadStarter starter = g_relayedStarter.load()) return starter(job);
    KS_LOG_WARNING(kModule, "no relayed download available, session %u dropped.", id);
    ks::transfer::SessionTable::Global().Take(req.owner, id, ks::transfer::Kind::kDownload);
    return -1;
  }
  KS_LOG_INFO(kModule, udt == -1 ? "DownLoad File using tcp." : "DownLoad File using udt.");

  ks::transfer::SessionPtr session = ks::transfer::SessionTable::Global().Take(req.owner, id, ks::transfer::Kind::kDownload);
  if (!session) {
    KS_LOG_WARNING(kModule, "no download session %u.", id);
    return -1;
  }
  if (conn->origin() == ks::net::Origin::kRelayPoll) {
    KS_LOG_WARNING(kModule, "no channel to send download %u on.", id);
    return -1;
  }
  uint64_t size = 0;
  int fd = OpenDownloadFile(*session, size);
  if (fd < 0) {
    KS_LOG_WARNING(kModule, "File %s not exits.", session->path.c_str());
    *reply = MakeDownloadOver(id, '1');
    return -1;
  }
  if (start > size) {
    ::close(fd);
    KS_LOG_WARNING(kModule, "start %u beyond the size of %s.", start, session->path.c_str());
    *reply = MakeDownloadOver(id, '1');
    return -1;
  }
  StreamSlot slot;
  if (!slot.held()) {
    ::close(fd);
    KS_LOG_WARNING(kModule, "%d downloads under way: %s not sent.", StreamCap(), session->path.c_str());
    *reply = MakeDownloadOver(id, '1');
    return -1;
  }
  KS_LOG_INFO(kModule, "begain download file %s, package count %d.", session->path.c_str(),
              static_cast<int>(start / kPackageSize));
  int rc;
  {
    ks::transfer::DownloadCounter counting;
    rc = StreamFile(fd, start, size, id, conn);
  }
  ::close(fd);
  if (rc == -1) return -1;  // the connection is gone: nobody to tell
  if (rc != 0) {
    KS_LOG_WARNING(kModule, "download file %s failed.", session->path.c_str());
    *reply = MakeDownloadOver(id, '1');
    return -1;
  }
  KS_LOG_INFO(kModule, "end download file %s.", session->path.c_str());
  ks::transfer::WriteTranLog(session->path, 1, static_cast<int64_t>(size));
  *reply = MakeDownloadOver(id, '0');
  return KS_OK;
}

int RefuseDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                       ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)body, (void)bodyLength, (void)reply, (void)udtSocket, (void)direct;
  ks::transfer::SessionTable::Global().Take(ks::mobile::SessionOwner(conn), head->sequence,
                                            ks::transfer::Kind::kDownload);
  return KS_OK;
}

int StopDownLoad(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                 ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)body, (void)bodyLength, (void)conn, (void)udtSocket, (void)direct;
  const uint32_t id = head->sequence;
  if (id != 0) {
    ks::transfer::AddStopRequest(id);
    KS_LOG_INFO(kModule, "stop download %d", static_cast<int>(id));
    for (int look = 0; look < 10; ++look) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!ks::transfer::HasStopRequest(id)) {
        KS_LOG_INFO(kModule, "stop download OK %d", static_cast<int>(id));
        break;
      }
    }
    ks::transfer::RemoveStopRequests(id);
  }
  *reply = ks::mobile::MakeMessage(MSG_STOP_DOWNLOAD, id, kStopAnswerSize - 8);
  (*reply)[8] = '0';
  return KS_OK;
}

}  // namespace ks::download
