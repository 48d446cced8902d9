// Fuzzes the readers of desktop request bodies and the cutting of texts into wire fields:
// the first byte picks the reader, the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* body = data + 1;
  size_t length = size - 1;
  switch (data[0] % 6) {
    case 0: ks::wire::desktop::ParseLogOnBody(body, length); break;
    case 1: ks::wire::desktop::ParseDefShareBlock(body, length); break;
    case 2: ks::wire::desktop::SplitShareText(body, length); break;
    case 3: {
      ks::wire::desktop::ExecRequest r;
      ks::wire::desktop::ParseExecBody(body, length, &r);
      break;
    }
    case 4: {
      bool cut = false;
      std::string text(reinterpret_cast<const char*>(body), length);
      std::string capped = ks::wire::desktop::CapAtLineBoundary(text, length / 2, &cut);
      if (capped.size() > length / 2) __builtin_trap();
      break;
    }
    default: {
      uint8_t field[64];
      std::string text(reinterpret_cast<const char*>(body), length);
      ks::wire::PutUtf8Field(field, sizeof field, text);
      if (field[63] != 0) __builtin_trap();
      break;
    }
  }
  return 0;
}
