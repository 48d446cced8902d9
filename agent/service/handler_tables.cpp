// The handler tables. A module that brings a handler adds its line here (and its header);
// the lines stay in this order.
#include "agent/service/handler_tables.h"

#include <mutex>

#include "agent/handlers/desktop/desktop.h"
#include "agent/handlers/download/download.h"
#include "agent/handlers/listing/listing.h"
#include "agent/handlers/mobile/mobile.h"
#include "agent/handlers/thumbnail/thumbnail.h"
#include "agent/handlers/upload/upload.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"

namespace ks::service {

using ks::net::Registration;
using ks::net::RegisterHandlers;

namespace {

// Mobile clients, in registration order:
//   {MSG_GET_SHARE_INFO, GetShareInfo, "GetShareInfo"},
//   {MSG_GET_ALL_SUB_FILE, GetAllSubFile, "GetAllSubFile"},
//   {MSG_REQ_UPLOAD_FILE, ReqUpLoadFile, "ReqUpLoadFile"},
//   {MSG_UPLOAD_FILE, UpLoadFile, "UpLoadFile"},
//   {MSG_OVER_UPLOAD_FILE, OverUpLoadFile, "OverUpLoadFile"},
//   {MSG_REQ_DOWNLOAD_FILE, ReqDownLoadFile, "ReqDownLoadFile"},
//   {MSG_ALLOW_DOWNLOAD_FILE, AllowDownLoadFile, "AllowDownLoadFile"},
//   {MSG_REFUSE_DOWNLOAD_FILE, RefuseDownLoadFile, "RefuseDownLoadFile"},
//   {MSG_REQ_DOWNLOAD_THUMBNAIL, ReqDownloadThumbNial, "ReqDownloadThumbNial"},
//   {MSG_STOP_DOWNLOAD, StopDownLoad, "StopDownLoad"},
//   {MSG_REQ_DEVICE_HEARTBEAT, ReqDeviceHeartBeat, "ReqDeviceHeartBeat"},
//   {MSG_REQ_SHUTDOWN_SYSTEM, ReqShutDownSystem, "ReqShutDownSystem"},
//   {MSG_REQ_DEVICE_LOGIN, ReqDeviceLogin, "ReqDeviceLogin"},
const std::vector<Registration>& BusinessTable() {
  static const std::vector<Registration> table = {
      {MSG_GET_SHARE_INFO, ks::listing::GetShareInfo, "GetShareInfo"},
      {MSG_GET_ALL_SUB_FILE, ks::listing::GetAllSubFile, "GetAllSubFile"},
      {MSG_REQ_UPLOAD_FILE, ks::upload::ReqUpLoadFile, "ReqUpLoadFile"},
      {MSG_UPLOAD_FILE, ks::upload::UpLoadFile, "UpLoadFile"},
      {MSG_OVER_UPLOAD_FILE, ks::upload::OverUpLoadFile, "OverUpLoadFile"},
      {MSG_REQ_DOWNLOAD_FILE, ks::download::ReqDownLoadFile, "ReqDownLoadFile"},
      {MSG_ALLOW_DOWNLOAD_FILE, ks::download::AllowDownLoadFile, "AllowDownLoadFile"},
      {MSG_REFUSE_DOWNLOAD_FILE, ks::download::RefuseDownLoadFile, "RefuseDownLoadFile"},
      {MSG_REQ_DOWNLOAD_THUMBNAIL, ks::handlers::ReqDownloadThumbNial, "ReqDownloadThumbNial"},
      {MSG_STOP_DOWNLOAD, ks::download::StopDownLoad, "StopDownLoad"},
      {MSG_REQ_DEVICE_HEARTBEAT, ks::mobile::ReqDeviceHeartBeat, "ReqDeviceHeartBeat"},
      {MSG_REQ_SHUTDOWN_SYSTEM, ks::mobile::ReqShutDownSystem, "ReqShutDownSystem"},
      {MSG_REQ_DEVICE_LOGIN, ks::mobile::ReqDeviceLogin, "ReqDeviceLogin"},
  };
  return table;
}

// Desktop program, in registration order (0x500D is sent by the agent, never received):
//   {MSG_SHOW_GET_LOGON_INFO, Show_GetLogOnInfo, "Show_GetLogOnInfo"},
//   {MSG_SHOW_LOGON_STATUS, Show_LogOnStatues, "Show_LogOnStatues"},
//   {MSG_SHOW_LOGON, Show_LogOn, "Show_LogOn"},
//   {MSG_SHOW_GET_DEF_SHARE, Show_GetDefShare, "Show_GetDefShare"},
//   {MSG_SHOW_SET_DEF_SHARE, Show_SetDefShare, "Show_SetDefShare"},
//   {MSG_SHOW_GET_SHARE, Show_GetShare, "Show_GetShare"},
//   {MSG_SHOW_SET_SHARE, Show_SetShare, "Show_SetShare"},
//   {MSG_SHOW_GET_PATH, Show_GetPath, "Show_GetPath"},
//   {MSG_SHOW_GET_TRANS_LOG, Show_GetTransLog, "Show_GetTransLog"},
//   {MSG_SHOW_GET_IS_TRANSFERRING, Show_GetIsTraning, "Show_GetIsTraning"},
//   {MSG_SHOW_GET_IS_MOBILE_LINKED, Show_GetIsMobileLinked, "Show_GetIsMobileLinked"},
//   {MSG_SHOW_GET_SYS_TYPE, Show_GetSysType, "Show_GetSysType"},
//   {MSG_SHOW_LOGOUT, Show_LogOut, "Show_LogOut"},
//   {MSG_SHOW_CLEAR_LOG, Show_ClearLog, "Show_ClearLog"},
//   {MSG_SHOW_GET_PWD, Show_GetPwd, "Show_GetPwd"},
//   {MSG_SHOW_SET_PWD, Show_SetPwd, "Show_SetPwd"},
//   {MSG_GET_VER_AND_TYPE, GetVerAndType, "GetVerAndType"},
//   {MSG_SHOW_GET_MAC, Show_GetMac, "Show_GetMac"},
//   {MSG_SHOW_GET_AUTO_TIDING, Show_AutoTiding, "Show_GetAutoTiding"},
//   {MSG_SHOW_SET_AUTO_TIDING, Show_AutoTiding, "Show_SetAutoTiding"},
//   {MSG_SHOW_EXEC, Show_Exec, "Show_Exec"},
const std::vector<Registration>& ShowTable() {
  static const std::vector<Registration> table = {
    {MSG_SHOW_GET_LOGON_INFO, ks::desktop::Show_GetLogOnInfo, "Show_GetLogOnInfo"},
    {MSG_SHOW_LOGON_STATUS, ks::desktop::Show_LogOnStatues, "Show_LogOnStatues"},
    {MSG_SHOW_LOGON, ks::desktop::Show_LogOn, "Show_LogOn"},
    {MSG_SHOW_GET_DEF_SHARE, ks::desktop::Show_GetDefShare, "Show_GetDefShare"},
    {MSG_SHOW_SET_DEF_SHARE, ks::desktop::Show_SetDefShare, "Show_SetDefShare"},
    {MSG_SHOW_GET_SHARE, ks::desktop::Show_GetShare, "Show_GetShare"},
    {MSG_SHOW_SET_SHARE, ks::desktop::Show_SetShare, "Show_SetShare"},
    {MSG_SHOW_GET_PATH, ks::desktop::Show_GetPath, "Show_GetPath"},
    {MSG_SHOW_GET_TRANS_LOG, ks::desktop::Show_GetTransLog, "Show_GetTransLog"},
    {MSG_SHOW_GET_IS_TRANSFERRING, ks::desktop::Show_GetIsTraning, "Show_GetIsTraning"},
    {MSG_SHOW_GET_IS_MOBILE_LINKED, ks::desktop::Show_GetIsMobileLinked, "Show_GetIsMobileLinked"},
    {MSG_SHOW_GET_SYS_TYPE, ks::desktop::Show_GetSysType, "Show_GetSysType"},
    {MSG_SHOW_LOGOUT, ks::desktop::Show_LogOut, "Show_LogOut"},
    {MSG_SHOW_CLEAR_LOG, ks::desktop::Show_ClearLog, "Show_ClearLog"},
    {MSG_SHOW_GET_PWD, ks::desktop::Show_GetPwd, "Show_GetPwd"},
    {MSG_SHOW_SET_PWD, ks::desktop::Show_SetPwd, "Show_SetPwd"},
    {MSG_GET_VER_AND_TYPE, ks::desktop::GetVerAndType, "GetVerAndType"},
    {MSG_SHOW_GET_MAC, ks::desktop::Show_GetMac, "Show_GetMac"},
    {MSG_SHOW_GET_AUTO_TIDING, ks::desktop::Show_AutoTiding, "Show_GetAutoTiding"},
    {MSG_SHOW_SET_AUTO_TIDING, ks::desktop::Show_AutoTiding, "Show_SetAutoTiding"},
    {MSG_SHOW_EXEC, ks::desktop::Show_Exec, "Show_Exec"},
  };
  return table;
}

// Each table is registered once per process: OS_Init fills the registry before the server
// accepts, and the start-up sequence calling RegBusinessFun again gets the same result.
int RegisterOnce(std::once_flag& once, int& result, const std::vector<Registration>& table) {
  std::call_once(once, [&] { result = RegisterHandlers(table.data(), table.size()); });
  return result;
}

}  // namespace

int RegShowFun() {
  static std::once_flag once;
  static int result = 0;
  return RegisterOnce(once, result, ShowTable());
}

int RegBusinessFun() {
  static std::once_flag once;
  static int result = 0;
  int rc = RegisterOnce(once, result, BusinessTable());
  return rc != 0 ? rc : RegShowFun();
}

}  // namespace ks::service
