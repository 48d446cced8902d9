// MD5 message digest (RFC 1321) and the agent's file fingerprint.
//
// Standalone library (ks_common_md5): the agent and the desktop program both link it, so it depends
// on nothing but the C++ library.
//
// A digest can be read at any point (toString, digestBytes) and the input continued
// afterwards: finishing works on a copy of the running state. The next reading after an
// update finishes again over every byte added so far.
//
// The fingerprint constructor MD5(path) identifies a file cheaply: a file of up to 51200
// bytes is digested whole, a larger one only by its first and last 25600 bytes (its middle
// takes no part). Sizes are 64-bit, so files of 2 GiB and more follow the same rule. Only
// bytes actually read are digested. A path that cannot be opened, or that is not a regular
// file (FIFO, device, folder), gives the digest of empty input, d41d8cd98f00b204e9800998ecf8427e.
//
// Not thread-safe: one object per thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

class MD5 {
 public:
  static constexpr size_t kDigestSize = 16;
  // Files up to this size are fingerprinted whole.
  static constexpr uint64_t kFingerprintWholeLimit = 51200;
  // Bytes taken from each end of a larger file.
  static constexpr size_t kFingerprintEndBytes = 25600;
  // Piece size of the stream update.
  static constexpr size_t kStreamChunk = 1024;

  using Digest = std::array<uint8_t, kDigestSize>;

  MD5();
  // Fingerprint of the file at path (see above).
  explicit MD5(const std::string& path);

  // Adds length bytes.
  void update(const void* input, size_t length);
  // Adds the stream's content to its end, 1024 bytes at a time. Does nothing when the
  // stream is already failed or bad. A file stream is closed at the end.
  void update(std::istream& stream);

  // Computes the digest of everything added so far; the running state is left as it was.
  void final();
  // The digest as 32 lower-case hex characters; finishes first when needed.
  std::string toString();
  // The 16 digest bytes (binary, as sent on the wire); finishes first when needed.
  const Digest& digestBytes();

  // Two characters per byte from "0123456789abcdef", high nibble first.
  static std::string bytesToHexString(const uint8_t* bytes, size_t length = kDigestSize);

 private:
  void init();
  void transform(const uint8_t block[64]);
  static void decode(uint32_t out[16], const uint8_t block[64]);
  void fingerprintFile(const std::string& path);

  uint32_t state_[4];
  uint64_t bitCount_;  // input length in bits, modulo 2^64 (the two count words of RFC 1321)
  uint8_t buffer_[64];
  Digest digest_;
  bool finished_;
};
