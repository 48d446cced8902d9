#include "tests/fakes/agent_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

extern char** environ;

namespace ks::fake {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kReadyLine = "Start service successful!";

class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string msg = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error("SQL failed (" + msg + "): " + sql.substr(0, 200));
    }
  }
  std::string Text(const std::string& query) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, query.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("SQL failed (") + sqlite3_errmsg(db_) + "): " + query);
    std::string out;
    if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

bool PortAccepts(uint16_t port) { return ConnectTcp("127.0.0.1", port, 200).valid(); }

}  // namespace

#ifndef KS_HARNESS_AGENT_BINARY
#define KS_HARNESS_AGENT_BINARY ""
#define KS_HARNESS_SCHEMA_FILE ""
#endif

AgentHarness::AgentHarness(AgentOptions options) : options_(std::move(options)) {
  if (options_.binary.empty()) options_.binary = KS_HARNESS_AGENT_BINARY;
  if (options_.schema_file.empty()) options_.schema_file = KS_HARNESS_SCHEMA_FILE;
}

AgentHarness::~AgentHarness() {
  Stop();
  if (root_.empty()) return;
  if (options_.keep_root) {
    std::fprintf(stderr, "agent root kept: %s\n", root_.c_str());
    return;
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void AgentHarness::PrepareRoot() {
  if (!root_.empty()) return;
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestyl-agent-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  for (const char* d : {"bin", "etc", "log", "platform"}) fs::create_directories(root_ + "/" + d);
  if (options_.binary.empty()) throw std::invalid_argument("no agent program to run");
  fs::copy_file(options_.binary, bin_dir() + "/KestylClient", fs::copy_options::overwrite_existing);
  fs::permissions(bin_dir() + "/KestylClient", fs::perms::owner_all, fs::perm_options::add);

  message_port_ = FreeTcpPort();
  http_port_ = FreeTcpPort();
  discovery_port_ = FreeUdpPort();
  wakeup_port_ = FreeUdpPort();
  vendor_port_ = options_.vendor_port ? options_.vendor_port : FreeTcpPort();
  desktop_port_ = options_.desktop_port ? options_.desktop_port : FreeTcpPort();

  Db db(db_path());
  // The schema is delivered separately; without it the agent still gets its settings row.
  if (!options_.schema_file.empty() && fs::exists(options_.schema_file))
    db.Exec(ks::test::ReadFile(options_.schema_file));
  db.Exec(
      "CREATE TABLE IF NOT EXISTS ks_conf(localport integer, log_console integer, "
      "log_priority integer, p2phost text, p2pport integer)");
  if (db.Text("SELECT count(*) FROM ks_conf") == "0")
    db.Exec(
        "INSERT INTO ks_conf(localport, log_console, log_priority, p2pport) VALUES(0, 0, 600, 0)");
  db.Exec("UPDATE ks_conf SET localport=" + std::to_string(message_port_));
  if (options_.log_priority >= 0)
    db.Exec("UPDATE ks_conf SET log_priority=" + std::to_string(options_.log_priority));
  for (const auto& s : options_.sql) db.Exec(s);
}

std::vector<std::string> AgentHarness::Environment() const {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq == std::string::npos || kv.compare(0, 7, "KESTYL_") == 0) continue;
    env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  env["KESTYL_LOOPBACK"] = "1";
  env["KESTYL_PLATFORM_DIR"] = root_ + "/platform";
  env["KESTYL_VENDOR_HOST"] = "127.0.0.1";
  env["KESTYL_VENDOR_PORT"] = std::to_string(vendor_port_);
  env["KESTYL_DESKTOP_PORT"] = std::to_string(desktop_port_);
  env["KESTYL_HTTP_PORT"] = std::to_string(http_port_);
  env["KESTYL_DISCOVERY_PORT"] = std::to_string(discovery_port_);
  env["KESTYL_WAKEUP_PORT"] = std::to_string(wakeup_port_);
  auto interval = [&env](const char* name, int v) {
    if (v >= 0) env[name] = std::to_string(v);
  };
  interval("KESTYL_HEARTBEAT_S", options_.heartbeat_s);
  interval("KESTYL_RELAY_RETRY_S", options_.relay_retry_s);
  interval("KESTYL_POLL_S", options_.poll_s);
  interval("KESTYL_CONFIRM_S", options_.confirm_s);
  for (const auto& [k, v] : options_.env) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

bool AgentHarness::Start() {
  if (Running()) return false;
  PrepareRoot();
  std::error_code ec;
  auto size = fs::file_size(log_path(), ec);
  log_offset_ = ec ? 0 : static_cast<size_t>(size);

  std::string program = bin_dir() + "/KestylClient";
  std::string workdir = bin_dir();
  std::vector<std::string> env_text = Environment();
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {program.data(), nullptr};
  int console = ::open(console_path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (console < 0) throw std::runtime_error("cannot open " + console_path());

  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(console);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    // Only async-signal-safe calls until execve: the test process has other threads.
    ::dup2(console, 1);
    ::dup2(console, 2);
    if (::chdir(workdir.c_str()) != 0) ::_exit(126);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(125);
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(console);
  pid_ = pid;
  stopped_cleanly_ = false;

  auto deadline = Clock::now() + std::chrono::milliseconds(options_.start_timeout_ms);
  Clock::time_point port_since{};
  bool port_seen = false;
  while (Clock::now() < deadline) {
    if (!Running()) return false;
    bool port_ok = PortAccepts(message_port_);
    if (port_ok && LogSinceStart().find(kReadyLine) != std::string::npos) return true;
    if (!port_ok) {
      port_seen = false;
    } else if (!port_seen) {
      port_seen = true;
      port_since = Clock::now();
    } else if (Clock::now() - port_since >= std::chrono::milliseconds(options_.port_grace_ms)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  return false;
}

bool AgentHarness::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) exit_status_ = status;
  pid_ = -1;
  return false;
}

int AgentHarness::Reap(int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      exit_status_ = status;
      return status;
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (Clock::now() >= deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int AgentHarness::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = Reap(options_.stop_timeout_ms);
  if (status != -2) {
    stopped_cleanly_ = true;
    return status;
  }
  std::fprintf(stderr, "agent %d ignored SIGTERM for %d ms; killing it\n", static_cast<int>(pid_),
               options_.stop_timeout_ms);
  return Kill();
}

int AgentHarness::Kill() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGKILL);
  int status = Reap(10000);
  return status;
}

std::string AgentHarness::ReadLog() const { return ks::test::ReadFile(log_path()); }

std::string AgentHarness::ReadConsole() const { return ks::test::ReadFile(console_path()); }

std::string AgentHarness::LogSinceStart() const {
  std::string log = ReadLog();
  // A log renamed at its size limit starts again from 0.
  return log.size() >= log_offset_ ? log.substr(log_offset_) : log;
}

bool AgentHarness::WaitForLog(const std::string& text, int timeout_ms) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (LogSinceStart().find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void AgentHarness::Sql(const std::string& statements) const {
  if (root_.empty()) throw std::logic_error("Sql() before the root exists");
  Db db(db_path());
  db.Exec(statements);
}

std::string AgentHarness::QueryText(const std::string& query) const {
  if (root_.empty()) throw std::logic_error("QueryText() before the root exists");
  Db db(db_path());
  return db.Text(query);
}

}  // namespace ks::fake
