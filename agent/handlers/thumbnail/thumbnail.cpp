#include "agent/handlers/thumbnail/thumbnail.h"

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "agent/core/shares/share_open.h"
#include "agent/handlers/thumbnail/resolve_path.h"
#include "agent/log/log.h"
#include "agent/media/thumb/thumb.h"
#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"

namespace ks::handlers {
namespace {

constexpr const char* kModule = "Intranet tran";
constexpr size_t kRelayHeadSize = proto::kRelayHeadSize;  // 134

// UTF-8 to the agent's encoding, unconvertible characters dropped; the text unchanged
// when the conversion cannot be opened or does not fully succeed.
std::string ConvertPathFromUtf8(const std::string& text, const std::string& encoding) {
  std::string target = encoding + "//IGNORE";
  iconv_t cd = ::iconv_open(target.c_str(), "utf-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string in = text;
  std::string out(in.size() * 3 + 3, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  ::iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return text;
  out.resize(out.size() - outLeft);
  return out;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Writes the relay head (when relayed) and the message as one Write.
bool WriteMessage(net::Channel* conn, const ThumbRelay* relay, std::vector<uint8_t>& buffer,
                  size_t messageOffset) {
  if (relay) return relay->Write(conn, buffer);
  return conn && conn->Write(buffer.data() + messageOffset, buffer.size() - messageOffset);
}

}  // namespace

ThumbRelay MakeThumbRelay(const uint8_t* peerId) { return ThumbRelay(peerId); }

int Parse_ThumbTransStatusHead(const uint8_t* body, size_t length, ThumbRequest* out) {
  if (!body || length < kThumbRequestSize) return 1;
  out->width = net::GetU16(body);
  out->height = net::GetU16(body + 2);
  std::string clientPath = net::FieldText(body + 4, kThumbPathField);
  std::string encoding = state::TextEncoding();
  if (encoding != "en") clientPath = ConvertPathFromUtf8(clientPath, encoding);
  int rc = ResolveThumbnailPath(clientPath, &out->path);
  if (rc == KS_DEFAULT_SHARE_UNSET) {
    KS_LOG_DEBUG(kModule, "%s.", "def share dir is empty.");
    return rc;
  }
  if (rc != KS_OK) {
    KS_LOG_ERROR(kModule, "File %s not in share list.", clientPath.c_str());
    return 1;
  }
  if (!IsRegularFile(out->path)) {
    KS_LOG_ERROR(kModule, "File %s not exits.", out->path.c_str());
    return 1;
  }
  return KS_OK;
}

int SendThumbStatus(net::Channel* conn, uint16_t status, uint32_t requestId, const ThumbRelay* relay) {
  size_t offset = relay ? kRelayHeadSize : 0;
  std::vector<uint8_t> buffer(offset + kThumbStatusSize, 0);
  uint8_t* p = buffer.data() + offset;
  net::EncodeMsgHead(net::MsgHead{uint16_t(kThumbStatusSize), MSG_THUMBNAIL_STATUS, requestId}, p);
  net::PutU16(p + 8, status);
  net::PutU16(p + 10, 0);
  return WriteMessage(conn, relay, buffer, offset) ? 0 : -1;
}

int SendThumbChunks(net::Channel* conn, uint32_t requestId, const uint8_t* data, size_t size,
                    const ThumbRelay* relay) {
  if (!data || size == 0 || size > UINT32_MAX) return SendThumbStatus(conn, kThumbStatusFailed, requestId, relay);
  size_t offset = relay ? kRelayHeadSize : 0;
  std::vector<uint8_t> buffer;
  buffer.reserve(offset + kThumbChunkHeadSize + kThumbChunkMax);
  for (size_t sent = 0; sent < size;) {
    size_t n = std::min(kThumbChunkMax, size - sent);
    buffer.assign(offset + kThumbChunkHeadSize, 0);
    uint8_t* p = buffer.data() + offset;
    net::PutU16(p, uint16_t(n + kThumbChunkHeadSize));
    net::PutU16(p + 2, MSG_REQ_DOWNLOAD_THUMBNAIL);
    net::PutU32(p + 4, requestId);
    net::PutU32(p + 8, uint32_t(size));
    net::PutU32(p + 12, uint32_t(sent));
    buffer.insert(buffer.end(), data + sent, data + sent + n);
    if (!WriteMessage(conn, relay, buffer, offset)) {
      SendThumbStatus(conn, kThumbStatusFailed, requestId, relay);
      KS_LOG_ERROR("CommLib", "Write return message error.");
      return -1;
    }
    sent += n;
  }
  return SendThumbStatus(conn, kThumbStatusSent, requestId, relay);
}

int ReqDownloadThumbNial(const uint8_t* body, size_t bodyLength, const net::MsgHead* head,
                         net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)reply;
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  uint32_t requestId = head ? head->sequence : 0;
  bool relayed = direct && *direct == 0 && udtSocket && *udtSocket == -1;
  const uint8_t* request = body;
  size_t requestLength = bodyLength;
  ThumbRelay relay;
  if (relayed) {
    auto peer = net::FixedBody<proto::kDeviceIdSize>(body, bodyLength);
    relay = MakeThumbRelay(peer.data());
    request = bodyLength >= kThumbRelayPrefix ? body + kThumbRelayPrefix : nullptr;
    requestLength = bodyLength >= kThumbRelayPrefix ? bodyLength - kThumbRelayPrefix : 0;
  }
  const ThumbRelay* route = relayed ? &relay : nullptr;

  ThumbRequest parsed;
  std::vector<uint8_t> thumbnail;
  // Only a resolved, contained path is read: an unresolved share name stays a failure.
  if (Parse_ThumbTransStatusHead(request, requestLength, &parsed) == KS_OK) {
    // The picture decoded is the one the share opener opened: the path may have been
    // swapped for a link to elsewhere since it was checked.
    int fd = -1;
    uint64_t size = 0;
    int rc = shares::OpenRegularInShare(parsed.path, nullptr, &fd, &size);
    if (rc == 0) {
      media::ThunmbNailIt(shares::DescriptorPath(fd), parsed.height, parsed.width, &thumbnail, parsed.path);
      ::close(fd);
    } else if (rc == EXDEV || rc == ELOOP) {
      KS_LOG_WARNING(kModule, "thumbnail of %s leads out of its share: refused.", parsed.path.c_str());
    }
  }
  if (thumbnail.empty()) return SendThumbStatus(conn, kThumbStatusFailed, requestId, route);
  return SendThumbChunks(conn, requestId, thumbnail.data(), thumbnail.size(), route);
}

}  // namespace ks::handlers
