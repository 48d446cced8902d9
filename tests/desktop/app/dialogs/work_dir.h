// Test helpers of the dialogs' tests: a folder below the build folder (the default list of
// system trees refuses everything below /tmp), the list of system trees without /tmp (the
// build folder itself may lie there), environment overrides.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ks::test {

// Sets (or, with null, unsets) an environment variable for the life of the object.
class EnvOverride {
 public:
  EnvOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~EnvOverride() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  EnvOverride(const EnvOverride&) = delete;
  EnvOverride& operator=(const EnvOverride&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class WorkDir {
 public:
  WorkDir() {
    std::filesystem::create_directories(KS_TEST_WORK_DIR);
    std::string tmpl = std::string(KS_TEST_WORK_DIR) + "/dialogs-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The default system trees less /tmp, for fixtures below the build folder.
class FixtureTrees : public EnvOverride {
 public:
  FixtureTrees() : EnvOverride("KESTYL_SYSTEM_TREES", "/usr:/etc:/var:/proc:/sys:/dev:/boot:/bin:/sbin:/lib*:/opt:/run") {}
};

inline void WriteFileAt(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace ks::test
