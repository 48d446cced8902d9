// The agent's local database: the process-wide connection to <root>/etc/Kestyl.db and
// every reader and writer of its tables.
//
// Tables (delivered with the database file by the installer, see schema.sql):
//   ks_user(email, psw)                       the vendor account, at most one row
//   ks_conf(localport, log_console, log_priority, p2phost, p2pport)   settings, read only
//   ks_defshare(def, def_pic, def_music, def_video, def_doc, def_instant)  at most one row
//   ks_share(path)                            one row per shared folder
//   ks_trans(id, type, status, file, size, time)  transfer log (written by WriteTranLog)
//   ks_psw(psw)                               the access password, at most one row
// The agent creates ks_svlist itself (CreateSVListTable) and AutoTiding (photo tidying).
//
// Writers: one transaction each under the database mutex (ks::db::RunTransaction:
// "begin transaction;", their statements, "commit transaction;"); on a CppSQLite3Exception
// they roll back, log "sqlite get a exception code %d,msg %s" (CommLib, DEBUG) and
// return their failure value; the mutex is released on every path.
// Readers: every output is first set to its default; they hold the same mutex for the
// whole row walk (so they never see another thread's transaction half done), log the
// same line on an exception and return -1, leaving what they had read so far. Texts read
// from NULL columns, missing rows or missing tables are "". Texts are returned whole;
// callers that copy them into fixed-size wire fields cut them there.
// Row-order readers (ParseShareInfo, GetTransLog) return rows in insertion order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/db/CppSQLite3.h"
#include "common/db/schema.h"

// The process-wide connection; closed until Service start-up opens it. Never destroyed,
// so threads still running at exit never meet a destroyed object.
CppSQLite3DB& GlobalDb();

// Size of one folder slot of the desktop protocol (at most 259 characters and a NUL).
constexpr int kDirSlotSize = 260;
constexpr int kDefShareCount = 6;

// The account of the vendor's service (32-byte text fields on the wire).
struct UserRecord {
  std::string email;
  std::string psw;
};

// The data folder and the five category folders, in column order.
struct DefShareInfo {
  std::string def;
  std::string def_pic;
  std::string def_music;
  std::string def_video;
  std::string def_doc;
  std::string def_instant;
};

// One row of ks_trans. type 0 upload to the PC, 1 download from the PC; size in bytes.
struct TransLogRecord {
  int type = 0;
  int status = 0;
  int64_t size = 0;
  std::string time;  // "%Y-%m-%d %H:%M:%S" (30-byte field on the wire)
  std::string file;  // full local path (260-byte field on the wire)
};

// A server address: the vendor's server (ks_svlist) or the P2P rendezvous server.
struct ServerRecord {
  uint16_t port = 0;
  std::string host;
};

// ---- writers: 0, or the failure value ---------------------------------------------------

// "delete from ks_user". -1 on failure.
int ClearLogOnInfo();
// Replaces the stored account. -1 on failure.
int WriteLogOnInfo(const UserRecord& user);
// Replaces the default folders. -1 on failure.
int SetDefaultDir(const DefShareInfo& dirs);
// The same from six 260-byte slots (each read up to its NUL, at most 260 bytes).
int SetDefaultDir(const char dirs[kDefShareCount][kDirSlotSize]);
// Replaces the share list with `paths`, in list order (an empty list empties it). -1.
int SetShareInfo(const std::vector<std::string>& paths);
// Empties the transfer log. Failure value 1 (not -1).
int ClearLog();
// Replaces the access password. -1 on failure.
int SetPsw(const std::string& psw);
// Start-up: creates ks_svlist when missing and refills it with the one default server
// (GetDefSVInfo). 0, or the SQLite code of the failure (never 0); logs
// "CreateSVListTable function error:%s." (KestylClient, INFO).
int CreateSVListTable();

// Rolls back the caller's transaction and releases the database mutex, whatever the
// rollback does (a failed rollback is logged and ignored). For writers of other modules:
//   CppSQLite3Transaction txn(GlobalDb());
//   try { txn.begin(); ...; txn.commit(); }
//   catch (CppSQLite3Exception& e) { RollbackTransaction(txn); log; }
void RollbackTransaction(CppSQLite3Transaction& txn);

// ---- readers: 0, or -1 after a database exception ---------------------------------------

// localport of the first ks_conf row; 0 (any free port) when there is no row, the value
// is NULL or not a port number, or on an exception. The caller stores it
// (ks::state::SetLocalBindPort).
uint16_t ParseLocalPort();
// console := log_console, threshold := log_priority of the first ks_conf row. Defaults 0
// and 600 (also when the table is missing); a NULL value reads as 0.
int ParseLogConf(int& console, int& threshold);
// The first ks_defshare row; missing row or NULL values read as "".
int ParseDefaultDir(DefShareInfo& out);
// ParseDefaultDir copied into six 260-byte slots (at most 259 characters, NUL-padded) in
// the order def, def_pic, def_music, def_video, def_doc, def_instant.
int GetDefaultDir(char dirs[kDefShareCount][kDirSlotSize]);
// Every ks_share path, in insertion order.
int ParseShareInfo(std::vector<std::string>& out);
// Every ks_trans row, oldest first.
int GetTransLog(std::vector<TransLogRecord>& out);
// psw of the first ks_psw row; "" when none.
int GetPsw(std::string& out);
// email and psw of the first ks_user row; "" when none.
int GetUsernfo(UserRecord& out);
// p2phost and p2pport of the first ks_conf row; "" and 0 when none, NULL or not a port.
int GetP2PServerInfo(ServerRecord& out);
// The default server: the vendor's host and port (ks::settings). Always 0.
int GetDefSVInfo(ServerRecord& out);

// -1 when the text contains any of ' ; " = ` * % $ ^ & < > { } [ ], else 0. User names
// and passwords that fail it are refused.
int CheckInvalidChar(const std::string& text);

// ---- installer and tests: ApplySchemaFile, CreateDatabaseFile (common/db/schema.h) ----
