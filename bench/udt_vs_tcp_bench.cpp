// A 50 MB download on loopback, cut as the agent sends downloads (MsgHead + 1000-byte
// packages), over the agent's P2P path (hole punch, UDT rendezvous connection, a handler
// writing to its UdtChannel) and over a plain TCP connection. Prints every run, then the
// median and the spread (min..max) of each series.
//
//   udt_vs_tcp_bench [runs=5] [megabytes=50]
//
// Two UDT series: the request sent as soon as the connection is up (what a client does), and
// 100 ms later. UDT slow-starts for seconds when a packet is lost right after connecting, so
// the first series can show outliers; they are reported, not dropped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/msg/msg.h"
#include "agent/net/p2p/p2p.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"

namespace {

constexpr uint16_t kBenchRequest = 0x7F01;  // body: u32 bytes to send
constexpr uint16_t kBenchData = 0x7F02;
constexpr size_t kPackage = 1000;

using Clock = std::chrono::steady_clock;

// Sends `bytes` as MsgHead + up to 1000-byte packages on the channel, like a download.
int StreamHandler(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead*, ks::net::Channel* conn,
                  std::vector<uint8_t>*, int*, int*) {
  if (bodyLength < 4) return -1;
  uint64_t left = ks::net::GetU32(body);
  std::vector<uint8_t> m(8 + kPackage, 0x5A);
  for (uint32_t seq = 0; left > 0; ++seq) {
    const size_t n = left < kPackage ? left : kPackage;
    ks::net::EncodeMsgHead(ks::net::MsgHead{static_cast<uint16_t>(8 + n), kBenchData, seq}, m.data());
    if (!conn->Write(m.data(), 8 + n)) return -1;
    left -= n;
  }
  return 0;
}

std::vector<uint8_t> Request(uint32_t bytes) {
  std::vector<uint8_t> m(12);
  ks::net::EncodeMsgHead(ks::net::MsgHead{12, kBenchRequest, 0}, m.data());
  ks::net::PutU32(m.data() + 8, bytes);
  return m;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// One UDT download from the agent; seconds, or -1 on failure.
double UdtRun(uint16_t agentPort, uint32_t bytes, int pauseMs) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(self));
  // Client hole punch: head {32, 370, 3}, kind 0, the rest unused here.
  uint8_t punch[32] = {0, 32, 370 >> 8, 370 & 0xFF, 0, 3};
  sockaddr_in agent = Loopback(agentPort);
  ::sendto(fd, punch, sizeof(punch), 0, reinterpret_cast<sockaddr*>(&agent), sizeof(agent));
  uint8_t answer[64];
  for (int i = 0; i < 3; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return -1;
    ::recv(fd, answer, sizeof(answer), 0);
  }
  const UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  const bool yes = true, no = false;
  UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof(yes));
  UDT::setsockopt(u, 0, UDT_REUSEADDR, &no, sizeof(no));
  UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof(no));
  if (UDT::bind2(u, fd) == UDT::ERROR) return -1;
  UDT::connect(u, reinterpret_cast<sockaddr*>(&agent), sizeof(agent));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (UDT::getsockstate(u) == CONNECTING && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (UDT::getsockstate(u) != CONNECTED) {
    UDT::close(u);
    return -1;
  }
  if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));

  const auto req = Request(bytes);
  const auto t0 = Clock::now();
  UDT::sendmsg(u, reinterpret_cast<const char*>(req.data()), static_cast<int>(req.size()), -1, true);
  const int poll = UDT::epoll_create();
  const int events = UDT_EPOLL_IN | UDT_EPOLL_ERR;
  UDT::epoll_add_usock(poll, u, &events);
  std::vector<char> buf(65536);
  uint64_t got = 0;
  bool rearmed = false;
  while (got < bytes && Clock::now() - t0 < std::chrono::seconds(60)) {
    const int n = UDT::recvmsg(u, buf.data(), static_cast<int>(buf.size()));
    if (n > 8) {
      got += static_cast<uint64_t>(n - 8);
      rearmed = false;
      continue;
    }
    if (n == UDT::ERROR && UDT::getlasterror_code() != 6002) break;
    if (!rearmed) {  // UDT's epoll keeps a stale "readable" mark: clear it, read again
      UDT::epoll_remove_usock(poll, u);
      UDT::epoll_add_usock(poll, u, &events);
      rearmed = true;
      continue;
    }
    std::set<UDTSOCKET> readable;
    UDT::epoll_wait(poll, &readable, nullptr, 1000);
    rearmed = false;
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  UDT::epoll_release(poll);
  UDT::close(u);
  return got == bytes ? s : -1;
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// One TCP download of the same messages from a sender thread; seconds, or -1.
double TcpRun(uint32_t bytes) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(listener, 1);
  socklen_t len = sizeof(a);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::thread sender([listener, bytes] {
    const int c = ::accept(listener, nullptr, nullptr);
    uint8_t req[12];
    if (c >= 0 && ::recv(c, req, sizeof(req), MSG_WAITALL) == 12) {
      std::vector<uint8_t> m(8 + kPackage, 0x5A);
      uint64_t left = bytes;
      for (uint32_t seq = 0; left > 0; ++seq) {
        const size_t n = left < kPackage ? left : kPackage;
        ks::net::EncodeMsgHead(ks::net::MsgHead{static_cast<uint16_t>(8 + n), kBenchData, seq}, m.data());
        if (!SendAll(c, m.data(), 8 + n)) break;
        left -= n;
      }
    }
    if (c >= 0) ::close(c);
  });
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  const auto req = Request(bytes);
  const auto t0 = Clock::now();
  SendAll(fd, req.data(), req.size());
  // Read message by message, as a client cuts the stream.
  std::vector<uint8_t> buf(8 + kPackage);
  uint64_t got = 0;
  while (got < bytes) {
    if (::recv(fd, buf.data(), 8, MSG_WAITALL) != 8) break;
    const size_t body = ks::net::GetU16(buf.data()) - 8u;
    if (::recv(fd, buf.data() + 8, body, MSG_WAITALL) != static_cast<ssize_t>(body)) break;
    got += body;
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  ::close(fd);
  sender.join();
  ::close(listener);
  return got == bytes ? s : -1;
}

// Prints the series; its median and spread go to `results` as "RESULT <key>..." lines.
void Report(const char* name, const char* key, const std::vector<double>& seconds, uint32_t bytes,
            std::string* results) {
  std::vector<double> mbps;
  int failed = 0;
  std::printf("%-26s", name);
  for (double s : seconds) {
    if (s < 0) {
      ++failed;
      std::printf("  failed");
      continue;
    }
    mbps.push_back(bytes / s / 1e6);
    std::printf(" %7.1f", mbps.back());
  }
  std::printf("  MB/s\n");
  if (mbps.empty()) {
    *results += "RESULT " + std::string(key) + "_failed=" + std::to_string(failed) + "\n";
    return;
  }
  std::sort(mbps.begin(), mbps.end());
  const double median = mbps.size() % 2 ? mbps[mbps.size() / 2]
                                        : (mbps[mbps.size() / 2 - 1] + mbps[mbps.size() / 2]) / 2;
  std::printf("%-26s median %.1f MB/s, spread %.1f..%.1f MB/s%s\n", "", median, mbps.front(), mbps.back(),
              failed ? " (some runs failed)" : "");
  char line[256];
  std::snprintf(line, sizeof line,
                "RESULT %s_mbs=%.1f\nRESULT %s_min_mbs=%.1f\nRESULT %s_max_mbs=%.1f\nRESULT %s_failed=%d\n", key,
                median, key, mbps.front(), key, mbps.back(), key, failed);
  *results += line;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const uint32_t bytes = (argc > 2 ? std::max(1, std::atoi(argv[2])) : 50) * 1024u * 1024u;
  ::setenv("KESTYL_LOOPBACK", "1", 1);

  ks::net::OS_RegFunction(kBenchRequest, StreamHandler);
  ks::net::DispatchJob(ks::p2p::StartP2PClient);
  for (int i = 0; i < 300 && ks::p2p::P2PUdpPort() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const uint16_t port = ks::p2p::P2PUdpPort();
  if (port == 0) {
    std::fprintf(stderr, "the P2P client did not start\n");
    return 1;
  }

  std::printf("%u MB download on loopback, %d runs per series, 1000-byte packages\n", bytes >> 20, runs);
  std::vector<double> udt, udtPaused, tcp;
  for (int i = 0; i < runs; ++i) {
    udt.push_back(UdtRun(port, bytes, 0));
    udtPaused.push_back(UdtRun(port, bytes, 100));
    tcp.push_back(TcpRun(bytes));
  }
  std::string results;
  Report("udt, request at once", "udt.at_once", udt, bytes, &results);
  Report("udt, request after 100 ms", "udt.paused", udtPaused, bytes, &results);
  Report("tcp", "udt.tcp", tcp, bytes, &results);
  std::fputs(results.c_str(), stdout);

  ks::state::RequestStop();
  ks::p2p::WaitP2PJobsEnded(5000);
  return 0;
}
