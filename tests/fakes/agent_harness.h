// AgentHarness: runs the real agent program in a temporary install root for end-to-end tests.
//
// Layout made on the first Start():
//   <root>/bin/KestylClient   a copy of the binary under test (the agent finds its install
//                             root as the parent of its program's folder)
//   <root>/etc/Kestyl.db      the schema file applied (an empty database when the file is
//                             missing), ks_conf holding one row with localport = a free port
//   <root>/log/               the agent's Log.txt; the agent's console output goes to
//                             console.txt beside it
//   <root>/platform/          KESTYL_PLATFORM_DIR
// The agent runs in loopback mode with every endpoint pointed at the test's fakes (or at
// free ports nobody listens on) and short intervals where the test asks for them; its
// working folder is <root>/bin. Start() waits until the log shows "Start service
// successful!" and the message port accepts (or the port has accepted for port_grace_ms); Stop()
// sends SIGTERM and waits, then SIGKILL. The destructor stops the agent; the root is removed unless
// keep_root is set.
//
// The agent is started with a parent-death signal (SIGKILL), so that a crashed test leaves
// no agent behind. Linux ties that signal to the thread that started the process: call
// Start() from a thread that outlives the agent (the test's own thread).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ks::fake {

struct AgentOptions {
  std::string binary;         // the agent program to copy; empty: this build's KestylClient
  std::string schema_file;    // SQL for the new database; empty: the tree's common/db/schema.sql
                              // (a missing file gives an empty database)
  uint16_t vendor_port = 0;   // fake vendor server; 0: a free port nobody listens on
  uint16_t desktop_port = 0;  // fake desktop; 0: a free port nobody listens on
  // Intervals in seconds; negative leaves the agent's default.
  int heartbeat_s = -1;
  int relay_retry_s = -1;
  int poll_s = -1;
  int confirm_s = -1;
  int log_priority = 700;                  // ks_conf.log_priority (700 logs DEBUG lines too)
  std::vector<std::string> sql;            // statements run on the new database before start
  std::map<std::string, std::string> env;  // further or overriding environment variables
  int start_timeout_ms = 15000;
  // An agent whose port accepts for this long without the log line counts as ready.
  int port_grace_ms = 2000;
  int stop_timeout_ms = 10000;  // SIGTERM grace before SIGKILL
  // RLIMIT_NOFILE (soft and hard) of the agent; 0 leaves the test's own limit.
  long nofile_limit = 0;
  bool keep_root = false;       // leave the root behind (debugging)
};

class AgentHarness {
 public:
  explicit AgentHarness(AgentOptions options);
  ~AgentHarness();
  AgentHarness(const AgentHarness&) = delete;
  AgentHarness& operator=(const AgentHarness&) = delete;

  // Lays out the root and the database once (Start() does it when needed), so that a test
  // can put files in place before the agent first starts.
  void PrepareRoot();
  // Lays out the root when needed (after a Stop() or Kill() the same root is reused), starts the
  // agent and waits until it is ready. False when it exited or did not become ready in time (the
  // process is left running in the second case; Stop() or the destructor ends it).
  bool Start();
  // SIGTERM, wait up to stop_timeout_ms, then SIGKILL. The wait status, or -1 when no agent
  // was running.
  int Stop();
  // SIGKILL now and reap.
  int Kill();
  bool Running();
  pid_t pid() const { return pid_; }
  // Wait status of the last agent that ended (-1 before any did).
  int exit_status() const { return exit_status_; }
  // True when the last Stop() ended the agent without SIGKILL.
  bool stopped_cleanly() const { return stopped_cleanly_; }

  const std::string& root() const { return root_; }
  std::string bin_dir() const { return root() + "/bin"; }
  std::string db_path() const { return root() + "/etc/Kestyl.db"; }
  std::string log_path() const { return root() + "/log/Log.txt"; }
  std::string console_path() const { return root() + "/log/console.txt"; }

  uint16_t message_port() const { return message_port_; }
  uint16_t http_port() const { return http_port_; }
  uint16_t discovery_port() const { return discovery_port_; }
  uint16_t wakeup_port() const { return wakeup_port_; }
  uint16_t vendor_port() const { return vendor_port_; }
  uint16_t desktop_port() const { return desktop_port_; }

  std::string ReadLog() const;
  std::string ReadConsole() const;
  // Waits until the log (from this run's start) holds `text`.
  bool WaitForLog(const std::string& text, int timeout_ms) const;

  // The environment the agent runs with ("NAME=value"): the test's own without its KESTYL_*
  // variables, then loopback mode, the endpoints above and the options' intervals and env.
  // For tests that start the program some other way (service mode); after PrepareRoot().
  std::vector<std::string> Environment() const;

  // Runs SQL on the agent's database (busy time-out 5 s); throws on an SQL error.
  void Sql(const std::string& statements) const;
  // First column of the first row as text; empty when there is no row.
  std::string QueryText(const std::string& query) const;

 private:
  int Reap(int timeout_ms);
  std::string LogSinceStart() const;

  AgentOptions options_;
  std::string root_;
  pid_t pid_ = -1;
  bool stopped_cleanly_ = false;
  int exit_status_ = -1;
  size_t log_offset_ = 0;
  uint16_t message_port_ = 0;
  uint16_t http_port_ = 0;
  uint16_t discovery_port_ = 0;
  uint16_t wakeup_port_ = 0;
  uint16_t vendor_port_ = 0;
  uint16_t desktop_port_ = 0;
};

}  // namespace ks::fake
