#include "agent/handlers/listing/listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "agent/core/shares/share_open.h"
#include "agent/db/local_db.h"
#include "agent/handlers/mobile/client_request.h"
#include "agent/log/log.h"
#include "agent/net/reply/reply.h"
#include "agent/core/state/state.h"
#include "agent/net/proto/proto.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"

namespace ks::listing {

namespace {

constexpr const char* kModule = "Intranet tran";
constexpr size_t kShareInfoHeadSize = 20;
constexpr size_t kMaxMessage = 0xFFFF;

std::atomic<int> g_failPackageAt{-1};

std::vector<uint8_t> EmptyAnswer(uint32_t word) {
  return ks::mobile::MakeMessage(MSG_GET_ALL_SUB_FILE, word, kEmptyAnswerSize - 8);
}

void PutU32Little(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

namespace testing {
void FailPackageAllocationAt(int n) { g_failPackageAt.store(n); }
}  // namespace testing

std::string ListingLine(const SubFileInfo& e) {
  return FormatString("%s\t%d\t%llu\t", e.time.c_str(), e.type, static_cast<unsigned long long>(e.size)) +
         ks::mobile::ToWireText(e.name) + "\r\n";
}

std::vector<std::vector<uint8_t>> BuildListingPackages(const std::vector<std::string>& lines,
                                                       uint32_t word, bool totalInNetworkOrder) {
  std::vector<std::vector<uint8_t>> packages;
  packages.reserve((lines.size() + kEntriesPerPackage - 1) / kEntriesPerPackage);
  const uint32_t total = static_cast<uint32_t>(lines.size());
  for (size_t first = 0; first < lines.size(); first += kEntriesPerPackage) {
    if (static_cast<int>(packages.size()) == g_failPackageAt.load()) throw std::bad_alloc();
    size_t count = std::min(kEntriesPerPackage, lines.size() - first);
    size_t textLength = 0;
    for (size_t i = first; i < first + count; ++i) textLength += lines[i].size();
    std::vector<uint8_t> p = ks::mobile::MakeMessage(MSG_GET_ALL_SUB_FILE, word, kListPackageHeadSize - 8 + textLength);
    ks::net::PutU32(p.data() + 8, static_cast<uint32_t>(count));
    if (totalInNetworkOrder)
      ks::net::PutU32(p.data() + 12, total);
    else
      PutU32Little(p.data() + 12, total);
    p[16] = '1';
    uint8_t* out = p.data() + kListPackageHeadSize;
    for (size_t i = first; i < first + count; ++i) {
      std::memcpy(out, lines[i].data(), lines[i].size());
      out += lines[i].size();
    }
    packages.push_back(std::move(p));
  }
  return packages;
}

int GetShareInfo(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                 ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)body, (void)bodyLength, (void)conn, (void)udtSocket, (void)direct;
  KS_LOG_INFO(kModule, "get share dir");
  std::vector<std::string> shares;
  ParseShareInfo(shares);
  std::string text;
  size_t count = 0;
  for (const std::string& s : shares) {
    std::string line = ks::mobile::ToWireText(s) + "\r\n";
    if (kShareInfoHeadSize + text.size() + line.size() > kMaxMessage) {
      KS_LOG_WARNING(kModule, "share list cut at %zu of %zu folders.", count, shares.size());
      break;
    }
    text += line;
    ++count;
  }
  KS_LOG_INFO(kModule, "share dir size: %d info :%s", static_cast<int>(count), text.c_str());
  *reply = ks::mobile::MakeMessage(MSG_GET_SHARE_INFO, head->sequence, kShareInfoHeadSize - 8 + text.size());
  ks::net::PutU16(reply->data() + 8, static_cast<uint16_t>(count));
  std::memcpy(reply->data() + kShareInfoHeadSize, text.data(), text.size());
  return KS_OK;
}

int GetAllSubFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                  ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  const uint32_t word = head->sequence;
  ks::mobile::ClientRequest req =
      ks::mobile::ReadClientRequest(body, bodyLength, conn, udtSocket ? *udtSocket : -1, direct ? *direct : 1);
  auto request = ks::net::FixedBody<kListRequestSize>(req.payload, req.payloadLength);
  std::string path = ks::mobile::FromWireText(ks::net::FieldText(request.data() + kListPathOffset, kListPathSize));
  const bool networkOrder = request[kListFlagOffset] == '1';
  KS_LOG_INFO(kModule, "get file list in dir:%s", path.c_str());

  std::string real = GetRealPath(path);
  if (real.empty()) {
    KS_LOG_WARNING(kModule, "def share dir is empty.");
    *reply = EmptyAnswer(word);
    return KS_DEFAULT_SHARE_UNSET;
  }
  KS_LOG_INFO(kModule, "get %s sub file.", real.c_str());
  std::string folder;
  int rc = CheckSharePath(real, &folder);
  if (rc != KS_OK) {
    KS_LOG_WARNING(kModule, "dir %s refused, code %d.", real.c_str(), rc);
    *reply = EmptyAnswer(word);
    return rc;
  }

  // The folder listed is the one the share opener opened: it may have been swapped for a
  // link to elsewhere since it was checked.
  int dirFd = -1;
  int openError = ks::shares::OpenInShare(folder, O_RDONLY | O_DIRECTORY, &dirFd);
  if (openError != 0) {
    if (openError == EXDEV || openError == ELOOP)
      KS_LOG_WARNING(kModule, "dir %s leads out of its share: refused.", folder.c_str());
    *reply = EmptyAnswer(word);
    return KS_PATH_NOT_SHARED;
  }
  std::vector<SubFileInfo> entries;
  if (GetSubFileInfo(ks::shares::DescriptorPath(dirFd), entries) != 0)
    KS_LOG_WARNING(kModule, "list %s error.", folder.c_str());
  ::close(dirFd);
  if (entries.empty()) {
    *reply = EmptyAnswer(word);
    return KS_OK;
  }

  std::vector<std::vector<uint8_t>> packages;
  try {
    std::vector<std::string> lines;
    lines.reserve(entries.size());
    for (const SubFileInfo& e : entries) lines.push_back(ListingLine(e));
    packages = BuildListingPackages(lines, word, networkOrder);
  } catch (const std::bad_alloc&) {
    KS_LOG_ERROR(kModule, "Allocate memory error.");
    *reply = EmptyAnswer(word);
    return KS_OUT_OF_MEMORY;
  }
  KS_LOG_INFO(kModule, "share size %d.package number %d", static_cast<int>(entries.size()),
              static_cast<int>(packages.size()));
  // Through the relay each package goes to the id that preceded the request.
  const ks::reply::ClientRoute route(req.relayed ? req.peerId : nullptr);
  for (std::vector<uint8_t>& p : packages) {
    if (!route.WriteMessage(conn, p.data(), p.size())) {
      KS_LOG_ERROR("CommLib", "Write return message error.");
      return -1;
    }
  }
  return KS_OK;
}

}  // namespace ks::listing
