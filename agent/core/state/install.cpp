#include "agent/core/state/install.h"

#include "agent/util/settings/settings.h"
#include "platform/install_root.h"

int GetModuleDir(std::string& out) {
  out = ks::platform::ProgramDir();
  return out.empty() ? 1 : 0;
}

int GetRootPath(std::string& out) {
  out = ks::platform::InstallRoot();
  return out.empty() ? -1 : 0;
}

std::string LangEncodeForLangId(uint16_t langId) {
  if ((langId & 0x3FF) != 0x04) return "en";
  if (langId >= 0x0800 && langId <= 0x0BFF) return "gb2312";
  if (langId >= 0x0400 && langId <= 0x07FF) return "big5";
  return "en";
}

std::string GetDefLangEncode() {
  std::string e = ks::settings::TextEncodingOverride();
  if (e == "gb2312" || e == "big5" || e == "en") return e;
  return "en";  // file names on Linux are UTF-8: nothing to convert
}
