// Account, log-on and identity requests of the desktop program.
#include "agent/db/local_db.h"
#include "agent/handlers/desktop/desktop_internal.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/net/session/wire_text.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"

namespace ks::desktop {

KS_DEFINE_DESKTOP_HANDLER(Show_GetLogOnInfo) {
  UserRecord user;
  GetUsernfo(user);
  *reply = MakeGetLogOnInfoReply(*head, LogOnInfo{user.email, user.psw});
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_LogOnStatues) {
  uint32_t result = ks::session::LogOnResult();
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_LogOnStatues statues %d ", static_cast<int>(result));
  *reply = MakeResultReply(*head, result);
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_LogOn) {
  if (!body || bodyLength == 0) {
    KS_SHOW_LOG(LOG_LEVEL_ERROR, "%s", kNoBody);
    return KS_NULL_INPUT;
  }
  LogOnRequest req = ParseLogOnBody(body, bodyLength);
  KS_SHOW_LOG(LOG_LEVEL_DEBUG, "--------------------------username %s psw %s", req.account.c_str(),
              req.password.c_str());
  int refused = KS_OK;
  if (req.account.empty() || req.password.empty())
    refused = KS_EMPTY_ACCOUNT;
  else if (CheckInvalidChar(req.account) != 0 || CheckInvalidChar(req.password) != 0)
    refused = KS_INVALID_ACCOUNT;
  if (refused != KS_OK) {
    KS_SHOW_LOG(LOG_LEVEL_WARNING, "user name or pass world error .username %s psw %s",
                req.account.c_str(), req.password.c_str());
    *reply = MakeResultReply(*head, static_cast<uint32_t>(refused));
    return refused;
  }

  // The previous account leaves the server before the new one is stored; before the
  // start-up log-on has chosen a server, that is the default one.
  ServerRecord previous = ks::session::CurrentServer();
  if (previous.host.empty()) GetDefSVInfo(previous);
  ks::session::LogOut(previous);
  if (WriteLogOnInfo(UserRecord{req.account, req.password}) != 0) {
    KS_SHOW_LOG(LOG_LEVEL_ERROR, "write log on info to db error.");
    *reply = MakeResultReply(*head, KS_DB_WRITE_FAILED);
    return KS_DB_WRITE_FAILED;
  }
  ServerRecord server = ks::session::CurrentServer();
  if (server.host.empty()) {
    if (GetDefSVInfo(server) != 0 || server.host.empty()) {
      KS_SHOW_LOG(LOG_LEVEL_ERROR, "select server error.");
      *reply = MakeResultReply(*head, KS_INVALID_ACCOUNT);
      return -1;
    }
    ks::session::SetCurrentServer(server);
  }
  KS_LOG_INFO("CommLib", "login on server :%s", server.host.c_str());

  int rc = ks::session::LogOn(server);
  ks::session::SetLogOnResult(rc);
  ks::session::SetSVInfo();
  ks::session::SetPowerOnInfo();
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_LogOn return code %d ", rc);
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_LogOut) {
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_LogOut");
  ks::session::LogOut(ks::session::CurrentServer());
  int rc = ClearLogOnInfo();
  ks::session::SetLogOnResult(KS_EMPTY_ACCOUNT);
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetPwd) {
  std::string psw;
  GetPsw(psw);
  *reply = MakeTextFieldReply(*head, psw);
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_SetPwd) {
  int rc = SetPsw(ParseSetPwdBody(body, bodyLength));
  *reply = MakeResultReply(*head, static_cast<uint32_t>(rc));
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetMac) {
  *reply = MakeTextFieldReply(*head, ks::state::MacText());
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(Show_GetSysType) {
  uint16_t type = ks::state::SystemType();
  KS_SHOW_LOG(LOG_LEVEL_INFO, "Show_GetSysType DownLoad %d ", type);
  *reply = MakeResultReply(*head, type);
  return KS_OK;
}

KS_DEFINE_DESKTOP_HANDLER(GetVerAndType) {
  std::string host;
  if (GetHostName(host) != 0) host.clear();
  VerAndType v{ks::state::SystemType(), ks::proto::kProtocolVersion, ks::state::DeviceId(),
               ks::session::ToWireUtf8(host)};
  *reply = MakeGetVerAndTypeReply(*head, v);
  return KS_OK;
}

}  // namespace ks::desktop
