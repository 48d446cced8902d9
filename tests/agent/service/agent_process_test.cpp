// The agent program itself, on a temporary install root and a temporary service table,
// in loopback mode.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/service_table.h"
#include "platform/time.h"
#include "tests/fakes/test_support.h"

extern char** environ;

namespace {

using namespace ks::platform;
using ks::test::ReadFile;
using ks::test::TempDir;

constexpr int kTimeoutMs = 20000;  // only so that a broken agent cannot hang the test

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's standard output
};

class Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"bin", "etc", "log"}) ASSERT_EQ(::mkdir((root / d).c_str(), 0755), 0);
    std::filesystem::copy_file(KS_AGENT_BIN, Bin());
    std::filesystem::permissions(Bin(), std::filesystem::perms::owner_all);
    MakeDatabase();
  }

  // The shipped schema when there is one, and log_priority 700 so that DEBUG lines such
  // as "exit server." are written.
  void MakeDatabase() {
    std::filesystem::remove(root / "etc/Kestyl.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "etc/Kestyl.db").c_str(), &db), SQLITE_OK);
    std::string schema = std::filesystem::exists(KS_SCHEMA_FILE) ? ReadFile(KS_SCHEMA_FILE) : "";
    if (!schema.empty()) {
      ASSERT_EQ(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    if (sqlite3_exec(db, "update ks_conf set log_priority = 700, localport = 0;", nullptr, nullptr, nullptr) != SQLITE_OK) {
      ASSERT_EQ(sqlite3_exec(db, "create table ks_conf(log_console integer, log_priority integer, localport integer);",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
    }
    if (sqlite3_changes(db) == 0) {
      ASSERT_EQ(sqlite3_exec(db, "insert into ks_conf(log_console, log_priority, localport) values(0, 700, 0);",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
    }
    sqlite3_close(db);
  }

  static bool TableExists(const std::string& dbPath, const char* table) {
    sqlite3* db = nullptr;
    bool found = false;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 1000);
      std::string sql = std::string("select 1 from sqlite_master where type='table' and name='") + table + "';";
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) found = sqlite3_step(st) == SQLITE_ROW;
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return found;
  }

  std::string Bin() const { return root / "bin/KestylClient"; }
  std::string LogText() const { return ReadFile(root / "log/Log.txt"); }
  ServiceTable Table() const { return ServiceTable(platform.path()); }

  Child Spawn(const std::vector<std::string>& args) const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      if (kv.rfind("KESTYL_", 0) != 0) env.push_back(kv);
    }
    env.push_back("KESTYL_PLATFORM_DIR=" + platform.path());
    env.push_back("KESTYL_LOOPBACK=1");
    std::vector<char*> argv{const_cast<char*>(Bin().c_str())}, envp;
    std::string bin = Bin();
    argv[0] = bin.data();
    std::vector<std::string> argsCopy = args;
    for (std::string& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& kv : env) envp.push_back(kv.data());
    envp.push_back(nullptr);

    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return Child();
    Child c;
    c.pid = ::fork();
    if (c.pid == 0) {
      ::dup2(pipefd[1], 1);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(126);
    }
    ::close(pipefd[1]);
    c.out = pipefd[0];
    return c;
  }

  // Exit code (0-255), or -1 when it had to be killed; `out` gets its standard output.
  static int Wait(Child& c, std::string* out = nullptr) {
    int status = 0;
    uint64_t deadline = MonotonicMs() + kTimeoutMs;
    while (::waitpid(c.pid, &status, WNOHANG) == 0) {
      if (MonotonicMs() > deadline) {
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, &status, 0);
        ::close(c.out);
        return -1;
      }
      SleepMs(10);
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(c.out, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(c.out);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int RunToEnd(const std::vector<std::string>& args, std::string* out = nullptr) const {
    Child c = Spawn(args);
    return Wait(c, out);
  }

  static bool WaitFor(const std::function<bool()>& condition) {
    uint64_t deadline = MonotonicMs() + kTimeoutMs;
    while (!condition()) {
      if (MonotonicMs() > deadline) return false;
      SleepMs(20);
    }
    return true;
  }

  bool WaitForState(uint32_t state) const {
    return WaitFor([&] {
      ServiceStatus s;
      return Table().QueryStatus("Kestyl", s) == kServiceOk && s.currentState == state;
    });
  }

  bool WaitForLog(const std::string& text) const {
    return WaitFor([&] { return LogText().find(text) != std::string::npos; });
  }

  TempDir root, platform;
};

constexpr int kFailed = 255;  // main's -1

TEST_F(Agent, SingleArgumentDoesNothing) {
  EXPECT_EQ(RunToEnd({"-r"}), 0);
  EXPECT_EQ(RunToEnd({"-i"}), 0);
  EXPECT_FALSE(std::filesystem::exists(Table().Folder()));
  EXPECT_FALSE(std::filesystem::exists(root / "log/Log.txt"));
}

TEST_F(Agent, InstallAndRemove) {
  ASSERT_EQ(RunToEnd({"-i", "Kestyl"}), 0);
  ServiceConfig config;
  ASSERT_EQ(Table().Open("Kestyl", &config), kServiceOk);
  EXPECT_EQ(config.command, (std::vector<std::string>{Bin(), "-r", "Kestyl"}));
  EXPECT_EQ(config.startType, kServiceAutoStart);
  const std::string before = ReadFile(Table().ConfigPath("Kestyl"));

  EXPECT_EQ(RunToEnd({"-i", "Kestyl"}), kFailed);
  EXPECT_EQ(ReadFile(Table().ConfigPath("Kestyl")), before);

  EXPECT_EQ(RunToEnd({"-u", "Unknown"}), kFailed);
  EXPECT_EQ(RunToEnd({"-x", "Kestyl"}), kFailed);
  EXPECT_EQ(RunToEnd({"-u", "Kestyl"}), 0);
  EXPECT_FALSE(Table().Exists("Kestyl"));
  EXPECT_EQ(RunToEnd({"-u", "Kestyl"}), kFailed);
}

TEST_F(Agent, ServiceUnderSigtermReportsEveryStateAndExitsAfterTheExitRoutine) {
  ASSERT_EQ(RunToEnd({"-i", "Kestyl"}), 0);
  Child agent = Spawn({"-r", "Kestyl"});
  ASSERT_TRUE(WaitForState(kServiceRunning));
  EXPECT_NE(LogText().find("Start service successful!"), std::string::npos);
  ::kill(agent.pid, SIGTERM);
  EXPECT_EQ(Wait(agent), 0);

  std::vector<ServiceStatus> reports;
  ASSERT_EQ(Table().ReadHistory("Kestyl", reports), kServiceOk);
  std::vector<uint32_t> states;
  int stopped = 0;
  for (const ServiceStatus& r : reports) {
    if (states.empty() || states.back() != r.currentState) states.push_back(r.currentState);
    stopped += r.currentState == kServiceStopped;
  }
  EXPECT_EQ(states, (std::vector<uint32_t>{kServiceStartPending, kServiceRunning, kServiceStopPending,
                                           kServiceStopped}));
  EXPECT_EQ(stopped, 1);
  std::string status = ReadFile(Table().StatusPath("Kestyl"));
  EXPECT_EQ(status.substr(0, status.find('\n')), "1 STOPPED");

  std::string log = LogText();
  size_t started = log.find("Start service successful!");
  ASSERT_NE(started, std::string::npos);
  EXPECT_NE(log.find("[KestylClient Service_Exit ", started), std::string::npos);
  EXPECT_NE(log.find("[DEBUG] exit server.\n", started), std::string::npos);
}

TEST_F(Agent, StartedAndStoppedThroughTheServiceTable) {
  ASSERT_EQ(RunToEnd({"-i", "Kestyl"}), 0);
  ServiceTable table = Table();
  // The table starts the service with this process's environment: loopback mode keeps
  // the agent from sending anything beyond the machine.
  ::setenv("KESTYL_LOOPBACK", "1", 1);
  int started = table.Start("Kestyl");
  ::unsetenv("KESTYL_LOOPBACK");
  ASSERT_EQ(started, kServiceOk);
  ASSERT_TRUE(WaitForState(kServiceRunning));
  EXPECT_EQ(table.Start("Kestyl"), kServiceAlreadyRunning);
  ASSERT_EQ(table.Stop("Kestyl"), kServiceOk);
  ASSERT_TRUE(WaitForState(kServiceStopped));
  ServiceStatus s;
  ASSERT_EQ(table.QueryStatus("Kestyl", s), kServiceOk);
  EXPECT_EQ(s.exitCode, 0u);  // reported STOPPED itself, did not just die
  EXPECT_NE(LogText().find("exit server."), std::string::npos);
}

TEST_F(Agent, SecondInstanceExitsWithoutTouchingTheDatabase) {
  // A missing log folder is created before the log is opened.
  std::filesystem::remove_all(root / "log");
  Child first = Spawn({});
  ASSERT_TRUE(WaitForLog("Start service successful!"));
  const std::string db = root / "etc/Kestyl.db";
  // The first agent's own jobs write once after start-up (the tidying table): let them.
  for (int i = 0; i < 200 && !TableExists(db, "AutoTiding"); ++i) ::usleep(50 * 1000);
  ASSERT_TRUE(TableExists(db, "AutoTiding"));
  struct stat before {}, after {};
  ASSERT_EQ(::stat(db.c_str(), &before), 0);
  for (int quiet = 0, i = 0; quiet < 10 && i < 200; ++i) {  // unchanged for half a second
    ::usleep(50 * 1000);
    struct stat now {};
    ASSERT_EQ(::stat(db.c_str(), &now), 0);
    bool same = now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
    quiet = same ? quiet + 1 : 0;
    before = now;
  }
  const std::string logBefore = LogText();

  std::string out;
  EXPECT_EQ(RunToEnd({}, &out), kFailed);
  EXPECT_EQ(out, "server exits.\n");
  ASSERT_EQ(::stat(db.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_FALSE(std::filesystem::exists(db + "-journal"));
  EXPECT_EQ(LogText(), logBefore);

  ::kill(first.pid, SIGINT);
  EXPECT_EQ(Wait(first), 0);
  EXPECT_NE(LogText().find("exit server."), std::string::npos);
}

TEST_F(Agent, FailedConsoleStartExitsAtOnce) {
  struct Case {
    const char* blocked;  // made a folder where a file must be
    const char* message;
  } cases[] = {
      {"etc/Kestyl.db", "open database error.\n"},
      {"log/Log.txt", "open log file exits.\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(root / c.blocked);
    ASSERT_EQ(::mkdir((root / c.blocked).c_str(), 0755), 0);
    std::string out;
    EXPECT_EQ(RunToEnd({}, &out), kFailed) << c.blocked;
    EXPECT_EQ(out, c.message);
    std::filesystem::remove(root / c.blocked);
    MakeDatabase();
  }
}

}  // namespace
