#include "agent/db/local_db.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "agent/log/log.h"
#include "common/db/transaction.h"
#include "agent/util/settings/settings.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// A formatted statement; sqlite3_vmprintf gives null only when memory runs out, which is
// reported as SQLite would rather than run as an empty statement.
const char* Sql(const char* text) {
  if (!text) throw CppSQLite3Exception(SQLITE_NOMEM, "out of memory");
  return text;
}

// A port column: 0 unless it holds 1..65535.
uint16_t PortValue(int64_t v) { return (v > 0 && v <= 65535) ? static_cast<uint16_t>(v) : 0; }

}  // namespace

CppSQLite3DB& GlobalDb() {
  static CppSQLite3DB* db = new CppSQLite3DB;
  return *db;
}

void RollbackTransaction(CppSQLite3Transaction& txn) {
  std::string error;
  if (txn.rollback(&error) != 0) {
    KS_LOG_ERROR("CommLib", "rollback transaction error:%s", error.c_str());
  }
}

// ---- writers ----------------------------------------------------------------------------

// A write that fails (a full disk, a read-only file) loses the user's setting: logged at
// ERROR (Write below), which the installed log level keeps. A failed read falls back to
// defaults: DEBUG.
#define KS_DB_LOG_READ_EXCEPTION(e) \
  KS_LOG_DEBUG("CommLib", "sqlite get a exception code %d,msg %s", (e).errorCode(), (e).errorMessage())

namespace {

// One writer: its statements in one transaction; 0, or `failure` after the rollback and the
// log lines, which name the writer (`function`, `line`: the caller's, by default).
int Write(int failure, const std::function<void(CppSQLite3DB&)>& work,
          const char* function = __builtin_FUNCTION(), int line = __builtin_LINE()) {
  std::optional<CppSQLite3Exception> error;
  std::string rollbackError;
  if (ks::db::RunTransaction(GlobalDb(), work, &error, &rollbackError)) return 0;
  if (!rollbackError.empty())
    g_Log.Print("CommLib", LOG_LEVEL_ERROR, function, line, "rollback transaction error:%s", rollbackError.c_str());
  g_Log.Print("CommLib", LOG_LEVEL_ERROR, function, line, "sqlite get a exception code %d,msg %s",
              error->errorCode(), error->errorMessage());
  return failure;
}

// A formatted statement (SQLite's printf, %Q quoting); formatted inside the transaction, so
// a failure to format (out of memory) rolls the writer back like any other.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  CppSQLite3Buffer sql;
  return Sql(sql.format(format, args...));
}

// The table emptied and the statements of `rows` run, in one transaction.
int ReplaceRows(const char* table, int failure, const std::function<void(CppSQLite3DB&)>& rows,
                const char* function = __builtin_FUNCTION(), int line = __builtin_LINE()) {
  return Write(
      failure,
      [&](CppSQLite3DB& db) {
        db.execDML(Format("delete from %s", table).c_str());
        if (rows) rows(db);
      },
      function, line);
}

}  // namespace

int ClearLogOnInfo() { return ReplaceRows("ks_user", -1, nullptr); }

int WriteLogOnInfo(const UserRecord& user) {
  return ReplaceRows("ks_user", -1, [&](CppSQLite3DB& db) {
    db.execDML(Format("insert into ks_user (email, psw) values (%Q,%Q)", user.email.c_str(),
                      user.psw.c_str())
                   .c_str());
  });
}

int SetDefaultDir(const DefShareInfo& dirs) {
  return ReplaceRows("ks_defshare", -1, [&](CppSQLite3DB& db) {
    db.execDML(Format("insert into ks_defshare(def,def_pic,def_music,def_video,def_doc,"
                      "def_instant)values(%Q,%Q,%Q,%Q,%Q,%Q)",
                      dirs.def.c_str(), dirs.def_pic.c_str(), dirs.def_music.c_str(),
                      dirs.def_video.c_str(), dirs.def_doc.c_str(), dirs.def_instant.c_str())
                   .c_str());
  });
}

int SetDefaultDir(const char dirs[kDefShareCount][kDirSlotSize]) {
  // A slot that fills all 260 bytes has no NUL: never read past it.
  auto slot = [&](int i) { return std::string(dirs[i], strnlen(dirs[i], kDirSlotSize)); };
  DefShareInfo info{slot(0), slot(1), slot(2), slot(3), slot(4), slot(5)};
  return SetDefaultDir(info);
}

int SetShareInfo(const std::vector<std::string>& paths) {
  return ReplaceRows("ks_share", -1, [&](CppSQLite3DB& db) {
    for (const std::string& path : paths)
      db.execDML(Format("insert into ks_share(path) values (%Q)", path.c_str()).c_str());
  });
}

int ClearLog() { return ReplaceRows("ks_trans", 1, nullptr); }

int SetPsw(const std::string& psw) {
  return ReplaceRows("ks_psw", -1, [&](CppSQLite3DB& db) {
    db.execDML(Format("insert into ks_psw (psw) values (%Q)", psw.c_str()).c_str());
  });
}

