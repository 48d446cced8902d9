#include "agent/log/log.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/util/util.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::MakeSparseFile;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = ::opendir(folder.c_str());
  while (struct dirent* e = d ? ::readdir(d) : nullptr) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  if (d) ::closedir(d);
  return names;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// YYYYmmddHHMMSS of a time, as the rotation names its files.
std::string Stamp(time_t t) {
  std::string s = TimeToStr(t), a, b;
  ReplaceAll(s, "-", a, "");
  ReplaceAll(a, ":", b, "");
  ReplaceAll(b, " ", a, "");
  return a;
}

const std::regex kLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[(\S+) (\S+) (\d+)\]\[(\d+)\]\[([A-Z]+)\] (.*))");

TEST(Log, LevelNames) {
  EXPECT_STREQ(CLog::GetLevelName(300), "ERROR");
  EXPECT_STREQ(CLog::GetLevelName(400), "WARNING");
  EXPECT_STREQ(CLog::GetLevelName(600), "INFO");
  EXPECT_STREQ(CLog::GetLevelName(700), "DEBUG");
  EXPECT_STREQ(CLog::GetLevelName(500), "OTHER");
  EXPECT_STREQ(CLog::GetLevelName(0), "OTHER");
}

TEST(Log, ThresholdFormatAndUnknownLevel) {
  TempDir dir;
  CLog log;
  EXPECT_EQ(log.Threshold(), 600u);
  ASSERT_TRUE(log.Open(dir / "Log.txt", 600, false));
  log.Print("CommLib", 700, "Fn", 1, "debug %d", 1);
  log.Print("CommLib", 600, "OS_Init", 82, "info %s", "two");
  log.Print("CommLib", 300, "Fn", 3, "error");
  log.Print("CommLib", 500, "Fn", 4, "odd level");
  log.Print(nullptr, 300, "Fn", 5, "no module");
  log.Print("CommLib", 300, nullptr, 6, "no function");

  std::vector<std::string> lines = Lines(ReadFile(dir / "Log.txt"));
  ASSERT_EQ(lines.size(), 3u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
  EXPECT_EQ(m[1], "CommLib");
  EXPECT_EQ(m[2], "OS_Init");
  EXPECT_EQ(m[3], "82");
  EXPECT_EQ(m[5], "INFO");
  EXPECT_EQ(m[6], "info two");
  EXPECT_NE(lines[1].find("[ERROR] error"), std::string::npos);
  EXPECT_NE(lines[2].find("[OTHER] odd level"), std::string::npos);
}

TEST(Log, NothingBeforeOpenOrWithoutPath) {
  TempDir dir;
  CLog log;
  log.Print("CommLib", 300, "Fn", 1, "dropped");
  EXPECT_FALSE(log.Open("", 600, false));
  EXPECT_FALSE(log.Open(dir / "no/such/folder/Log.txt", 600, false));
  log.Print("CommLib", 300, "Fn", 1, "dropped");
  EXPECT_TRUE(Names(dir.path()).empty());
}

TEST(Log, EchoWritesTheSameLineToStandardOutput) {
  TempDir dir;
  CLog log;
  ASSERT_TRUE(log.Open(dir / "Log.txt", 600, true));
  ::testing::internal::CaptureStdout();
  log.Print("KestylClient", 600, "Fn", 9, "echoed");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, ReadFile(dir / "Log.txt"));
}

TEST(Log, RotatesPastFiveMegabytes) {
  TempDir dir;
  const std::string path = dir / "Log.txt";
  MakeSparseFile(path, CLog::kMaxSize);  // exactly the maximum: not past it
  CLog log;
  ASSERT_TRUE(log.Open(path, 600, false));
  log.Print("CommLib", 600, "Fn", 1, "still here");
  EXPECT_EQ(Names(dir.path()).size(), 1u);

  MakeSparseFile(path, CLog::kMaxSize + 1);
  log.Print("CommLib", 600, "Fn", 2, "new file");
  std::vector<std::string> names = Names(dir.path());
  ASSERT_EQ(names.size(), 2u);
  std::string rotated = names[0] == "Log.txt" ? names[1] : names[0];
  EXPECT_TRUE(std::regex_match(rotated, std::regex(R"(Log\.txt\.\d{14})"))) << rotated;
  EXPECT_EQ(FileSize(dir / rotated), CLog::kMaxSize + 1);
  std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("new file"), std::string::npos);
}

TEST(Log, RotationNeverOverwritesAnEarlierRotatedFile) {
  TempDir dir;
  const std::string path = dir / "Log.txt";
  // Every name the rotation could pick in the next seconds is taken already, as after a
  // rotation earlier in the same second.
  time_t now = std::time(nullptr);
  for (int k = -1; k <= 5; ++k) WriteFile(path + "." + Stamp(now + k), "earlier rotation");
  MakeSparseFile(path, CLog::kMaxSize + 1);
  CLog log;
  ASSERT_TRUE(log.Open(path, 600, false));
  log.Print("CommLib", 600, "Fn", 1, "appended");

  for (int k = -1; k <= 5; ++k) EXPECT_EQ(ReadFile(path + "." + Stamp(now + k)), "earlier rotation");
  EXPECT_EQ(Names(dir.path()).size(), 8u);
  std::string text = ReadFile(path);
  EXPECT_GT(static_cast<int64_t>(text.size()), CLog::kMaxSize + 1);
  EXPECT_NE(text.find("appended", CLog::kMaxSize), std::string::npos);
}

// Eight threads at once: every line whole, none lost, each thread's lines in its order;
// `startSize` near the limit makes exactly one of them rotate in the middle.
void ConcurrentLines(int64_t startSize) {
  TempDir dir;
  const std::string path = dir / "Log.txt";
  if (startSize > 0) MakeSparseFile(path, static_cast<uint64_t>(startSize));
  CLog log;
  ASSERT_TRUE(log.Open(path, 600, false));
  constexpr int kThreads = 8, kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Print("USER", 600, "Writer", t, "thread %d line %d end", t, i);
    });
  }
  for (std::thread& th : threads) th.join();

  std::string text;
  std::vector<std::string> names = Names(dir.path());
  // "Log.txt" sorts before "Log.txt.<stamp>": the rotated file first, then the current one.
  std::sort(names.begin(), names.end(), std::greater<>());
  for (const std::string& n : names) text += ReadFile(dir / n);
  std::map<int, int> next;
  int total = 0;
  static const std::regex body(R"(thread (\d+) line (\d+) end)");
  for (const std::string& raw : Lines(text)) {
    size_t start = raw.find_first_not_of('\0');  // the sparse start holds no line break
    if (start == std::string::npos) continue;
    std::string line = raw.substr(start);
    std::smatch m, b;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    std::string msg = m[6];
    ASSERT_TRUE(std::regex_match(msg, b, body)) << line;
    int t = std::stoi(b[1]), i = std::stoi(b[2]);
    EXPECT_EQ(next[t], i) << "thread " << t;
    next[t] = i + 1;
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
  EXPECT_EQ(names.size(), startSize > 0 ? 2u : 1u);
}

TEST(Log, EightThreadsTwoThousandLinesIntact) { ConcurrentLines(0); }

TEST(Log, EightThreadsWithOneRotationInTheMiddle) { ConcurrentLines(CLog::kMaxSize - 200 * 1024); }

}  // namespace
