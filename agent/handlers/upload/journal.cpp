#include "agent/handlers/upload/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ks::upload {

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool IsFingerprintText(const std::string& text) {
  if (text.size() != kFingerprintHexLength) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::array<uint8_t, kJournalSize> EncodeJournal(const UploadJournal& journal) {
  std::array<uint8_t, kJournalSize> record{};
  size_t n = journal.target.size() < kMaxTargetLength ? journal.target.size() : kMaxTargetLength;
  std::memcpy(record.data(), journal.target.data(), n);
  size_t f = journal.fingerprint.size() < kFingerprintHexLength ? journal.fingerprint.size()
                                                                 : kFingerprintHexLength;
  std::memcpy(record.data() + kJournalPathSize, journal.fingerprint.data(), f);
  return record;
}

bool ParseJournal(const uint8_t* data, size_t length, UploadJournal& out) {
  if (!data || length != kJournalSize) return false;
  const void* nul = std::memchr(data, 0, kJournalPathSize);
  if (!nul || nul == data) return false;
  size_t targetLength = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
  const uint8_t* fp = data + kJournalPathSize;
  if (fp[kFingerprintHexLength] != 0) return false;
  std::string fingerprint(reinterpret_cast<const char*>(fp), kFingerprintHexLength);
  if (!IsFingerprintText(fingerprint)) return false;
  out.target.assign(reinterpret_cast<const char*>(data), targetLength);
  out.fingerprint = std::move(fingerprint);
  return true;
}

bool WriteJournalFile(const std::string& path, const UploadJournal& journal) {
  return WriteJournalFileAt(AT_FDCWD, path, journal);
}

JournalRead ReadJournalFile(const std::string& path, UploadJournal& out) { return ReadJournalFileAt(AT_FDCWD, path, out); }

bool WriteJournalFileAt(int dir, const std::string& path, const UploadJournal& journal) {
  int fd = ::openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  auto record = EncodeJournal(journal);
  bool ok = WriteAll(fd, record.data(), record.size());
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlinkat(dir, path.c_str(), 0);
  return ok;
}

JournalRead ReadJournalFileAt(int dir, const std::string& path, UploadJournal& out) {
  int fd = ::openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? JournalRead::kMissing : JournalRead::kInvalid;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return JournalRead::kInvalid;
  }
  // One byte more than a record: a longer file is not a journal.
  uint8_t buf[kJournalSize + 1];
  size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return JournalRead::kInvalid;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return ParseJournal(buf, got, out) ? JournalRead::kValid : JournalRead::kInvalid;
}

std::string CollisionName(const std::string& target, unsigned n) {
  size_t slash = target.find_last_of('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = target.find_last_of('.');
  std::string counter = ".(" + std::to_string(n) + ")";
  if (dot == std::string::npos || dot < nameStart || dot + 1 == target.size()) return target + counter;
  return target + counter + "." + target.substr(dot + 1);
}

}  // namespace ks::upload
