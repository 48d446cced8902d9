#include "common/md5/md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <streambuf>
#include <vector>

namespace {

constexpr uint32_t kInitState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// The four auxiliary functions in forms that need fewer operations than RFC 1321's text
// (same truth tables). b, the result of the step before, is the input that arrives last,
// so each form keeps the work that depends on it short.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t), int S>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = std::rotl(a + x + t + Fn(b, c, d), S) + b;
}

// G = (x & z) | (y & ~z): the two halves never share a bit, so they can be added, and
// (y & ~z) is ready before x.
template <int S>
inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = std::rotl(a + x + t + (c & ~d) + (b & d), S) + b;
}

inline uint32_t LoadLE32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

// Reads up to n bytes at offset, retrying short reads and EINTR; the count actually read.
size_t ReadAt(int fd, uint8_t* out, size_t n, off_t offset) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, out + got, n - got, offset + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// Input stream over an open descriptor, so that the small-file fingerprint goes through the
// stream update without reopening the file (and without a descriptor leaking into children).
class FdInBuf : public std::streambuf {
 public:
  explicit FdInBuf(int fd) : fd_(fd) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    ssize_t r;
    do {
      r = ::read(fd_, buf_, sizeof buf_);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return traits_type::eof();
    setg(buf_, buf_, buf_ + r);
    return traits_type::to_int_type(*gptr());
  }

 private:
  int fd_;
  char buf_[8192];
};

}  // namespace

MD5::MD5() { init(); }

MD5::MD5(const std::string& path) {
  init();
  fingerprintFile(path);
}

void MD5::init() {
  std::memcpy(state_, kInitState, sizeof state_);
  bitCount_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  digest_.fill(0);
  finished_ = false;
}

void MD5::decode(uint32_t out[16], const uint8_t block[64]) {
  for (int i = 0; i < 16; ++i) out[i] = LoadLE32(block + 4 * i);
}

