// The update page's reply and the version texts: the flat field scan, the version rule and
// the version marker of a program file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "desktop/foundation/update/update_info.h"

using namespace ks::desktop::update;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const UpdateInfo info = ParseUpdateInfo(text);
  for (const std::string* field : {&info.version, &info.down, &info.md5, &info.size}) {
    if (field->size() > text.size() || field->find('"') != std::string::npos) std::abort();
  }
  // "\/" becomes "/" in one pass from the left ("\\/" leaves "\/"): never longer.
  const std::string rawDown = FindFieldValue(text, "down");
  if (info.down.size() > rawDown.size()) std::abort();

  // Two versions are never each newer than the other, and none is newer than itself.
  const size_t half = text.size() / 2;
  const std::string a = text.substr(0, half), b = text.substr(half);
  if (IsNewerVersion(a, b) && IsNewerVersion(b, a)) std::abort();
  if (IsNewerVersion(a, a)) std::abort();

  const std::string own = VersionFromMarker(text);
  if (!own.empty()) {
    int dots = 0;
    for (char c : own) {
      if (c == '.') ++dots;
      else if (c < '0' || c > '9') std::abort();
    }
    if (dots != 3) std::abort();
  }
  return 0;
}
