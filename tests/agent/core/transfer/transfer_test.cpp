#include "agent/core/transfer/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "agent/db/local_db.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::transfer;

SessionPtr Make(Kind kind, uint64_t owner, uint32_t id, int fd = -1) {
  auto s = std::make_shared<Session>();
  s->kind = kind;
  s->owner = owner;
  s->id = id;
  s->fd = fd;
  return s;
}

bool FdOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(SessionTable, OwnersKindsAndReplacement) {
  SessionTable t;
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  t.Put(Make(Kind::kUpload, 7, 42, fd));
  t.Put(Make(Kind::kDownload, 8, 42));  // same id, another client
  EXPECT_EQ(t.Size(), 2u);
  EXPECT_EQ(t.Find(7, 42, Kind::kDownload), nullptr);  // a handler sees only its kind
  EXPECT_NE(t.Find(7, 42, Kind::kUpload), nullptr);
  EXPECT_NE(t.Find(8, 42, Kind::kDownload), nullptr);

  t.Put(Make(Kind::kDownload, 7, 42));  // another kind with the same id leaves the upload be
  EXPECT_TRUE(FdOpen(fd));
  EXPECT_EQ(t.Size(), 3u);
  int fd2 = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  t.Put(Make(Kind::kUpload, 7, 42, fd2));  // a new upload with the same id replaces the old
  EXPECT_FALSE(FdOpen(fd));
  EXPECT_EQ(t.Size(), 3u);
  EXPECT_NE(t.Take(7, 42, Kind::kDownload), nullptr);
  EXPECT_EQ(t.Take(7, 42, Kind::kDownload), nullptr);
  t.Clear();
}

TEST(SessionTable, DropOwnerAndExpiry) {
  SessionTable t;
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  t.Put(Make(Kind::kUpload, 5, 1, fd));
  t.Put(Make(Kind::kUpload, 6, 1));
  t.DropOwner(5);
  EXPECT_FALSE(FdOpen(fd));
  EXPECT_EQ(t.Size(), 1u);

  t.Put(Make(Kind::kDownload, kRelayOwner, 9));
  t.ExpireIdle(std::chrono::seconds(3600));
  EXPECT_EQ(t.Size(), 2u);
  t.ExpireIdle(std::chrono::seconds(-1));  // relay-made ones go, channel-bound ones stay
  EXPECT_EQ(t.Size(), 1u);
  EXPECT_NE(t.Find(6, 1, Kind::kUpload), nullptr);
}

TEST(DownloadCounter, ReleasedOnEveryPath) {
  int before = DownloadCount();
  try {
    DownloadCounter c;
    EXPECT_EQ(DownloadCount(), before + 1);
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(DownloadCount(), before);
}

TEST(StopList, TakeRemovesOne) {
  AddStopRequest(3);
  AddStopRequest(3);
  EXPECT_TRUE(TakeStopRequest(3));
  EXPECT_TRUE(HasStopRequest(3));
  RemoveStopRequests(3);
  EXPECT_FALSE(TakeStopRequest(3));
}

TEST(TransferLog, TrimsTheOldestFifty) {
  ks::test::TempDir dir;
  ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
  GlobalDb().open((dir / "Kestyl.db").c_str());
  WriteTranLog("/x/empty", 1, 0);  // size 0 leaves no row
  EXPECT_EQ(GlobalDb().execScalar("select count(*) from ks_trans"), 0);
  for (int i = 0; i < 99; ++i) WriteTranLog("/x/f" + std::to_string(i), i % 2, 5);
  WriteTranLog("/x/big", 1, int64_t(5) << 32);  // sizes beyond 32 bits are kept whole
  EXPECT_EQ(GlobalDb().execScalar("select count(*) from ks_trans"), 100);
  WriteTranLog("/x/next", 0, 1);
  EXPECT_EQ(GlobalDb().execScalar("select count(*) from ks_trans"), 51);
  std::vector<TransLogRecord> rows;
  GetTransLog(rows);
  ASSERT_EQ(rows.size(), 51u);
  EXPECT_EQ(rows.front().file, "/x/f50");  // the oldest fifty went
  EXPECT_EQ(rows[49].size, int64_t(5) << 32);
  EXPECT_EQ(rows.back().file, "/x/next");
  GlobalDb().close();
}

}  // namespace
