// The agent's HTTP file server: hands out files of the shares by GET so that a mobile
// client (or its media player) can stream one with an ordinary HTTP request. One answer
// per connection, then the connection is closed.
//
// What peers see:
//   request   "GET /<share path> HTTP/1.1": the share path is UTF-8, percent-encoded and
//             begins with a virtual share name ("/$DEFAULT$/a%20b.mp3") or is the local
//             path of a shared folder. Methods GET and POST, compared ignoring case.
//   200       kOkHeadFormat (note the two blanks after "Content-Length:"), then exactly
//             that many bytes of the file.
//   404       kNotFoundAnswer: missing path, path outside every share (".." elements,
//             symlinks leading out, sibling folders), anything but a regular file (FIFOs
//             are never opened), a URL longer than 254 characters, a folder whose
//             "index.html" is missing (a URL ending in "/").
//   501       kNotImplementedAnswer for any other method; then the connection is closed.
//   nothing   the connection is closed without an answer when an existing path is asked
//             for by POST or with a "?" query, or names a folder (without a final "/"),
//             or a file named *.exe, *.cmd, *.bat or *.com.
//
// Limits: the request line is read up to 1023 characters (the rest is read as header
// lines and dropped); the request head up to kMaxHeadBytes, within headTimeoutMs of the
// accept. The accept loop reads every request head itself, without blocking, so slow or
// silent connections cost no thread; only a complete head (or one cut by the deadline, the
// size limit or the peer's close) is handed to a pool job, at most maxActive at the same
// time; a job that has answered takes the next waiting head, else accepts the next
// connection itself when one waits on the listener and its head came whole with it (one
// whose head is still coming goes to the loop), else waits up to a second for a head
// before it ends, so a busy server neither starts a thread nor hands a connection from
// thread to thread per request. Each send that may wait has the time-out timeoutMs (a small
// file goes out with its head in one send that never waits). At maxConnections the oldest connection that
// is still sending its head (or being closed) is closed to make room for the new one; only
// when all are being answered is the new one closed at once. After a 404 or 501 the job
// hands the connection back to the loop, which reads what the peer still sends for up to a
// second before closing (so the answer is not destroyed by a reset). While the process is
// out of descriptors the loop stops accepting for a moment (doubling up to half a second)
// instead of spinning on the failing accept.
//
// The file answered is the one the share opener (agent/core/shares/share_open.h) opened
// beneath its share root: a path swapped for a link to outside between check and use is
// answered 404 and logged.
//
// Names holding the upload markers ("kestyl.rename", "kestyl.renametmp") are answered as
// missing, as listings hide them.
//
// Settings (ks::settings): KESTYL_HTTP_PORT (15008), KESTYL_HTTP_TIMEOUT_MS (30000),
// KESTYL_HTTP_HEAD_TIMEOUT_MS (10000), KESTYL_HTTP_MAX_CONNECTIONS (256),
// KESTYL_HTTP_MAX_ACTIVE (32). In loopback mode the
// server listens on 127.0.0.1 only. Logs under "KestylClient".
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ks::net {

// Every answer ends its connection, and its head says so ("Connection: close", the one line
// added to the heads as first written): without it an HTTP/1.1 client takes the connection for
// a lasting one, sends its next request into it and meets a reset instead of an answer.
constexpr char kOkHeadFormat[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: KestylHttpServer/0.1.0\r\n"
    "Content-Length:  %lld\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Connection: close\r\n"
    "\r\n";
constexpr char kNotFoundAnswer[] =
    "HTTP/1.1 404 NOT FOUND\r\n"
    "Server: KestylHttpServer/0.1.0\r\n"
    "Content-Type: text/html\r\n"
    "Connection: close\r\n"
    "\r\n"
    "<HTML><TITLE>Not Found</TITLE>\r\n"
    "<BODY><P>The server could not fulfill\r\n"
    "your request because the resource specified\r\n"
    "is unavailable or nonexistent.\r\n"
    "</BODY></HTML>\r\n";
constexpr char kNotImplementedAnswer[] =
    "HTTP/1.1 501 Method Not Implemented\r\n"
    "Server: KestylHttpServer/0.1.0\r\n"
    "Content-Type: text/html\r\n"
    "Connection: close\r\n"
    "\r\n"
    "<HTML><HEAD><TITLE>Method Not Implemented\r\n"
    "</TITLE></HEAD>\r\n"
    "<BODY><P>HTTP request method not supported.\r\n"
    "</BODY></HTML>\r\n";

constexpr int kHttpLineSize = 1024;     // request line buffer: 1023 characters and a NUL
constexpr size_t kMaxMethodLength = 254;
constexpr size_t kMaxUrlLength = 254;
constexpr size_t kMaxHeadBytes = 64 * 1024;
// Larger than the 32 the server was first given: a burst of connections (a media player
// opening several ranges, a page of thumbnails) must not meet a full accept queue, whose
// dropped handshakes cost the clients a one-second retransmission each.
constexpr int kHttpBacklog = 511;

struct HttpServerOptions {
  std::string address;        // "" = every address
  uint16_t port = 15008;      // 0 = any free port (read it back with HttpServer::Port)
  int timeoutMs = 30000;      // each send that may wait
  int headTimeoutMs = 10000;  // from the accept to the end of the request head
  int lingerMs = 1000;        // reading what the peer still sends after a 404 or 501
  int maxConnections = 256;   // accepted and not yet closed
  int maxActive = 32;         // being answered (pool jobs) at once; below the pool's 50
                              // parked workers, so answering never churns threads

  // The values of the settings named above.
  static HttpServerOptions FromSettings();
};

// One request's connection: the accepted socket and a small read buffer. Reading stops
// for good at the first receive error, the peer's close, the head deadline (timeoutMs
// from the start) or kMaxHeadBytes; Failed() then tells. Made from a head the accept loop
// has read already, it reads that text only and never the socket.
class HttpConnection {
 public:
  HttpConnection(int sock, int timeoutMs);
  HttpConnection(int sock, std::string head);
  int Socket() const { return sock_; }
  bool Failed() const { return failed_; }
  // The next byte; false when none can be read (see above).
  bool Next(char& c);
  // The next byte without consuming it.
  bool Peek(char& c);
  // A send time-out the socket gets only before the first send that may have to wait (a
  // job that took the connection with its head read sets it: a small answer then goes out in
  // one send that never waits, and the socket option is never set). ArmSendTimeout sets it
  // on the socket now, once; it does nothing when none is pending.
  void SetPendingSendTimeout(int ms) { pendingSendTimeoutMs_ = ms; }
  bool SendTimeoutPending() const { return pendingSendTimeoutMs_ > 0; }
  void ArmSendTimeout();

 private:
  bool Fill();

  int sock_;
  int timeoutMs_;
  int64_t deadlineMs_;
  bool buffered_ = false;
  std::string head_;
  size_t headPos_ = 0;
  bool failed_ = false;
  int pendingSendTimeoutMs_ = 0;
  size_t pos_ = 0;
  size_t len_ = 0;
  size_t total_ = 0;
  char buf_[2048];
};

// One request line into `line` (kHttpLineSize bytes): at most 1023 characters. CR LF, a
// lone CR and LF all end the line as "\n"; so does a failed read. The "\n" (when it fits)
// and a NUL are stored; the result is the number of characters stored.
int ReadHttpLine(HttpConnection& conn, char* line);

// Tells, byte by byte, when a request head read by ReadHttpLine is complete: the first
// line when its method is neither GET nor POST (nothing more is read then), otherwise the
// first empty line after it. It splits lines exactly as ReadHttpLine does (CR LF, lone CR
// and LF, and 1023-character pieces), so the job that parses the head never needs a byte
// the loop did not wait for.
class HttpHeadScanner {
 public:
  // Consumes bytes up to the end of the head; the number consumed.
  size_t Feed(const char* data, size_t size);
  bool Done() const { return done_; }

 private:
  void EndLine(bool newline);

  std::string first_;
  bool firstDone_ = false;
  bool afterCr_ = false;
  bool done_ = false;
  size_t lineLength_ = 0;
};

// "%%" -> "%", "%" and two hex digits -> that byte, "%" before anything else stays "%",
// "+" -> blank; every other character is copied.
std::string UrlDecode(const std::string& text);

// The parts of a request line the server uses.
struct HttpRequestLine {
  std::string method;       // up to the first white space, at most 254 characters
  std::string url;          // the next word, query and all (empty when too long)
  bool urlTooLong = false;  // the word had more than 254 characters
};
HttpRequestLine ParseHttpRequestLine(const char* line, size_t length);

// Reads one request from the accepted socket, answers it and closes the socket. Sets the
// socket's receive and send time-outs to timeoutMs first.
void accept_request(int sock, int timeoutMs);
// Answers the request read from `conn` and gives its socket up: closed, or after a 404 or
// 501 handed to `linger` (which must close it; null = close after a lingering read here).
void AnswerRequest(HttpConnection& conn, void (*linger)(int sock, void* arg), void* arg);
// Drops the rest of the request head, then answers with the open file (200) or, when it
// is no regular file, 404. Closes the file.
void ServeFile(HttpConnection& conn, int fileFd);
// The 200 head for a body of `size` bytes, in one send (MSG_MORE when a body follows).
// 0, or -1 when the send failed.
int SendOkHeaders(int sock, int64_t size);
// Exactly `size` bytes of the open file from its start; stops at the first failed send
// (or when the file turns out shorter). The number of bytes sent.
int64_t SendFileBody(int fileFd, int sock, int64_t size);
// Blocks SIGPIPE on this thread for its life, for a thread that answers many requests:
// SendFileBody then leaves the signal mask alone. At the end the SIGPIPEs raised meanwhile
// are swallowed (unless the signal was blocked before) and the mask is restored.
class PipeSignalBlock {
 public:
  PipeSignalBlock();
  ~PipeSignalBlock();
  PipeSignalBlock(const PipeSignalBlock&) = delete;
  PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;

 private:
  sigset_t old_;
  bool outer_ = false;
};
int SendNotFound(int sock);
int SendNotImplemented(int sock);

// Drops the share folders read last: the next request reads them again.
void ForgetHttpShareView();
// The same once they are older than a view lives (a second): the folders it holds open are
// then closed even when no request comes, so a shared folder's file system can be unmounted.
// The accept loop calls it at every round.
void ReleaseStaleHttpShareView();

// A TCP socket listening on address:*port (backlog kHttpBacklog, close-on-exec, non-blocking);
// *port receives the bound port (useful with 0). The socket, or -1 (logs
// "httpServer binding on port %d error......").
int startup(uint16_t* port, const std::string& address = std::string());

// The accept loop. Open, then Run on one thread until Stop or the agent's stop flag.
class HttpServer {
 public:
  explicit HttpServer(HttpServerOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // 0, or -1 when the port cannot be bound.
  int Open();
  uint16_t Port() const { return port_; }
  // Accepts until Stop or the stop flag (seen within 200 ms); then closes the listening
  // socket and every connection still waiting for its request. Jobs under way finish on
  // their own.
  void Run();
  void Stop();
  // Connections being answered now.
  int ActiveCount() const;
  // Times accept ran out of descriptors and the loop paused accepting.
  int AcceptPauses() const;

 private:
  struct Shared;
  HttpServerOptions options_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::shared_ptr<Shared> shared_;
};

// Pool job: the server on the settings' port until the stop flag. Logs
// "httpServer running on port %d" once listening.
void StartHttpServer(void* arg = nullptr);
// The same, returning 0 when the loop ended, or -1 when the port could not be bound.
int RunHttpServer(const HttpServerOptions& options);

}  // namespace ks::net
