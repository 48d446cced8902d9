// The database wrapper against real SQLite files in a temporary folder.
#include "common/db/CppSQLite3.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "tests/fakes/test_support.h"

namespace {

using ks::test::TempDir;

// Runs `f` and returns the exception it threw; fails the test when it threw none.
template <class F>
CppSQLite3Exception Catch(F f) {
  try {
    f();
  } catch (const CppSQLite3Exception& e) {
    return e;
  }
  ADD_FAILURE() << "no CppSQLite3Exception";
  return CppSQLite3Exception(0, "none");
}

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.open(path.c_str());
    db.execDML("create table t (id integer primary key, name text, n integer);");
  }
  TempDir dir;
  std::string path = dir / "w.db";
  CppSQLite3DB db;
};

TEST(CppSQLite3Exception, CodeNames) {
  const struct {
    int code;
    const char* name;
  } cases[] = {
      {0, "SQLITE_OK"},         {1, "SQLITE_ERROR"},     {2, "SQLITE_INTERNAL"},  {3, "SQLITE_PERM"},
      {4, "SQLITE_ABORT"},      {5, "SQLITE_BUSY"},      {6, "SQLITE_LOCKED"},    {7, "SQLITE_NOMEM"},
      {8, "SQLITE_READONLY"},   {9, "SQLITE_INTERRUPT"}, {10, "SQLITE_IOERR"},    {11, "SQLITE_CORRUPT"},
      {12, "SQLITE_NOTFOUND"},  {13, "SQLITE_FULL"},     {14, "SQLITE_CANTOPEN"}, {15, "SQLITE_PROTOCOL"},
      {16, "SQLITE_EMPTY"},     {17, "SQLITE_SCHEMA"},   {18, "SQLITE_TOOBIG"},   {19, "SQLITE_CONSTRAINT"},
      {20, "SQLITE_MISMATCH"},  {21, "SQLITE_MISUSE"},   {22, "SQLITE_NOLFS"},    {23, "SQLITE_AUTH"},
      {24, "SQLITE_FORMAT"},    {25, "SQLITE_RANGE"},    {100, "SQLITE_ROW"},     {101, "SQLITE_DONE"},
      {1000, "CPPSQLITE_ERROR"}, {26, "UNKNOWN_ERROR"},  {-1, "UNKNOWN_ERROR"},   {999, "UNKNOWN_ERROR"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(c.code), c.name) << c.code;
  }
}

