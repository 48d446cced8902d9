// Request/reply messages per second through the local message server over loopback, with 1
// and with 64 concurrent connections. Each client sends one 40-byte message, waits for its
// echo, and repeats. Usage: msg_server_bench [seconds per run, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"

using namespace ks::net;

namespace {

constexpr uint16_t kEcho = 0x7E01;
constexpr size_t kBody = 32;

int Echo(const uint8_t* body, size_t len, const MsgHead* h, Channel*, std::vector<uint8_t>* reply, int*, int*) {
  reply->resize(8 + len);
  EncodeMsgHead(MsgHead{uint16_t(8 + len), h->type, h->sequence}, reply->data());
  if (len) std::copy(body, body + len, reply->data() + 8);
  return 0;
}

bool ReadExact(int fd, uint8_t* p, size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

struct Result {
  double perSecond;
  double meanRoundTripUs;
};

Result Run(uint16_t port, int connections, double seconds) {
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long> total{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < connections; ++i) {
    clients.emplace_back([&, i] {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(port);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
      }
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      uint8_t req[8 + kBody] = {}, rep[8 + kBody];
      long n = 0;
      while (!go) std::this_thread::yield();
      while (!stop) {
        EncodeMsgHead(MsgHead{uint16_t(sizeof req), kEcho, uint32_t(n)}, req);
        req[8] = uint8_t(i);
        if (::send(fd, req, sizeof req, MSG_NOSIGNAL) != ssize_t(sizeof req) || !ReadExact(fd, rep, sizeof rep) ||
            GetU32(rep + 4) != uint32_t(n)) {
          std::fprintf(stderr, "bad reply on connection %d\n", i);
          std::exit(1);
        }
        ++n;
      }
      total += n;
      ::close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all connected
  auto t0 = std::chrono::steady_clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : clients) t.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double perSecond = double(total) / elapsed;
  return {perSecond, 1e6 * connections / perSecond};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) seconds = 3.0;
  if (OS_RegFunction(kEcho, Echo) != 0) return 1;
  LocalServerOptions o;
  o.bindAddress = "127.0.0.1";
  LocalServer server(o);
  if (server.Start(0) != 0) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }
  std::printf("local message server, %zu-byte request/reply over loopback, %u cores\n", 8 + kBody,
              std::thread::hardware_concurrency());
  std::string results;
  for (int connections : {1, 64}) {
    Result r = Run(server.Port(), connections, seconds);
    std::printf("  %2d connection%s: %9.0f messages/s   mean round trip %7.1f us\n", connections,
                connections == 1 ? " " : "s", r.perSecond, r.meanRoundTripUs);
    results += "RESULT msg.c" + std::to_string(connections) + "_mps=" + std::to_string(std::lround(r.perSecond)) + "\n";
  }
  server.Stop();
  std::fputs(results.c_str(), stdout);
  return 0;
}
