#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/event.h"
#include "platform/install_root.h"
#include "platform/instance_lock.h"
#include "platform/time.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::platform::Event;
using ks::platform::InstanceLock;
using ks::test::TempDir;

TEST(Event, ManualStaysSetAutoLetsOneThrough) {
  Event manual(true, false);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(10));

  Event autoReset(false, true);
  EXPECT_TRUE(autoReset.Wait(0));
  EXPECT_FALSE(autoReset.Wait(0));
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter) {
  Event e(true, false);
  std::thread setter([&] {
    ks::platform::SleepMs(20);
    e.Set();
  });
  EXPECT_TRUE(e.Wait(-1));
  setter.join();
}

TEST(InstanceLock, OneHolderPerFolderAndName) {
  TempDir dir;
  InstanceLock first, second, other;
  EXPECT_EQ(first.Acquire(dir / "run", "id"), InstanceLock::Result::kAcquired);
  EXPECT_EQ(second.Acquire(dir / "run", "id"), InstanceLock::Result::kHeldElsewhere);
  EXPECT_EQ(other.Acquire(dir / "run2", "id"), InstanceLock::Result::kAcquired);

  // Another process is refused while this one holds it, and gets it once it is released.
  auto childTries = [&] {
    pid_t pid = ::fork();
    if (pid == 0) {
      InstanceLock l;
      ::_exit(static_cast<int>(l.Acquire(dir / "run", "id")));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return static_cast<InstanceLock::Result>(WEXITSTATUS(status));
  };
  EXPECT_EQ(childTries(), InstanceLock::Result::kHeldElsewhere);
  first.Release();
  EXPECT_EQ(childTries(), InstanceLock::Result::kAcquired);
  EXPECT_EQ(second.Acquire(dir / "run", "id"), InstanceLock::Result::kAcquired);
}

TEST(InstanceLock, FolderThatCannotBeMadeIsAnError) {
  TempDir dir;
  ks::test::WriteFile(dir / "file", "x");
  InstanceLock l;
  EXPECT_EQ(l.Acquire(dir / "file/run", "id"), InstanceLock::Result::kError);
  EXPECT_EQ(l.Acquire(dir.path(), "a/b"), InstanceLock::Result::kError);
  EXPECT_FALSE(l.Held());
}

TEST(InstallRoot, ParentOfTheProgramsFolder) {
  EXPECT_EQ(ks::platform::InstallRootOf("/opt/kestyl/bin/KestylClient"), "/opt/kestyl");
  EXPECT_EQ(ks::platform::InstallRootOf("/tmp/r/bin/x"), "/tmp/r");
  EXPECT_EQ(ks::platform::InstallRootOf("/bin/KestylClient"), "");
  EXPECT_EQ(ks::platform::InstallRootOf("/KestylClient"), "");
  EXPECT_EQ(ks::platform::InstallRootOf("bin/KestylClient"), "");
  EXPECT_EQ(ks::platform::InstallRootOf(""), "");

  std::string self = ks::platform::ProgramPath();
  EXPECT_EQ(self.substr(self.rfind('/') + 1), "platform_test");
  EXPECT_EQ(ks::platform::InstallRoot(), ks::platform::InstallRootOf(self));
}

}  // namespace