TEST(CppSQLite3Exception, MessageFormatAndCopy) {
  CppSQLite3Exception e(1000, "Database not open");
  EXPECT_EQ(e.errorCode(), 1000);
  EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
  CppSQLite3Exception copy(e);
  EXPECT_STREQ(copy.errorMessage(), e.errorMessage());
  EXPECT_NE(copy.errorMessage(), e.errorMessage());  // its own text, freed on its own
  CppSQLite3Exception assigned(1, nullptr);
  EXPECT_STREQ(assigned.errorMessage(), "SQLITE_ERROR[1]: ");
  assigned = e;
  EXPECT_STREQ(assigned.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
  EXPECT_EQ(assigned.errorCode(), 1000);
}

TEST(CppSQLite3DB, ClosedDatabase) {
  CppSQLite3DB db;
  EXPECT_FALSE(db.isOpen());
  EXPECT_NO_THROW(db.close());  // closing a closed database does nothing
  const char* notOpen = "CPPSQLITE_ERROR[1000]: Database not open";
  EXPECT_STREQ(Catch([&] { db.execDML("select 1"); }).errorMessage(), notOpen);
  EXPECT_STREQ(Catch([&] { db.execQuery("select 1"); }).errorMessage(), notOpen);
  EXPECT_STREQ(Catch([&] { db.execScalar("select 1"); }).errorMessage(), notOpen);
  EXPECT_STREQ(Catch([&] { db.compile("select 1"); }).errorMessage(), notOpen);
  EXPECT_EQ(db.busyTimeout(), 60000);
}

TEST(CppSQLite3DB, OpenFailureThrowsSqliteError) {
  TempDir dir;
  CppSQLite3DB db;
  auto e = Catch([&] { db.open((dir / "no-such-folder/x.db").c_str()); });
  EXPECT_EQ(e.errorCode(), SQLITE_CANTOPEN);
  EXPECT_STREQ(e.errorMessage(), "SQLITE_CANTOPEN[14]: unable to open database file");
  EXPECT_FALSE(db.isOpen());  // and the half-made connection was closed (no leak under ASan)
}

TEST_F(WrapperTest, SqliteErrorTexts) {
  auto e = Catch([&] { db.execDML("insert into nosuch values (1)"); });
  EXPECT_EQ(e.errorCode(), SQLITE_ERROR);
  EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: no such table: nosuch");

  e = Catch([&] { db.execQuery("select * from nosuch"); });
  EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: no such table: nosuch");

  db.execDML("insert into t (id) values (1)");
  e = Catch([&] { db.execDML("insert into t (id) values (1)"); });
  EXPECT_EQ(e.errorCode(), SQLITE_CONSTRAINT);
  EXPECT_STREQ(e.errorMessage(), "SQLITE_CONSTRAINT[19]: UNIQUE constraint failed: t.id");

  e = Catch([&] { db.execQuery("  -- nothing here"); });
  EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
}

TEST_F(WrapperTest, ExecDmlReturnsChangedRows) {
  EXPECT_EQ(db.execDML("insert into t (name) values ('a'); insert into t (name) values ('b');"), 1);
  EXPECT_EQ(db.execDML("update t set n = 5"), 2);
  EXPECT_EQ(db.execDML("delete from t"), 2);
}

TEST_F(WrapperTest, QuotedTextRoundTrip) {
  const char* tricky = "it's a 'quoted' path; drop table t; --";
  CppSQLite3Buffer sql;
  EXPECT_STREQ(sql.format("%Q,%Q", "o'k", nullptr), "'o''k',NULL");
  db.execDML(sql.format("insert into t (id, name) values (1, %Q)", tricky));
  db.execDML(sql.format("insert into t (id, name) values (2, %Q)", nullptr));
  sql.clear();
  EXPECT_EQ(static_cast<const char*>(sql), nullptr);

  CppSQLite3Query q = db.execQuery("select name from t order by id");
  ASSERT_FALSE(q.eof());
  EXPECT_STREQ(q.getStringField("name"), tricky);
  EXPECT_FALSE(q.fieldIsNull(0));
  q.nextRow();
  ASSERT_FALSE(q.eof());
  EXPECT_TRUE(q.fieldIsNull("name"));
  EXPECT_EQ(q.fieldValue(0), nullptr);
  EXPECT_STREQ(q.getStringField("name"), "");
  EXPECT_STREQ(q.getStringField(0, "dflt"), "dflt");
  EXPECT_EQ(q.getIntField("name", -7), -7);
  q.nextRow();
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(db.execScalar("select count(*) from t"), 2);  // the table survived the quote
}

TEST_F(WrapperTest, ExecScalar) {
  EXPECT_EQ(db.execScalar("select count(*) from t"), 0);
  EXPECT_EQ(db.execScalar("select null"), 0);
  EXPECT_EQ(db.execScalar("select 42, 7"), 42);
  auto e = Catch([&] { db.execScalar("select id from t"); });
  EXPECT_EQ(e.errorCode(), 1000);
  EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
  e = Catch([&] { db.execScalar("delete from t"); });  // no column at all
  EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
}

TEST_F(WrapperTest, FieldAccessErrors) {
  db.execDML("insert into t (id, name, n) values (1, 'x', 9)");
  CppSQLite3Query q = db.execQuery("select * from t");
  EXPECT_EQ(q.numFields(), 3);
  EXPECT_EQ(q.fieldIndex("n"), 2);
  EXPECT_STREQ(q.fieldName(1), "name");
  EXPECT_EQ(q.fieldDataType(0), SQLITE_INTEGER);
  EXPECT_EQ(q.fieldDataType(1), SQLITE_TEXT);
  EXPECT_EQ(q.getInt64Field("n"), 9);

  const char* badName = "CPPSQLITE_ERROR[1000]: Invalid field name requested";
  EXPECT_STREQ(Catch([&] { q.fieldIndex("NAME"); }).errorMessage(), badName);  // case-sensitive
  EXPECT_STREQ(Catch([&] { q.getStringField("nosuch"); }).errorMessage(), badName);
  const char* badIndex = "CPPSQLITE_ERROR[1000]: Invalid field index requested";
  EXPECT_STREQ(Catch([&] { q.fieldDataType(3); }).errorMessage(), badIndex);
  EXPECT_STREQ(Catch([&] { q.fieldValue(-1); }).errorMessage(), badIndex);

  CppSQLite3Query empty;
  EXPECT_STREQ(Catch([&] { empty.fieldIndex("n"); }).errorMessage(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_STREQ(Catch([&] { empty.eof(); }).errorMessage(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
}

TEST_F(WrapperTest, StepErrorFinalizesAndThrows) {
  // abs() of the smallest integer fails on that row only.
  db.execDML("insert into t (id, n) values (1, 5); insert into t (id, n) values (2, -9223372036854775808);");
  CppSQLite3Query q = db.execQuery("select abs(n) as a from t order by id");
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.getIntField("a"), 5);
  auto e = Catch([&] { q.nextRow(); });
  EXPECT_EQ(e.errorCode(), SQLITE_ERROR);
  EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: integer overflow");
  // The statement is gone: the connection closes although the query object still exists.
  EXPECT_STREQ(Catch([&] { q.eof(); }).errorMessage(), "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_NO_THROW(db.close());
}

TEST_F(WrapperTest, MovedQueryHandsOverItsStatement) {
  db.execDML("insert into t (id) values (1); insert into t (id) values (2); insert into t (id) values (3);");
  CppSQLite3Query target;
  {
    CppSQLite3Query source = db.execQuery("select id from t order by id");
    target = std::move(source);
    EXPECT_STREQ(Catch([&] { source.eof(); }).errorMessage(),
                 "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  }  // the source's destructor must not finalize the statement it gave away
  int seen = 0;
  for (; !target.eof(); target.nextRow()) EXPECT_EQ(target.getIntField(0), ++seen);
  EXPECT_EQ(seen, 3);

  // Assigning over a query finalizes the statement it held.
  target = db.execQuery("select 7");
  EXPECT_EQ(target.getIntField(0), 7);
  target.finalize();
  EXPECT_NO_THROW(db.close());
}

TEST_F(WrapperTest, CloseRefusedWhileAQueryHoldsAStatement) {
  CppSQLite3Query q = db.execQuery("select 1 union all select 2");
  auto e = Catch([&] { db.close(); });
  EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Unable to close database");
  EXPECT_TRUE(db.isOpen());
  q.nextRow();  // the connection is still there
  EXPECT_EQ(q.getIntField(0), 2);
  q.finalize();
  db.close();
  EXPECT_FALSE(db.isOpen());
}

TEST_F(WrapperTest, CloseWhileAnotherThreadWrites) {
  // The writer either finishes a statement or finds the database closed; it never runs on
  // a freed connection (ASan would report it).
  std::atomic<int> done{0};
  std::thread writer([&] {
    for (;;) {
      try {
        db.execDML("insert into t (name) values ('x')");
        ++done;
      } catch (const CppSQLite3Exception& e) {
        EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
        return;
      }
    }
  });
  while (done.load() < 20) std::this_thread::yield();
  db.close();
  writer.join();
  EXPECT_FALSE(db.isOpen());
}

TEST_F(WrapperTest, BusyTimeoutApplies) {
  CppSQLite3DB other;
  other.open(path.c_str());
  other.execDML("begin exclusive transaction;");
  db.setBusyTimeout(50);
  auto e = Catch([&] { db.execDML("insert into t (name) values ('x')"); });
  EXPECT_EQ(e.errorCode(), SQLITE_BUSY);
  EXPECT_STREQ(e.errorMessage(), "SQLITE_BUSY[5]: database is locked");
  other.execDML("commit transaction;");
  EXPECT_EQ(db.execDML("insert into t (name) values ('x')"), 1);
}

TEST_F(WrapperTest, OpenAgainReplacesTheConnection) {
  db.execDML("insert into t (name) values ('kept')");
  db.open(path.c_str());
  EXPECT_EQ(db.execScalar("select count(*) from t"), 1);
}

// ---- transactions ----

// True when another thread can take the database mutex (it is not left held).
bool MutexFree(CppSQLite3DB& db) {
  auto f = std::async(std::launch::async, [&] {
    std::unique_lock<std::recursive_mutex> l(db.mutex(), std::try_to_lock);
    return l.owns_lock();
  });
  return f.get();
}

TEST_F(WrapperTest, TransactionCommits) {
  {
    CppSQLite3Transaction txn(db);
    EXPECT_TRUE(txn.holdsMutex());
    EXPECT_FALSE(MutexFree(db));
    txn.begin();
    db.execDML("insert into t (name) values ('a')");
    txn.commit();
    EXPECT_FALSE(txn.holdsMutex());
    EXPECT_TRUE(MutexFree(db));
  }
  EXPECT_EQ(db.execScalar("select count(*) from t"), 1);
}

TEST_F(WrapperTest, TransactionLeftOpenRollsBackAndReleases) {
  try {
    CppSQLite3Transaction txn(db);
    txn.begin();
    db.execDML("insert into t (name) values ('a')");
    throw std::runtime_error("not a database error");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(MutexFree(db));
  EXPECT_EQ(db.execScalar("select count(*) from t"), 0);
}

TEST_F(WrapperTest, FailedRollbackStillReleasesTheMutex) {
  // RAISE(ROLLBACK) makes SQLite end the transaction itself, so the explicit rollback fails.
  db.execDML("create trigger undo before insert on t when new.name = 'bad' "
             "begin select raise(rollback, 'refused'); end;");
  CppSQLite3Transaction txn(db);
  txn.begin();
  db.execDML("insert into t (name) values ('a')");
  auto e = Catch([&] { db.execDML("insert into t (name) values ('bad')"); });
  EXPECT_STREQ(e.errorMessage(), "SQLITE_CONSTRAINT[19]: refused");
  std::string error;
  EXPECT_EQ(txn.rollback(&error), SQLITE_ERROR);
  EXPECT_EQ(error, "SQLITE_ERROR[1]: cannot rollback - no transaction is active");
  EXPECT_FALSE(txn.holdsMutex());
  EXPECT_TRUE(MutexFree(db));
  EXPECT_EQ(db.execScalar("select count(*) from t"), 0);
  EXPECT_EQ(db.execDML("insert into t (name) values ('b')"), 1);
}

TEST_F(WrapperTest, FailedBeginReleasesWithoutRollingBackTheOuterTransaction) {
  // Same thread, transaction already open: the inner begin fails and must not undo it.
  db.execDML("begin transaction; insert into t (name) values ('outer');");
  {
    CppSQLite3Transaction inner(db);
    auto e = Catch([&] { inner.begin(); });
    EXPECT_EQ(e.errorCode(), SQLITE_ERROR);
    EXPECT_EQ(inner.rollback(), 0);
  }
  db.execDML("commit transaction;");
  EXPECT_TRUE(MutexFree(db));
  EXPECT_EQ(db.execScalar("select count(*) from t"), 1);
}

TEST_F(WrapperTest, StatementsOfOtherThreadsWaitForTheTransaction) {
  // Another thread's statement must not land inside this thread's open transaction.
  CppSQLite3Transaction txn(db);
  txn.begin();
  db.execDML("insert into t (name) values ('mine')");
  std::atomic<bool> ran{false};
  std::thread other([&] {
    db.execDML("insert into t (name) values ('theirs')");
    ran = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(ran.load());
  txn.rollback();  // only 'mine' is undone
  other.join();
  EXPECT_EQ(db.execScalar("select count(*) from t where name = 'theirs'"), 1);
  EXPECT_EQ(db.execScalar("select count(*) from t where name = 'mine'"), 0);
}

}  // namespace
