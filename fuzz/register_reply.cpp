// Replies of the vendor's registration page and the form values built from the owner's
// input: the reply never crashes the parser, and an encoded value never bends the form and
// decodes back to the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "desktop/app/connect/register_account.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ks::desktop::ParseRegisterReply(text);

  const std::string encoded = ks::desktop::EncodeFormValue(text);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '&' || c == '=' || c == '+' || c == ' ' || static_cast<unsigned char>(c) < 0x20 ||
        static_cast<unsigned char>(c) >= 0x7F)
      std::abort();
    if (c == '%') {
      if (i + 2 >= encoded.size()) std::abort();
      int hi = Hex(encoded[i + 1]), lo = Hex(encoded[i + 2]);
      if (hi < 0 || lo < 0) std::abort();
      decoded += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      decoded += c;
    }
  }
  if (decoded != text) std::abort();
  return 0;
}
