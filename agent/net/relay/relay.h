// The relay: how mobile clients that cannot reach the PC directly are served through the
// vendor's server ("interline"). Three parts, each a pool job with its own connections to
// the current server:
//
// - Relay client (StartRecvInterLine -> OS_RunEventClient): one long-lived libevent TCP
//   connection. It registers as this PC's relay channel with SRV_INTERLINE_REQ (a bare
//   70-byte ServerHead) on connecting and again every keep-alive interval. The server
//   pushes relayed requests (relay_frame.h); each is dispatched with origin kRelay, direct
//   0, no UDT socket, on a channel that writes raw bytes to the relay connection. Handlers
//   run one after the other on a pool worker (never on the loop thread), so a handler that
//   waits (a device log-in the owner must confirm) blocks neither the keep-alive nor the
//   reading. A stream out of step (relay_frame.h: junk, a head cut short) or a frame still
//   incomplete at two keep-alives in a row with nothing else read ends the session, and the
//   job connects again after the retry pause, as after a close. The handler's body is id
//   A, the client's MsgHead, its payload:
//     * a single reply (the reply vector) is sent by the relay client wrapped in a RelayHead
//       {SRV_RELAY_TO_PEER, own device id, peer id B};
//     * streamed answers (listings, thumbnails) are wrapped by the handlers themselves with
//       the 64-byte id in front of the body (A) as peer id, and written whole, one
//       Channel::Write per message.
//   A session ends on the server's close, an error, "exit" on the control pair
//   (RequestRelayExit, used by the heart-beat to move to another server) or the agent's
//   stop flag. StartRecvInterLine starts a new session a retry interval after the last one
//   ended, while the log-on result is 0 and the current server has a host.
//
// - Relay poll (InterLineUpLoadFile): while transfer sessions are open, asks the server
//   for relayed upload traffic with SRV_RELAY_POLL (bare 70-byte head) on its own
//   connection. Each 8-byte reply head: status 0 with a body carries one inner message,
//   dispatched with origin kRelayPoll, direct 1, a NullChannel (answers go nowhere);
//   status 0 without a body pauses the first back-off step; any other status backs off
//   100, 200, 400 ... ms and drops the connection once the doubled pause passes 10 s.
//   Relay-owned sessions idle for long expire here.
//
// - Relayed download (DownLoadFile_Cash): one job per MSG_ALLOW_DOWNLOAD_FILE that came
//   through the relay. It takes the download session out of the table, connects to the
//   current server and sends the file from the start offset as SRV_RELAY_FILE_DATA
//   packages (RelayHead with the client's id, MsgHead {20 + n, MSG_DOWNLOAD_DATA, session
//   id}, u32 package number = offset / 1000 + 1 first, u32 0, u32 0, n <= 1000 bytes), each
//   answered by an 8-byte reply head: 0 next package; 4116 (server cache full) the same
//   package after 100 ms, for at most 30 s; a lost connection reconnects every 2 s for at
//   most 30 s and sends the package again. It ends with the relayed end notice ("0" whole
//   file, "1" failure) except when stopped: a MSG_STOP_DOWNLOAD for its session id (the
//   stop list) is seen before each package and within every wait.
//
// Where the current server and the log-on result come from is set once at start-up
// (SetServerSource); the device id is ks::state::DeviceId(). Log modules: "CommLib" for the
// relay client, "Intranet tran" for the poll and the downloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "agent/db/local_db.h"

namespace ks::relay {

// ---- start-up wiring ------------------------------------------------------------------

// The vendor session's current server and log-on result. Until it is set the relay sees
// no server and a non-zero log-on result, and stays idle.
void SetServerSource(ServerRecord (*currentServer)(), uint32_t (*logOnResult)());
ServerRecord CurrentServer();
uint32_t LogOnResult();

// Intervals. The product's values; the first two follow ks::settings (RelayRetrySeconds,
// PollSeconds). Tests shorten them with SetRelayTimings.
struct RelayTimings {
  int retryMs = 30000;         // pause between relay sessions
  int keepAliveMs = 30000;     // interline request re-sent
  int connectTimeoutMs = 5000;  // relay connection must be up by then
  int ioTimeoutMs = 5000;      // send and receive time-outs of the poll and download sockets
  int pollMs = 5000;           // relay poll's pause between rounds
  int backoffStartMs = 100;
  int backoffLimitMs = 10000;  // the doubled pause above this drops the poll connection
  int reconnectPauseMs = 2000;
  int reconnectLimitMs = 30000;
  int cacheFullPauseMs = 100;
  int cacheFullLimitMs = 30000;
  int sessionIdleSeconds = 600;  // relay-owned transfer sessions expire after this idle time

  static RelayTimings FromSettings();
};
RelayTimings Timings();
void SetRelayTimings(const RelayTimings& t);

// The poll's pause; returns true when the agent's stop flag ended it. Tests replace it to
// record the back-off without waiting (null restores the default).
using PollSleep = std::function<bool(int ms)>;
void SetPollSleepForTest(PollSleep sleep);

// ---- relay client -------------------------------------------------------------------------

// Pool job: relay sessions until the agent's stop flag.
void StartRecvInterLine(void* arg);
// One relay session with the server (host name or dotted address, port). 0 when the
// session ran (whatever ended it), -1 when it could not be set up (logged).
int OS_RunEventClient(const char* host, uint16_t port);
// Asks the running relay session to end ("exit " on the control pair). False when none
// runs. Safe from any thread.
bool RequestRelayExit();
// True while a relay session's control pair exists.
bool RelayRunning();

// ---- relay poll ---------------------------------------------------------------------------

// Pool job: the relay poll until the agent's stop flag.
void InterLineUpLoadFile(void* arg);

// ---- relayed downloads --------------------------------------------------------------------

constexpr size_t kPackageSize = 1000;
constexpr size_t kPackageHeadSize = 20;  // MsgHead, u32 number, u32 0, u32 0
constexpr size_t kEndNoticeSize = 146;   // RelayHead + MsgHead {12, 0x1003, id} + 4 bytes
constexpr uint16_t kStatusCacheFull = 4116;

// The job record: owned and freed by DownLoadFile_Cash.
struct RelayDownloadJob {
  uint32_t sessionId = 0;
  uint32_t startOffset = 0;
  uint8_t peerId[64] = {};  // the client's id (the 64 bytes in front of the relayed request)
};

// Pool job (argument: a RelayDownloadJob allocated with new).
void DownLoadFile_Cash(void* job);
// Starts DownLoadFile_Cash for a relayed MSG_ALLOW_DOWNLOAD_FILE: 0, or -1 when no job
// could be started (the session is then removed).
int StartRelayedDownload(uint32_t sessionId, uint32_t startOffset, const uint8_t peerId[64]);

// Sends the relayed end notice on *sock, reads the 8-byte reply head, closes *sock (-1
// afterwards). 0 when the notice was sent and answered, else -1.
int WriteInterDownLoadOverMsg(const uint8_t peerId[64], int* sock, char status, uint32_t sessionId);

// Connects to the current server with the I/O time-outs set. 0, or -1 (*sock stays -1).
int ConnectCurrentServer(int* sock);

}  // namespace ks::relay
