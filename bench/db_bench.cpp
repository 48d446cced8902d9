// Local database write rate: one transaction per row (how the agent writes, e.g. a
// transfer-log row after each transfer) against the same rows batched in one transaction.
//
//   db_bench [folder] [rows]     folder for the database file (default: a new one in
//                                $TMPDIR or /tmp), rows per form (default 2000)
// The per-transaction figure is bound by the disk's sync latency: run it on the disk the
// agent's install root lives on.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "agent/db/local_db.h"

namespace {

// The schema of the source tree (its absolute path, given by the build).
std::string SchemaPath() {
  return KS_SCHEMA_FILE;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void InsertRow(CppSQLite3DB& db, int i) {
  CppSQLite3Buffer sql;
  db.execDML(sql.format("insert into ks_trans (type,status,file,size,time)values(%d,%d,%Q,%lld,%Q)", i % 2, 0,
                        "/home/user/Kestyl/Pictures/IMG_0001.JPG", 5368709120LL + i, "2013-05-01 10:20:30"));
}

// Each row in its own transaction under the database mutex.
double OnePerTransaction(CppSQLite3DB& db, int rows) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rows; ++i) {
    CppSQLite3Transaction txn(db);
    txn.begin();
    InsertRow(db, i);
    txn.commit();
  }
  return Seconds(start);
}

double Batched(CppSQLite3DB& db, int rows) {
  auto start = std::chrono::steady_clock::now();
  CppSQLite3Transaction txn(db);
  txn.begin();
  for (int i = 0; i < rows; ++i) InsertRow(db, i);
  txn.commit();
  return Seconds(start);
}

// The agent's own writer (delete and insert per call).
double SetPswCalls(int calls) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    if (SetPsw("password" + std::to_string(i)) != 0) {
      std::fprintf(stderr, "SetPsw failed\n");
      std::exit(1);
    }
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  bool own = false;
  if (argc > 1) {
    folder = argv[1];
  } else {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestyl-db-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    folder = tmpl;
    own = true;
  }
  int rows = argc > 2 ? std::atoi(argv[2]) : 2000;
  if (rows <= 0) rows = 2000;

  std::string path = folder + "/Kestyl-bench.db";
  std::filesystem::remove(path);
  std::string schema = SchemaPath();
  if (CreateDatabaseFile(path, schema) != 0) {
    std::fprintf(stderr, "cannot create %s from %s\n", path.c_str(), schema.c_str());
    return 1;
  }
  int rc = 0;
  try {
    CppSQLite3DB& db = GlobalDb();
    db.open(path.c_str());
    double one = OnePerTransaction(db, rows);
    db.execDML("delete from ks_trans");
    double batch = Batched(db, rows);
    double psw = SetPswCalls(rows);
    db.close();
    std::printf("db_bench: %d rows on %s\n", rows, folder.c_str());
    std::printf("  one transaction per write : %10.0f writes/s (%.3f s)\n", rows / one, one);
    std::printf("  all rows in one transaction: %10.0f writes/s (%.3f s)\n", rows / batch, batch);
    std::printf("  SetPsw (delete + insert)   : %10.0f calls/s  (%.3f s)\n", rows / psw, psw);
    std::printf("RESULT db.per_txn_wps=%.0f\nRESULT db.batched_wps=%.0f\nRESULT db.setpsw_cps=%.0f\n", rows / one,
                rows / batch, rows / psw);
  } catch (const CppSQLite3Exception& e) {
    std::fprintf(stderr, "db_bench: %s\n", e.errorMessage());
    rc = 1;
  }
  std::filesystem::remove(path);
  if (own) std::filesystem::remove_all(folder);
  return rc;
}
