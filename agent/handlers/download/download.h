// Downloads to mobile clients.
//
// A client announces a file (MSG_REQ_DOWNLOAD_FILE), which opens a download session keyed
// by the channel's owner and the request word, then asks for the data from an offset
// (MSG_ALLOW_DOWNLOAD_FILE) and receives 1000-byte MSG_DOWNLOAD_DATA packages followed by
// MSG_DOWNLOAD_OVER. All numbers big-endian.
//
// MSG_REQ_DOWNLOAD_FILE (4), 356-byte body (a shorter one reads as zero-filled): byte 0
// unused, the file path in UTF-8 from offset 1 (NUL-terminated within 255 bytes). The file
// must pass CheckShareFilePath on its normalised path before anything touches it, be a
// regular file and hold at most 500 MiB (524288000 bytes). Answers (the reply):
//   OK    64 bytes: MsgHead {64, 0x1004, id}, u32 size, u32 packages (size / 1000 rounded
//         up), 16 bytes MD5 file fingerprint, 32 zero bytes
//   error 266 bytes: MsgHead {266, 0x1012, id}, u16 code, "0", 255 zero bytes; code 4118
//         (default share folder unset: result 4123; not shared: 4118), 4119 (missing: -1),
//         4120 (size unreadable or above the cap, or the streaming cap reached: -1)
//
// The file is opened once at the request by the share opener, which never follows a link
// out of the share: its fingerprint is taken from that descriptor and its device and inode
// kept in the session; the allow opens it again the same way and sends it only when it is
// the same file. A swap detected: 4119 at the request, MSG_DOWNLOAD_OVER "1" at the allow,
// a log line, nothing read.
// MSG_ALLOW_DOWNLOAD_FILE (5): u32 start offset at body offset 0 (after the relay prefix
// for a relayed request). Direct (local server, UDT): takes the session out of the table
// and streams the file from the offset, read in large blocks and cut into packages, on the
// thread serving the request's connection; the download counter counts it meanwhile. The
// file is never held whole: Channel::Write holds the sender back while the client is
// slow. A UDT channel gets one package per write; a byte stream (the local message
// server's TCP connections) gets the whole packages of one file read (up to 256) in one
// gathered write (Channel::WriteParts).
//   MSG_DOWNLOAD_DATA: MsgHead {20 + n, 0x1002, id}, u32 package number (offset / 1000 + 1
//   for the first, then +1), u32 0, u32 0, n <= 1000 file bytes
//   MSG_DOWNLOAD_OVER (the reply): MsgHead {12, 0x1003, id}, "0" whole file sent or "1"
//   failed (file gone, offset beyond its size, read error or file cut short), 3 zero bytes
// At most KESTYL_MAX_DOWNLOADS (kDefaultStreamCap) direct downloads stream at the same
// time, each holding a thread: beyond that a request gets the error 4120 and an allow
// MSG_DOWNLOAD_OVER "1". A client that stops reading ends its download with its connection
// (see the local message server's idle time-out for output that does not drain).
// A complete download writes a transfer-log row (type 1, the file's size). When a write
// fails (connection closed) the download ends without notice. No session: nothing sent.
// Relayed: the relay module's starter runs the download (SetRelayedDownloadStarter);
// until one is set a relayed allow sends nothing. Relay-poll requests have no channel to
// send data on: the session is dropped, nothing sent.
//
// MSG_REFUSE_DOWNLOAD_FILE (0x11): drops the session, no answer.
// MSG_STOP_DOWNLOAD (0x100E): for a non-zero word puts it on the stop list for relayed
// downloads, waits up to 100 ms for one to take it and then clears it; answers 9 bytes
// MsgHead {9, 0x100E, id}, "0".
//
// Handlers follow the contract of agent/net/msg/msg.h and log under "Intranet tran".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/core/transfer/transfer.h"
#include "agent/net/msg/msg.h"

namespace ks::download {

constexpr size_t kDownloadRequestSize = 356;
constexpr size_t kPathOffset = 1;
constexpr size_t kPathSize = 255;
constexpr size_t kPackageSize = 1000;
constexpr size_t kDataHeadSize = 20;
constexpr size_t kOkAnswerSize = 64;
constexpr size_t kErrorAnswerSize = 266;
constexpr size_t kOverSize = 12;
constexpr size_t kStopAnswerSize = 9;
// Files of this many bytes or more are refused (more than 500 x 1024 x 1024).
constexpr uint64_t kRefusedSize = 524288001;
constexpr int kDefaultStreamCap = 64;

int ReqDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                    ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int AllowDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                      ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int RefuseDownLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                       ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int StopDownLoad(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                 ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);

// MSG_DOWNLOAD_OVER for session `id` with status '0' or '1'.
std::vector<uint8_t> MakeDownloadOver(uint32_t id, char status);

// A relayed download: what the relay module needs to run it.
struct RelayedDownloadJob {
  uint32_t sessionId = 0;
  uint32_t startOffset = 0;
  uint8_t peerId[64] = {};  // the id in front of the relayed request
};
// Starts the job (as a pool job) and returns the start's result. The job takes the
// session out of the table itself.
using RelayedDownloadStarter = int (*)(const RelayedDownloadJob& job);
void SetRelayedDownloadStarter(RelayedDownloadStarter starter);

// Opens the file of a download session through the share opener (share_open.h): a
// regular file beneath its share root and, when the session knows it, the same device and
// inode as at the request. The descriptor (size in `size`), or -1 (a swap is logged).
int OpenDownloadFile(const ks::transfer::Session& session, uint64_t& size);

// Streams `size - offset` bytes of the open file `fd` from `offset` as MSG_DOWNLOAD_DATA
// packages of session `id` to `conn` (whole packages per write, see above). 0 all sent; 1 read error or the file ended early
// (packages sent so far stay sent); -1 a write failed; 273 out of memory.
int StreamFile(int fd, uint64_t offset, uint64_t size, uint32_t id, ks::net::Channel* conn);

}  // namespace ks::download