int CreateSVListTable() {
  std::optional<CppSQLite3Exception> error;
  std::string rollbackError;
  bool ok = ks::db::RunTransaction(
      GlobalDb(),
      [](CppSQLite3DB& db) {
        char query[256];
        snprintf(query, sizeof query,
                 "select count(*) from sqlite_master where type='table' and name='%s'", "ks_svlist");
        if (db.execScalar(query) < 1) {
          db.execDML("CREATE TABLE [ks_svlist] ( [host] VARCHAR(250)  NULL, [port] INTEGER  NULL);");
        }
        db.execDML("delete from ks_svlist;");
        ServerRecord sv;
        GetDefSVInfo(sv);
        db.execDML(Format("insert into ks_svlist(host,port) values(%Q,%d)", sv.host.c_str(),
                          static_cast<int>(sv.port))
                       .c_str());
      },
      &error, &rollbackError);
  if (ok) return 0;
  if (!rollbackError.empty()) KS_LOG_ERROR("CommLib", "rollback transaction error:%s", rollbackError.c_str());
  KS_LOG_ERROR("KestylClient", "CreateSVListTable function error:%s.", error->errorMessage());
  return error->errorCode() != 0 ? error->errorCode() : -1;
}

// ---- readers ----------------------------------------------------------------------------

uint16_t ParseLocalPort() {
  CppSQLite3DB& db = GlobalDb();
  uint16_t port = 0;
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_conf");
    if (!q.eof()) {
      int64_t v = q.getInt64Field("localport", 0);
      port = PortValue(v);
      if (port == 0 && v != 0) KS_LOG_WARNING("CommLib", "localport %lld is no port, using any.", (long long)v);
    }
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
  }
  return port;
}

int ParseLogConf(int& console, int& threshold) {
  console = 0;
  threshold = LOG_LEVEL_INFO;
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_conf");
    if (!q.eof()) {
      console = q.getIntField("log_console", 0);
      threshold = q.getIntField("log_priority", 0);
    }
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int ParseDefaultDir(DefShareInfo& out) {
  out = DefShareInfo{};
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_defshare");
    if (!q.eof()) {
      out.def = q.getStringField("def");
      out.def_pic = q.getStringField("def_pic");
      out.def_music = q.getStringField("def_music");
      out.def_video = q.getStringField("def_video");
      out.def_doc = q.getStringField("def_doc");
      out.def_instant = q.getStringField("def_instant");
    }
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetDefaultDir(char dirs[kDefShareCount][kDirSlotSize]) {
  DefShareInfo info;
  int rc = ParseDefaultDir(info);
  const std::string* texts[kDefShareCount] = {&info.def,       &info.def_pic, &info.def_music,
                                              &info.def_video, &info.def_doc, &info.def_instant};
  for (int i = 0; i < kDefShareCount; ++i) {
    std::memset(dirs[i], 0, kDirSlotSize);
    std::memcpy(dirs[i], texts[i]->data(), std::min<size_t>(texts[i]->size(), kDirSlotSize - 1));
  }
  return rc;
}

int ParseShareInfo(std::vector<std::string>& out) {
  out.clear();
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_share order by rowid");
    for (; !q.eof(); q.nextRow()) out.emplace_back(q.getStringField("path"));
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetTransLog(std::vector<TransLogRecord>& out) {
  out.clear();
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_trans order by rowid");
    for (; !q.eof(); q.nextRow()) {
      TransLogRecord r;
      r.type = q.getIntField("type", 0);
      r.status = q.getIntField("status", 0);
      r.size = q.getInt64Field("size", 0);
      r.time = q.getStringField("time");
      r.file = q.getStringField("file");
      out.push_back(std::move(r));
    }
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetPsw(std::string& out) {
  out.clear();
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_psw");
    if (!q.eof()) out = q.getStringField("psw");
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetUsernfo(UserRecord& out) {
  out = UserRecord{};
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_user;");
    if (!q.eof()) {
      out.email = q.getStringField("email");
      out.psw = q.getStringField("psw");
    }
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetP2PServerInfo(ServerRecord& out) {
  out = ServerRecord{};
  CppSQLite3DB& db = GlobalDb();
  try {
    Lock lock(db.mutex());
    CppSQLite3Query q = db.execQuery("select * from ks_conf");
    if (!q.eof()) {
      out.host = q.getStringField("p2phost");
      out.port = PortValue(q.getInt64Field("p2pport", 0));
    }
    return 0;
  } catch (const CppSQLite3Exception& e) {
    KS_DB_LOG_READ_EXCEPTION(e);
    return -1;
  }
}

int GetDefSVInfo(ServerRecord& out) {
  out.host = ks::settings::VendorHost();
  out.port = ks::settings::VendorPort();
  return 0;
}

int CheckInvalidChar(const std::string& text) {
  // Each forbidden character followed by a bar; empty pieces are skipped.
  static const char kInvalid[] = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";
  std::string list(kInvalid);
  size_t start = 0;
  while (start <= list.size()) {
    size_t bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    std::string piece = list.substr(start, bar - start);
    if (!piece.empty() && text.find(piece) != std::string::npos) return -1;
    start = bar + 1;
  }
  return 0;
}
