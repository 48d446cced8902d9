// cmd_db_adaption on fixture databases made from the installer's schema, run as a process.
#include "cmd/db_adaption.h"

#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/db/schema.h"
#include "tests/cmd/cmd_fixture.h"

namespace {

using ks::test::CmdProgram;
using ks::test::kGuid;
using Rows = std::vector<std::string>;

// Runs SQL on a file with SQLite itself; rows of a query as "a|b|...", NULL as "<null>".
Rows Sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  Rows rows;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << file;
    return rows;
  }
  char* err = nullptr;
  auto collect = [](void* out, int n, char** values, char**) {
    std::string row;
    for (int i = 0; i < n; ++i) row += (i ? "|" : "") + std::string(values[i] ? values[i] : "<null>");
    static_cast<Rows*>(out)->push_back(row);
    return 0;
  };
  if (sqlite3_exec(db, sql.c_str(), collect, &rows, &err) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << (err ? err : "?");
    sqlite3_free(err);
  }
  sqlite3_close(db);
  return rows;
}

class DbAdaption : public CmdProgram {
 protected:
  void SetUp() override {
    CmdProgram::SetUp();
    ASSERT_EQ(0, CreateDatabaseFile(old_, KS_SCHEMA_FILE));
    ASSERT_EQ(0, CreateDatabaseFile(new_, KS_SCHEMA_FILE));
  }
  ks::test::ProcessResult Adapt(const std::string& o, const std::string& n) {
    return Run({kGuid, "cmd_db_adaption", o, n});
  }
  std::string old_ = root_.path() + "/old.db";
  std::string new_ = root_.path() + "/new.db";
};

TEST_F(DbAdaption, CarriesFirstAccountDefaultsAndEveryShare) {
  Sql(old_,
      "insert into ks_user values('owner@x.y','hash1');"
      "insert into ks_user values('second@x.y','hash2');"
      "insert into ks_defshare values('/d','/d/pic',NULL,'/d/video','/d/doc','/d/inst');"
      "insert into ks_defshare values('/other','','','','','');"
      "insert into ks_share values('/s/b');"
      "insert into ks_share values('/s/it''s');"
      "insert into ks_share values('/s/a');");
  // What an installer put into the new file: its account row goes, shares stay.
  Sql(new_,
      "insert into ks_user values('installer@x.y','');"
      "insert into ks_defshare values('/i','','','','','');"
      "insert into ks_share values('/kept');");
  ExpectResult(Adapt(old_, new_), "Code:1\n", 0);
  EXPECT_EQ((Rows{"owner@x.y|hash1"}), Sql(new_, "select email,psw from ks_user"));
  EXPECT_EQ((Rows{"/d|/d/pic||/d/video|/d/doc|/d/inst"}), Sql(new_, "select * from ks_defshare"));
  EXPECT_EQ((Rows{"/kept", "/s/b", "/s/it's", "/s/a"}), Sql(new_, "select path from ks_share order by rowid"));
  EXPECT_FALSE(std::filesystem::exists(old_));
}

TEST_F(DbAdaption, EmptyOldTables) {
  ExpectResult(Adapt(old_, new_), "Code:1\n", 0);
  EXPECT_EQ((Rows{"|"}), Sql(new_, "select email,psw from ks_user"));
  EXPECT_EQ((Rows{"|||||"}), Sql(new_, "select * from ks_defshare"));
  EXPECT_EQ(Rows{}, Sql(new_, "select path from ks_share"));
  EXPECT_FALSE(std::filesystem::exists(old_));
}

