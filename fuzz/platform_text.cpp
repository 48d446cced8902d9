// Texts the platform layer parses from files other programs write: INI profiles (language
// and configuration files), the made-up adapters file, and command lines (batch lines,
// service command lines).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/adapters.h"
#include "platform/process.h"
#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto args = ks::platform::SplitCommandLine(text);
  if (args.size() > 1) {
    std::vector<std::string> rest = {"p"};
    rest.insert(rest.end(), args.begin() + 1, args.end());
    if (ks::platform::SplitCommandLine(ks::platform::JoinCommandLine(rest)) != rest) __builtin_trap();
  }
  ks::platform::ParseAdapterFile(text);

  int fd = ::memfd_create("profile", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    for (const auto& section : ks::platform::ReadProfileSectionNames(path)) {
      for (const auto& [key, value] : ks::platform::ReadProfileSection(path, section)) {
        ks::platform::ReadProfileValue(path, section, key);
      }
    }
    char buf[17];
    ks::platform::GetPrivateProfileStringA("a", nullptr, "", buf, sizeof buf, path.c_str());
    ks::platform::GetPrivateProfileSectionNamesA(buf, sizeof buf, path.c_str());
    char16_t wide[9];
    ks::platform::GetPrivateProfileSectionW(u"a", wide, 9, u"/dev/null");
  }
  ::close(fd);
  return 0;
}
