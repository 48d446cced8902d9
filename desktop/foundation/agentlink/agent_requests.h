// The desktop program's synchronous questions to the agent that CUIData answers from one or
// two requests over CSocketConnect: the log-on state, the transfer state and the automatic
// tidying switch. Every request is made by common/wire/desktop and every reply read there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/foundation/agentlink/socket_connect.h"
#include "desktop/foundation/agentlink/ui_data.h"

namespace ks::desktop {

// The agent's log-on status word as the desktop program's log-on state: 0 → 1 (logged on),
// 4096/4097 → 4, 4122 (network error) → 5, 4127 (wrong account or password) → 2,
// 4132 (log-on or server selection failed) → 7, anything else the word itself.
int MapLogOnStatus(uint32_t status);
// MSG_SHOW_LOGON_STATUS: -2 / -3 / 10060 as SendRequest gives them; 0 without a matching
// reply; else MapLogOnStatus of the agent's word.
int GetLogOnStatus(const CSocketConnect& link, const std::string& host);

// The agent's u16 pair (open transfer sessions, running downloads; sessions count the
// downloads too): 3 uploading (sessions > downloads), else 4 downloading (downloads > 0),
// else 2 (linked, idle).
int MapTransferring(uint16_t sessions, uint16_t downloads);
// 0 no answer, 1 no mobile client linked, else MapTransferring of MSG_SHOW_GET_IS_TRANSFERRING.
int GetTransferState(const CSocketConnect& link, const std::string& host);

// MSG_SHOW_SET_AUTO_TIDING: sent whole, never answered; 0 when sent.
int SetAutoTiding(const CSocketConnect& link, const std::string& host, bool on);
// MSG_SHOW_GET_AUTO_TIDING: 0 and *on; SendRequest's failure, or -1 without a matching reply.
int GetAutoTiding(const CSocketConnect& link, const std::string& host, bool* on);

// MSG_SHOW_GET_SHARE: 0 and the agent's shared folders (the list replaced only then);
// SendRequest's failure, or -1 without a matching reply (the list untouched).
int GetShare(const CSocketConnect& link, const std::string& host, std::vector<std::string>* folders);
// MSG_SHOW_SET_SHARE with the whole list: the agent's result word; -1 when the list does not
// fit one message (nothing sent) or no matching reply came; SendRequest's failures as given.
int SetShare(const CSocketConnect& link, const std::string& host, const std::vector<std::string>& folders);
// MSG_SHOW_GET_LOGON_INFO: 0 and the stored account; failures as GetShare.
int GetLogOnInfo(const CSocketConnect& link, const std::string& host, std::string* account, std::string* password);

// ---- decoding what the agent sends (bounded: nothing is read past `length` and nothing is
// written past a field; texts are cut at whole UTF-8 characters) ----

// Copies text into a NUL-padded field of `size` bytes (at most size - 1 bytes of text).
void CopyTextField(char* field, size_t size, const std::string& text);
// The record of a MSG_SHOW_DEVICE_LOGIN_ASK push (`message` whole, head included, length at
// least 8): the sender from body bytes 64..127, the network text from 128..191 (each up to
// its NUL, at most 63 bytes; missing bytes read as zeros), the head's request word as its
// four bytes arrived, age 0.
ConnectRequestInfo MakeConnectRequestInfo(const uint8_t* message, size_t length);
// The transfer-log records of a MSG_SHOW_GET_TRANS_LOG reply body, in order; a remainder
// shorter than a record is ignored.
std::vector<TransferLogItem> MakeTransferLogItems(const uint8_t* body, size_t length);

}  // namespace ks::desktop
