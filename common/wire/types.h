// Message types of the message protocol (MsgHead, common/wire/wire.h) and the fixed values
// every end relies on: the protocol version the agent announces (MSG_GET_VER_AND_TYPE), the
// system type of this platform and the size of a device id field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ks::wire {

constexpr uint16_t kProtocolVersion = 370;
constexpr uint16_t kSystemType = 2;
constexpr size_t kDeviceIdSize = 64;

}  // namespace ks::wire

// Mobile clients (registered by RegBusinessFun).
enum : uint16_t {
  MSG_REQ_UPLOAD_FILE = 1,
  MSG_UPLOAD_FILE = 2,
  MSG_OVER_UPLOAD_FILE = 3,
  MSG_REQ_DOWNLOAD_FILE = 4,
  MSG_ALLOW_DOWNLOAD_FILE = 5,
  MSG_REQ_DEVICE_LOGIN = 8,
  MSG_REQ_SHUTDOWN_SYSTEM = 9,
  MSG_REFUSE_DOWNLOAD_FILE = 0x11,
  MSG_REQ_UPLOAD_FILE_OK = 0x1001,
  MSG_DOWNLOAD_DATA = 0x1002,
  MSG_DOWNLOAD_OVER = 0x1003,
  MSG_REQ_DOWNLOAD_FILE_OK = 0x1004,
  MSG_STOP_DOWNLOAD = 0x100E,
  MSG_UPLOAD_ERROR = 0x1011,
  MSG_DOWNLOAD_ERROR = 0x1012,
  MSG_GET_VER_AND_TYPE = 0x1013,
  MSG_GET_SHARE_INFO = 0x2002,
  MSG_GET_ALL_SUB_FILE = 0x2003,
  MSG_REQ_DOWNLOAD_THUMBNAIL = 0x3001,
  MSG_THUMBNAIL_STATUS = 0x3002,
  MSG_REQ_DEVICE_HEARTBEAT = 0x8888,
};

// Desktop program (registered by RegShowFun; loopback origin only).
enum : uint16_t {
  MSG_SHOW_GET_LOGON_INFO = 0x5000,
  MSG_SHOW_LOGON_STATUS = 0x5001,
  MSG_SHOW_LOGON = 0x5002,
  MSG_SHOW_GET_DEF_SHARE = 0x5004,
  MSG_SHOW_SET_DEF_SHARE = 0x5005,
  MSG_SHOW_GET_SHARE = 0x5006,
  MSG_SHOW_SET_SHARE = 0x5007,
  MSG_SHOW_GET_PATH = 0x5008,
  MSG_SHOW_GET_TRANS_LOG = 0x5009,
  MSG_SHOW_GET_IS_TRANSFERRING = 0x500A,
  MSG_SHOW_GET_IS_MOBILE_LINKED = 0x500B,
  MSG_SHOW_GET_SYS_TYPE = 0x500C,
  MSG_SHOW_DEVICE_LOGIN_ASK = 0x500D,  // sent by the agent to the desktop program
  MSG_SHOW_LOGOUT = 0x500E,
  MSG_SHOW_CLEAR_LOG = 0x500F,
  MSG_SHOW_GET_PWD = 0x5010,
  MSG_SHOW_SET_PWD = 0x5011,
  MSG_SHOW_GET_MAC = 0x5012,
  MSG_SHOW_GET_AUTO_TIDING = 0x5013,
  MSG_SHOW_SET_AUTO_TIDING = 0x5014,
  MSG_SHOW_EXEC = 0x5015,
};
