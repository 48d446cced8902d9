// Peer-to-peer transfer over UDT: mobile clients outside the home network reach the agent
// directly after hole punching.
//
// Signalling. One UDP socket (any address, a port the system picks; 5 s time-outs) takes the
// datagrams of p2p_wire.h: hole punches (type 3) and acknowledgements (type 4) from the
// rendezvous server and from clients. The heartbeat (type 5, 150 bytes) goes every 10 s
// (KESTYL_P2P_HEARTBEAT_S) to the rendezvous server named in ks_conf (p2phost, p2pport).
// - A server's hole punch is answered three times, each time first to its address 1:port 1
//   and then to the server, with the 32-byte swapped form.
// - A client's hole punch is answered three times to the client with the 20-byte form, then
//   a UDT rendezvous connection to the client is started; so does a client's (kind 0)
//   acknowledgement.
//
// Peers. Each peer has its own UDP socket bound to the signalling port (SO_REUSEADDR) and
// connected to the peer; UDT runs on that socket (bind2) and closes it when the peer's UDT
// socket is closed. The signalling socket is never handed to UDT, so its datagrams,
// time-outs and life stay its own. A peer's UDP socket carries a receive time-out and a
// descriptor number above the low ones the process hands out, so that UDT's reader of a
// closed peer, which reads the number a little after UDT closed it, never blocks on (or
// takes the datagrams of) a socket someone else opened there. A connect runs as its own job (at most
// kMaxPendingConnects at once, one per peer address, kConnectTimeoutMs each); a failed one
// closes its sockets. Each connected peer gets a receive job (P2PTransThread) that reads
// messages with UDT recvmsg (2048 bytes), drops those whose MsgHead length is above 2048 or
// beyond the bytes received, and dispatches the rest with origin P2P, direct 1 and the UDT
// socket, through a UdtChannel (one whole in-order UDT message per Write). A handler's reply
// goes back the same way. Any receive error but "no data" (6002) and time-out (6003) ends the
// peer: sessions bound to its channel are dropped, then it leaves the peer list and its UDT
// socket is closed.
//
// Jobs and stopping. StartP2PClient (the receive loop) starts P2PTrans and SendP2PHearBeat;
// P2PTrans starts one P2PTransThread per new peer. Every job ends by itself once the stop
// flag is raised: peer jobs within their 1000 ms UDT receive time-out, the others at once.
//
// Loopback mode (KESTYL_LOOPBACK=1): nothing is sent to addresses outside 127.0.0.0/8, and
// no UDT connection is made to them.
//
// Lock order: the download sessions' mutex (taken by the channel-closed hook) is never taken
// while the peer-list mutex is held.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/net/p2p/p2p_wire.h"

namespace ks::p2p {

constexpr int kUdtReceiveTimeoutMs = 1000;
constexpr int kConnectTimeoutMs = 30000;
constexpr size_t kMaxPendingConnects = 8;
constexpr int kSignalTimeoutMs = 5000;
constexpr int kDefaultHeartBeatSeconds = 10;
constexpr int kResolveRetryMs = 30000;

// An entry of the peer list.
struct P2PPeer {
  uint8_t started = 0;  // its receive job runs
  uint32_t addr = 0;    // network order
  uint16_t port = 0;    // host order
  int udtSocket = -1;
};

// The receive loop (a pool job): sets everything up, then answers datagrams until the stop
// flag. Set-up failures log at ERROR and end the job; the agent goes on without P2P.
void StartP2PClient();

// Opens the signalling socket: 0, or -1 (nothing left open).
int CreateP2PUdpSocket();
// A rendezvous UDT socket on a new UDP socket bound to the signalling port and connected to
// `peer`: 0, or -1 with nothing left open.
int CreateUdtOnUdp(int* udtSocket, const sockaddr_in& peer);
// CreateUdtOnUdp, then the rendezvous connect (up to kConnectTimeoutMs, cut short by the
// stop flag): 0 with a connected socket, or -1 with nothing left open.
int ConnectUdtOnUdp(int* udtSocket, const sockaddr_in& peer);
// The heartbeat (a pool job): 150 bytes to the rendezvous server every interval.
void SendP2PHearBeat();
// Answers a hole punch received from `sender`.
void P2PHolePunch(const HolePunchInfo& info, const sockaddr_in& sender);
// Acts on an acknowledgement received from `sender` (only kind 0 starts a connection).
void P2PHoleACK(const HolePunchAck& ack, const sockaddr_in& sender);
// Starts a receive job per new peer until the stop flag (a pool job).
void P2PTrans();
// Receives and dispatches one peer's messages until the peer ends or the stop flag (a pool
// job; `peer` is its own copy).
void P2PTransThread(P2PPeer peer);
// Empties the peer list, closing the UDT sockets of peers whose job has not started.
void ClearP2PPeerList();
// Sends one datagram on the signalling socket to host:port. 0, or -1 when the socket is
// closed, data is null, the host does not resolve or the send fails.
int P2PSendToHost(uint16_t port, const void* data, size_t count, const std::string& host);

// State, for the service and tests.
uint16_t P2PUdpPort();     // the signalling port; 0 while closed
int P2PUdpSocket();        // the signalling socket; -1 while closed
size_t P2PPeerCount();     // entries of the peer list
int P2PJobsRunning();      // P2P jobs (all kinds) still running
// Waits until no P2P job runs; false when `timeoutMs` passed first.
bool WaitP2PJobsEnded(int timeoutMs);
// Ends UDT's own threads (its collector and the send and receive queues of every socket
// left). UDT's globals are destroyed when the process exits, and those threads must be gone
// by then. Call only once no P2P job runs; a later start brings UDT up again.
void StopUdt();

}  // namespace ks::p2p
