// Fuzzes the HTTP server's request handling: the input is one client's whole request,
// read by accept_request over a socket pair. The shares are a temporary folder holding a
// file, a sub-folder with an index.html, a FIFO and a symlink out of the share, so inputs
// reach decoding, containment, the 200/404/501 answers and the silent closes. The answer
// must be one of the server's own answers (or nothing), and a 200 must carry exactly the
// bytes its Content-Length announces. The head as the accept loop's scanner cuts it must get
// the same answer as the whole input.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/db/local_db.h"
#include "agent/net/http/http_server.h"

namespace {

#define CHECK(c) \
  do {           \
    if (!(c)) std::abort(); \
  } while (0)

void Write(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/kestyl-fuzz-http-XXXXXX";
  if (!::mkdtemp(dir)) std::abort();
  std::string root = dir;
  ::mkdir((root + "/share").c_str(), 0755);
  ::mkdir((root + "/share/sub").c_str(), 0755);
  ::mkdir((root + "/outside").c_str(), 0755);
  Write(root + "/share/a b.txt", "hello world");
  Write(root + "/share/sub/index.html", "<p>x</p>");
  Write(root + "/outside/secret", "secret");
  ::mkfifo((root + "/share/fifo").c_str(), 0644);
  ::symlink((root + "/outside/secret").c_str(), (root + "/share/out").c_str());
  GlobalDb().open(":memory:");
  GlobalDb().execDML("create table ks_defshare (def TEXT, def_pic TEXT, def_music TEXT, def_video TEXT, def_doc TEXT, def_instant TEXT);");
  GlobalDb().execDML("create table ks_share (path TEXT);");
  DefShareInfo defs;
  defs.def = root + "/share";
  SetDefaultDir(defs);
  return 0;
}

namespace {

void CloseAtOnce(int sock, void*) { ::close(sock); }

// The answer to the head the accept loop would have handed over: the bytes up to where the
// head scanner says it ends.
std::string AnswerToScannedHead(const std::string& head) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
  ks::net::HttpConnection conn(sv[1], head);
  ks::net::AnswerRequest(conn, &CloseAtOnce, nullptr);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(sv[0], buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  ::close(sv[0]);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;  // stays within the socket buffer: no writer thread needed
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  if (size) CHECK(::send(sv[0], data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size));
  ::shutdown(sv[0], SHUT_WR);
  ks::net::accept_request(sv[1], 1000);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(sv[0], buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  ::close(sv[0]);

  // The accept loop hands a job the head only as far as the scanner reads it (fed in two
  // pieces, as it may arrive): the answer must be the same as to the whole input.
  ks::net::HttpHeadScanner scanner;
  const char* text = reinterpret_cast<const char*>(data);
  size_t used = scanner.Feed(text, size / 2);
  if (!scanner.Done()) used += scanner.Feed(text + size / 2, size - size / 2);
  if (scanner.Done()) CHECK(AnswerToScannedHead(std::string(text, used)) == answer);

  if (answer.empty() || answer == ks::net::kNotFoundAnswer || answer == ks::net::kNotImplementedAnswer) return 0;
  CHECK(StartsWith(answer, "HTTP/1.1 200 OK\r\nServer: KestylHttpServer/0.1.0\r\nContent-Length:  "));
  size_t end = answer.find("\r\n\r\n");
  CHECK(end != std::string::npos);
  long long length = std::atoll(answer.c_str() + std::strlen("HTTP/1.1 200 OK\r\nServer: KestylHttpServer/0.1.0\r\nContent-Length:  "));
  std::string body = answer.substr(end + 4);
  CHECK(static_cast<long long>(body.size()) == length);
  CHECK(body == "hello world" || body == "<p>x</p>");  // never the secret
  return 0;
}
