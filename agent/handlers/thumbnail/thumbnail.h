// Thumbnails for mobile clients: MSG_REQ_DOWNLOAD_THUMBNAIL (0x3001).
//
// Request ThumbTransStatusHead (360 bytes, big-endian):
//   0 u16 width, 2 u16 height, 4 char[256] path (UTF-8 share path, may begin with a virtual
//   share name), 260 100 bytes not read.
// A relayed request (direct flag 0 and no UDT socket) begins with the 64-byte peer id and
// the inner MsgHead: the 360 bytes start at offset 72.
//
// Answer: the thumbnail (JPEG, exactly width x height) in chunks of at most 1000 bytes,
// each one message: ThumbChunkHead (16 bytes, big-endian: u16 length = chunk + 16,
// u16 0x3001, u32 request word, u32 total size, u32 offset of the chunk) and the chunk
// bytes; then ThumbStatusMsg (12 bytes: MsgHead {12, 0x3002, request word}, u16 status,
// u16 0). Status 0: everything was sent; 1: failed, and then no chunk precedes it unless a
// send broke off mid-way. Relayed, each message is preceded by the 134-byte RelayHead:
// ServerHead {u16 total length, u16 370, u16 0x1009, char[64] own device id} and the
// char[64] peer id of the request, so a chunk grows by 150 bytes and the status is 146.
// Every message is one Channel::Write, so UDT peers receive them whole and in order.
//
// The thumbnail is made in memory (no temporary file). The handler runs on the executor of
// the connection that received it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"
#include "agent/net/reply/reply.h"

namespace ks::handlers {

constexpr size_t kThumbRequestSize = 360;
constexpr size_t kThumbPathField = 256;
constexpr size_t kThumbRelayPrefix = 72;   // peer id + inner MsgHead
constexpr size_t kThumbChunkHeadSize = 16;
constexpr size_t kThumbStatusSize = 12;
constexpr size_t kThumbChunkMax = 1000;
constexpr uint16_t kThumbStatusSent = 0;
constexpr uint16_t kThumbStatusFailed = 1;

struct ThumbRequest {
  uint16_t width = 0;
  uint16_t height = 0;
  std::string path;  // resolved local path (any length)
};

// The reply route of a relayed request (agent/net/reply): the RelayHead {length, 370,
// 0x1009, own device id} + the 64-byte peer id goes before every message.
using ThumbRelay = ks::reply::ClientRoute;
ThumbRelay MakeThumbRelay(const uint8_t* peerId);

// The handler (contract in agent/net/msg/msg.h). 274 for a null body; otherwise the result
// of the last message sent: 0, or -1 when a send failed.
int ReqDownloadThumbNial(const uint8_t* body, size_t bodyLength, const net::MsgHead* head,
                         net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);

// 0: the path resolved to an existing regular file (in out->path); 4123: the virtual
// share's folder is not set; 1: a request shorter than 360 bytes, a path refused by the
// share test, or a missing file. The path is read within its 256-byte field.
int Parse_ThumbTransStatusHead(const uint8_t* body, size_t length, ThumbRequest* out);

// One ThumbStatusMsg, relayed when relay is not null. 0 sent, -1 not.
int SendThumbStatus(net::Channel* conn, uint16_t status, uint32_t requestId, const ThumbRelay* relay);

// The chunks of data and then status 0; on a failed send, status 1 and -1.
int SendThumbChunks(net::Channel* conn, uint32_t requestId, const uint8_t* data, size_t size,
                    const ThumbRelay* relay);

}  // namespace ks::handlers
