#include "tests/fakes/md5.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace ks::fake {

namespace {

// Per-round shift amounts and sine-derived constants (RFC 1321, section 3.4).
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

struct SineTable {
  uint32_t k[64];
  SineTable() {
    for (int i = 0; i < 64; ++i)
      k[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  }
};
const SineTable kSine;

uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

}  // namespace

Md5::Md5() : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u} {}

void Md5::Block(const uint8_t* p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = p[i * 4] | (p[i * 4 + 1] << 8) | (p[i * 4 + 2] << 16) |
           (static_cast<uint32_t>(p[i * 4 + 3]) << 24);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t next = b + Rotl(a + f + kSine.k[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::Update(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  bytes_ += n;
  while (n > 0) {
    if (pending_len_ == 0 && n >= 64) {
      Block(p);
      p += 64;
      n -= 64;
      continue;
    }
    size_t take = std::min(n, 64 - pending_len_);
    std::memcpy(pending_ + pending_len_, p, take);
    pending_len_ += take;
    p += take;
    n -= take;
    if (pending_len_ == 64) {
      Block(pending_);
      pending_len_ = 0;
    }
  }
}

Digest Md5::Finish() {
  uint64_t bits = bytes_ * 8;
  uint8_t pad[72] = {0x80};
  size_t pad_len = (pending_len_ < 56 ? 56 : 120) - pending_len_;
  Update(pad, pad_len);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(len, 8);
  Digest out;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
  return out;
}

Digest Md5Of(std::string_view bytes) {
  Md5 m;
  m.Update(bytes);
  return m.Finish();
}

std::string DigestHex(const Digest& d) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 15]);
  }
  return s;
}

std::string DigestBytes(const Digest& d) { return std::string(d.begin(), d.end()); }

namespace {

// Reads n bytes at off; false on a short read or an error.
bool ReadAt(int fd, uint64_t off, char* out, size_t n) {
  while (n > 0) {
    ssize_t r = ::pread(fd, out, n, static_cast<off_t>(off));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out += r;
    off += static_cast<uint64_t>(r);
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

Digest FileFingerprint(const std::string& path) {
  Md5 m;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return m.Finish();
  off_t end = ::lseek(fd, 0, SEEK_END);
  uint64_t size = end < 0 ? 0 : static_cast<uint64_t>(end);
  std::string buf;
  bool ok;
  if (size > kFingerprintWhole) {
    buf.resize(2 * kFingerprintEnd);
    ok = ReadAt(fd, 0, buf.data(), kFingerprintEnd) &&
         ReadAt(fd, size - kFingerprintEnd, buf.data() + kFingerprintEnd, kFingerprintEnd);
  } else {
    buf.resize(size);
    ok = ReadAt(fd, 0, buf.data(), size);
  }
  ::close(fd);
  if (ok) m.Update(buf);
  return m.Finish();
}

Digest BytesFingerprint(std::string_view content) {
  if (content.size() <= kFingerprintWhole) return Md5Of(content);
  Md5 m;
  m.Update(content.substr(0, kFingerprintEnd));
  m.Update(content.substr(content.size() - kFingerprintEnd));
  return m.Finish();
}

}  // namespace ks::fake
