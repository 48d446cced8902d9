#include <errno.h>
#include <iconv.h>
#include <strings.h>

#include <cstring>
#include <memory>
#include <new>

#include "common/text/text.h"

namespace {

// True when the target name asks iconv to drop what it cannot convert.
bool Ignoring(const char* toCode) {
  for (const char* p = toCode; *p; ++p) {
    if (::strncasecmp(p, "//IGNORE", 8) == 0) return true;
  }
  return false;
}

}  // namespace

std::string ConvertCode(const char* fromCode, const char* toCode, const std::string& text) {
  if (!fromCode || !toCode) return text;
  iconv_t cd = ::iconv_open(toCode, fromCode);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;

  // The terminating NUL is converted too, so a stateful target ends in its initial state.
  size_t inLeft = text.size() + 1;
  size_t outSize = 3 * inLeft;
  std::unique_ptr<char[]> out(new (std::nothrow) char[outSize]());
  if (!out) {
    ::iconv_close(cd);
    return text;
  }
  char* in = const_cast<char*>(text.c_str());
  char* outPtr = out.get();
  size_t outLeft = outSize;
  bool ignoring = Ignoring(toCode);
  size_t rc;
  for (;;) {
    size_t before = inLeft;
    rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    // glibc with //IGNORE stops with EILSEQ after each internal chunk in which it dropped
    // something; it goes on when called again.
    if (rc == static_cast<size_t>(-1) && errno == EILSEQ && ignoring && inLeft > 0 && inLeft < before) continue;
    break;
  }
  int err = errno;
  ::iconv_close(cd);

  // With //IGNORE glibc reports EILSEQ even when it converted everything it could: all
  // input consumed counts as success there.
  bool ok = rc == 0 || (rc == static_cast<size_t>(-1) && ignoring && err == EILSEQ && inLeft == 0);
  if (!ok) return text;
  return std::string(out.get(), ::strnlen(out.get(), outSize));
}