TEST_F(DbAdaption, RefusalsChangeNothing) {
  Sql(old_, "insert into ks_user values('owner@x.y','hash1'); insert into ks_share values('/s');");
  const std::string link = root_.path() + "/link.db";
  ASSERT_EQ(0, symlink(old_.c_str(), link.c_str()));
  const std::string garbage = root_.path() + "/garbage.db";
  ks::test::WriteFile(garbage, std::string(4096, 'G'));
  const std::string empty = root_.path() + "/empty.db";
  ks::test::WriteFile(empty, "");
  const std::string missing = root_.path() + "/missing.db";
  const std::string folder = root_.path() + "/folder.db";
  std::filesystem::create_directories(folder);

  struct Case {
    const char* name;
    std::string old_file, new_file;
  } cases[] = {
      {"new missing", old_, missing},
      {"old missing", missing, new_},
      {"same path", old_, old_},
      {"same file through a link", old_, link},
      {"same file through a link, other way", link, old_},
      {"old not a database", garbage, new_},
      {"old empty file", empty, new_},
      {"old a folder", folder, new_},
      {"new a folder", old_, folder},
  };
  const std::string old_bytes = ks::test::ReadFile(old_);
  const std::string new_bytes = ks::test::ReadFile(new_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectResult(Adapt(c.old_file, c.new_file), "Code:-1\n", 0);
    EXPECT_EQ(old_bytes, ks::test::ReadFile(old_));
    EXPECT_EQ(new_bytes, ks::test::ReadFile(new_));
    EXPECT_EQ(std::string(4096, 'G'), ks::test::ReadFile(garbage));
    EXPECT_EQ("", ks::test::ReadFile(empty));
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
  EXPECT_EQ((Rows{"owner@x.y|hash1"}), Sql(old_, "select * from ks_user"));
}

TEST_F(DbAdaption, FailedShareGroupKeepsTheOldFile) {
  Sql(old_,
      "insert into ks_user values('owner@x.y','hash1');"
      "insert into ks_defshare values('/d','','','','','');"
      "insert into ks_share values('/s/new');"
      "insert into ks_share values('/s/dup');");
  // The new schema makes paths unique, and the new file already has one of them.
  Sql(new_, "create unique index ks_share_path on ks_share(path); insert into ks_share values('/s/dup');");
  ExpectResult(Adapt(old_, new_), "Code:-1\n", 0);
  EXPECT_TRUE(std::filesystem::exists(old_));
  EXPECT_EQ((Rows{"/s/dup"}), Sql(new_, "select path from ks_share"));  // the group rolled back whole
  EXPECT_EQ((Rows{"owner@x.y|hash1"}), Sql(new_, "select * from ks_user"));  // later groups committed
  EXPECT_EQ((Rows{"/d|||||"}), Sql(new_, "select * from ks_defshare"));

  // Once the conflict is gone, running it again completes the move.
  Sql(new_, "delete from ks_share;");
  ExpectResult(Adapt(old_, new_), "Code:1\n", 0);
  EXPECT_EQ((Rows{"/s/new", "/s/dup"}), Sql(new_, "select path from ks_share order by rowid"));
  EXPECT_EQ((Rows{"owner@x.y|hash1"}), Sql(new_, "select * from ks_user"));
  EXPECT_FALSE(std::filesystem::exists(old_));
}

TEST_F(DbAdaption, PathsWithUriCharacters) {
  // The files are opened by URI: characters that mean something there are taken literally.
  const std::string dir = root_.path() + "/a?b#c%41 d";
  std::filesystem::create_directories(dir);
  const std::string o = dir + "/old.db", n = dir + "/new.db";
  ASSERT_EQ(0, CreateDatabaseFile(o, KS_SCHEMA_FILE));
  ASSERT_EQ(0, CreateDatabaseFile(n, KS_SCHEMA_FILE));
  Sql(o, "insert into ks_share values('/x');");
  ExpectResult(Adapt(o, n), "Code:1\n", 0);
  EXPECT_EQ((Rows{"/x"}), Sql(n, "select path from ks_share"));
  EXPECT_FALSE(std::filesystem::exists(o));
  EXPECT_FALSE(std::filesystem::exists(dir + "/old.db?mode=ro"));
}

}  // namespace
