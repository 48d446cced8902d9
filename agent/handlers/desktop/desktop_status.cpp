// Transfer log and state, mobile link, photo tidying and program start for the desktop
// program.
#include <algorithm>
#include <ctime>

#include "agent/db/local_db.h"
#include "agent/handlers/desktop/desktop_internal.h"
#include "agent/core/transfer/transfer.h"
#include "agent/media/tidying/tidying.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/net/session/wire_text.h"
#include "agent/util/codes.h"
#include "platform/session_launcher.h"

namespace ks::desktop {

namespace {

constexpr const char* kTidingByDate = "TidingByDate";

uint32_t SaturateU32(int64_t v) {
  if (v < 0) return 0;
  return v > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

uint16_t SaturateU16(int64_t v) {
  if (v < 0) return 0;
  return v > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(v);
}

}  // namespace

KS_DEFINE_DESKTOP_HANDLER(Show_GetTransLog) {
  std::vector<TransLogRecord> rows;
  GetTransLog(rows);
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetTransLog log count %d", static_cast<int>(rows.size()));
  size_t count = rows.size() < kMaxTransLogRecords ? rows.size() : kMaxTransLogRecords;
  if (count < rows.size())
    KS_SHOW_LOG(LOG_LEVEL_WARNING, "Show_GetTransLog sends %zu of %zu records", kMaxTransLogRecords,
                rows.size());
  std::vector<TransLogEntry> entries;
  for (size_t i = 0; i < count; ++i)
    entries.push_back(TransLogEntry{static_cast<uint16_t>(rows[i].type), static_cast<uint16_t>(rows[i].status),
                                    SaturateU32(rows[i].size), rows[i].time,
                                    ks::session::ToWireUtf8(rows[i].file)});
  *reply = MakeGetTransLogReply(*head, entries, nullptr);
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_ClearLog) {
  int rc = ClearLog();
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_ClearLog %d ", rc);
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetIsTraning) {
  int downloads = ks::transfer::DownloadCount();
  size_t sessions = ks::transfer::SessionTable::Global().Size();
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetIsTraning DownLoad %d UpLoad %d", downloads,
              static_cast<int>(sessions));
  *reply = MakeGetIsTransferringReply(
      *head, Transferring{SaturateU16(static_cast<int64_t>(sessions)), SaturateU16(downloads)});
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetIsMobileLinked) {
  uint32_t linked = 0xFFFFFFFFu;
  std::optional<std::time_t> last = ks::session::LastMobileHeartBeat();
  if (!last) {
    KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetIsMobileLinked no recv any heart beat.");
  } else {
    std::time_t now = std::time(nullptr);
    long long diff = now > *last ? now - *last : *last - now;
    KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetIsMobileLinked time diff %lld", diff);
    if (ks::session::MobileHeartBeatRecentAt(*last, now)) linked = 0;
  }
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetIsMobileLinked  iIsMobileLineked %d", static_cast<int>(linked));
  *reply = MakeResultReply(*head, linked);
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_AutoTiding) {
  if (head->type == MSG_SHOW_GET_AUTO_TIDING) {
    std::string status;
    if (GetTidingStatusByType(kTidingByDate, status) != 0) return -1;
    uint8_t c = status.empty() ? 0 : static_cast<uint8_t>(status[0]);
    *reply = MakeGetAutoTidyingReply(*head, c);
    return KS_OK;
  }
  // MSG_SHOW_SET_AUTO_TIDING: no reply either way.
  if (!body || bodyLength == 0) return -1;
  if (body[0] != '0' && body[0] != '1') return KS_OK;
  return SetTidingStatusByType(kTidingByDate, std::string(1, static_cast<char>(body[0]))) == 0 ? KS_OK
                                                                                               : -1;
}

void LaunchAppIntoDifferentSession(const uint8_t* body, size_t length) {
  ExecRequest req;
  if (!ParseExecBody(body, length, &req)) {
    KS_SHOW_LOG(LOG_LEVEL_WARNING, "exec request of %zu bytes has no session id", length);
    return;
  }
  if (req.session == 0) return;
  std::string error;
  auto rc = ks::platform::CurrentSessionLauncher().Launch(req.session, req.command, &error);
  if (rc != ks::platform::SessionLauncher::kStarted)
    KS_SHOW_LOG(LOG_LEVEL_WARNING, "session %u: %s", req.session, error.c_str());
}

KS_DEFINE_DESKTOP_HANDLER(Show_Exec) {
  (void)head;
  (void)reply;
  LaunchAppIntoDifferentSession(body, bodyLength);
  return KS_OK;
}

}  // namespace ks::desktop
