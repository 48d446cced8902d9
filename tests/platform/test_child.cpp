// A program the process and tool tests start. The first argument picks what it does:
//   pieces <n>...        writes pieces of n bytes ('a'+i), alternating stdout and stderr
//   flood <bytes>        writes that many bytes to stdout, then creates the file named by
//                        argument 3 (proof it survived)
//   fds <file>           writes the list of its open descriptors (from /proc/self/fd) to file
//   env <file> <names>.. writes "name=value" lines (or "name unset") to file
//   sigmask <file>       writes its blocked-signal mask and SIGPIPE disposition to file
//   exit <code>          exits with that code
//   sleep                waits until killed (pause)
//   service <name>       runs a service main that reports RUNNING and stops on the control
//   touch <file>         creates the file
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>

#include "platform/event.h"
#include "platform/service_dispatcher.h"

using namespace ks::platform;

namespace {

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) std::_Exit(3);
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string what = argv[1];
  if (what == "pieces") {
    for (int i = 2; i < argc; ++i) {
      std::string piece(static_cast<size_t>(std::atoi(argv[i])), static_cast<char>('a' + (i - 2) % 26));
      WriteAll(i % 2 ? 2 : 1, piece);
    }
    return 0;
  }
  if (what == "flood" && argc >= 4) {
    std::string chunk(65536, 'x');
    long total = std::atol(argv[2]);
    for (long done = 0; done < total; done += static_cast<long>(chunk.size())) WriteAll(1, chunk);
    std::ofstream(argv[3]) << "survived";
    return 0;
  }
  if (what == "fds" && argc >= 3) {
    std::string list;
    DIR* d = ::opendir("/proc/self/fd");
    int self = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == self) continue;
      list += std::string(e->d_name) + "\n";
    }
    ::closedir(d);
    std::ofstream(argv[2]) << list;
    return 0;
  }
  if (what == "env" && argc >= 3) {
    std::ofstream out(argv[2]);
    for (int i = 3; i < argc; ++i) {
      const char* v = std::getenv(argv[i]);
      out << argv[i] << (v ? std::string("=") + v : std::string(" unset")) << "\n";
    }
    return 0;
  }
  if (what == "sigmask" && argc >= 3) {
    sigset_t set;
    ::sigprocmask(SIG_BLOCK, nullptr, &set);
    struct sigaction sa {};
    ::sigaction(SIGPIPE, nullptr, &sa);
    int blocked = 0;
    for (int s = 1; s < NSIG; ++s) blocked += sigismember(&set, s) == 1;
    std::ofstream(argv[2]) << "blocked=" << blocked << " pipe=" << (sa.sa_handler == SIG_DFL ? "default" : "other");
    return 0;
  }
  if (what == "exit" && argc >= 3) return std::atoi(argv[2]);
  if (what == "sleep") {
    while (true) ::pause();
  }
  if (what == "touch" && argc >= 3) {
    std::ofstream(argv[2]) << "x";
    return 0;
  }
  if (what == "service" && argc >= 3) {
    return RunServiceDispatcher(argv[2], [](ServiceContext& ctx) {
      Event stop(true, false);
      ctx.SetControlHandler([&](uint32_t control) -> uint32_t {
        if (control == kServiceControlStop) {
          ServiceStatus s = ctx.LastStatus();
          s.currentState = kServiceStopPending;
          ctx.ReportStatus(s);
          stop.Set();
        }
        return 0;
      });
      ServiceStatus s;
      s.controlsAccepted = kServiceAcceptStop;
      s.currentState = kServiceRunning;
      ctx.ReportStatus(s);
      stop.Wait(-1);
      s.currentState = kServiceStopped;
      ctx.ReportStatus(s);
    });
  }
  return 2;
}
