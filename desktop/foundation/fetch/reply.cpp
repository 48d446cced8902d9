#include "desktop/foundation/fetch/reply.h"

#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace ks::desktop::fetch {

namespace {

constexpr size_t kReadPiece = 16 * 1024;
constexpr size_t kMaxChunkLine = 1024;
constexpr size_t kRawRetryKeep = 1024;  // earlier input kept for a raw-deflate retry

bool IsTokenChar(unsigned char c) {
  return std::isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

std::string Trim(std::string_view s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string_view::npos) return {};
  size_t b = s.find_last_not_of(" \t");
  return std::string(s.substr(a, b - a + 1));
}

// The comma-separated items of a header value, trimmed, in lower case, empty ones dropped.
std::vector<std::string> Items(const std::string& value) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = Trim(std::string_view(value).substr(start, comma - start));
    for (char& c : item) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!item.empty()) out.push_back(item);
    start = comma + 1;
  }
  return out;
}

// Buffered reading over the source.
class Reader {
 public:
  explicit Reader(ByteSource& source) : source_(source) {}

  // One line ending in LF (CR LF or LF alone), without its end. A line longer than
  // `limit` with its end, a stream ending first, a NUL or a lone CR: kProtocolError.
  // `used` grows by the line's bytes.
  Code ReadLine(size_t limit, std::string& line, size_t& used) {
    for (;;) {
      size_t nl = buf_.find('\n', pos_);
      if (nl != std::string::npos) {
        size_t len = nl - pos_ + 1;
        used += len;
        if (len > limit || used > limit) return Code::kProtocolError;
        line.assign(buf_, pos_, nl - pos_);
        pos_ = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos || line.find('\r') != std::string::npos) return Code::kProtocolError;
        return Code::kOk;
      }
      if (buf_.size() - pos_ + used > limit) return Code::kProtocolError;
      bool end = false;
      Code c = Fill(end);
      if (c != Code::kOk) return c;
      if (end) return Code::kProtocolError;
    }
  }

  // Up to `max` bytes that are next in the stream (data/size), reading when none are
  // buffered; size 0 at the end of the stream.
  Code Next(size_t max, const char*& data, size_t& size) {
    if (pos_ == buf_.size()) {
      bool end = false;
      Code c = Fill(end);
      if (c != Code::kOk) return c;
    }
    data = buf_.data() + pos_;
    size = std::min(max, buf_.size() - pos_);
    pos_ += size;
    return Code::kOk;
  }

 private:
  Code Fill(bool& end) {
    if (pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    }
    size_t old = buf_.size();
    buf_.resize(old + kReadPiece);
    size_t got = 0;
    Code c = source_.Read(buf_.data() + old, kReadPiece, got);
    buf_.resize(old + (c == Code::kOk ? std::min(got, kReadPiece) : 0));
    end = c == Code::kOk && got == 0;
    return c;
  }

  ByteSource& source_;
  std::string buf_;
  size_t pos_ = 0;
};

// One gzip / deflate layer. Both start as zlib's automatic choice between the gzip and the
// zlib wrapper; a deflate body whose zlib header is wrong is read again as raw deflate.
class Inflater {
 public:
  explicit Inflater(bool deflate) : deflate_(deflate) { ready_ = inflateInit2(&z_, 15 + 32) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  using Out = std::function<Code(const char*, size_t)>;

  Code Feed(const char* data, size_t size, const Out& out) {
    if (!ready_) return Code::kOther;
    if (ended_ || size == 0) return Code::kOk;  // bytes after the stream's end are ignored
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_.avail_in = static_cast<uInt>(size);
    char piece[kReadPiece];
    for (;;) {
      z_.next_out = reinterpret_cast<Bytef*>(piece);
      z_.avail_out = sizeof piece;
      int rc = inflate(&z_, Z_NO_FLUSH);
      size_t made = sizeof piece - z_.avail_out;
      if (made > 0) {
        keep_ = false;
        kept_.clear();
        Code c = out(piece, made);
        if (c != Code::kOk) return c;
      }
      if (rc == Z_STREAM_END) {
        ended_ = true;
        return Code::kOk;
      }
      if (rc == Z_DATA_ERROR && deflate_ && !raw_ && keep_) return RetryRaw(data, size, out);
      if (rc != Z_OK && rc != Z_BUF_ERROR) return Code::kProtocolError;
      if (made < sizeof piece && (z_.avail_in == 0 || rc == Z_BUF_ERROR)) break;
    }
    // Nothing decoded yet: the stream's first bytes are kept for a raw retry.
    if (keep_) {
      if (kept_.size() + size <= kRawRetryKeep) {
        kept_.append(data, size);
      } else {
        keep_ = false;
        kept_.clear();
      }
    }
    return Code::kOk;
  }

 private:
  // The stream so far (the kept bytes and this piece) again, as raw deflate.
  Code RetryRaw(const char* data, size_t size, const Out& out) {
    raw_ = true;
    keep_ = false;
    inflateEnd(&z_);
    z_ = z_stream{};
    ready_ = inflateInit2(&z_, -15) == Z_OK;
    std::string again = std::move(kept_);
    kept_.clear();
    again.append(data, size);
    return Feed(again.data(), again.size(), out);
  }

  z_stream z_{};
  bool ready_ = false;
  bool deflate_;
  bool raw_ = false;
  bool ended_ = false;
  bool keep_ = true;
  std::string kept_;
};

// The body's way to the caller: the content codings (the last applied undone first), then
// the cap, then the sink.
class BodyPath {
 public:
  BodyPath(uint64_t max_bytes, const std::function<bool(const char*, size_t)>& sink)
      : max_(max_bytes), sink_(sink) {}

