// Opening beneath a share root: links that stay inside work, nothing leads out, and a
// folder swapped for a link while others open through it never yields what lies outside.
#include "agent/core/shares/share_open.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/test_support.h"

#include <filesystem>

namespace {

using ks::shares::OpenFolderInShareRoots;
using ks::shares::OpenInShareRoots;
using ks::test::TempDir;
using ks::test::WriteFile;

std::string ReadFd(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

class ShareOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"share", "share/sub", "share/sub/deep", "outside", "share2"}) ::mkdir((dir / d).c_str(), 0755);
    WriteFile(dir / "share/a.txt", "inside");
    WriteFile(dir / "share/sub/deep/b.txt", "deep");
    WriteFile(dir / "outside/secret", "secret");
    WriteFile(dir / "share2/x", "sibling");
    Link(dir / "outside/secret", "share/abs-out");
    Link("../outside/secret", "share/rel-out");
    Link(dir / "outside", "share/dir-out");
    Link(dir / "share/a.txt", "share/abs-in");
    Link("../a.txt", "share/sub/rel-in");
    Link("sub/deep", "share/dir-in");
    Link("../../../share2/x", "share/sub/deep/sibling");
    Link("loop2", "share/loop1");
    Link("loop1", "share/loop2");
    roots = {dir / "share"};
  }
  void Link(const std::string& target, const std::string& at) {
    ASSERT_EQ(::symlink(target.c_str(), (dir / at).c_str()), 0) << at;
  }
  // The content read through the descriptor, or "errno N".
  // Opened both by the roots' names and from roots held open beforehand (as a server that
  // opens many paths holds them): the two must agree.
  std::string Open(const std::string& path, int flags = O_RDONLY) {
    int fd = -1;
    int rc = OpenInShareRoots(path, roots, flags, &fd);
    std::string byName = Result(rc, fd);
    std::vector<ks::shares::ResolvedRoot> held = ks::shares::ResolveRoots(roots);
    ks::shares::HoldRoots(&held);
    rc = ks::shares::OpenInResolvedRoots(path, held, flags, &fd);
    std::string fromHeld = Result(rc, fd);
    ks::shares::CloseHeldRoots(&held);
    return byName == fromHeld ? byName : "by name: " + byName + ", from held roots: " + fromHeld;
  }
  // The content read through the descriptor (closed here), or "errno N".
  static std::string Result(int rc, int fd) {
    if (rc != 0) return "errno " + std::to_string(rc);
    std::string text = ReadFd(fd);
    ::close(fd);
    return text;
  }

  TempDir dir;
  std::vector<std::string> roots;
};