void MD5::transform(const uint8_t block[64]) {
  uint32_t x[16];
  decode(x, block);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  Step<F, 7>(a, b, c, d, x[0], 0xd76aa478);
  Step<F, 12>(d, a, b, c, x[1], 0xe8c7b756);
  Step<F, 17>(c, d, a, b, x[2], 0x242070db);
  Step<F, 22>(b, c, d, a, x[3], 0xc1bdceee);
  Step<F, 7>(a, b, c, d, x[4], 0xf57c0faf);
  Step<F, 12>(d, a, b, c, x[5], 0x4787c62a);
  Step<F, 17>(c, d, a, b, x[6], 0xa8304613);
  Step<F, 22>(b, c, d, a, x[7], 0xfd469501);
  Step<F, 7>(a, b, c, d, x[8], 0x698098d8);
  Step<F, 12>(d, a, b, c, x[9], 0x8b44f7af);
  Step<F, 17>(c, d, a, b, x[10], 0xffff5bb1);
  Step<F, 22>(b, c, d, a, x[11], 0x895cd7be);
  Step<F, 7>(a, b, c, d, x[12], 0x6b901122);
  Step<F, 12>(d, a, b, c, x[13], 0xfd987193);
  Step<F, 17>(c, d, a, b, x[14], 0xa679438e);
  Step<F, 22>(b, c, d, a, x[15], 0x49b40821);

  StepG<5>(a, b, c, d, x[1], 0xf61e2562);
  StepG<9>(d, a, b, c, x[6], 0xc040b340);
  StepG<14>(c, d, a, b, x[11], 0x265e5a51);
  StepG<20>(b, c, d, a, x[0], 0xe9b6c7aa);
  StepG<5>(a, b, c, d, x[5], 0xd62f105d);
  StepG<9>(d, a, b, c, x[10], 0x02441453);
  StepG<14>(c, d, a, b, x[15], 0xd8a1e681);
  StepG<20>(b, c, d, a, x[4], 0xe7d3fbc8);
  StepG<5>(a, b, c, d, x[9], 0x21e1cde6);
  StepG<9>(d, a, b, c, x[14], 0xc33707d6);
  StepG<14>(c, d, a, b, x[3], 0xf4d50d87);
  StepG<20>(b, c, d, a, x[8], 0x455a14ed);
  StepG<5>(a, b, c, d, x[13], 0xa9e3e905);
  StepG<9>(d, a, b, c, x[2], 0xfcefa3f8);
  StepG<14>(c, d, a, b, x[7], 0x676f02d9);
  StepG<20>(b, c, d, a, x[12], 0x8d2a4c8a);

  Step<H, 4>(a, b, c, d, x[5], 0xfffa3942);
  Step<H, 11>(d, a, b, c, x[8], 0x8771f681);
  Step<H, 16>(c, d, a, b, x[11], 0x6d9d6122);
  Step<H, 23>(b, c, d, a, x[14], 0xfde5380c);
  Step<H, 4>(a, b, c, d, x[1], 0xa4beea44);
  Step<H, 11>(d, a, b, c, x[4], 0x4bdecfa9);
  Step<H, 16>(c, d, a, b, x[7], 0xf6bb4b60);
  Step<H, 23>(b, c, d, a, x[10], 0xbebfbc70);
  Step<H, 4>(a, b, c, d, x[13], 0x289b7ec6);
  Step<H, 11>(d, a, b, c, x[0], 0xeaa127fa);
  Step<H, 16>(c, d, a, b, x[3], 0xd4ef3085);
  Step<H, 23>(b, c, d, a, x[6], 0x04881d05);
  Step<H, 4>(a, b, c, d, x[9], 0xd9d4d039);
  Step<H, 11>(d, a, b, c, x[12], 0xe6db99e5);
  Step<H, 16>(c, d, a, b, x[15], 0x1fa27cf8);
  Step<H, 23>(b, c, d, a, x[2], 0xc4ac5665);

  Step<I, 6>(a, b, c, d, x[0], 0xf4292244);
  Step<I, 10>(d, a, b, c, x[7], 0x432aff97);
  Step<I, 15>(c, d, a, b, x[14], 0xab9423a7);
  Step<I, 21>(b, c, d, a, x[5], 0xfc93a039);
  Step<I, 6>(a, b, c, d, x[12], 0x655b59c3);
  Step<I, 10>(d, a, b, c, x[3], 0x8f0ccc92);
  Step<I, 15>(c, d, a, b, x[10], 0xffeff47d);
  Step<I, 21>(b, c, d, a, x[1], 0x85845dd1);
  Step<I, 6>(a, b, c, d, x[8], 0x6fa87e4f);
  Step<I, 10>(d, a, b, c, x[15], 0xfe2ce6e0);
  Step<I, 15>(c, d, a, b, x[6], 0xa3014314);
  Step<I, 21>(b, c, d, a, x[13], 0x4e0811a1);
  Step<I, 6>(a, b, c, d, x[4], 0xf7537e82);
  Step<I, 10>(d, a, b, c, x[11], 0xbd3af235);
  Step<I, 15>(c, d, a, b, x[2], 0x2ad7d2bb);
  Step<I, 21>(b, c, d, a, x[9], 0xeb86d391);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void MD5::update(const void* input, size_t length) {
  finished_ = false;
  if (length == 0) return;
  const uint8_t* in = static_cast<const uint8_t*>(input);
  size_t index = static_cast<size_t>((bitCount_ >> 3) & 63);
  bitCount_ += static_cast<uint64_t>(length) << 3;

  size_t partLen = 64 - index;
  size_t i = 0;
  if (length >= partLen) {
    if (index != 0) {
      std::memcpy(buffer_ + index, in, partLen);
      transform(buffer_);
      i = partLen;
    }
    // Whole blocks straight from the input, no copy.
    for (; i + 64 <= length; i += 64) transform(in + i);
    index = 0;
  }
  std::memcpy(buffer_ + index, in + i, length - i);
}

void MD5::update(std::istream& stream) {
  if (stream.fail()) return;  // failbit or badbit
  char chunk[kStreamChunk];
  for (;;) {
    stream.read(chunk, sizeof chunk);
    std::streamsize got = stream.gcount();
    if (got > 0) update(chunk, static_cast<size_t>(got));
    if (!stream) break;
  }
  if (auto* file = dynamic_cast<std::ifstream*>(&stream)) {
    file->close();
  } else if (auto* rw = dynamic_cast<std::fstream*>(&stream)) {
    rw->close();
  }
}

void MD5::final() {
  // Work on a copy so that the input can go on afterwards: padding would otherwise
  // overwrite bytes still waiting in the buffer.
  MD5 copy(*this);
  size_t index = static_cast<size_t>((bitCount_ >> 3) & 63);
  size_t padLen = index < 56 ? 56 - index : 120 - index;
  uint8_t padding[64] = {0x80};
  uint8_t bits[8];
  StoreLE32(bits, static_cast<uint32_t>(bitCount_));
  StoreLE32(bits + 4, static_cast<uint32_t>(bitCount_ >> 32));
  copy.update(padding, padLen);
  copy.update(bits, sizeof bits);
  for (int i = 0; i < 4; ++i) StoreLE32(digest_.data() + 4 * i, copy.state_[i]);
}

std::string MD5::toString() {
  return bytesToHexString(digestBytes().data(), kDigestSize);
}

const MD5::Digest& MD5::digestBytes() {
  if (!finished_) {
    final();
    finished_ = true;
  }
  return digest_;
}

std::string MD5::bytesToHexString(const uint8_t* bytes, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 0x0f];
  }
  return out;
}

void MD5::fingerprintFile(const std::string& path) {
  // Non-blocking open: a FIFO in place of a file must not hang the caller.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > kFingerprintWholeLimit) {
    std::vector<uint8_t> ends(2 * kFingerprintEndBytes);
    size_t head = ReadAt(fd, ends.data(), kFingerprintEndBytes, 0);
    size_t tail = ReadAt(fd, ends.data() + head, kFingerprintEndBytes,
                         static_cast<off_t>(size - kFingerprintEndBytes));
    ::close(fd);
    update(ends.data(), head + tail);
    return;
  }
  {
    FdInBuf buf(fd);
    std::istream in(&buf);
    update(in);
  }
  ::close(fd);
}
