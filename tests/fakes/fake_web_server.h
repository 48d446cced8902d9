// The vendor's web server as the desktop and command programs reach it: HTTP/1.1 on
// 127.0.0.1, port 0 (the bound port from port(); url() is the value for KESTYL_WEB_URL).
//
// Every request is recorded whole (request line, headers in order, body by Content-Length
// or chunked transfer coding) before it is answered. Answers come from a script: replies
// queued for a path (the request target without its query) first, in order, then the
// replies queued for any path, then the fixed reply (200, empty body). A reply can wait
// before it is sent, be gzip- or deflate-encoded, be sent as raw bytes, close the
// connection without an answer, or never answer (silent: the connection stays open until
// the server stops). SetSilentAccept makes the server accept connections and read nothing.
// Connections are kept alive unless the client or the reply closes them.
//
// Stop() (also the destructor) wakes every wait and joins every thread. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/conn_server.h"
#include "tests/fakes/script.h"

namespace ks::fake {

struct WebRequest {
  std::string method;
  std::string target;   // as sent: path and query
  std::string version;  // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::string body;
  int connection = 0;  // 1, 2, ... in accept order

  std::string Path() const { return target.substr(0, target.find('?')); }
  // Value of the first header of that name (any letter case); "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct WebReply {
  enum class Encoding { kIdentity, kGzip, kDeflate };
  int status = 200;
  std::string reason = "OK";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Encoding encoding = Encoding::kIdentity;  // adds Content-Encoding
  int delay_ms = 0;         // wait before answering
  bool silent = false;      // never answer
  bool close = false;       // close the connection after the answer
  bool hang_up = false;     // close without any answer
  std::string raw;          // when not empty: sent as it stands instead of the above

  static WebReply Ok(std::string body) {
    WebReply r;
    r.body = std::move(body);
    return r;
  }
  static WebReply Silent() {
    WebReply r;
    r.silent = true;
    return r;
  }
};

// zlib's deflate of `data`: window_bits 31 writes the gzip wrapper, 15 the zlib wrapper
// (HTTP's "deflate"), -15 raw deflate without either.
std::string Deflate(const std::string& data, int window_bits);

class FakeWebServer {
 public:
  FakeWebServer();
  ~FakeWebServer();
  FakeWebServer(const FakeWebServer&) = delete;
  FakeWebServer& operator=(const FakeWebServer&) = delete;

  uint16_t port() const;
  std::string url() const;  // "http://127.0.0.1:<port>"

  void Enqueue(WebReply reply);                          // any path
  void Enqueue(const std::string& path, WebReply reply);  // that path only
  void SetFixed(WebReply reply);
  void SetSilentAccept(bool on);

  // Waits until at least n requests were recorded; false at the deadline.
  bool WaitForRequests(size_t n, int timeout_ms);
  std::vector<WebRequest> Requests() const;
  int connections() const;

  void Stop();

 private:
  void Serve(const std::shared_ptr<ConnServer::Conn>& conn);
  WebReply NextReply(const std::string& path);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<WebRequest> requests_;
  std::map<std::string, std::vector<WebReply>> by_path_;
  Script<WebReply> script_;
  bool silent_accept_ = false;
  std::unique_ptr<ConnServer> server_;
};

}  // namespace ks::fake
