// A stand-in for the agent program, for the harness's own tests. It does what the harness
// relies on the agent for, and nothing else: finds its install root from its own path,
// reads ks_conf.localport from <root>/etc/Kestyl.db, listens there, appends to
// <root>/log/Log.txt (its working folder, its KESTYL_* environment and then
// "Start service successful!"), and ends on SIGTERM.
//   STANDIN_EXIT=<code>     exit at once with that code
//   STANDIN_IGNORE_TERM=1   ignore SIGTERM (only SIGKILL ends it)
//   STANDIN_QUIET=1         never write the ready line
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

volatile sig_atomic_t g_term = 0;

void OnTerm(int) { g_term = 1; }

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

int LocalPort(const std::string& db_path) {
  sqlite3* db = nullptr;
  int port = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "select localport from ks_conf", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      port = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return port;
}

}  // namespace

int main() {
  if (const char* code = std::getenv("STANDIN_EXIT")) return std::atoi(code);
  char exe[PATH_MAX] = {};
  if (::readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return 2;
  std::string root = Parent(Parent(exe));

  FILE* log = std::fopen((root + "/log/Log.txt").c_str(), "a");
  if (!log) return 3;
  std::setvbuf(log, nullptr, _IONBF, 0);
  char cwd[PATH_MAX] = {};
  std::fprintf(log, "cwd %s\n", ::getcwd(cwd, sizeof cwd) ? cwd : "?");
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "KESTYL_", 7) == 0) std::fprintf(log, "env %s\n", *e);

  if (std::getenv("STANDIN_IGNORE_TERM")) {
    ::signal(SIGTERM, SIG_IGN);
  } else {
    struct sigaction sa = {};
    sa.sa_handler = OnTerm;
    ::sigaction(SIGTERM, &sa, nullptr);
  }

  int port = LocalPort(root + "/etc/Kestyl.db");
  std::fprintf(log, "local port %d\n", port);
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (port <= 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(s, 16) != 0) {
    std::fprintf(log, "cannot listen: %s\n", std::strerror(errno));
    return 4;
  }
  if (!std::getenv("STANDIN_QUIET")) std::fprintf(log, "Start service successful!\n");

  while (!g_term) {
    pollfd p = {s, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      int c = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) ::close(c);
    }
  }
  std::fprintf(log, "stopped\n");
  std::fclose(log);
  ::close(s);
  return 0;
}
