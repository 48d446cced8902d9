#include "agent/handlers/upload/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "agent/core/shares/share_open.h"
#include "agent/core/shares/share_policy.h"
#include "agent/core/transfer/transfer.h"
#include "agent/handlers/upload/journal.h"
#include "agent/log/log.h"
#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "common/md5/md5.h"
#include "agent/util/settings/settings.h"
#include "agent/util/util.h"

using ks::net::Channel;
using ks::net::MsgHead;
using ks::transfer::Kind;
using ks::transfer::Session;
using ks::transfer::SessionPtr;
using ks::transfer::SessionTable;

namespace ks::upload {
namespace {

constexpr char kModule[] = "Intranet tran";
// A request from the relay connection carries the peer id and the MsgHead before its body.
constexpr size_t kRelayedPrefix = ks::proto::kDeviceIdSize + ks::proto::kMsgHeadSize;
// Collision names tried before giving up (the folder would be absurdly full).
constexpr unsigned kMaxCollisionNames = 100000;

int DefaultFreeSpace(const std::string& folder, uint64_t& kb) {
  long fixed = ks::settings::Number("KESTYL_FREE_KB", -1);
  if (fixed >= 0) {
    kb = static_cast<uint64_t>(fixed);
    return 0;
  }
  return GetDiskFreeSpaceKB(folder, kb);
}

std::atomic<FreeSpaceProbe> g_freeSpace{&DefaultFreeSpace};

// Announcements and endings decide the fate of a target's files (journal, temporary file,
// final name); one at a time keeps those decisions consistent. Chunks never take it.
std::mutex g_targetMutex;

bool FromRelayConnection(const int* udtSocket, const int* direct) {
  return direct && *direct == 0 && (!udtSocket || *udtSocket == -1);
}

uint64_t OwnerOf(const Channel* conn) {
  if (!conn) return ks::transfer::kRelayOwner;
  switch (conn->origin()) {
    case ks::net::Origin::kRelay:
    case ks::net::Origin::kRelayPoll:
      return ks::transfer::kRelayOwner;
    default:
      return conn->Id();
  }
}

std::vector<uint8_t> OkAnswer(uint32_t sessionId, uint32_t offset) {
  std::vector<uint8_t> m(kOkAnswerSize, 0);
  ks::net::EncodeMsgHead({static_cast<uint16_t>(kOkAnswerSize), MSG_REQ_UPLOAD_FILE_OK, sessionId}, m.data());
  ks::net::PutU32(m.data() + 8, offset);
  return m;
}

std::vector<uint8_t> ErrorAnswer(uint32_t sessionId, uint16_t code) {
  std::vector<uint8_t> m(kErrorAnswerSize, 0);
  ks::net::EncodeMsgHead({static_cast<uint16_t>(kErrorAnswerSize), MSG_UPLOAD_ERROR, sessionId}, m.data());
  ks::net::PutU16(m.data() + 8, code);
  m[10] = '0';
  return m;
}

std::string FromWire(const std::string& utf8) {
  std::string encoding = ks::state::TextEncoding();
  if (encoding.empty() || encoding == "en") return utf8;
  return ConvertCode("utf-8", (encoding + "//IGNORE").c_str(), utf8);
}

std::string ParentOf(const std::string& normalized) {
  size_t slash = normalized.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : normalized.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The share test for a folder that may not exist yet: its deepest existing ancestor must
// lie in a share, so that creating the rest cannot leave the share.
int CheckFolderContainment(const std::string& folder) {
  std::string existing = folder;
  while (!Exists(existing)) {
    std::string up = ParentOf(existing);
    if (up.empty() || up == existing) return KS_PATH_NOT_SHARED;
    existing = up;
  }
  return CheckSharePath(existing);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The target's folder, opened beneath its share, with its path for log lines. Every file
// an upload touches is named relative to `dir`.
struct Place {
  int dir = -1;
  std::string folder;
  std::string Path(const std::string& name) const { return (folder == "/" ? folder : folder + "/") + name; }
};

bool ExistsAt(int dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void UnlinkAt(const Place& place, const std::string& name) {
  if (::unlinkat(place.dir, name.c_str(), 0) != 0 && errno != ENOENT)
    KS_LOG_WARNING(kModule, "delete %s error: %s.", place.Path(name).c_str(), std::strerror(errno));
}

// Opens a regular file of the folder for reading (never through a symlink, never blocking
// on a FIFO); -1 otherwise. *size receives its size.
int OpenRegularAt(int dir, const std::string& name, uint64_t* size) {
  int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// The fingerprint of the open file (read through its descriptor, so exactly that file).
std::string FingerprintOf(int fd) { return MD5(ks::shares::DescriptorPath(fd)).toString(); }

// True when the folder holds `name` as a regular file of `size` bytes and this fingerprint.
bool HoldsFile(const Place& place, const std::string& name, uint64_t size, const std::string& fingerprint) {
  uint64_t have = 0;
  int fd = OpenRegularAt(place.dir, name, &have);
  if (fd < 0) return false;
  bool same = have == size && FingerprintOf(fd) == fingerprint;
  ::close(fd);
  return same;
}

// Opens a temporary file for appending: a regular file only (never through a symlink,
// never blocking on a FIFO someone put there).
int OpenTemp(const Place& place, const std::string& name, int extraFlags) {
  int fd;
  do {
    fd = ::openat(place.dir, name.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// fsync of the folder, so that a name made or removed there is durable.
void SyncFolder(const Place& place) {
  if (::fsync(place.dir) != 0)
    KS_LOG_ERROR(kModule, "sync folder %s error: %s.", place.folder.c_str(), std::strerror(errno));
}

// Where an announced upload goes on and from which offset.
struct Plan {
  bool complete = false;  // the target already holds the file: no session
  bool failed = false;    // journal or temporary file could not be set up
  std::string tempName;
  int fd = -1;
  uint32_t offset = 0;
};

// The resume decision with the files it implies. Runs under g_targetMutex.
Plan PlanUpload(const Place& place, const std::string& target, const std::string& name, uint32_t size,
                const std::string& fingerprint, bool othersBusy) {
  Plan plan;
  const std::string primaryTemp = TempPathFor(name);
  const std::string journalName = JournalPathFor(name);
  UploadJournal journal;
  JournalRead read = ReadJournalFileAt(place.dir, journalName, journal);
  bool ourJournal = read == JournalRead::kValid && journal.target == target && journal.fingerprint == fingerprint;

  if (HoldsFile(place, name, size, fingerprint)) {
    if (ourJournal) {  // a left-over copy of a file that is already there
      UnlinkAt(place, primaryTemp);
      UnlinkAt(place, journalName);
    }
    plan.complete = true;
    plan.offset = size;
    return plan;
  }

  if (ourJournal && !othersBusy) {
    plan.tempName = primaryTemp;
    plan.fd = OpenTemp(place, primaryTemp, 0);
    if (plan.fd < 0) {
      plan.failed = true;
      return plan;
    }
    struct stat ts {};
    if (::fstat(plan.fd, &ts) != 0) {
      plan.failed = true;
    } else if (static_cast<uint64_t>(ts.st_size) > size) {
      // More than announced cannot be a prefix of this file: start over.
      if (::ftruncate(plan.fd, 0) != 0) plan.failed = true;
    } else {
      plan.offset = static_cast<uint32_t>(ts.st_size);
    }
    if (plan.failed) {
      ::close(plan.fd);
      plan.fd = -1;
    }
    return plan;
  }

  if ((read == JournalRead::kValid && journal.target == target) || othersBusy) {
    // Another file for the same target is half uploaded: leave its files alone and take a
    // new name, never the journalled one (even when that file is gone), so that the other
    // upload can never resume from these bytes.
    for (unsigned n = 0; n < kMaxCollisionNames; ++n) {
      plan.tempName = CollisionName(primaryTemp, n);
      plan.fd = OpenTemp(place, plan.tempName, O_EXCL);
      if (plan.fd >= 0 || errno != EEXIST) break;
    }
    if (plan.fd < 0) plan.failed = true;
    return plan;
  }

  // No journal, or one that describes nothing usable: start over with a new one.
  if (read != JournalRead::kMissing) UnlinkAt(place, journalName);
  if (!WriteJournalFileAt(place.dir, journalName, {target, fingerprint})) {
    KS_LOG_ERROR(kModule, "write upload journal %s error.", place.Path(journalName).c_str());
    plan.failed = true;
    return plan;
  }
  SyncFolder(place);  // the journal's name survives a power cut
  plan.tempName = primaryTemp;
  plan.fd = OpenTemp(place, primaryTemp, O_TRUNC);
  if (plan.fd < 0) {
    plan.failed = true;
    UnlinkAt(place, journalName);
  }
  return plan;
}

// Appends one chunk, never past the announced size. A failed write cuts the file back to
// what it held before the chunk and closes it, so that it only ever holds whole chunks.
void AppendChunk(Session& s, const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> g(s.lock);
  if (s.fd < 0) return;
  struct stat st {};
  if (::fstat(s.fd, &st) != 0) return;
  uint64_t have = static_cast<uint64_t>(st.st_size);
  if (have >= s.size) {
    if (length) KS_LOG_WARNING(kModule, "upload %s already holds %llu bytes, chunk dropped.", s.path.c_str(),
                               static_cast<unsigned long long>(s.size));
    return;
  }
  size_t take = length;
  if (take > s.size - have) take = static_cast<size_t>(s.size - have);
  if (WriteAll(s.fd, data, take)) return;
  KS_LOG_ERROR(kModule, "write file %s error: %s.", s.tempPath.c_str(), std::strerror(errno));
  if (::ftruncate(s.fd, static_cast<off_t>(have)) != 0)
    KS_LOG_ERROR(kModule, "truncate file %s error: %s.", s.tempPath.c_str(), std::strerror(errno));
  ::close(s.fd);
  s.fd = -1;
}

// Renames the temporary file to the target, or to the first free collision name.

// Gives the temporary file the target's name, or the first free collision name, never
// replacing anything. Where the file system cannot rename without replacing, a hard link
// under the new name followed by the removal of the old one does the same. The final name,
// or "" when it failed for another reason.
std::string Publish(const Place& place, const std::string& tempName, const std::string& name) {
  std::string final = name;
  bool linkInstead = false;
  for (unsigned n = 0; n <= kMaxCollisionNames; ++n) {
    int rc = linkInstead ? -1 : ::renameat2(place.dir, tempName.c_str(), place.dir, final.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !linkInstead && (errno == EINVAL || errno == ENOSYS)) linkInstead = true;
    if (linkInstead) {
      rc = ::linkat(place.dir, tempName.c_str(), place.dir, final.c_str(), 0);
      if (rc == 0) UnlinkAt(place, tempName);
    }
    if (rc == 0) return final;
    if (errno != EEXIST) break;
    final = CollisionName(name, n);
  }
  KS_LOG_ERROR(kModule, "rename file %s to %s error: %s.", place.Path(tempName).c_str(), place.Path(final).c_str(),
               std::strerror(errno));
  return std::string();
}

// The end of an upload whose file is closed. Runs under g_targetMutex.
void FinishUpload(const Session& s, bool complete) {
  if (s.dirFd < 0) return;
  const Place place{s.dirFd, ParentOf(s.path)};
  const bool hasJournal = ExistsAt(s.dirFd, s.journalName);
  // A temporary file without a journal can never be resumed.
  auto keepOrDrop = [&] {
    if (!hasJournal) UnlinkAt(place, s.tempName);
  };
  if (!complete) {
    keepOrDrop();
    return;
  }
  uint64_t have = 0;
  int fd = OpenRegularAt(s.dirFd, s.tempName, &have);
  if (fd < 0) {
    KS_LOG_ERROR(kModule, "upload file %s is missing.", s.tempPath.c_str());
    return;
  }
  if (have < s.size) {
    ::close(fd);
    KS_LOG_WARNING(kModule, "upload %s ended with %llu of %llu bytes.", s.path.c_str(),
                   static_cast<unsigned long long>(have), static_cast<unsigned long long>(s.size));
    keepOrDrop();
    return;
  }
  // On the disk before the final check and the rename: a power cut must never leave a
  // published file shorter than what was logged as finished.
  if (::fdatasync(fd) != 0)
    KS_LOG_ERROR(kModule, "sync file %s error: %s.", s.tempPath.c_str(), std::strerror(errno));
  const bool matches = have == s.size && FingerprintOf(fd) == s.fingerprint;
  ::close(fd);
  if (!matches) {
    KS_LOG_ERROR(kModule, "upload %s does not match its fingerprint %s, deleted.", s.path.c_str(),
                 s.fingerprint.c_str());
    UnlinkAt(place, s.tempName);
    if (hasJournal) UnlinkAt(place, s.journalName);
    return;
  }
  std::string finalName = Publish(place, s.tempName, s.name);
  if (finalName.empty()) return;  // both files stay: the next announcement resumes
  SyncFolder(place);  // the new name before the journal goes
  if (hasJournal) UnlinkAt(place, s.journalName);
  const std::string published = place.Path(finalName);
  KS_LOG_INFO(kModule, "upload file %s finished.", published.c_str());
  ks::transfer::WriteTranLog(published, 0, static_cast<int64_t>(s.size));
}

}  // namespace

void SetFreeSpaceProbe(FreeSpaceProbe probe) { g_freeSpace.store(probe ? probe : &DefaultFreeSpace); }

int ReqUpLoadFile(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn,
                  std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  const size_t skip = FromRelayConnection(udtSocket, direct) ? kRelayedPrefix : 0;
  if (!body || !head || bodyLength <= skip) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  const uint32_t sessionId = head->sequence;
  auto request = ks::net::FixedBody<kAnnounceBodySize>(body + skip, bodyLength - skip);
  const uint32_t size = ks::net::GetU32(request.data());
  const std::string fingerprint = MD5::bytesToHexString(request.data() + 8);
  std::string path = ks::net::FieldText(request.data() + kAnnouncePathOffset, kAnnounceBodySize - kAnnouncePathOffset);

  path = GetRealPath(FromWire(path));
  if (path.empty()) {
    KS_LOG_ERROR(kModule, "def share dir is empty.");
    *reply = ErrorAnswer(sessionId, 0);
    return KS_DEFAULT_SHARE_UNSET;
  }
  KS_LOG_INFO(kModule, "upload file :%s", path.c_str());
  if (path.size() > kMaxTargetLength) {
    // The journal holds at most kMaxTargetLength characters; cut, the name would be another
    // file's, and a resume would write there.
    KS_LOG_ERROR(kModule, "upload target of %zu characters is longer than %zu.", path.size(), kMaxTargetLength);
    *reply = ErrorAnswer(sessionId, kErrorNoSpace);
    return -1;
  }

  auto refuse = [&](const std::string& what, int code) {
    KS_LOG_ERROR(kModule, "Filer %s not in share list", what.c_str());
    *reply = ErrorAnswer(sessionId, static_cast<uint16_t>(code));
    return code;
  };
  std::string target;
  if (!NormalizeSharePath(path, target) || target.empty() || target[0] != '/' || target == "/")
    return refuse(path, KS_PATH_NOT_SHARED);
  const std::string folder = ParentOf(target);
  if (target.substr(folder.size()).find(kTempSuffix) != std::string::npos) return refuse(target, KS_PATH_NOT_SHARED);
  if (int rc = CheckFolderContainment(folder); rc != KS_OK) return refuse(folder, rc);
  // From here on the folder is this descriptor, whatever its path comes to name: missing
  // folders are made inside it, and every file of the upload is made relative to it.
  int dirFd = -1;
  if (int e = ks::shares::OpenFolderInShare(folder, true, &dirFd); e != 0) {
    if (e == EXDEV || e == ELOOP) {
      KS_LOG_WARNING(kModule, "upload folder %s leads out of its share: refused.", folder.c_str());
      return refuse(folder, KS_PATH_NOT_SHARED);
    }
    KS_LOG_ERROR(kModule, "creat filer %s error: %s.", folder.c_str(), std::strerror(e));
    *reply = ErrorAnswer(sessionId, kErrorNoSpace);
    return -1;
  }
  Place place{dirFd, folder};
  // Closes the folder on every road but the one that hands it to a session.
  std::unique_ptr<Place, void (*)(Place*)> closer(&place, [](Place* p) {
    if (p->dir >= 0) ::close(p->dir);
  });
  KS_LOG_INFO(kModule, "check dir:%s", folder.c_str());
  if (int rc = CheckShareFilePath(target); rc != KS_OK) return refuse(folder, rc);
  const std::string name = target.substr(folder == "/" ? 1 : folder.size() + 1);

  uint64_t freeKb = 0;
  // The file system of the folder opened, not of whatever its path names by now.
  if (g_freeSpace.load()(ks::shares::DescriptorPath(place.dir), freeKb) != 0 || freeKb <= size / 1024) {
    KS_LOG_ERROR(kModule, "not have enough size for save file %s.", target.c_str());
    *reply = ErrorAnswer(sessionId, kErrorNoSpace);
    return -1;
  }

  std::lock_guard<std::mutex> g(g_targetMutex);
  // A client that announces its target again takes its own upload over, and so does one
  // that announces the same content (a phone back on a new connection before its old one
  // is noticed gone). An upload of other content by another client goes on, and this one
  // gets a temporary file of its own.
  const uint64_t owner = OwnerOf(conn);
  for (const SessionPtr& old : SessionTable::Global().TakeIf([&](const Session& s) {
         return s.kind == Kind::kUpload && s.path == target && (s.owner == owner || s.fingerprint == fingerprint);
       })) {
    KS_LOG_DEBUG(kModule, "close file trans, file %s", old->tempPath.c_str());
    old->Discard();
  }
  bool othersBusy = false;
  SessionTable::Global().ForEach([&](const Session& s) {
    if (s.kind == Kind::kUpload && s.path == target) othersBusy = true;
  });

  Plan plan = PlanUpload(place, target, name, size, fingerprint, othersBusy);
  if (plan.failed) {
    KS_LOG_ERROR(kModule, "open file %s error.", place.Path(plan.tempName.empty() ? name : plan.tempName).c_str());
    *reply = ErrorAnswer(sessionId, kErrorNoSpace);
    return -1;
  }
  KS_LOG_DEBUG(kModule, "===File allow send size:%d, session id %u===\n", static_cast<int>(plan.offset), sessionId);
  *reply = OkAnswer(sessionId, plan.offset);
  if (plan.complete) return KS_OK;

  auto s = std::make_shared<Session>();
  s->kind = Kind::kUpload;
  s->owner = OwnerOf(conn);
  s->id = sessionId;
  s->path = target;
  s->dirFd = place.dir;
  place.dir = -1;  // the session's now
  s->name = name;
  s->tempName = plan.tempName;
  s->journalName = JournalPathForTemp(plan.tempName);
  s->tempPath = place.Path(plan.tempName);
  s->fingerprint = fingerprint;
  s->size = size;
  s->fd = plan.fd;
  s->udtSocket = udtSocket ? *udtSocket : -1;
  SessionTable::Global().Put(s);
  KS_LOG_DEBUG(kModule, "===ReqUpLoadFile session id %u===\n", sessionId);
  return KS_OK;
}

int UpLoadFile(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn,
               std::vector<uint8_t>* /*reply*/, int* udtSocket, int* direct) {
  if (FromRelayConnection(udtSocket, direct)) return KS_OK;
  if (!body || !head) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  // The data length comes from the head; it must fit the body that actually arrived.
  if (head->length < ks::proto::kMsgHeadSize + kChunkPrefixSize || bodyLength < kChunkPrefixSize ||
      head->length - ks::proto::kMsgHeadSize - kChunkPrefixSize > bodyLength - kChunkPrefixSize) {
    KS_LOG_WARNING(kModule, "upload chunk of session %u with length %u dropped.", head->sequence,
                   static_cast<unsigned>(head->length));
    return KS_OK;
  }
  const size_t length = head->length - ks::proto::kMsgHeadSize - kChunkPrefixSize;
  SessionPtr s = SessionTable::Global().Find(OwnerOf(conn), head->sequence, Kind::kUpload);
  if (!s) return KS_OK;
  AppendChunk(*s, body + kChunkPrefixSize, length);
  return KS_OK;
}

int OverUpLoadFile(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn,
                   std::vector<uint8_t>* /*reply*/, int* udtSocket, int* direct) {
  if (FromRelayConnection(udtSocket, direct)) return KS_OK;
  if (!body || !head || bodyLength == 0) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  const bool complete = body[0] == 0;
  // Out of the table first: no chunk, connection close or second end reaches it afterwards.
  SessionPtr s = SessionTable::Global().Take(OwnerOf(conn), head->sequence, Kind::kUpload);
  KS_LOG_DEBUG(kModule, "===over upload session id %u===\n", head->sequence);
  if (!s) {
    KS_LOG_DEBUG(kModule, "===over upload session id %u not in map.....===\n", head->sequence);
    return KS_OK;
  }
  s->CloseFile();
  std::lock_guard<std::mutex> g(g_targetMutex);
  FinishUpload(*s, complete);
  return KS_OK;
}

}  // namespace ks::upload
