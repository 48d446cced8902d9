#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/log/ks_log.h"
#include "tests/fakes/test_support.h"

using ks::test::MakeSparseFile;
using ks::test::ReadFile;
using ks::test::TempDir;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

off_t SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The log is process-wide (log4cpp's root category): each test starts it on its own
// folder and shuts it down at the end.
class KsLog : public ::testing::Test {
 protected:
  void TearDown() override { CKSLog::Shutdown(); }
  std::string File() const { return tmp_ / "ks_log.log"; }
  CKSLog* log_ = CKSLog::GetInstance();
  TempDir tmp_;
};

const std::regex kLine(
    R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}\]\[INFO\]\[LOG (\d+) CSettingDlg::OnClose 12\] text (\d+) (\d+))");

TEST_F(KsLog, LinesOfManyThreadsAreWhole) {
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  const int kThreads = 8, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) log_->Write("LOG", 600, "CSettingDlg::OnClose", 12, "text %d %d", t, i);
    });
  for (auto& th : threads) th.join();

  std::map<int, std::set<int>> seen;
  std::map<int, std::string> tidOf;
  for (const std::string& line : Lines(ReadFile(File()))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    const int t = std::stoi(m[2]);
    seen[t].insert(std::stoi(m[3]));
    if (tidOf.count(t)) {
      EXPECT_EQ(tidOf[t], m[1].str());  // one thread, one id
    }
    tidOf[t] = m[1];
  }
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
  for (auto& [t, is] : seen) EXPECT_EQ(is.size(), static_cast<size_t>(kEach)) << t;
  std::set<std::string> tids;
  for (auto& [t, id] : tidOf) tids.insert(id);
  EXPECT_EQ(tids.size(), static_cast<size_t>(kThreads));
}

TEST_F(KsLog, LevelsAndPriorities) {
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  struct Case {
    int level;
    const char* priority;  // null: dropped at INFO
  };
  const Case cases[] = {{300, "ERROR"}, {400, "WARN"}, {600, "INFO"}, {500, nullptr},
                        {700, nullptr}, {0, nullptr},    {-1, nullptr}};
  for (const Case& c : cases) log_->Write("LOG", c.level, "F::G", 1, "level %d", c.level);
  const std::string text = ReadFile(File());
  for (const Case& c : cases) {
    const std::string tail = "] level " + std::to_string(c.level) + "\n";
    if (!c.priority) {
      EXPECT_EQ(text.find(tail), std::string::npos) << c.level;
    } else {
      EXPECT_NE(text.find(std::string("][") + c.priority + "][LOG "), std::string::npos) << c.level;
      EXPECT_NE(text.find(tail), std::string::npos) << c.level;
    }
  }
  EXPECT_EQ(Lines(text).size(), 3u);
}

TEST_F(KsLog, MessagesAreFormattedWhole) {
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  const std::string big(5000, 'm');
  log_->Write("LOG", 600, "CKSUtil::OpenUrl", 7, "Open URL: %s", big.c_str());
  log_->Write("LOG", 600, "CKSUtil::OpenUrl", 8, "%s", "100% %s %n literal");
  log_->Write("TAG", 600, "f", -3, "%d-%s-%c", 42, "x", 'y');
  const std::vector<std::string> lines = Lines(ReadFile(File()));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" CKSUtil::OpenUrl 7] Open URL: " + big), std::string::npos);
  EXPECT_EQ(lines[0].size(), lines[0].find("Open URL: ") + 10 + big.size());
  EXPECT_NE(lines[1].find(" CKSUtil::OpenUrl 8] 100% %s %n literal"), std::string::npos);
  EXPECT_NE(lines[2].find("[TAG "), std::string::npos);
  EXPECT_NE(lines[2].find(" f -3] 42-x-y"), std::string::npos);
}

TEST_F(KsLog, NullArgumentsAreIgnored) {
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  log_->Write(nullptr, 600, "f", 1, "a");
  log_->Write("LOG", 600, nullptr, 1, "b");
  const char* noFormat = nullptr;
  log_->Write("LOG", 600, "f", 1, noFormat);
  EXPECT_EQ(ReadFile(File()), "");
}

TEST_F(KsLog, SwitchedOffWritesNothing) {
  // GlobalLoggerOn other than "true": not even an empty file.
  ASSERT_EQ(log_->Start(tmp_.path(), false), 1);
  log_->Write("LOG", 600, "f", 1, "x");
  EXPECT_FALSE(Exists(File()));
  // Disabled after set-up: the file stays empty.
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  log_->SetDisabled(true);
  log_->Write("LOG", 600, "f", 1, "x");
  EXPECT_EQ(SizeOf(File()), 0);
  log_->SetDisabled(false);
  log_->Write("LOG", 600, "f", 1, "y");
  EXPECT_EQ(Lines(ReadFile(File())).size(), 1u);
}

TEST_F(KsLog, SetUpFailuresAndShutdown) {
  CKSLog fresh;
  EXPECT_EQ(fresh.AddAppenders(), -1);  // no file name
  fresh.SetFileName(nullptr);
  EXPECT_EQ(fresh.AddAppenders(), -1);
  fresh.Write("LOG", 600, "f", 1, "ignored");  // not initialised

  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  log_->Write("LOG", 600, "f", 1, "before");
  CKSLog::Shutdown();
  EXPECT_FALSE(log_->IsInitialised());
  log_->Write("LOG", 600, "f", 1, "after");
  EXPECT_EQ(CKSLog::GetInstance(), log_);
  const std::vector<std::string> lines = Lines(ReadFile(File()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] before"), std::string::npos);
  // Set up again after a shut-down.
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  log_->Write("LOG", 600, "f", 1, "again");
  EXPECT_EQ(Lines(ReadFile(File())).size(), 2u);
}

TEST_F(KsLog, ShutdownWhileThreadsWrite) {
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      while (!stop) {
        log_->Write("LOG", 600, "f", 1, "busy");
        ++written;
      }
    });
  // Bounded waits: a shut-down that waits for the writers forever fails here.
  auto waitFor = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (written < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return written >= count;
  };
  EXPECT_TRUE(waitFor(2000));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    CKSLog::Shutdown();
    closed = true;
  });
  // The shut-down ends while the writers are still busy.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!closed && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(waitFor(written + 2000));
  stop = true;
  for (auto& th : threads) th.join();
  closer.join();
  EXPECT_FALSE(log_->IsInitialised());
  for (const std::string& line : Lines(ReadFile(File())))
    ASSERT_NE(line.find("[LOG "), std::string::npos) << line;
}

TEST_F(KsLog, RollsAtFiftyMegabytes) {
  MakeSparseFile(File(), 52428790);
  ASSERT_EQ(log_->Start(tmp_.path(), true), 1);
  log_->Write("LOG", 600, "f", 1, "first");
  log_->Write("LOG", 600, "f", 1, "second");
  ASSERT_TRUE(Exists(File() + ".01"));
  EXPECT_GE(SizeOf(File() + ".01"), 52428800);
  EXPECT_FALSE(Exists(File() + ".1"));
  EXPECT_LT(SizeOf(File()), 200);
}

}  // namespace
