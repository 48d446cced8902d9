// Fuzzes the readers of desktop request bodies (the agent's side), of the agent's replies
// and asks (the programs' side) and the cutting of texts into wire fields: the first byte
// picks the reader, the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* body = data + 1;
  size_t length = size - 1;
  using namespace ks::wire::desktop;
  switch (data[0] % 14) {
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
    case 6: {
      uint32_t v;
      LogOnInfo info;
      ParseResultReply(body, length, &v);
      ParseGetLogOnInfoReply(body, length, &info);
      ParseDeviceLoginAsk(body, length, &info);
      break;
    }
    case 7: {
      std::vector<std::string> folders;
      if (ParseGetDefShareReply(body, length, &folders) && folders.size() != kDefShareFolderCount) __builtin_trap();
      break;
    }
    case 8: ParseLinesReply(body, length); break;
    case 9: {
      std::vector<TransLogEntry> entries;
      if (ParseGetTransLogReply(body, length, &entries) && entries.size() * kTransLogRecordSize != length)
        __builtin_trap();
      break;
    }
    case 10: {
      Transferring t;
      std::string text;
      bool on;
      ParseGetIsTransferringReply(body, length, &t);
      ParseTextFieldReply(body, length, &text);
      ParseGetAutoTidyingReply(body, length, &on);
      break;
    }
    case 11: {
      VerAndType v;
      ParseGetVerAndTypeReply(body, length, &v);
      DeviceLoginAccepted(body, length);
      break;
    }
    case 12: {
      bool tooLong = false;
      if (ParseGetPathBody(body, length, &tooLong).size() > kMaxPathBody) __builtin_trap();
      ParseSetPwdBody(body, length);
      break;
    }
    case 13: {
      // What the programs make must read back through the agent's side.
      std::string text(reinterpret_cast<const char*>(body), length);
      LogOnRequest r = ParseLogOnBody(MakeLogOnRequest(1, {text, text}).data() + 8, kLogOnBodySize);
      if (r.account.size() > 31 || r.account != r.password) __builtin_trap();
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
