#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "desktop/foundation/util/ks_util.h"
#include "tests/desktop/foundation/env_guard.h"

using ks::test::EnvGuard;

namespace {

namespace fs = std::filesystem;

// A folder below the build folder, removed at the end.
class BuildTempDir {
 public:
  BuildTempDir() {
    fs::create_directories(KS_TEST_WORK_DIR);
    std::string tmpl = std::string(KS_TEST_WORK_DIR) + "/allowed-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~BuildTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(KsUtilAllowedFolder, SystemTreesAreRefusedPerComponent) {
  EnvGuard trees("KESTYL_SYSTEM_TREES", nullptr);
  BuildTempDir work;
  fs::create_directories(work.path() + "/data/usr");
  fs::create_symlink("/etc", work.path() + "/to-etc");
  fs::create_symlink(work.path() + "/to-etc", work.path() + "/to-to-etc");
  fs::create_symlink(work.path() + "/data", work.path() + "/to-data");

  struct Case {
    std::string path;
    bool allowed;
  };
  const Case cases[] = {
      {"/", false},
      {"//", false},
      {"", false},
      {"data/x", false},  // relative
      {"/usr", false},
      {"/usr/", false},
      {"/usr/share/x", false},
      {"/etc", false},
      {"/var/lib/kestyl", false},
      {"/proc/1", false},
      {"/sys/x", false},
      {"/dev/shm/x", false},
      {"/boot/x", false},
      {"/tmp/x", false},
      {"/bin/x", false},
      {"/sbin", false},
      {"/lib", false},
      {"/lib64/x", false},
      {"/libx32", false},
      {"/opt/x", false},
      {"/run/user/0", false},
      {"/home/x/../../etc/ssh", false},
      {"/data/usr", true},
      {"/variety", true},
      {"/usrdata", true},
      {"/home/user/Pictures", true},
      {"/srv/share/", true},
  };
  for (const Case& c : cases) EXPECT_EQ(CKSUtil::IsAllowedFolder(c.path), c.allowed) << "'" << c.path << "'";

  // The folders made here (the build folder may itself lie below /tmp: the list then
  // leaves /tmp out, as test set-ups working there do).
  EnvGuard noTmp("KESTYL_SYSTEM_TREES", "/usr:/etc:/var:/proc:/sys:/dev:/boot:/bin:/sbin:/lib*:/opt:/run");
  const Case made[] = {
      {work.path() + "/data/usr", true},
      {work.path() + "/data/usr/not-yet-made", true},
      {work.path() + "/to-data/usr", true},
      {work.path() + "/to-etc", false},
      {work.path() + "/to-etc/ssh", false},
      {work.path() + "/to-etc/not-yet-made", false},
      {work.path() + "/to-to-etc", false},
      {work.path() + "/data/../to-etc", false},
  };
  for (const Case& c : made) EXPECT_EQ(CKSUtil::IsAllowedFolder(c.path), c.allowed) << "'" << c.path << "'";
}

TEST(KsUtilAllowedFolder, TreesFromTheEnvironment) {
  {
    EnvGuard trees("KESTYL_SYSTEM_TREES", "/usr:/etc");
    EXPECT_TRUE(CKSUtil::IsAllowedFolder("/tmp/x"));
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/etc/x"));
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/"));
  }
  {
    EnvGuard trees("KESTYL_SYSTEM_TREES", "/srv/data*::relative:/:/home/");
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/srv/data"));
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/srv/database/x"));
    EXPECT_TRUE(CKSUtil::IsAllowedFolder("/srv/dat"));
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/home/a"));
    EXPECT_TRUE(CKSUtil::IsAllowedFolder("/homes/a"));
    EXPECT_TRUE(CKSUtil::IsAllowedFolder("/usr/x"));  // "/" and "relative" are no trees
  }
  {
    EnvGuard trees("KESTYL_SYSTEM_TREES", "");
    EXPECT_FALSE(CKSUtil::IsAllowedFolder("/usr/x"));  // empty: the default list
  }
}

}  // namespace
