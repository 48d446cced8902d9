// FakeVendorServer: the vendor's server as the agent sees it, on 127.0.0.1:<ephemeral>.
//
// Every request starts with the 70-byte ServerHead (u16 total length, u16 version 370, u16
// opcode, char[64] device id; big-endian) followed by length - 70 body bytes. Replies start
// with the 8-byte reply head (u16 total length, u16 0, u16 0 / the opcode for relay
// traffic, u16 status). A connection is read request after request until the agent closes
// it, so one-shot exchanges and the long-lived relay connections share one reader.
//
// Roles:
// - One-shot requests (LOGON 0x1001, LOGOUT 0x1002, SET_SV_INFO 0x1004, GET_UUID 0x1006,
//   SET_POWER_ON_INFO 0x100F, and any unknown opcode): recorded in arrival order with their
//   decoded fields, answered as scripted per opcode.
// - Relay (fake_vendor_relay.cpp): the interline connection registered by 0x1008 (acked
//   with {8, 0, 0x1008, 0}); relayed requests pushed to the agent (0x1009, optionally in
//   pieces); relayed answers (0x1009) and file data (0x100B) collected per peer id; the
//   relay poll (0x100C) answered from a queue of inner messages.
//
// Faults in what the agent sends (wrong version, short body, a text field without its NUL,
// reserved bytes not zero, a relayed inner length that disagrees with the frame) are kept
// in ProtocolErrors(); a wrong version or a length below 70 also ends the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/fakes/conn_server.h"
#include "tests/fakes/script.h"
#include "tests/fakes/wire.h"

namespace ks::fake {

struct ServerAction {
  enum class Kind {
    kAnswer,   // send the reply (after delay_ms)
    kClose,    // close the connection without an answer (after delay_ms)
    kSilence,  // answer nothing, keep reading the connection
  };
  Kind kind = Kind::kAnswer;
  uint16_t status = 0;
  int delay_ms = 0;
  std::optional<ByteString> body;       // reply body; GET_UUID's default is the issued id
  std::optional<ByteString> raw_reply;  // sent as it stands instead of head + body

  static ServerAction Status(uint16_t status, int delay_ms = 0);
  static ServerAction Close(int delay_ms = 0);
  static ServerAction Silence();
  static ServerAction Raw(ByteString bytes);
  static ServerAction WithBody(uint16_t status, ByteString body);
};

// One request as the server read it. Decoded fields are those of its opcode's body.
struct ServerRequest {
  int connection = 0;  // which accepted connection it came on (1, 2, ...)
  uint16_t length = 0;
  uint16_t version = 0;
  uint16_t opcode = 0;
  std::string device_id;
  ByteString body;
  std::chrono::steady_clock::time_point received;

  std::string account;        // LOGON, LOGOUT, SET_SV_INFO, SET_POWER_ON_INFO
  std::string password;       // LOGON, LOGOUT
  uint16_t system_type = 0;   // LOGON, SET_SV_INFO, SET_POWER_ON_INFO (little-endian there)
  std::string os_name;        // LOGON
  std::string mac;            // LOGON, SET_POWER_ON_INFO
  std::string local_ip;       // SET_SV_INFO, dotted
  uint16_t upnp_port = 0;     // SET_SV_INFO
  uint16_t message_port = 0;  // SET_SV_INFO
  std::string host_name;      // SET_SV_INFO, SET_POWER_ON_INFO
};

// A message the agent sent through the relay: an answer on the interline connection
// (0x1009) or a download package / end notice on a file-data connection (0x100B).
struct RelayedMessage {
  enum class Channel { kInterline, kFileData };
  Channel channel = Channel::kInterline;
  int connection = 0;
  uint16_t opcode = 0;
  uint16_t frame_length = 0;
  std::string device_id;  // the agent's own id (head)
  std::string peer_id;    // the id after the head: whom the message is for
  Message inner;          // MsgHead + payload
  std::chrono::steady_clock::time_point received;
};

class FakeVendorServer {
 public:
  struct Options {
    int idle_timeout_ms = 120000;  // a silent connection is dropped after this
    int send_timeout_ms = 5000;
    std::string issued_device_id = "KSDEV-00000000-FAKE-0001";
  };

  FakeVendorServer();
  explicit FakeVendorServer(Options options);
  ~FakeVendorServer();
  FakeVendorServer(const FakeVendorServer&) = delete;
  FakeVendorServer& operator=(const FakeVendorServer&) = delete;

  uint16_t port() const { return server_->port(); }
  int connections() const { return server_->accepted(); }

