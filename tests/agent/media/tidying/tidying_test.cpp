#include "agent/media/tidying/tidying.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>

#include "agent/db/local_db.h"
#include "agent/util/util.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

// A minimal JPEG: SOI, APP1 with a little-endian EXIF block holding DateTimeOriginal
// (through the ExifOffset sub-directory), SOF0, SOS, EOI. `tail` makes contents differ.
std::string JpegWithDate(const std::string& date, const std::string& tail = "") {
  std::string tiff("II\x2a\x00\x08\x00\x00\x00", 8);
  auto u16 = [](std::string& s, unsigned v) { s += char(v & 0xff); s += char(v >> 8); };
  auto u32 = [&](std::string& s, unsigned v) { u16(s, v & 0xffff); u16(s, v >> 16); };
  u16(tiff, 1);                    // IFD0: one entry
  u16(tiff, 34665); u16(tiff, 4); u32(tiff, 1); u32(tiff, 26);  // ExifOffset -> 26
  u32(tiff, 0);
  u16(tiff, 1);                    // sub-directory at 26: one entry
  u16(tiff, 36867); u16(tiff, 2); u32(tiff, 20); u32(tiff, 44);  // DateTimeOriginal -> 44
  u32(tiff, 0);
  std::string value = date;
  value.resize(20, '\0');
  tiff += value;
  std::string app1 = std::string("Exif\0\0", 6) + tiff;
  std::string out("\xff\xd8", 2);
  out += "\xff\xe1";
  out += char((app1.size() + 2) >> 8);
  out += char((app1.size() + 2) & 0xff);
  out += app1;
  out += std::string("\xff\xc0\x00\x0b\x08\x00\x10\x00\x10\x01\x01\x11\x00", 13);
  out += std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00", 10);
  out += tail;
  out += std::string("\xff\xd9", 2);
  return out;
}

bool Exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

TEST(DateFolderName, OnlyValidDates) {
  struct Case { const char* in; bool ok; const char* out; } cases[] = {
      {"2013:05:01 10:20:30", true, "2013-05-01"},
      {"2013:05:01", true, "2013-05-01"},
      {"    :  :     :  :  ", false, ""},  // unknown date written as blanks
      {"0000:00:00 00:00:00", false, ""},
      {"../../:..:.. 00:00", false, ""},
      {"2013:13:01 00:00:00", false, ""},
      {"2013-05-01 00:00:00", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(DateFolderName(c.in, out), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out);
    }
  }
}

class Tidy : public ::testing::Test {
 protected:
  std::vector<std::string> Names() {
    std::vector<std::string> n;
    GetFileList(dir.path(), n, false);
    return n;
  }
  TempDir dir;
};

TEST_F(Tidy, MovesDatedPhotosLeavesTheRest) {
  WriteFile(dir / "a.jpg", JpegWithDate("2013:05:01 10:20:30"));
  WriteFile(dir / "undated.jpg", JpegWithDate("    :  :     :  :  "));
  WriteFile(dir / ".hidden.jpg", JpegWithDate("2013:05:01 10:20:30"));
  WriteFile(dir / "picture.png", "\x89PNG\r\n\x1a\n");
  WriteFile(dir / "escape.jpg", JpegWithDate("../../:..:.. 00:00"));

  EXPECT_EQ(TidyFolderFiles(dir.path(), Names()), 1);
  EXPECT_TRUE(Exists(dir / "2013-05-01/a.jpg"));
  EXPECT_FALSE(Exists(dir / "a.jpg"));
  for (const char* stays : {"undated.jpg", ".hidden.jpg", "picture.png", "escape.jpg"})
    EXPECT_TRUE(Exists(dir / stays)) << stays;
}

TEST_F(Tidy, DuplicatesAndNameClashes) {
  std::string first = JpegWithDate("2013:05:01 10:20:30", "first");
  std::string other = JpegWithDate("2013:05:01 10:20:30", "other");
  ::mkdir((dir / "2013-05-01").c_str(), 0755);
  WriteFile(dir / "2013-05-01/a.jpg", first);

  // Same name, same date, other content: kept under a free name, nothing overwritten.
  WriteFile(dir / "a.jpg", other);
  EXPECT_EQ(TidyFolderFiles(dir.path(), Names()), 1);
  EXPECT_EQ(ReadFile(dir / "2013-05-01/a.jpg"), first);
  EXPECT_EQ(ReadFile(dir / "2013-05-01/a.jpg.(0).jpg"), other);

  // An identical copy is a duplicate: the source goes, the target stays as it was.
  WriteFile(dir / "a.jpg", first);
  EXPECT_EQ(TidyFolderFiles(dir.path(), Names()), 1);
  EXPECT_FALSE(Exists(dir / "a.jpg"));
  EXPECT_EQ(ReadFile(dir / "2013-05-01/a.jpg"), first);
  EXPECT_FALSE(Exists(dir / "2013-05-01/a.jpg.(1).jpg"));
}

