// Fuzzes the desktop link's reading of what the agent sends: the log-in ask push (a whole
// message, head included) and the transfer-log reply body, then the link's own handling of
// the push (CUIData's receive path without a listener). The first byte picks the reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/wire/wire.h"
#include "desktop/foundation/agentlink/agent_requests.h"

namespace {

// A text field must end within its size and hold no byte past its NUL.
void CheckField(const char* field, size_t size) {
  const size_t n = ::strnlen(field, size);
  if (n >= size) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* rest = data + 1;
  const size_t length = size - 1;
  switch (data[0] % 2) {
    case 0: {
      if (length < ks::wire::kMsgHeadSize) return 0;  // the link never hands on less
      std::vector<uint8_t> message(rest, rest + length);
      const ks::desktop::ConnectRequestInfo info = ks::desktop::MakeConnectRequestInfo(message.data(), message.size());
      CheckField(info.sender, sizeof info.sender);
      CheckField(info.network, sizeof info.network);
      if (std::memcmp(&info.requestId, message.data() + 4, 4) != 0 || info.age != 0) __builtin_trap();
      break;
    }
    case 1: {
      std::vector<uint8_t> body(rest, rest + length);
      for (const ks::desktop::TransferLogItem& item : ks::desktop::MakeTransferLogItems(body.data(), body.size())) {
        CheckField(item.time, sizeof item.time);
        CheckField(item.fileName, sizeof item.fileName);
      }
      break;
    }
  }
  return 0;
}
