// Mobile device session: log-in, heart-beat and power-down requests of mobile clients.
//
// MSG_REQ_DEVICE_LOGIN (8): body char[32] account, char[32] password, further bytes up to
// 256 in all. A client presenting the stored account and password (both non-empty) is
// accepted at once; any other is put to the owner: the 264-byte MSG_SHOW_DEVICE_LOGIN_ASK
// (0x500D: MsgHead {264, 0x500D, word}, the first 256 body bytes) goes to the desktop
// program on 127.0.0.1:ks::settings::DesktopPort(), which answers with 12 bytes (MsgHead
// {12, 0x500D, any}, u32 verdict 0 accepted) within ks::settings::ConfirmSeconds(). No
// desktop program, silence, or any other answer refuses. The answer to the client is 12
// bytes, MsgHead {12, 8, 0}, u16 verdict (0 accepted, 1 refused), u16 0; it goes through
// the channel, or through the reply for a relayed request. The wait runs on the thread
// that serves the request's connection (never the event loop); a connection that closes
// meanwhile only loses its answer. Verdicts are not remembered.
//
// MSG_REQ_DEVICE_HEARTBEAT (0x8888), any body: reply MsgHead {12, 0x8888, word}, u16 0,
// u16 370; records the time of the last heart-beat.
//
// MSG_REQ_SHUTDOWN_SYSTEM (9), any body: asks the platform PowerControl to hibernate; on
// success logs out at the vendor's server and raises the agent's stop flag. No answer.
//
// Handlers follow the contract of agent/net/msg/msg.h and log under "Intranet tran".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::mobile {

constexpr size_t kLoginBodySize = 256;
constexpr size_t kLoginAccountSize = 32;
constexpr size_t kLoginAskSize = 8 + kLoginBodySize;  // 264
constexpr size_t kLoginAnswerSize = 12;
constexpr size_t kDesktopAnswerSize = 12;
constexpr uint16_t kVerdictAccepted = 0;
constexpr uint16_t kVerdictRefused = 1;

int ReqDeviceLogin(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                   ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int ReqDeviceHeartBeat(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                       ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int ReqShutDownSystem(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                      ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);

// One exchange with the desktop program on 127.0.0.1:DesktopPort(): sends `length` bytes
// of `message` (send time-out 1 s) and reads exactly `answerLength` bytes into `answer`
// within ConfirmSeconds() (ended early by the agent's stop flag). 0 when the whole answer
// was read, else -1. The socket is closed on every path.
int AskDesktopLogin(const uint8_t* message, size_t length, uint8_t* answer, size_t answerLength);

// The request word of the next MSG_SHOW_DEVICE_LOGIN_ASK: the low 32 bits of the current
// time in seconds, but always above the previous one, so that two asks within one second
// never share a word at the desktop program.
uint32_t NextLoginAskWord();

}  // namespace ks::mobile
