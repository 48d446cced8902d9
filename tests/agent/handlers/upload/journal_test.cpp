// The resume journal record, its files and the collision names.
#include "agent/handlers/upload/journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/fakes/test_support.h"

namespace {

using namespace ks::upload;
using ks::test::TempDir;

const std::string kFp = "0123456789abcdef0123456789abcdef";

std::string Record(const std::string& target, const std::string& fp) {
  auto r = EncodeJournal({target, fp});
  return std::string(r.begin(), r.end());
}

TEST(UploadJournal, RecordLayout) {
  std::string r = Record("/srv/share/a.bin", kFp);
  ASSERT_EQ(r.size(), 288u);
  EXPECT_EQ(std::string(r.c_str()), "/srv/share/a.bin");
  EXPECT_EQ(r.substr(16, 255 - 16), std::string(255 - 16, '\0'));  // NUL-padded
  EXPECT_EQ(r.substr(255, 32), kFp);
  EXPECT_EQ(r[287], '\0');
  EXPECT_EQ(TempPathFor("/s/a.jpg"), "/s/a.jpgkestyl.rename");
  EXPECT_EQ(JournalPathFor("/s/a.jpg"), "/s/a.jpgkestyl.renametmp");
  EXPECT_EQ(JournalPathForTemp(TempPathFor("/s/a.jpg")), JournalPathFor("/s/a.jpg"));
}

TEST(UploadJournal, LongTargetIsCutAt254) {
  std::string target = "/" + std::string(300, 'x');
  UploadJournal j;
  std::string r = Record(target, kFp);
  ASSERT_TRUE(ParseJournal(reinterpret_cast<const uint8_t*>(r.data()), r.size(), j));
  EXPECT_EQ(j.target, target.substr(0, 254));
  EXPECT_EQ(j.fingerprint, kFp);
}

TEST(UploadJournal, ParseAcceptsOnlyWholeWellFormedRecords) {
  std::string good = Record("/srv/a", kFp);
  std::string noNul = std::string(255, 'A') + kFp + '\0';
  std::string upper = Record("/srv/a", "0123456789ABCDEF0123456789ABCDEF");
  std::string notHex = Record("/srv/a", "0123456789abcdef0123456789abcdeg");
  std::string fpNoNul = good;
  fpNoNul[287] = '1';
  std::string junkAfterPath = good;
  junkAfterPath[100] = '\xff';  // bytes after the path's NUL do not matter
  struct Case {
    const char* name;
    std::string data;
    bool ok;
  } cases[] = {
      {"good", good, true},
      {"torn", good.substr(0, 287), false},
      {"too long", good + '\0', false},
      {"empty", "", false},
      {"path without NUL", noNul, false},
      {"empty path", Record("", kFp), false},
      {"upper-case hex", upper, false},
      {"not hex", notHex, false},
      {"short fingerprint", Record("/srv/a", "0123"), false},
      {"fingerprint without NUL", fpNoNul, false},
      {"junk after path", junkAfterPath, true},
  };
  for (const Case& c : cases) {
    UploadJournal j;
    EXPECT_EQ(ParseJournal(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size(), j), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(j.target, "/srv/a") << c.name;
      EXPECT_EQ(j.fingerprint, kFp) << c.name;
    }
  }
}

TEST(UploadJournal, FilesAreWrittenNewAndReadBack) {
  TempDir dir;
  std::string path = dir / "a.binkestyl.renametmp";
  UploadJournal j;
  EXPECT_EQ(ReadJournalFile(path, j), JournalRead::kMissing);
  ASSERT_TRUE(WriteJournalFile(path, {"/srv/a.bin", kFp}));
  EXPECT_EQ(ks::test::ReadFile(path), Record("/srv/a.bin", kFp));
  ASSERT_EQ(ReadJournalFile(path, j), JournalRead::kValid);
  EXPECT_EQ(j.target, "/srv/a.bin");
  EXPECT_FALSE(WriteJournalFile(path, {"/srv/other", kFp})) << "never over an existing journal";
  EXPECT_EQ(ks::test::ReadFile(path), Record("/srv/a.bin", kFp));

  ks::test::WriteFile(path, Record("/srv/a.bin", kFp) + "x");
  EXPECT_EQ(ReadJournalFile(path, j), JournalRead::kInvalid);

  // Not through a symlink, neither way.
  std::string elsewhere = dir / "elsewhere";
  ks::test::WriteFile(elsewhere, Record("/srv/a.bin", kFp));
  std::string link = dir / "linkkestyl.renametmp";
  ASSERT_EQ(::symlink(elsewhere.c_str(), link.c_str()), 0);
  EXPECT_EQ(ReadJournalFile(link, j), JournalRead::kInvalid);
  std::string dangling = dir / "danglingkestyl.renametmp";
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_FALSE(WriteJournalFile(dangling, {"/srv/a.bin", kFp}));
  EXPECT_NE(::access((dir / "nowhere").c_str(), F_OK), 0);
}

TEST(UploadJournal, FailedWriteLeavesNoTornJournal) {
  TempDir dir;
  std::string path = dir / "bkestyl.renametmp";
  // The file-size limit makes the kernel refuse the write half way, as a full disk would.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = WriteJournalFile(path, {"/srv/b", kFp});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_FALSE(written);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(UploadJournal, CollisionNames) {
  struct Case {
    const char* target;
    unsigned n;
    const char* name;
  } cases[] = {
      {"/s/photo.jpg", 0, "/s/photo.jpg.(0).jpg"},
      {"/s/photo.jpg", 12, "/s/photo.jpg.(12).jpg"},
      {"/s/arch.tar.gz", 1, "/s/arch.tar.gz.(1).gz"},
      {"/s/README", 0, "/s/README.(0)"},
      {"/s/a.b/README", 3, "/s/a.b/README.(3)"},  // a folder's dot is no extension
      {"/s/trailing.", 0, "/s/trailing..(0)"},
      {"/s/.hidden", 0, "/s/.hidden.(0).hidden"},
  };
  for (const Case& c : cases) EXPECT_EQ(CollisionName(c.target, c.n), c.name) << c.target;
}

}  // namespace