TEST_F(ShareOpenTest, LinksInsideWorkAndNoneLeadsOut) {
  const std::string exdev = "errno " + std::to_string(EXDEV);
  struct Case {
    std::string path;
    std::string result;
  } cases[] = {
      {dir / "share/a.txt", "inside"},
      {dir / "share/sub/deep/b.txt", "deep"},
      {dir / "share/abs-in", "inside"},
      {dir / "share/sub/rel-in", "inside"},
      {dir / "share/dir-in/b.txt", "deep"},
      {dir / "share//./sub/deep/b.txt", "deep"},
      {dir / "share/abs-out", exdev},
      {dir / "share/rel-out", exdev},
      {dir / "share/dir-out/secret", exdev},
      {dir / "share/sub/deep/sibling", exdev},
      {dir / "share/../outside/secret", exdev},
      {dir / "outside/secret", exdev},
      {dir / "share2/x", exdev},
      {dir / "share/missing", "errno " + std::to_string(ENOENT)},
      {dir / "share/a.txt/x", "errno " + std::to_string(ENOTDIR)},
      {dir / "share/loop1", "errno " + std::to_string(ELOOP)},
  };
  for (const Case& c : cases) EXPECT_EQ(Open(c.path), c.result) << c.path;

  // A folder by its path, and the root itself.
  int fd = -1;
  ASSERT_EQ(OpenInShareRoots(dir / "share/dir-in", roots, O_RDONLY | O_DIRECTORY, &fd), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ::close(fd);
  ASSERT_EQ(OpenInShareRoots(dir / "share", roots, O_RDONLY | O_DIRECTORY, &fd), 0);
  ::close(fd);
  EXPECT_EQ(OpenInShareRoots(dir / "share/dir-out", roots, O_RDONLY | O_DIRECTORY, &fd), EXDEV);
}

// A root given through a symlink is found by either spelling; absolute links into its real
// location stay inside.
TEST_F(ShareOpenTest, RootGivenThroughALink) {
  Link(dir / "share", "via");
  roots = {dir / "via"};
  EXPECT_EQ(Open(dir / "via/abs-in"), "inside");
  EXPECT_EQ(Open(dir / "share/sub/rel-in"), "inside");
  EXPECT_EQ(Open(dir / "via/abs-out"), "errno " + std::to_string(EXDEV));
}

// A share inside another share: whoever writes in the outer one can swap the inner root
// for a link to outside. Requests by the inner root's path, or by where it now leads, get
// nothing outside; an inner root that is an ordinary folder, or a link within the outer
// share, still works.
TEST_F(ShareOpenTest, ShareInsideAnotherShareIsReachedThroughIt) {
  ::mkdir((dir / "share/inner").c_str(), 0755);
  WriteFile(dir / "share/inner/f", "inner");
  Link("sub/deep", "share/inner-link");
  roots = {dir / "share", dir / "share/inner", dir / "share/inner-link"};
  EXPECT_EQ(Open(dir / "share/inner/f"), "inner");
  EXPECT_EQ(Open(dir / "share/inner-link/b.txt"), "deep");

  ASSERT_EQ(::rename((dir / "share/inner").c_str(), (dir / "share/inner-was").c_str()), 0);
  Link(dir / "outside", "share/inner");
  const std::string exdev = "errno " + std::to_string(EXDEV);
  EXPECT_EQ(Open(dir / "share/inner/secret"), exdev);
  EXPECT_EQ(Open(dir / "outside/secret"), exdev);
  int fd = -1;
  EXPECT_EQ(OpenInShareRoots(dir / "share/inner", roots, O_RDONLY | O_DIRECTORY, &fd), EXDEV);
  EXPECT_EQ(OpenFolderInShareRoots(dir / "share/inner/new", roots, true, &fd), EXDEV);
  EXPECT_FALSE(std::filesystem::exists(dir / "outside/new"));
}

// Roots held open keep the folders they opened: a root moved away and replaced by a link
// to outside meanwhile leads nowhere else.
TEST_F(ShareOpenTest, HeldRootsKeepTheFolderTheyOpened) {
  std::vector<ks::shares::ResolvedRoot> held = ks::shares::ResolveRoots(roots);
  ks::shares::HoldRoots(&held);
  ASSERT_EQ(held.size(), 1u);
  ASSERT_GE(held[0].fd, 0);
  ASSERT_EQ(::rename((dir / "share").c_str(), (dir / "share-was").c_str()), 0);
  Link(dir / "outside", "share");
  int fd = -1;
  int rc = ks::shares::OpenInResolvedRoots(dir / "share/a.txt", held, O_RDONLY, &fd);
  EXPECT_EQ(Result(rc, fd), "inside");
  rc = ks::shares::OpenInResolvedRoots(dir / "share/secret", held, O_RDONLY, &fd);
  EXPECT_EQ(Result(rc, fd), "errno " + std::to_string(ENOENT));
  ks::shares::CloseHeldRoots(&held);
  EXPECT_EQ(held[0].fd, -1);
}

// One thread swaps a folder and a file of the share for links to outside (atomic
// exchange) while this one opens through them: every open gives the inside content or
// fails, never the secret.
TEST_F(ShareOpenTest, SwapsDuringOpensNeverLeadOut) {
  ::mkdir((dir / "share/room").c_str(), 0755);
  WriteFile(dir / "share/room/f", "inside");
  WriteFile(dir / "share/file", "inside");
  Link(dir / "outside", "share/room-swap");
  Link(dir / "outside/secret", "share/file-swap");
  Link("secret", "outside/f");  // so "room/f" through the swapped folder names a file
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) {
      ::renameat2(AT_FDCWD, (dir / "share/room").c_str(), AT_FDCWD, (dir / "share/room-swap").c_str(), RENAME_EXCHANGE);
      ::renameat2(AT_FDCWD, (dir / "share/file").c_str(), AT_FDCWD, (dir / "share/file-swap").c_str(), RENAME_EXCHANGE);
    }
  });
  int inside = 0, refused = 0, leaked = 0;
  for (int i = 0; i < 20000; ++i) {
    for (const std::string& p : {dir / "share/room/f", dir / "share/file"}) {
      std::string got = Open(p);
      if (got == "inside") {
        ++inside;
      } else if (got.find("secret") != std::string::npos) {  // by either way of opening
        ++leaked;
      } else {
        ++refused;
      }
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(leaked, 0);
  EXPECT_GT(inside, 0);
  EXPECT_GT(refused, 0) << "the swaps never met an open";
}

// Folders for an upload: opened beneath the root, missing ones made inside the folder
// reached, never through a link that leads out.
TEST_F(ShareOpenTest, FolderOpenedOrMadeOnlyInside) {
  auto exists = [&](const std::string& rel) {
    struct stat st {};
    return ::lstat((dir / rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  struct Case {
    std::string rel;
    bool create;
    int result;
    std::string madeAt;  // a folder that must exist afterwards ("" none)
  } cases[] = {
      {"share/sub", false, 0, "share/sub"},
      {"share/new/a/b", true, 0, "share/new/a/b"},
      {"share/none/a", false, ENOENT, ""},
      {"share/dir-in/made", true, 0, "share/sub/deep/made"},
      {"share/dir-out/made", true, EXDEV, ""},
      {"share/dir-out/x/y", true, EXDEV, ""},
      {"share/a.txt/x", true, ENOTDIR, ""},
      {"share2/made", true, EXDEV, ""},
  };
  for (const Case& c : cases) {
    int fd = -1;
    EXPECT_EQ(OpenFolderInShareRoots(dir / c.rel, roots, c.create, &fd), c.result) << c.rel;
    if (fd < 0) continue;
    struct stat got {}, want {};
    ASSERT_EQ(::fstat(fd, &got), 0);
    EXPECT_EQ(::stat((dir / c.madeAt).c_str(), &want), 0) << c.rel;
    EXPECT_TRUE(got.st_ino == want.st_ino && got.st_dev == want.st_dev) << c.rel << " opened another folder";
    EXPECT_EQ(::fsync(fd), 0) << "the descriptor must be one that can be synced";
    ::close(fd);
  }
  EXPECT_FALSE(exists("share/none"));
  EXPECT_FALSE(exists("outside/made"));
  EXPECT_FALSE(exists("outside/x"));
  EXPECT_FALSE(exists("share2/made"));
}

// A folder swapped for a link to outside while folders are made below it: every one is
// made in the real folder or refused, none outside.
TEST_F(ShareOpenTest, SwapsDuringFolderMakingNeverMakeOutside) {
  ::mkdir((dir / "share/room").c_str(), 0755);
  Link(dir / "outside", "share/room-swap");
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load())
      ::renameat2(AT_FDCWD, (dir / "share/room").c_str(), AT_FDCWD, (dir / "share/room-swap").c_str(), RENAME_EXCHANGE);
  });
  int made = 0;
  for (int i = 0; i < 3000; ++i) {
    int fd = -1;
    if (OpenFolderInShareRoots(dir / ("share/room/n" + std::to_string(i) + "/m"), roots, true, &fd) == 0) {
      ++made;
      ::close(fd);
    }
  }
  stop = true;
  swapper.join();
  EXPECT_GT(made, 0);
  size_t outside = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::string(dir / "outside"))) {
    EXPECT_EQ(e.path().filename(), "secret") << "made outside the share";
    ++outside;
  }
  EXPECT_EQ(outside, 1u);
}

}  // namespace