  Code SetCodings(const std::vector<std::string>& codings) {
    for (const std::string& c : codings) {
      if (c == "identity") continue;
      if (c != "gzip" && c != "x-gzip" && c != "deflate") return Code::kProtocolError;
      if (layers_.size() == kMaxEncodings) return Code::kProtocolError;
      layers_.push_back(std::make_unique<Inflater>(c == "deflate"));
    }
    return Code::kOk;
  }

  Code Put(const char* data, size_t size) { return Pass(layers_.size(), data, size); }

 private:
  Code Pass(size_t level, const char* data, size_t size) {
    if (level == 0) {
      delivered_ += size;
      if (max_ && delivered_ > max_) return Code::kTooLarge;
      if (sink_ && size && !sink_(data, size)) return Code::kWriteError;
      return Code::kOk;
    }
    return layers_[level - 1]->Feed(data, size, [&](const char* d, size_t n) { return Pass(level - 1, d, n); });
  }

  uint64_t max_;
  const std::function<bool(const char*, size_t)>& sink_;
  std::vector<std::unique_ptr<Inflater>> layers_;
  uint64_t delivered_ = 0;
};

Code ParseStatusLine(const std::string& line, int& status) {
  // HTTP/1.x SP 3DIGIT [SP reason]
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !std::isdigit(static_cast<unsigned char>(line[7])) ||
      line[8] != ' ')
    return Code::kProtocolError;
  for (size_t i = 9; i < 12; ++i)
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return Code::kProtocolError;
  if (line.size() > 12 && line[12] != ' ') return Code::kProtocolError;
  status = std::stoi(line.substr(9, 3));
  return status >= 100 ? Code::kOk : Code::kProtocolError;
}

Code ParseHeaderLine(const std::string& line, ReplyHead& head) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos) return Code::kProtocolError;  // also a folded line
  for (size_t i = 0; i < colon; ++i)
    if (!IsTokenChar(static_cast<unsigned char>(line[i]))) return Code::kProtocolError;
  head.headers.emplace_back(line.substr(0, colon), Trim(std::string_view(line).substr(colon + 1)));
  return Code::kOk;
}

// A decimal length; false when it is not one.
bool ParseLength(const std::string& s, uint64_t& n) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  n = std::stoull(s);
  return true;
}

Code ReadHead(Reader& reader, ReplyHead& head, size_t& used) {
  head = ReplyHead{};
  std::string line;
  Code c = reader.ReadLine(kMaxHead, line, used);
  if (c != Code::kOk) return c;
  if ((c = ParseStatusLine(line, head.status)) != Code::kOk) {
    head.status = 0;
    return c;
  }
  for (;;) {
    if ((c = reader.ReadLine(kMaxHead, line, used)) != Code::kOk) return c;
    if (line.empty()) return Code::kOk;
    if ((c = ParseHeaderLine(line, head)) != Code::kOk) return c;
  }
}

