#include "agent/core/transfer/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <list>

#include "agent/db/local_db.h"
#include "agent/log/log.h"
#include "agent/util/util.h"

namespace ks::transfer {

void Session::CloseFile() {
  std::lock_guard<std::mutex> g(lock);
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

Session::~Session() {
  if (fd >= 0) ::close(fd);
  if (dirFd >= 0) ::close(dirFd);
}

void Session::Discard() {
  CloseFile();
  if (kind != Kind::kUpload || tempName.empty() || dirFd < 0) return;
  struct stat st {};
  if (!journalName.empty() && ::fstatat(dirFd, journalName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return;
  if (::unlinkat(dirFd, tempName.c_str(), 0) == 0)
    KS_LOG_DEBUG("Intranet tran", "upload %s ended unfinished, %s deleted.", path.c_str(), tempPath.c_str());
}

SessionTable& SessionTable::Global() {
  static SessionTable* t = new SessionTable();  // used by jobs until the process ends
  return *t;
}

void SessionTable::Put(const SessionPtr& s) {
  SessionPtr old;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      // A handler touches only sessions of its own kind.
      if ((*it)->owner == s->owner && (*it)->id == s->id && (*it)->kind == s->kind) {
        old = *it;
        sessions_.erase(it);
        break;
      }
    }
    s->lastUse = std::chrono::steady_clock::now();
    sessions_.push_back(s);
  }
  if (old) old->CloseFile();
}

SessionPtr SessionTable::Find(uint64_t owner, uint32_t id, Kind kind) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& s : sessions_) {
    if (s->owner == owner && s->id == id && s->kind == kind) {
      s->lastUse = std::chrono::steady_clock::now();
      return s;
    }
  }
  return nullptr;
}

SessionPtr SessionTable::Take(uint64_t owner, uint32_t id, Kind kind) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if ((*it)->owner == owner && (*it)->id == id && (*it)->kind == kind) {
      SessionPtr s = *it;
      sessions_.erase(it);
      return s;
    }
  }
  return nullptr;
}

void SessionTable::ForEach(const std::function<void(const Session&)>& visit) {
  std::lock_guard<std::mutex> g(mutex_);
  for (const SessionPtr& s : sessions_) visit(*s);
}

std::vector<SessionPtr> SessionTable::TakeIf(const std::function<bool(const Session&)>& pred) {
  std::vector<SessionPtr> taken;
  std::lock_guard<std::mutex> g(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (pred(**it)) {
      taken.push_back(*it);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void SessionTable::DropOwner(uint64_t owner) {
  for (auto& s : TakeIf([owner](const Session& s) { return s.owner == owner; })) {
    if (s->kind == Kind::kUpload)
      KS_LOG_DEBUG("Intranet tran", "close tcp file trans, file %s", s->path.c_str());
    s->Discard();
  }
}

void SessionTable::ExpireIdle(std::chrono::seconds maxIdle) {
  auto now = std::chrono::steady_clock::now();
  for (auto& s : TakeIf([&](const Session& s) {
         return s.owner == kRelayOwner && now - s.lastUse > maxIdle;
       }))
    s->Discard();
}

size_t SessionTable::Size() {
  std::lock_guard<std::mutex> g(mutex_);
  return sessions_.size();
}

void SessionTable::Clear() {
  for (auto& s : TakeIf([](const Session&) { return true; })) s->CloseFile();
}

namespace {
std::mutex g_countMutex;
int g_downloads = 0;
std::mutex g_stopMutex;
std::list<uint32_t> g_stopList;
}  // namespace

int DownloadCount() {
  std::lock_guard<std::mutex> g(g_countMutex);
  return g_downloads;
}
DownloadCounter::DownloadCounter() {
  std::lock_guard<std::mutex> g(g_countMutex);
  ++g_downloads;
}
DownloadCounter::~DownloadCounter() {
  std::lock_guard<std::mutex> g(g_countMutex);
  --g_downloads;
}

void AddStopRequest(uint32_t id) {
  std::lock_guard<std::mutex> g(g_stopMutex);
  g_stopList.push_back(id);
}
bool TakeStopRequest(uint32_t id) {
  std::lock_guard<std::mutex> g(g_stopMutex);
  auto it = std::find(g_stopList.begin(), g_stopList.end(), id);
  if (it == g_stopList.end()) return false;
  g_stopList.erase(it);
  return true;
}
bool HasStopRequest(uint32_t id) {
  std::lock_guard<std::mutex> g(g_stopMutex);
  return std::find(g_stopList.begin(), g_stopList.end(), id) != g_stopList.end();
}
void RemoveStopRequests(uint32_t id) {
  std::lock_guard<std::mutex> g(g_stopMutex);
  g_stopList.remove(id);
}

void WriteTranLog(const std::string& path, int type, int64_t size) {
  if (size == 0) return;
  CppSQLite3DB& db = GlobalDb();
  CppSQLite3Transaction txn(db);  // the count is read under the same lock: one trim only
  try {
    int count = 0;
    {
      CppSQLite3Query q = db.execQuery("select count(*) as num from ks_trans");
      if (!q.eof()) count = q.getIntField("num", 0);
    }
    txn.begin();
    if (count >= 100)
      db.execDML("delete from ks_trans where id in (select id from ks_trans order by id limit 50)");
    CppSQLite3Buffer sql;
    sql.format("insert into ks_trans (type,status,file,size,time)values(%d,%d,%Q,%lld,%Q)", type, 0,
               path.c_str(), static_cast<long long>(size), GetCurTimeStr().c_str());
    db.execDML(sql);
    txn.commit();
  } catch (CppSQLite3Exception& e) {
    txn.rollback();
    KS_LOG_ERROR("CommLib", "sqlite get a exception code %d,msg %s", e.errorCode(), e.errorMessage());
  }
}

}  // namespace ks::transfer
