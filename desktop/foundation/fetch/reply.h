// The reply side of the module's own HTTP/1.1 transport, over any byte source (a socket,
// or bytes in memory for the fuzz target): status line, head, framing and content coding as
// fetch.h describes them.
//
// ReadReply reads heads until one is not 1xx, hands it to on_head, and, when that wants the
// body, reads the body by its framing, decodes it (rules.decode) and passes it to sink in
// order. Limits: the heads (skipped 1xx ones and the final one, status lines included)
// together at most kMaxHead bytes, the chunked trailers as much again, a chunk-size line at
// most 1 KiB, at most kMaxEncodings content codings. rules.max_bytes caps the bytes given to sink; a
// Content-Length above it is refused before the body is read (kTooLarge).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop/foundation/fetch/fetch.h"

namespace ks::desktop::fetch {

inline constexpr size_t kMaxHead = 64 * 1024;
inline constexpr size_t kMaxEncodings = 5;

// A stream of reply bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `cap` (> 0) bytes into buf: kOk with got > 0; kOk with got == 0 at the end of the
  // stream; any other code ends the reply with that code.
  virtual Code Read(char* buf, size_t cap, size_t& got) = 0;
};

struct ReplyHead {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  // The first value of that header (any letter case); nullptr when absent.
  const std::string* Find(std::string_view name) const;
};

struct ReplyRules {
  bool head_request = false;  // a HEAD request: no body whatever the head says
  bool decode = false;        // decode gzip / deflate content codings
  uint64_t max_bytes = 0;     // 0: no cap
};

// on_head: true = read and deliver the body, false = stop after the head (kOk).
// sink: false = stop with kWriteError. `head` receives the final head as far as it was
// read (status 0 when no status line came).
Code ReadReply(ByteSource& source, const ReplyRules& rules, const std::function<bool(const ReplyHead&)>& on_head,
               const std::function<bool(const char*, size_t)>& sink, ReplyHead& head);

}  // namespace ks::desktop::fetch
