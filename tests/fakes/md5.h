// The fakes' own MD5 (RFC 1321) and the file fingerprint mobile clients compare with: the
// whole file up to 51200 bytes, else its first 25600 bytes followed by its last 25600 bytes.
// Kept apart from the agent's digest class on purpose, so that one checks the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks::fake {

using Digest = std::array<uint8_t, 16>;

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t n);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Digest of everything added so far; the object must not be updated afterwards.
  Digest Finish();

 private:
  void Block(const uint8_t* p);

  uint32_t state_[4];
  uint64_t bytes_ = 0;
  uint8_t pending_[64];
  size_t pending_len_ = 0;
};

Digest Md5Of(std::string_view bytes);
std::string DigestHex(const Digest& d);  // 32 lower-case hex digits
// Digest as raw 16 bytes in a string, as it stands on the wire.
std::string DigestBytes(const Digest& d);

constexpr uint64_t kFingerprintWhole = 51200;
constexpr uint64_t kFingerprintEnd = 25600;
// Fingerprint of a file; a missing or unreadable file gives the digest of empty input.
Digest FileFingerprint(const std::string& path);
// Fingerprint of content held in memory (same rule).
Digest BytesFingerprint(std::string_view content);

}  // namespace ks::fake
