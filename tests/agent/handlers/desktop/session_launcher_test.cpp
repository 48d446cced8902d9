// The process session launcher: who runs the command, and what it does not inherit.
#include "platform/session_launcher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/fakes/test_support.h"

namespace {

using ks::platform::ProcessSessionLauncher;
using ks::platform::SessionLauncher;

// The file's content once it holds a whole line, or "" after the time-out.
std::string WaitForLine(const std::string& path, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    std::string text = ks::test::ReadFile(path);
    if (!text.empty() && text.back() == '\n') return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::string();
}

TEST(SessionLauncher, SessionZeroAndUnknownUsersStartNothing) {
  ProcessSessionLauncher launcher;
  ks::test::TempDir dir;
  std::string marker = dir / "ran";
  std::string error;
  EXPECT_EQ(launcher.Launch(0, "touch " + marker, &error), SessionLauncher::kNoSession);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(launcher.Launch(4000000000u, "touch " + marker, &error), SessionLauncher::kNoSession);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

TEST(SessionLauncher, RunsDetachedAsTheSessionUserWithoutTheCallersDescriptors) {
  // As root: the unprivileged "nobody"; otherwise the test's own user.
  uint32_t uid = ::geteuid() == 0 ? 65534u : static_cast<uint32_t>(::geteuid());
  if (uid == 0) GTEST_SKIP() << "no user to start for";

  ks::test::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string out = dir / "out";
  int leaked[2];
  ASSERT_EQ(::pipe(leaked), 0);  // no close-on-exec: the launcher must not pass it on

  std::string cmd = "read -r pid comm state ppid pgrp sid rest < /proc/$$/stat; "
                    "if [ -e /proc/$$/fd/" + std::to_string(leaked[1]) + " ]; then fd=leaked; else fd=clean; fi; "
                    "echo \"$(id -u) $fd $([ \"$sid\" = \"$$\" ] && echo leader || echo member)\" > " + out;
  ProcessSessionLauncher launcher;
  std::string error;
  auto rc = launcher.Launch(uid, cmd, &error);
  ::close(leaked[0]);
  ::close(leaked[1]);
  ASSERT_EQ(rc, SessionLauncher::kStarted) << error;
  EXPECT_EQ(WaitForLine(out, 5000), std::to_string(uid) + " clean leader\n");
}

struct Recorder : SessionLauncher {
  Result Launch(uint32_t, const std::string&, std::string*) override {
    ++calls;
    return kStarted;
  }
  int calls = 0;
};

TEST(SessionLauncher, ReplaceableAndRestoredWithNull) {
  Recorder r;
  SessionLauncher* before = ks::platform::SetSessionLauncher(&r);
  EXPECT_EQ(&ks::platform::CurrentSessionLauncher(), &r);
  ks::platform::CurrentSessionLauncher().Launch(5, "x", nullptr);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(ks::platform::SetSessionLauncher(before), &r);
  EXPECT_NE(dynamic_cast<ProcessSessionLauncher*>(&ks::platform::CurrentSessionLauncher()), nullptr);
}

}  // namespace