Code ReadChunked(Reader& reader, BodyPath& body) {
  std::string line;
  for (;;) {
    size_t used = 0;
    Code c = reader.ReadLine(kMaxChunkLine, line, used);
    if (c != Code::kOk) return c;
    size_t digits = 0;
    uint64_t size = 0;
    while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
      if (digits == 15) return Code::kProtocolError;  // past 2^60: no real chunk
      char h = line[digits++];
      size = size * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    if (digits == 0) return Code::kProtocolError;
    std::string_view ext = std::string_view(line).substr(digits);
    size_t e = ext.find_first_not_of(" \t");
    if (e != std::string_view::npos && ext[e] != ';') return Code::kProtocolError;
    if (size == 0) break;
    while (size > 0) {
      const char* data = nullptr;
      size_t got = 0;
      if ((c = reader.Next(static_cast<size_t>(std::min<uint64_t>(size, kReadPiece)), data, got)) != Code::kOk) return c;
      if (got == 0) return Code::kProtocolError;
      size -= got;
      if ((c = body.Put(data, got)) != Code::kOk) return c;
    }
    used = 0;
    if ((c = reader.ReadLine(kMaxChunkLine, line, used)) != Code::kOk) return c;
    if (!line.empty()) return Code::kProtocolError;
  }
  // Trailers up to the empty line, dropped.
  size_t used = 0;
  for (;;) {
    Code c = reader.ReadLine(kMaxHead, line, used);
    if (c != Code::kOk) return c;
    if (line.empty()) return Code::kOk;
    ReplyHead ignored;
    if ((c = ParseHeaderLine(line, ignored)) != Code::kOk) return c;
  }
}

// `length` bytes, or (length < 0) everything up to the end of the stream.
Code ReadPlain(Reader& reader, BodyPath& body, int64_t length) {
  uint64_t left = length < 0 ? UINT64_MAX : static_cast<uint64_t>(length);
  while (left > 0) {
    const char* data = nullptr;
    size_t got = 0;
    Code c = reader.Next(static_cast<size_t>(std::min<uint64_t>(left, kReadPiece)), data, got);
    if (c != Code::kOk) return c;
    if (got == 0) return length < 0 ? Code::kOk : Code::kProtocolError;
    if (length >= 0) left -= got;
    if ((c = body.Put(data, got)) != Code::kOk) return c;
  }
  return Code::kOk;
}

}  // namespace

const std::string* ReplyHead::Find(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return &v;
  return nullptr;
}

Code ReadReply(ByteSource& source, const ReplyRules& rules, const std::function<bool(const ReplyHead&)>& on_head,
               const std::function<bool(const char*, size_t)>& sink, ReplyHead& head) {
  Reader reader(source);
  size_t used = 0;
  do {
    Code c = ReadHead(reader, head, used);
    if (c != Code::kOk) return c;
  } while (head.status < 200);

  // Framing: chunked, else Content-Length (all copies equal), else up to the close.
  bool chunked = false;
  int64_t length = -1;
  for (const auto& [name, value] : head.headers) {
    if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
      for (const std::string& t : Items(value))
        if (t == "chunked") chunked = true;
      length = -2;  // a transfer coding overrides any length
    } else if (strcasecmp(name.c_str(), "Content-Length") == 0 && length != -2) {
      uint64_t n = 0;
      if (!ParseLength(value, n) || n > static_cast<uint64_t>(INT64_MAX)) return Code::kProtocolError;
      if (length >= 0 && static_cast<uint64_t>(length) != n) return Code::kProtocolError;
      length = static_cast<int64_t>(n);
    }
  }
  if (length == -2) length = -1;
  if (!on_head(head)) return Code::kOk;
  if (rules.head_request || head.status == 204 || head.status == 304) return Code::kOk;
  if (!chunked && length >= 0 && rules.max_bytes && static_cast<uint64_t>(length) > rules.max_bytes)
    return Code::kTooLarge;

  BodyPath body(rules.max_bytes, sink);
  if (rules.decode) {
    std::vector<std::string> codings;
    for (const auto& [name, value] : head.headers)
      if (strcasecmp(name.c_str(), "Content-Encoding") == 0)
        for (std::string& item : Items(value)) codings.push_back(std::move(item));
    Code c = body.SetCodings(codings);
    if (c != Code::kOk) return c;
  }
  return chunked ? ReadChunked(reader, body) : ReadPlain(reader, body, length);
}

}  // namespace ks::desktop::fetch
