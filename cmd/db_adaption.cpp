#include "cmd/db_adaption.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "cmd/statistic.h"
#include "common/db/CppSQLite3.h"

namespace ks::cmd {

namespace {

// An SQLite URI for the file with the given mode ("ro", "rw": never create).
std::string FileUri(const std::string& path, const char* mode) {
  std::error_code ec;
  std::string abs = std::filesystem::absolute(path, ec).string();
  if (ec) abs = path;
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (unsigned char c : abs) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
                 c == '.' || c == '_' || c == '-' || c == '~';
    if (plain) {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 0xF]);
    }
  }
  return uri + "?mode=" + mode;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

struct OwnerData {
  std::string email, psw;
  std::string def[6];
  std::vector<std::string> shares;
};

bool ReadOld(CppSQLite3DB& db, const std::string& file, OwnerData& d) {
  try {
    db.open(FileUri(file, "ro").c_str());
    {
      CppSQLite3Query q = db.execQuery(kSelectUser);
      if (!q.eof()) {
        d.email = q.getStringField("email", "");
        d.psw = q.getStringField("psw", "");
      }
    }
    {
      CppSQLite3Query q = db.execQuery(kSelectDefShare);
      if (!q.eof()) {
        const char* cols[6] = {"def", "def_pic", "def_music", "def_video", "def_doc", "def_instant"};
        for (int i = 0; i < 6; ++i) d.def[i] = q.getStringField(cols[i], "");
      }
    }
    {
      CppSQLite3Query q = db.execQuery(kSelectShare);
      for (; !q.eof(); q.nextRow()) d.shares.push_back(q.getStringField("path", ""));
    }
    db.close();
    return true;
  } catch (const CppSQLite3Exception&) {
    try {
      db.close();
    } catch (const CppSQLite3Exception&) {
    }
    return false;
  }
}

// One write group: open, mutex, begin, statements, commit, close. True when committed.
bool WriteGroup(CppSQLite3DB& db, const std::string& file, const std::function<void(CppSQLite3DB&)>& statements) {
  try {
    db.open(FileUri(file, "rw").c_str());
  } catch (const CppSQLite3Exception&) {
    try {
      db.close();
    } catch (const CppSQLite3Exception&) {
    }
    return false;
  }
  bool committed = false;
  {
    CppSQLite3Transaction txn(db);
    try {
      txn.begin();
      statements(db);
      txn.commit();
      committed = true;
    } catch (const CppSQLite3Exception&) {
      txn.rollback();
    }
  }
  try {
    db.close();
  } catch (const CppSQLite3Exception&) {
  }
  return committed;
}

void Exec(CppSQLite3DB& db, const char* sql) {
  if (!sql) throw CppSQLite3Exception(CPPSQLITE_ERROR, "out of memory");
  db.execDML(sql);
}

}  // namespace

bool AdaptDatabase(const std::string& old_file, const std::string& new_file) {
  if (!FileExists(old_file)) return false;
  if (SameFile(old_file, new_file)) return false;

  static CppSQLite3DB db;  // the program's one database instance
  OwnerData d;
  if (!ReadOld(db, old_file, d)) return false;
  if (!FileExists(new_file)) return false;

  bool all = true;
  all &= WriteGroup(db, new_file, [&](CppSQLite3DB& c) {
    for (const std::string& path : d.shares) {
      CppSQLite3Buffer sql;
      Exec(c, sql.format(kInsertShare, path.c_str()));
    }
  });
  all &= WriteGroup(db, new_file, [&](CppSQLite3DB& c) {
    Exec(c, kDeleteUser);
    CppSQLite3Buffer sql;
    Exec(c, sql.format(kInsertUser, d.email.c_str(), d.psw.c_str()));
  });
  all &= WriteGroup(db, new_file, [&](CppSQLite3DB& c) {
    Exec(c, kDeleteDefShare);
    CppSQLite3Buffer sql;
    Exec(c, sql.format(kInsertDefShare, d.def[0].c_str(), d.def[1].c_str(), d.def[2].c_str(), d.def[3].c_str(),
                       d.def[4].c_str(), d.def[5].c_str()));
  });
  if (!all) return false;
  unlink(old_file.c_str());
  return true;
}

}  // namespace ks::cmd
