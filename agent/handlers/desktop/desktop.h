// The agent's handlers of the desktop program's requests (0x5000-0x5015) and of
// MSG_GET_VER_AND_TYPE (0x1013). The layouts of every request and reply, and the pure
// encoders and parsers of both ends, are common/wire/desktop (desktop_wire.h); its table is
// the one description of these messages.
//
// One request per loopback connection, one reply on it. Desktop types run only for
// messages from 127.0.0.1 (Dispatch refuses other origins); 0x1013 answers anyone.
// Everything logs under "Show". Texts are converted between the wire's UTF-8 and the
// agent's text encoding here; replies that would pass the u16 length (0x5006, 0x5008,
// 0x5009) are cut at a line or record boundary and the cut is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"
#include "common/wire/desktop/desktop_wire.h"

namespace ks::desktop {

using ks::net::Channel;
using ks::net::MsgHead;
using namespace ks::wire::desktop;

#define KS_DESKTOP_HANDLER(name)                                                        \
  int name(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn, \
           std::vector<uint8_t>* reply, int* udtSocket, int* direct)

KS_DESKTOP_HANDLER(Show_GetLogOnInfo);
KS_DESKTOP_HANDLER(Show_LogOnStatues);
KS_DESKTOP_HANDLER(Show_LogOn);
KS_DESKTOP_HANDLER(Show_GetDefShare);
KS_DESKTOP_HANDLER(Show_SetDefShare);
KS_DESKTOP_HANDLER(Show_GetShare);
KS_DESKTOP_HANDLER(Show_SetShare);
KS_DESKTOP_HANDLER(Show_GetPath);
KS_DESKTOP_HANDLER(Show_GetTransLog);
KS_DESKTOP_HANDLER(Show_GetIsTraning);
KS_DESKTOP_HANDLER(Show_GetIsMobileLinked);
KS_DESKTOP_HANDLER(Show_GetSysType);
KS_DESKTOP_HANDLER(Show_LogOut);
KS_DESKTOP_HANDLER(Show_ClearLog);
KS_DESKTOP_HANDLER(Show_GetPwd);
KS_DESKTOP_HANDLER(Show_SetPwd);
KS_DESKTOP_HANDLER(Show_GetMac);
KS_DESKTOP_HANDLER(Show_AutoTiding);  // 0x5013 and 0x5014
KS_DESKTOP_HANDLER(Show_Exec);
KS_DESKTOP_HANDLER(GetVerAndType);

#undef KS_DESKTOP_HANDLER

// Starts the command line of a MSG_SHOW_EXEC body in the given session through the
// platform's session launcher; session 0 or a session without a user starts nothing.
void LaunchAppIntoDifferentSession(const uint8_t* body, size_t length);

}  // namespace ks::desktop
