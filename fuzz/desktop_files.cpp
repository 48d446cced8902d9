// Files beside the programs that anyone with write access to the folder can change: the
// language files (any encoding, any length) and the version marker of the desktop program.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmd/statistic.h"
#include "desktop/foundation/lang/languages.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char tmpl[] = "/tmp/ks_fuzz_desktop_files.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) std::abort();
    ks::desktop::CLanguages::SetLanguageFolder(made);
    return std::string(made);
  }();
  return folder;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = Folder();
  Write(folder + "/English.ksl", data, size);
  Write(folder + "/Kestyl", data, size);
  ks::desktop::CLanguages l(1);
  l.GetTextA("UI", "DIRVER_NAME");
  l.GetText("MESSAGEBOX", "A");
  if (const ks::desktop::LanguageFont* f = l.GetFont("FONT_DEFAULT")) {
    if (f->name.size() > 31) std::abort();
  }
  ks::cmd::GetProgramFileVersion(folder);
  ks::cmd::ReadUuidFile(folder);
  return 0;
}
