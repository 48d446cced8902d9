// Small helpers for tests: a temporary folder removed at the end, whole-file read/write.
#pragma once

#include <cstdint>
#include <string>

namespace ks::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// A file of `size` bytes that takes no disk space (holes).
void MakeSparseFile(const std::string& path, uint64_t size);

}  // namespace ks::test
