// One HTTP request: read, map to a file inside a share, answer, close (http_server.h).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "agent/core/shares/share_open.h"
#include "agent/core/shares/share_policy.h"
#include "agent/log/log.h"
#include "agent/net/http/http_server.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"

namespace ks::net {
namespace {

constexpr char kModule[] = "KestylClient";
// Bounds the wait for the peer's close after a short answer (see LingeringClose).
constexpr int kLingerMs = 1000;
// Part of the names of an upload's temporary file and journal ("kestyl.rename",
// "kestyl.renametmp").
constexpr char kUploadMarker[] = "kestyl.rename";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int SendAll(int sock, const char* data, size_t size, int flags = 0) {
  while (size > 0) {
    ssize_t n = ::send(sock, data, size, MSG_NOSIGNAL | flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Reads and drops request lines up to the empty line that ends the head.
void DropHead(HttpConnection& conn) {
  char line[kHttpLineSize];
  line[0] = 'x';
  line[1] = '\0';
  while (!conn.Failed() && std::strcmp(line, "\n") != 0) {
    if (ReadHttpLine(conn, line) <= 0) break;
  }
}

// Files Windows marks executable by their name; such names are never served.
bool HasExecutableExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = path.substr(dot + 1);
  for (const char* e : {"exe", "cmd", "bat", "com"})
    if (::strcasecmp(ext.c_str(), e) == 0) return true;
  return false;
}

// After a short answer the peer may still be sending (a PUT's body, the rest of a head we
// did not read): closing with unread data would reset the connection and could destroy the
// answer before the peer reads it. So: end our side, read what still comes for a moment,
// then close.
void LingeringClose(int sock) {
  ::shutdown(sock, SHUT_WR);
  int64_t until = NowMs() + kLingerMs;
  char scrap[4096];
  size_t dropped = 0;
  while (dropped < kMaxHeadBytes) {
    int64_t left = until - NowMs();
    if (left <= 0) break;
    pollfd p{sock, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::recv(sock, scrap, sizeof scrap, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
  ::close(sock);
}

// The share folders as last read from the database, with their real (symlink-resolved)
// locations. Reading them costs three queries under the database's one mutex and a
// realpath per folder; at thousands of requests a second every request would queue there,
// so they are read again at most every kShareViewMs. A request then costs no realpath:
// the share opener walks the path beneath the root it lies in, which is what decides. The
// view holds each root's folder open, so that walk does not open the root by name each time
// (a root moved away serves from the folder it names now once the view is read again).
struct ShareView {
  DefShareInfo defaults;
  std::vector<ks::shares::ResolvedRoot> roots;  // ks_share paths and default folders that exist
  int64_t readAtMs = 0;
  ShareView() = default;
  ShareView(const ShareView&) = delete;
  ShareView& operator=(const ShareView&) = delete;
  ~ShareView() { ks::shares::CloseHeldRoots(&roots); }
};
constexpr int64_t kShareViewMs = 1000;
std::mutex g_shareViewMutex;
std::shared_ptr<const ShareView> g_shareView;

std::shared_ptr<const ShareView> CurrentShares() {
  int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(g_shareViewMutex);
  if (!g_shareView || now - g_shareView->readAtMs >= kShareViewMs) {
    auto view = std::make_shared<ShareView>();
    std::vector<std::string> roots;
    // A read that failed (the database busy or damaged for a moment) must not stand for a
    // second as "nothing is shared": the last good view serves until a read succeeds.
    if ((ParseDefaultDir(view->defaults) != 0 || ParseShareInfo(roots) != 0) && g_shareView) return g_shareView;
    const DefShareInfo& d = view->defaults;
    // An unset default folder is an empty text: ResolveRoots leaves it out, so it never
    // matches every path.
    for (const std::string* f : {&d.def, &d.def_pic, &d.def_music, &d.def_video, &d.def_doc, &d.def_instant})
      roots.push_back(*f);
    view->roots = ks::shares::ResolveRoots(roots);
    ks::shares::HoldRoots(&view->roots);
    view->readAtMs = now;
    g_shareView = view;
  }
  return g_shareView;
}

// The text test of a requested file: a normalised absolute path with no ".." element,
// other than "/" itself, below a share root. Whether what it names really lies inside
// that share is decided when it is opened.
bool PlausibleFilePath(const std::string& path, const ShareView& shares, std::string* local) {
  std::string norm;
  if (!NormalizeSharePath(path, norm) || norm.empty() || norm == "/" || norm[0] != '/') return false;
  if (!ks::shares::UnderResolvedRoots(norm, shares.roots)) return false;
  *local = std::move(norm);
  return true;
}

// The answer is out (or cannot be sent): the last close of the descriptor ends the
// connection with a FIN after what was queued.
void CloseConnection(int sock) { ::close(sock); }

}  // namespace

void ForgetHttpShareView() {
  std::shared_ptr<const ShareView> old;  // its folders are closed outside the lock
  std::lock_guard<std::mutex> lock(g_shareViewMutex);
  old.swap(g_shareView);
}

void ReleaseStaleHttpShareView() {
  std::shared_ptr<const ShareView> old;
  std::lock_guard<std::mutex> lock(g_shareViewMutex);
  if (g_shareView && NowMs() - g_shareView->readAtMs >= kShareViewMs) old.swap(g_shareView);
}

HttpConnection::HttpConnection(int sock, int timeoutMs)
    : sock_(sock), timeoutMs_(timeoutMs), deadlineMs_(NowMs() + timeoutMs) {}

HttpConnection::HttpConnection(int sock, std::string head)
    : sock_(sock), timeoutMs_(0), deadlineMs_(0), buffered_(true), head_(std::move(head)) {}

void HttpConnection::ArmSendTimeout() {
  if (pendingSendTimeoutMs_ <= 0) return;
  timeval send{pendingSendTimeoutMs_ / 1000, (pendingSendTimeoutMs_ % 1000) * 1000};
  ::setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
  pendingSendTimeoutMs_ = 0;
}

bool HttpConnection::Fill() {
  if (failed_) return false;
  if (buffered_) {
    size_t n = std::min(sizeof buf_, head_.size() - headPos_);
    if (n == 0 || total_ >= kMaxHeadBytes) {
      failed_ = true;
      return false;
    }
    std::memcpy(buf_, head_.data() + headPos_, n);
    headPos_ += n;
    pos_ = 0;
    len_ = n;
    total_ += n;
    return true;
  }
  if (total_ >= kMaxHeadBytes) {
    failed_ = true;
    return false;
  }
  while (true) {
    // A peer that trickles its head a byte at a time must not hold the job for ever.
    int64_t left = deadlineMs_ - NowMs();
    if (left <= 0) break;
    pollfd p{sock_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, timeoutMs_)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    size_t room = std::min(sizeof buf_, kMaxHeadBytes - total_);
    ssize_t n = ::recv(sock_, buf_, room, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    total_ += len_;
    return true;
  }
  failed_ = true;
  return false;
}

bool HttpConnection::Next(char& c) {
  if (pos_ == len_ && !Fill()) return false;
  c = buf_[pos_++];
  return true;
}

bool HttpConnection::Peek(char& c) {
  if (pos_ == len_ && !Fill()) return false;
  c = buf_[pos_];
  return true;
}

int ReadHttpLine(HttpConnection& conn, char* line) {
  int i = 0;
  char c = '\0';
  while (i < kHttpLineSize - 1 && c != '\n') {
    if (conn.Next(c)) {
      if (c == '\r') {
        char next;
        if (conn.Peek(next) && next == '\n') conn.Next(next);
        c = '\n';
      }
    } else {
      c = '\n';
    }
    line[i++] = c;
  }
  line[i] = '\0';
  return i;
}

size_t HttpHeadScanner::Feed(const char* data, size_t size) {
  size_t i = 0;
  for (; i < size && !done_; ++i) {
    char c = data[i];
    if (afterCr_) {
      afterCr_ = false;
      if (c == '\n') continue;  // the LF of a CR LF
    }
    if (lineLength_ == kHttpLineSize - 1) {
      EndLine(false);  // a full piece ends the line before this byte
      if (done_) break;
    }
    if (c == '\r' || c == '\n') {
      afterCr_ = c == '\r';
      EndLine(true);
    } else {
      if (!firstDone_) first_ += c;
      ++lineLength_;
    }
  }
  return i;
}

void HttpHeadScanner::EndLine(bool newline) {
  if (!firstDone_) {
    firstDone_ = true;
    HttpRequestLine r = ParseHttpRequestLine(first_.data(), first_.size());
    if (::strcasecmp(r.method.c_str(), "GET") != 0 && ::strcasecmp(r.method.c_str(), "POST") != 0)
      done_ = true;  // answered 501 after the first line
    first_.clear();
  } else if (newline && lineLength_ == 0) {
    done_ = true;
  }
  lineLength_ = 0;
}

std::string UrlDecode(const std::string& text) {
  auto hex = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '+') {
      out += ' ';
    } else if (ch == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (ch == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += ch;
    }
  }
  return out;
}

HttpRequestLine ParseHttpRequestLine(const char* line, size_t length) {
  HttpRequestLine r;
  size_t i = 0;
  while (i < length && line[i] != '\0' && !IsBlank(line[i]) && r.method.size() < kMaxMethodLength)
    r.method += line[i++];
  while (i < length && IsBlank(line[i])) ++i;
  size_t start = i;
  while (i < length && line[i] != '\0' && !IsBlank(line[i])) ++i;
  if (i - start > kMaxUrlLength) {
    r.urlTooLong = true;
  } else {
    r.url.assign(line + start, i - start);
  }
  return r;
}

int SendOkHeaders(int sock, int64_t size) {
  char head[sizeof kOkHeadFormat + 24];
  int n = std::snprintf(head, sizeof head, kOkHeadFormat, static_cast<long long>(size));
  return SendAll(sock, head, static_cast<size_t>(n), size > 0 ? MSG_MORE : 0);
}

namespace {

// Set while a PipeSignalBlock on this thread holds SIGPIPE blocked.
thread_local bool t_pipeBlocked = false;

// Takes SIGPIPEs raised on this thread (or pending for the process) while it was blocked.
void SwallowPipeSignals() {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pending;
  while (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
    timespec zero{0, 0};
    if (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno != EINTR) break;
  }
}

}  // namespace

PipeSignalBlock::PipeSignalBlock() {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSet, &old_);
  outer_ = t_pipeBlocked;
  t_pipeBlocked = true;
}

PipeSignalBlock::~PipeSignalBlock() {
  t_pipeBlocked = outer_;
  if (outer_) return;
  if (!sigismember(&old_, SIGPIPE)) SwallowPipeSignals();
  ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

int64_t SendFileBody(int fileFd, int sock, int64_t size) {
  // sendfile has no MSG_NOSIGNAL: a peer that left must not kill the process, whatever
  // the process does with SIGPIPE. It is blocked on this thread meanwhile (unless a
  // PipeSignalBlock does so already) and the one raised here is swallowed.
  std::optional<PipeSignalBlock> block;
  if (!t_pipeBlocked) block.emplace();
  off_t offset = 0;
  while (offset < size) {
    size_t piece = static_cast<size_t>(std::min<int64_t>(size - offset, 1 << 30));
    ssize_t n = ::sendfile(sock, fileFd, &offset, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // send failed or timed out, or the file shrank
  }
  return offset;
}

int SendNotFound(int sock) { return SendAll(sock, kNotFoundAnswer, sizeof kNotFoundAnswer - 1); }

int SendNotImplemented(int sock) {
  return SendAll(sock, kNotImplementedAnswer, sizeof kNotImplementedAnswer - 1);
}

namespace {

// Bodies up to this size go out with their head in one send when the socket's send
// time-out is still pending (HttpConnection::SetPendingSendTimeout).
constexpr int64_t kOneSendBody = 16 * 1024;

// Head and body of a small file in one send that does not wait; what the socket does not
// take at once is sent after the time-out is armed. A file found shorter than `size` sends
// what it has, as SendFileBody does.
void ServeSmallFile(HttpConnection& conn, int fileFd, int64_t size) {
  char answer[sizeof kOkHeadFormat + 24 + kOneSendBody];
  int head = std::snprintf(answer, sizeof answer, kOkHeadFormat, static_cast<long long>(size));
  size_t total = static_cast<size_t>(head);
  while (total < static_cast<size_t>(head) + static_cast<size_t>(size)) {
    ssize_t got = ::pread(fileFd, answer + total, static_cast<size_t>(head) + static_cast<size_t>(size) - total,
                          static_cast<off_t>(total - static_cast<size_t>(head)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  ssize_t sent;
  do {
    sent = ::send(conn.Socket(), answer, total, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
  const size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
  if (done == total) return;
  conn.ArmSendTimeout();
  SendAll(conn.Socket(), answer + done, total - done);
}

// ServeFile for a regular file whose size is known already.
void ServeRegularFile(HttpConnection& conn, int fileFd, int64_t size) {
  DropHead(conn);
  if (conn.SendTimeoutPending() && size <= kOneSendBody) {
    ServeSmallFile(conn, fileFd, size);
  } else {
    conn.ArmSendTimeout();
    if (SendOkHeaders(conn.Socket(), size) == 0 && size > 0) SendFileBody(fileFd, conn.Socket(), size);
  }
  ::close(fileFd);
}

}  // namespace

void ServeFile(HttpConnection& conn, int fileFd) {
  struct stat st {};
  if (fileFd < 0 || ::fstat(fileFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    DropHead(conn);
    if (fileFd >= 0) ::close(fileFd);
    conn.ArmSendTimeout();
    SendNotFound(conn.Socket());
    return;
  }
  ServeRegularFile(conn, fileFd, static_cast<int64_t>(st.st_size));
}

void accept_request(int sock, int timeoutMs) {
  OS_SockSetTimeouts(sock, timeoutMs, timeoutMs);
  HttpConnection conn(sock, timeoutMs);
  AnswerRequest(conn, nullptr, nullptr);
}

void AnswerRequest(HttpConnection& conn, void (*linger)(int sock, void* arg), void* arg) {
  const int sock = conn.Socket();
  auto lingerAndClose = [&] {
    if (linger) {
      linger(sock, arg);
    } else {
      LingeringClose(sock);
    }
  };
  char line[kHttpLineSize];
  int length = ReadHttpLine(conn, line);
  HttpRequestLine req = ParseHttpRequestLine(line, static_cast<size_t>(length));

  bool isGet = ::strcasecmp(req.method.c_str(), "GET") == 0;
  bool isPost = ::strcasecmp(req.method.c_str(), "POST") == 0;
  if (!isGet && !isPost) {
    conn.ArmSendTimeout();
    SendNotImplemented(sock);
    lingerAndClose();
    return;
  }
  bool servable = isGet;
  std::string url = req.url;
  if (isGet) {
    size_t query = url.find('?');
    if (query != std::string::npos) {
      url.resize(query);
      servable = false;
    }
  }
  url = UrlDecode(url);
  std::string encoding = ks::state::TextEncoding();
  if (!encoding.empty() && encoding != "en")
    url = ConvertCode("utf-8", (encoding + "//IGNORE").c_str(), url);

  std::shared_ptr<const ShareView> shares = CurrentShares();
  std::string path = url.empty() ? std::string() : GetRealPath(url.substr(1), shares->defaults);
  KS_LOG_INFO(kModule, "http request GET %s", path.c_str());
  if (!path.empty() && path.back() == '/') path += "index.html";

  // Only what lies inside a share is ever looked at; everything else is "not found". So are
  // the upload's own files, which no listing shows.
  std::string local;
  bool inside = !req.urlTooLong && !path.empty() && path.find('\0') == std::string::npos &&
                url.find(kUploadMarker) == std::string::npos &&
                PlausibleFilePath(path, *shares, &local);
  // What is answered is what the share opener opened, judged by its descriptor: the path
  // may have been swapped for a link to elsewhere since it was checked. O_NONBLOCK: a FIFO
  // put in its place must not wait for a writer.
  int fd = -1;
  int openError = inside ? ks::shares::OpenInResolvedRoots(local, shares->roots, O_RDONLY | O_NONBLOCK | O_NOCTTY, &fd)
                         : ENOENT;
  if (openError == EXDEV || openError == ELOOP)
    KS_LOG_WARNING(kModule, "http request %s leads out of its share: refused.", local.c_str());
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
    if (fd >= 0) ::close(fd);
    DropHead(conn);
    conn.ArmSendTimeout();
    SendNotFound(sock);
    lingerAndClose();
    return;
  }
  if (servable && S_ISREG(st.st_mode) && !HasExecutableExtension(local)) {
    ServeRegularFile(conn, fd, static_cast<int64_t>(st.st_size));
  } else {
    ::close(fd);
  }
  CloseConnection(sock);
}

}  // namespace ks::net
