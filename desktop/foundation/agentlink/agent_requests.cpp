#include "desktop/foundation/agentlink/agent_requests.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/text/text.h"

#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/types.h"
#include "common/wire/wire.h"

namespace ks::desktop {

namespace {

namespace wire = ks::wire;
namespace dw = ks::wire::desktop;

// Sends a body-less request; 0 and the reply body when the reply has the request's type.
int Ask(const CSocketConnect& link, const std::string& host, uint16_t type, std::vector<uint8_t>* body) {
  std::vector<uint8_t> reply;
  int r = link.SendRequest(host, dw::MakeRequest(type, 0), &reply);
  if (r != 0) return r;
  if (reply.size() < wire::kMsgHeadSize || wire::DecodeMsgHead(reply.data()).type != type) return 1;
  body->assign(reply.begin() + wire::kMsgHeadSize, reply.end());
  return 0;
}

}  // namespace

int MapLogOnStatus(uint32_t status) {
  switch (status) {
    case 0: return 1;
    case 4096:
    case 4097: return 4;
    case 4122: return 5;
    case 4127: return 2;
    case 4132: return 7;
    default: return static_cast<int>(status);
  }
}

int GetLogOnStatus(const CSocketConnect& link, const std::string& host) {
  std::vector<uint8_t> body;
  int r = Ask(link, host, MSG_SHOW_LOGON_STATUS, &body);
  if (r == CSocketConnect::kNoConnection || r == CSocketConnect::kNoReplyHead || r == CSocketConnect::kTimedOut)
    return r;
  uint32_t status = 0;
  if (r != 0 || !dw::ParseResultReply(body.data(), body.size(), &status)) return 0;
  return MapLogOnStatus(status);
}

int MapTransferring(uint16_t sessions, uint16_t downloads) {
  if (sessions > downloads) return 3;
  if (downloads > 0) return 4;
  return 2;
}

int GetTransferState(const CSocketConnect& link, const std::string& host) {
  std::vector<uint8_t> body;
  uint32_t notLinked = 0;
  if (Ask(link, host, MSG_SHOW_GET_IS_MOBILE_LINKED, &body) != 0 ||
      !dw::ParseResultReply(body.data(), body.size(), &notLinked))
    return 0;
  if (notLinked != 0) return 1;
  dw::Transferring t;
  if (Ask(link, host, MSG_SHOW_GET_IS_TRANSFERRING, &body) != 0 ||
      !dw::ParseGetIsTransferringReply(body.data(), body.size(), &t))
    return 0;
  return MapTransferring(t.sessions, t.downloads);
}

int SetAutoTiding(const CSocketConnect& link, const std::string& host, bool on) {
  std::vector<uint8_t> reply;
  return link.SendRequest(host, dw::MakeSetAutoTidyingRequest(0, on), &reply);
}

int GetAutoTiding(const CSocketConnect& link, const std::string& host, bool* on) {
  std::vector<uint8_t> body;
  int r = Ask(link, host, MSG_SHOW_GET_AUTO_TIDING, &body);
  if (r != 0) return r < 0 || r == CSocketConnect::kTimedOut ? r : -1;
  return dw::ParseGetAutoTidyingReply(body.data(), body.size(), on) ? 0 : -1;
}

int GetShare(const CSocketConnect& link, const std::string& host, std::vector<std::string>* folders) {
  std::vector<uint8_t> body;
  int r = Ask(link, host, MSG_SHOW_GET_SHARE, &body);
  if (r != 0) return r == 1 ? -1 : r;
  *folders = dw::ParseLinesReply(body.data(), body.size());
  return 0;
}

int SetShare(const CSocketConnect& link, const std::string& host, const std::vector<std::string>& folders) {
  std::vector<uint8_t> request;
  if (!dw::MakeSetShareRequest(0, folders, &request)) return -1;
  std::vector<uint8_t> reply;
  int r = link.SendRequest(host, request, &reply);
  if (r != 0) return r;
  uint32_t result = 0;
  if (wire::DecodeMsgHead(reply.data()).type != MSG_SHOW_SET_SHARE ||
      !dw::ParseResultReply(reply.data() + wire::kMsgHeadSize, reply.size() - wire::kMsgHeadSize, &result))
    return -1;
  return static_cast<int>(result);
}

int GetLogOnInfo(const CSocketConnect& link, const std::string& host, std::string* account, std::string* password) {
  std::vector<uint8_t> body;
  int r = Ask(link, host, MSG_SHOW_GET_LOGON_INFO, &body);
  if (r != 0) return r == 1 ? -1 : r;
  dw::LogOnInfo info;
  if (!dw::ParseGetLogOnInfoReply(body.data(), body.size(), &info)) return -1;
  *account = info.account;
  *password = info.password;
  return 0;
}

void CopyTextField(char* field, size_t size, const std::string& text) {
  std::memset(field, 0, size);
  const std::string t = Utf8Prefix(text, size - 1);
  std::memcpy(field, t.data(), t.size());
}

ConnectRequestInfo MakeConnectRequestInfo(const uint8_t* message, size_t length) {
  ConnectRequestInfo info{};
  const uint8_t* body = message + wire::kMsgHeadSize;
  const size_t bodyLength = length - wire::kMsgHeadSize;
  auto field = [&](size_t offset, char* out, size_t size) {
    if (bodyLength <= offset) return;
    const size_t n = std::min<size_t>(64, bodyLength - offset);
    CopyTextField(out, size, wire::FieldText(body + offset, n));
  };
  field(64, info.sender, sizeof info.sender);
  field(128, info.network, sizeof info.network);
  std::memcpy(&info.requestId, message + 4, sizeof info.requestId);
  info.age = 0;
  return info;
}

std::vector<TransferLogItem> MakeTransferLogItems(const uint8_t* body, size_t length) {
  std::vector<TransferLogItem> items;
  std::vector<dw::TransLogEntry> entries;
  const size_t whole = length - length % dw::kTransLogRecordSize;
  if (whole == 0 || !dw::ParseGetTransLogReply(body, whole, &entries)) return items;
  for (const dw::TransLogEntry& e : entries) {
    TransferLogItem item{};
    item.type = e.type;
    item.status = e.status;
    item.size = e.size;
    CopyTextField(item.time, sizeof item.time, e.time);
    CopyTextField(item.fileName, sizeof item.fileName, e.file);
    items.push_back(item);
  }
  return items;
}

}  // namespace ks::desktop
