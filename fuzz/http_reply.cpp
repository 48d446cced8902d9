// The reply side of the transfer module's own HTTP transport: the input is everything a
// server sends, handed over in pieces whose sizes the first byte picks. Status line, head,
// 1xx replies, framing (chunked, length, close) and the gzip / deflate decoding are
// reached. The body delivered never passes the cap, and a plain Content-Length body that
// succeeds is exactly that long.
#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "desktop/foundation/fetch/reply.h"

namespace {

namespace fetch = ks::desktop::fetch;

class Pieces : public fetch::ByteSource {
 public:
  Pieces(const uint8_t* data, size_t size, size_t piece) : data_(data), size_(size), piece_(piece) {}
  fetch::Code Read(char* buf, size_t cap, size_t& got) override {
    got = std::min({cap, piece_, size_ - pos_});
    std::memcpy(buf, data_ + pos_, got);
    pos_ += got;
    return fetch::Code::kOk;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  static const size_t kPieces[] = {1, 2, 3, 7, 64, 1000, 16384, 1 << 20};
  Pieces source(data + 1, size - 1, kPieces[mode & 7]);
  fetch::ReplyRules rules;
  rules.decode = (mode & 8) != 0;
  rules.head_request = (mode & 16) != 0;
  rules.max_bytes = (mode & 32) ? 100 : 1 << 20;
  const bool skip_redirects = (mode & 64) != 0;
  uint64_t delivered = 0;
  fetch::ReplyHead head;
  fetch::Code code = fetch::ReadReply(
      source, rules, [&](const fetch::ReplyHead& h) { return !(skip_redirects && h.status / 100 == 3); },
      [&](const char*, size_t n) {
        delivered += n;
        return true;
      },
      head);
  if (delivered > rules.max_bytes) std::abort();
  if (code != fetch::Code::kOk || head.status == 0 || rules.head_request || head.status == 204 ||
      head.status == 304 || (skip_redirects && head.status / 100 == 3))
    return 0;
  if (head.Find("Transfer-Encoding") || (rules.decode && head.Find("Content-Encoding"))) return 0;
  if (const std::string* length = head.Find("Content-Length")) {
    if (std::strtoull(length->c_str(), nullptr, 10) != delivered) std::abort();
  }
  return 0;
}
