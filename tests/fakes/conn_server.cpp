#include "tests/fakes/conn_server.h"

#include <sys/socket.h>

#include <algorithm>

namespace ks::fake {

Io ConnServer::Conn::Send(const std::string& bytes, int timeout_ms, const Canceller* cancel) {
  return SendPieces(bytes, 0, 0, timeout_ms, cancel);
}

Io ConnServer::Conn::SendPieces(const std::string& bytes, size_t piece, int gap_ms, int timeout_ms,
                                const Canceller* cancel) {
  std::lock_guard<std::mutex> lock(write_mu);
  if (!fd.valid() || done.load()) return Io::kClosed;
  if (piece == 0) piece = bytes.size();
  for (size_t off = 0; off < bytes.size(); off += piece) {
    if (off > 0 && gap_ms > 0 && SleepCancellable(gap_ms, cancel)) return Io::kCancelled;
    Io io = SendAll(fd.get(), bytes.data() + off, std::min(piece, bytes.size() - off), timeout_ms,
                    cancel);
    if (io != Io::kOk) return io;
  }
  return Io::kOk;
}

void ConnServer::Conn::Shutdown() {
  // Not under write_mu: a sender blocked on a full buffer must be woken by this.
  std::lock_guard<std::mutex> lock(fd_mu);
  if (fd.valid()) ::shutdown(fd.get(), SHUT_RDWR);
}

ConnServer::ConnServer(const std::string& ip, Handler serve) : serve_(std::move(serve)) {
  listen_ = ListenTcp(ip, &port_);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

ConnServer::~ConnServer() { Stop(); }

void ConnServer::Stop() {
  std::call_once(stopped_, [this] {
    cancel_.Cancel();
    if (accept_thread_.joinable()) accept_thread_.join();
    std::vector<std::shared_ptr<Conn>> conns;
    {
      std::lock_guard<std::mutex> lock(mu_);
      conns.swap(conns_);
    }
    for (auto& c : conns) c->Shutdown();
    for (auto& c : conns)
      if (c->thread.joinable()) c->thread.join();
    listen_.Reset();
  });
}

void ConnServer::AcceptLoop() {
  while (!cancel_.cancelled()) {
    Io io;
    UniqueFd fd = AcceptConn(listen_.get(), 1000, &cancel_, &io);
    if (io == Io::kCancelled) break;
    if (!fd) continue;
    auto conn = std::make_shared<Conn>();
    conn->id = ++accepted_;
    conn->fd = std::move(fd);
    ReapFinished();
    std::lock_guard<std::mutex> lock(mu_);
    conns_.push_back(conn);
    conn->thread = std::thread([this, conn] {
      serve_(conn);
      std::lock_guard<std::mutex> wl(conn->write_mu);
      std::lock_guard<std::mutex> fl(conn->fd_mu);
      conn->done = true;
      conn->fd.Reset();
    });
  }
}

void ConnServer::ReapFinished() {
  std::vector<std::shared_ptr<Conn>> finished;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::stable_partition(conns_.begin(), conns_.end(),
                                    [](const auto& c) { return !c->done.load(); });
    finished.assign(it, conns_.end());
    conns_.erase(it, conns_.end());
  }
  for (auto& c : finished)
    if (c->thread.joinable()) c->thread.join();
}

}  // namespace ks::fake