  // --- scripts, per opcode: queued actions first, in order, then the fixed one ---------
  // Fixed defaults: status 0 for everything but SRV_RELAY_POLL (status 1: nothing to
  // relay) and agent answers on SRV_RELAY_TO_PEER (silence: no acknowledgement).
  void SetAction(uint16_t opcode, ServerAction action);
  void QueueActions(uint16_t opcode, const std::vector<ServerAction>& actions);
  void SetStatus(uint16_t opcode, uint16_t status);
  void QueueStatuses(uint16_t opcode, const std::vector<uint16_t>& statuses);
  void SetIssuedDeviceId(const std::string& id);  // GET_UUID's default reply body

  // --- records of one-shot requests ------------------------------------------------------
  std::vector<ServerRequest> Requests() const;
  std::vector<ServerRequest> Requests(uint16_t opcode) const;
  std::vector<uint16_t> Opcodes() const;  // arrival order
  size_t RequestCount() const;
  size_t RequestCount(uint16_t opcode) const;
  bool WaitForRequests(size_t count, int timeout_ms) const;
  bool WaitForRequests(uint16_t opcode, size_t count, int timeout_ms) const;
  std::vector<std::string> ProtocolErrors() const;
  void ClearRecords();  // requests, relay records and protocol errors

  // --- relay roles (fake_vendor_relay.cpp) -----------------------------------------------
  // Interline: number of 0x1008 requests seen (registration and keep-alives).
  size_t InterlineRequests() const;
  bool WaitForInterline(int timeout_ms) const;  // a relay connection is registered
  int InterlineConnection() const;              // its connection id, -1 while none
  void CloseInterline();                        // the server drops the relay connection
  // Builds a relayed request: ServerHead {134 + inner, 370, 0x1009, id_a} + char[64] id_b
  // + inner message.
  static ByteString RelayedRequestFrame(const ByteString& inner, const std::string& id_a,
                                        const std::string& id_b);
  // The server's 8-byte acknowledgement on the relay connection: {8, 0, opcode, status}.
  static ByteString AckFrame(uint16_t opcode, uint16_t status = 0);
  // Pushes a relayed request on the interline connection, in `piece`-byte pieces (0 =
  // whole) with `gap_ms` between them. False when no relay connection is registered.
  bool RelayToAgent(const ByteString& inner, const std::string& id_a, const std::string& id_b,
                    size_t piece = 0, int gap_ms = 0);
  // Any bytes (acknowledgements, coalesced frames, garbage) on the interline connection.
  bool SendOnInterline(const ByteString& raw, size_t piece = 0, int gap_ms = 0);

  std::vector<RelayedMessage> RelayedMessages() const;
  bool WaitForRelayed(size_t count, int timeout_ms) const;
  // Takes the oldest relayed message not yet taken whose peer id is in `peer_ids`.
  bool TakeRelayed(const std::set<std::string>& peer_ids, RelayedMessage* out, int timeout_ms);

  // Relay poll: inner messages (MsgHead + payload) handed out one per poll, status 0.
  void QueuePollMessage(const ByteString& inner);
  size_t PendingPollMessages() const;
  std::vector<std::chrono::steady_clock::time_point> PollTimes() const;
  bool WaitForPolls(size_t count, int timeout_ms) const;

 private:
  using ConnPtr = std::shared_ptr<ConnServer::Conn>;

  void Serve(const ConnPtr& conn);
  // Each handler returns false to end the connection.
  bool HandleOneShot(const ConnPtr& conn, const ServerHead& head, const ByteString& body);
  bool HandleInterline(const ConnPtr& conn, const ServerHead& head, const ByteString& body);
  bool HandleRelayed(const ConnPtr& conn, const ServerHead& head, const ByteString& body,
                     RelayedMessage::Channel channel);
  bool HandlePoll(const ConnPtr& conn, const ServerHead& head, const ByteString& body);
  // Runs the action: delay, then answer `default_reply` (or the action's own bytes).
  bool Apply(const ConnPtr& conn, const ServerAction& action, uint16_t opcode,
             const ByteString& default_body);
  Script<ServerAction>& ScriptFor(uint16_t opcode);
  void Error(std::string text);
  void DecodeBody(ServerRequest* r);

  Options options_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<ServerRequest> requests_;
  std::vector<std::string> errors_;
  std::map<uint16_t, std::unique_ptr<Script<ServerAction>>> scripts_;
  std::string issued_id_;

  // relay state, under mu_
  ConnPtr interline_;
  size_t interline_requests_ = 0;
  std::vector<RelayedMessage> relayed_;
  std::vector<bool> taken_;
  std::vector<ByteString> poll_queue_;
  std::vector<std::chrono::steady_clock::time_point> polls_;

  std::unique_ptr<ConnServer> server_;  // last: its threads use everything above
};

}  // namespace ks::fake
