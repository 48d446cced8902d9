// Download throughput over the message protocol on loopback against a plain TCP copy of
// the same file, with the process's peak resident size.
//
//   download_bench [MiB]   (default 200; the file is made in $TMPDIR or /tmp and removed)
//
// The protocol figure runs the real local message server and download handlers in this
// process: a client announces the file, allows it from offset 0 and reads every 1000-byte
// MSG_DOWNLOAD_DATA package up to MSG_DOWNLOAD_OVER. The plain figure sends the same file
// over one loopback TCP connection in 256 KiB reads and writes. Both read from the page
// cache (one untimed warm-up pass); the two alternate, and each figure is the best of five
// runs. Goal: the protocol at least 0.8x the plain copy.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/handlers/download/download.h"
#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"

namespace {

constexpr int kRuns = 5;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakRssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

bool MakeFile(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint32_t> chunk((1u << 20) / 4);
  uint32_t x = 2463534242u;
  for (size_t done = 0; done < size; done += chunk.size() * 4) {
    for (auto& w : chunk) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      w = x;
    }
    size_t n = std::min(chunk.size() * 4, size - done);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
  }
  return static_cast<bool>(out);
}

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool SendMessage(int fd, uint16_t type, uint32_t word, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> m(8 + body.size());
  ks::net::EncodeMsgHead({static_cast<uint16_t>(m.size()), type, word}, m.data());
  std::memcpy(m.data() + 8, body.data(), body.size());
  return SendAll(fd, m.data(), m.size());
}

// Reads messages in large chunks until MSG_DOWNLOAD_OVER; the file bytes received, or -1.
long long ReadDownload(int fd) {
  std::vector<uint8_t> buf(1 << 20);
  size_t have = 0;
  long long bytes = 0;
  uint32_t expected = 1;
  for (;;) {
    ssize_t n = ::recv(fd, buf.data() + have, buf.size() - have, 0);
    if (n <= 0) return -1;
    have += static_cast<size_t>(n);
    size_t at = 0;
    while (have - at >= 8) {
      ks::net::MsgHead h = ks::net::DecodeMsgHead(buf.data() + at);
      if (h.length < 8) return -1;
      if (have - at < h.length) break;
      if (h.type == MSG_DOWNLOAD_OVER) return buf[at + 8] == '0' ? bytes : -1;
      if (h.type == MSG_DOWNLOAD_DATA) {
        if (ks::net::GetU32(buf.data() + at + 8) != expected++) return -1;
        bytes += h.length - 20;
      }
      at += h.length;
    }
    std::memmove(buf.data(), buf.data() + at, have - at);
    have -= at;
  }
}

double ProtocolRun(uint16_t port, const std::string& path, size_t size, uint32_t word) {
  int fd = Connect(port);
  if (fd < 0) return -1;
  std::vector<uint8_t> request(356, 0);
  std::memcpy(request.data() + 1, path.data(), std::min<size_t>(path.size(), 254));
  std::vector<uint8_t> ok(64);
  size_t got = 0;
  auto start = std::chrono::steady_clock::now();
  if (!SendMessage(fd, MSG_REQ_DOWNLOAD_FILE, word, request)) return -1;
  while (got < ok.size()) {
    ssize_t n = ::recv(fd, ok.data() + got, ok.size() - got, 0);
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  if (ks::net::DecodeMsgHead(ok.data()).type != MSG_REQ_DOWNLOAD_FILE_OK) return -1;
  if (!SendMessage(fd, MSG_ALLOW_DOWNLOAD_FILE, word, std::vector<uint8_t>(4, 0))) return -1;
  long long bytes = ReadDownload(fd);
  double s = Seconds(start);
  ::close(fd);
  return bytes == static_cast<long long>(size) ? s : -1;
}

double PlainRun(const std::string& path, size_t size) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listener, 1);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::thread sender([&] {
    int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> block(256 * 1024);
    ssize_t n;
    while ((n = ::read(file, block.data(), block.size())) > 0)
      if (!SendAll(c, block.data(), static_cast<size_t>(n))) break;
    ::close(file);
    ::close(c);
  });
  auto start = std::chrono::steady_clock::now();
  int fd = Connect(ntohs(a.sin_port));
  std::vector<uint8_t> buf(1 << 20);
  size_t total = 0;
  ssize_t n;
  while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0) total += static_cast<size_t>(n);
  double s = Seconds(start);
  sender.join();
  ::close(fd);
  ::close(listener);
  return total == size ? s : -1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  if (mib == 0 || mib > 500) mib = 200;
  const size_t size = mib << 20;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestyl-dlbench-XXXXXX";
  if (!::mkdtemp(dir.data())) return 1;
  std::string file = dir + "/bench.bin", db = dir + "/Kestyl.db";
  std::string schema = KS_SCHEMA_FILE;
  if (!MakeFile(file, size) || CreateDatabaseFile(db, schema) != 0) {
    std::fprintf(stderr, "cannot prepare %s\n", dir.c_str());
    return 1;
  }
  GlobalDb().open(db.c_str());
  SetShareInfo({dir});

  const ks::net::Registration table[] = {
      {MSG_REQ_DOWNLOAD_FILE, ks::download::ReqDownLoadFile, "ReqDownLoadFile"},
      {MSG_ALLOW_DOWNLOAD_FILE, ks::download::AllowDownLoadFile, "AllowDownLoadFile"},
  };
  ks::net::RegisterHandlers(table, std::size(table));
  ks::net::LocalServerOptions options;
  options.bindAddress = "127.0.0.1";
  ks::net::LocalServer server(options);
  if (server.Start(0) != 0) return 1;

  long rssStart = PeakRssKb();
  PlainRun(file, size);  // warm-up: the file into the page cache
  double plain = 1e9, protocol = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    double p = PlainRun(file, size);
    double q = ProtocolRun(server.Port(), file, size, 100 + i);
    if (p < 0 || q < 0) {
      std::fprintf(stderr, "a run failed\n");
      return 1;
    }
    plain = std::min(plain, p);
    protocol = std::min(protocol, q);
  }
  server.Stop();
  GlobalDb().close();
  std::remove(file.c_str());
  std::remove(db.c_str());
  ::rmdir(dir.c_str());

  double mb = static_cast<double>(size) / (1 << 20);
  std::printf("file %zu MiB, best of %d\n", mib, kRuns);
  std::printf("plain TCP copy     %8.1f MiB/s\n", mb / plain);
  std::printf("message protocol   %8.1f MiB/s  (%.2fx plain; goal >= 0.8x)\n", mb / protocol, plain / protocol);
  std::printf("peak RSS           %8ld KiB (at start %ld KiB)\n", PeakRssKb(), rssStart);
  return 0;
}
