#include "agent/media/tidying/tidying.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "agent/db/local_db.h"
#include "agent/core/shares/folders.h"
#include "agent/log/log.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"
#include "agent/util/util.h"

namespace {

constexpr const char* kTable = "AutoTiding";
constexpr const char* kModeByDate = "TidingByDate";

// A regular file opened for reading (close-on-exec), or -1. Opening never blocks: a FIFO
// under the name is refused, not waited on.
int OpenRegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Up to `size` bytes, fewer only at the end of the file; -1 on a read error.
ssize_t ReadFull(int fd, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// True only for two regular files of equal content.
bool SameContent(const std::string& a, const std::string& b) {
  int fa = OpenRegularFile(a);
  if (fa < 0) return false;
  int fb = OpenRegularFile(b);
  if (fb < 0) {
    ::close(fa);
    return false;
  }
  static constexpr size_t kChunk = 64 * 1024;
  std::unique_ptr<char[]> ba(new char[kChunk]), bb(new char[kChunk]);
  bool same = true;
  for (;;) {
    ssize_t na = ReadFull(fa, ba.get(), kChunk), nb = ReadFull(fb, bb.get(), kChunk);
    if (na < 0 || na != nb || std::memcmp(ba.get(), bb.get(), static_cast<size_t>(na)) != 0) {
      same = false;
      break;
    }
    if (na == 0) break;
  }
  ::close(fa);
  ::close(fb);
  return same;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

int CreateAutoTidingTable() {
  CppSQLite3DB& db = GlobalDb();
  CppSQLite3Transaction txn(db);
  try {
    txn.begin();
    CppSQLite3Buffer sql;
    sql.format("select count(*) from sqlite_master where type='table' and name='%q'", kTable);
    if (db.execScalar(sql) < 1) {
      db.execDML("create table AutoTiding(TidingName char(128),TidingStatus char(4));");
      sql.format("insert into %s(%s,%s) values('%q','%q')", kTable, "TidingName", "TidingStatus",
                 kModeByDate, "0");
      db.execDML(sql);
    }
    txn.commit();
    return 0;
  } catch (CppSQLite3Exception& e) {
    txn.rollback();
    KS_LOG_ERROR("KestylClient", "CreateAutoTidingTable function error:%s.", e.errorMessage());
    return -1;
  }
}

int SetTidingStatusByType(const std::string& name, const std::string& status) {
  CppSQLite3DB& db = GlobalDb();
  CppSQLite3Transaction txn(db);
  try {
    txn.begin();
    CppSQLite3Buffer sql;
    sql.format("update %s set %s = '%q' where %s = '%q'", kTable, "TidingStatus", status.c_str(),
               "TidingName", name.c_str());
    db.execDML(sql);
    txn.commit();
    return 0;
  } catch (CppSQLite3Exception& e) {
    txn.rollback();
    KS_LOG_ERROR("KestylClient", "SetTidingStatusByType function error:%s.", e.errorMessage());
    return -1;
  }
}

int GetTidingStatusByType(const std::string& name, std::string& status) {
  status.clear();
  CppSQLite3DB& db = GlobalDb();
  std::lock_guard<std::recursive_mutex> lock(db.mutex());
  try {
    CppSQLite3Buffer sql;
    sql.format("select * from %s where %s = '%q'", kTable, "TidingName", name.c_str());
    CppSQLite3Query q = db.execQuery(sql);
    if (!q.eof()) status = q.getStringField("TidingStatus");
    return 0;
  } catch (CppSQLite3Exception& e) {
    KS_LOG_INFO("KestylClient", "GetTidingStatusByType function error:%s.", e.errorMessage());
    return -1;
  }
}

bool DateFolderName(const char* dt, std::string& folder) {
  if (!dt) return false;
  // "YYYY:MM:DD": digits and colons in fixed places, nothing else.
  for (int i = 0; i < 10; ++i) {
    char c = dt[i];
    bool colon = (i == 4 || i == 7);
    if (colon ? c != ':' : (c < '0' || c > '9')) return false;
  }
  if (dt[10] != '\0' && dt[10] != ' ') return false;
  int year = std::atoi(std::string(dt, 4).c_str());
  int month = std::atoi(std::string(dt + 5, 2).c_str());
  int day = std::atoi(std::string(dt + 8, 2).c_str());
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  folder = std::string(dt, 4) + "-" + std::string(dt + 5, 2) + "-" + std::string(dt + 8, 2);
  return true;
}

int MovePhotoByDate(const std::string& path, const ExifInfo& info) {
  std::string dateFolder;
  if (!DateFolderName(info.dateTime, dateFolder)) return -1;
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return -1;
  std::string folder = path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  std::string targetFolder = folder + "/" + dateFolder;
  if (CreateDirPath(targetFolder) != 0) return -1;
  std::string target = targetFolder + "/" + name;
  if (SameFile(path, target)) return -1;  // never copy a file onto itself

  // lstat: a dangling link under the name takes it too (the no-replace rename would refuse).
  struct stat targetStat {};
  if (::lstat(target.c_str(), &targetStat) == 0) {
    if (SameContent(path, target)) {
      // Already tidied once: the source is a duplicate.
      return DeleteFileIfExist(path) == 0 ? 0 : -1;
    }
    std::string unique;
    if (GetUniqueFileName(target, unique) != 0 || unique.empty()) return -1;
    target = unique;
  }
  // No-replace rename: a file that appeared meanwhile under the target name stays intact.
  if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EXDEV) return -1;
  // Another file system: copy, and let the source go only once the copy is whole.
  if (CopyFileByStream(path, target) != 0) {
    DeleteFileIfExist(target);
    return -1;
  }
  return DeleteFileIfExist(path) == 0 ? 0 : -1;
}

int TidyFolderFiles(const std::string& folder, const std::vector<std::string>& names) {
  int moved = 0;
  for (const std::string& name : names) {
    if (ks::state::StopRequested()) break;
    std::string path = folder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    ExifInfo info;
    if (ReadExifInfo(path, info) != 0) continue;
    if (MovePhotoByDate(path, info) == 0) ++moved;
  }
  return moved;
}

void StartAutoTiding() {
  if (CreateAutoTidingTable() != 0) return;
  int interval = static_cast<int>(ks::settings::Number("KESTYL_TIDY_S", 60));
  if (interval < 1) interval = 60;
  while (!ks::state::StopRequested()) {
    std::string status;
    if (GetTidingStatusByType(kModeByDate, status) == 0 && status == "1") {
      DefShareInfo dirs;
      ParseDefaultDir(dirs);
      std::string folder = dirs.def_pic;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      if (!folder.empty()) {
        std::vector<std::string> names;
        GetFileList(folder, names, false);
        TidyFolderFiles(folder, names);
      }
    }
    if (ks::state::SleepUnlessStopped(interval * 1000)) break;
  }
}