TEST_F(Tidy, SomethingElseUnderTheTargetNameIsNoDuplicate) {
  // A FIFO where the picture would go: comparing with it must neither block nor match.
  std::string photo = JpegWithDate("2013:05:01 10:20:30");
  WriteFile(dir / "a.jpg", photo);
  ASSERT_EQ(::mkdir((dir / "2013-05-01").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((dir / "2013-05-01/a.jpg").c_str(), 0644), 0);
  auto round = std::async(std::launch::async, [&] { return TidyFolderFiles(dir.path(), Names()); });
  if (round.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "tidying blocked on the FIFO";
    int writer = ::open((dir / "2013-05-01/a.jpg").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);  // the blocked reader sees the end and goes on
  }
  EXPECT_EQ(round.get(), 1);
  EXPECT_EQ(ReadFile(dir / "2013-05-01/a.jpg.(0).jpg"), photo);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "2013-05-01/a.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // A dangling link under the name: the picture still moves, under a free name.
  WriteFile(dir / "b.jpg", photo);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "2013-05-01/b.jpg").c_str()), 0);
  EXPECT_EQ(TidyFolderFiles(dir.path(), Names()), 1);
  EXPECT_EQ(ReadFile(dir / "2013-05-01/b.jpg.(0).jpg"), photo);
  EXPECT_FALSE(Exists(dir / "b.jpg"));
}

TEST_F(Tidy, FailedMoveKeepsTheSource) {
  std::string photo = JpegWithDate("2013:05:01 10:20:30");
  WriteFile(dir / "a.jpg", photo);
  WriteFile(dir / "2013-05-01", "a file where the date folder should be");
  EXPECT_EQ(TidyFolderFiles(dir.path(), Names()), 0);
  EXPECT_EQ(ReadFile(dir / "a.jpg"), photo);
}

// Runs `check` in a child process that has a private mount namespace with a tmpfs of
// `bytes` mounted on `mountPoint`, so the mount goes with the child whatever happens.
// The child's verdict: 1 when `check` held, 0 when not, -1 when no tmpfs could be mounted
// (not root, or no namespaces here).
int InTmpfs(const std::string& mountPoint, size_t bytes, const std::function<bool()>& check) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    const std::string options = "size=" + std::to_string(bytes);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0)
      ::_exit(2);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 0;
  return WEXITSTATUS(status) == 2 ? -1 : WEXITSTATUS(status) == 0 ? 1 : 0;
}

TEST_F(Tidy, MovesAcrossFileSystemsWithACheckedCopy) {
  // The date folder lies on another file system: rename cannot move the picture there.
  TempDir other;
  ASSERT_EQ(::symlink(other.path().c_str(), (dir / "2013-05-01").c_str()), 0);
  const std::string photo = JpegWithDate("2013:05:01 10:20:30", std::string(64 * 1024, 'x'));
  WriteFile(dir / "a.jpg", photo);

  // A full disk: the copy fails, the source stays whole and no partial copy is left.
  int verdict = InTmpfs(other.path(), 4096, [&] {
    return TidyFolderFiles(dir.path(), Names()) == 0 && ReadFile(dir / "a.jpg") == photo &&
           !Exists(other / "a.jpg");
  });
  if (verdict < 0) GTEST_SKIP() << "needs root and mount namespaces for a second file system";
  EXPECT_EQ(verdict, 1);
  EXPECT_EQ(ReadFile(dir / "a.jpg"), photo);

  // Room enough: the picture is copied whole and the source goes.
  EXPECT_EQ(InTmpfs(other.path(), 1 << 20, [&] {
              return TidyFolderFiles(dir.path(), Names()) == 1 && ReadFile(other / "a.jpg") == photo;
            }),
            1);
  EXPECT_FALSE(Exists(dir / "a.jpg"));
}

TEST(TidyingTable, CreateSetGet) {
  TempDir dir;
  ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
  GlobalDb().open((dir / "Kestyl.db").c_str());
  std::string status;
  EXPECT_EQ(GetTidingStatusByType("TidingByDate", status), -1);  // no table yet
  EXPECT_EQ(CreateAutoTidingTable(), 0);
  EXPECT_EQ(CreateAutoTidingTable(), 0);  // a second start keeps the one row
  EXPECT_EQ(GlobalDb().execScalar("select count(*) from AutoTiding"), 1);
  EXPECT_EQ(GetTidingStatusByType("TidingByDate", status), 0);
  EXPECT_EQ(status, "0");
  EXPECT_EQ(SetTidingStatusByType("TidingByDate", "1"), 0);
  EXPECT_EQ(GetTidingStatusByType("TidingByDate", status), 0);
  EXPECT_EQ(status, "1");
  GlobalDb().close();
}

}  // namespace
