#include "tests/fakes/fake_web_server.h"

#include <strings.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>

#include "tests/fakes/net_io.h"

namespace ks::fake {

namespace {

constexpr int kIdleMs = 60000;  // a kept-alive connection waits this long for its next request

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// Reads one line ending in CR LF (returned without it). False on close, error or cancel.
bool ReadLine(int fd, const Canceller* cancel, std::string& line, int idle_ms) {
  line.clear();
  for (;;) {
    char c = 0;
    if (RecvExact(fd, &c, 1, idle_ms, cancel) != Io::kOk) return false;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line.push_back(c);
    if (line.size() > 1 << 20) return false;
  }
}

std::string Render(const WebReply& r) {
  if (!r.raw.empty()) return r.raw;
  std::string body = r.body;
  std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
  bool has_length = false;
  for (const auto& [name, value] : r.headers) {
    head += name + ": " + value + "\r\n";
    if (strcasecmp(name.c_str(), "Content-Length") == 0) has_length = true;
  }
  if (r.encoding != WebReply::Encoding::kIdentity) {
    bool gzip = r.encoding == WebReply::Encoding::kGzip;
    body = Deflate(body, gzip ? 31 : 15);
    head += std::string("Content-Encoding: ") + (gzip ? "gzip" : "deflate") + "\r\n";
  }
  if (!has_length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (r.close) head += "Connection: close\r\n";
  return head + "\r\n" + body;
}

}  // namespace

std::string Deflate(const std::string& data, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string WebRequest::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
  return {};
}

bool WebRequest::HasHeader(const std::string& name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
  return false;
}

FakeWebServer::FakeWebServer() {
  server_ = std::make_unique<ConnServer>("127.0.0.1", [this](const std::shared_ptr<ConnServer::Conn>& c) { Serve(c); });
}

FakeWebServer::~FakeWebServer() { Stop(); }

void FakeWebServer::Stop() {
  if (server_) server_->Stop();
  cv_.notify_all();
}

uint16_t FakeWebServer::port() const { return server_->port(); }

std::string FakeWebServer::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

void FakeWebServer::Enqueue(WebReply reply) { script_.Enqueue(std::move(reply)); }

void FakeWebServer::Enqueue(const std::string& path, WebReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  by_path_[path].push_back(std::move(reply));
}

void FakeWebServer::SetFixed(WebReply reply) { script_.SetFixed(std::move(reply)); }

void FakeWebServer::SetSilentAccept(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  silent_accept_ = on;
}

bool FakeWebServer::WaitForRequests(size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
}

std::vector<WebRequest> FakeWebServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int FakeWebServer::connections() const { return server_->accepted(); }

WebReply FakeWebServer::NextReply(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_path_.find(path);
    if (it != by_path_.end() && !it->second.empty()) {
      WebReply r = std::move(it->second.front());
      it->second.erase(it->second.begin());
      return r;
    }
  }
  return script_.Next();
}

void FakeWebServer::Serve(const std::shared_ptr<ConnServer::Conn>& conn) {
  const Canceller* cancel = server_->cancel();
  int fd = conn->fd.get();
  bool silent;
  {
    std::lock_guard<std::mutex> lock(mu_);
    silent = silent_accept_;
  }
  if (silent) {
    SleepCancellable(24 * 3600 * 1000, cancel);
    return;
  }
  for (;;) {
    WebRequest req;
    req.connection = conn->id;
    std::string line;
    if (!ReadLine(fd, cancel, line, kIdleMs)) return;
    size_t a = line.find(' ');
    size_t b = line.rfind(' ');
    if (a == std::string::npos || b == a) return;
    req.method = line.substr(0, a);
    req.target = line.substr(a + 1, b - a - 1);
    req.version = line.substr(b + 1);
    for (;;) {
      if (!ReadLine(fd, cancel, line, kIdleMs)) return;
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string::npos) return;
      req.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    if (strcasecmp(req.Header("Transfer-Encoding").c_str(), "chunked") == 0) {
      for (;;) {
        if (!ReadLine(fd, cancel, line, kIdleMs)) return;
        size_t size = std::strtoul(line.c_str(), nullptr, 16);
        std::string piece;
        if (size && RecvExact(fd, &piece, size, kIdleMs, cancel) != Io::kOk) return;
        req.body += piece;
        if (!ReadLine(fd, cancel, line, kIdleMs)) return;  // CR LF after the data / trailer end
        if (size == 0) break;
      }
    } else if (req.HasHeader("Content-Length")) {
      size_t size = std::strtoul(req.Header("Content-Length").c_str(), nullptr, 10);
      if (size && RecvExact(fd, &req.body, size, kIdleMs, cancel) != Io::kOk) return;
    }
    bool client_closes = strcasecmp(req.Header("Connection").c_str(), "close") == 0;
    std::string path = req.Path();
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(req);
    }
    cv_.notify_all();

    WebReply reply = NextReply(path);
    if (reply.delay_ms > 0 && SleepCancellable(reply.delay_ms, cancel)) return;
    if (reply.silent) {
      SleepCancellable(24 * 3600 * 1000, cancel);
      return;
    }
    if (reply.hang_up) return;
    if (conn->Send(Render(reply), 10000, cancel) != Io::kOk) return;
    if (reply.close || client_closes) return;
  }
}

}  // namespace ks::fake
