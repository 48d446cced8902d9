// What the peer-to-peer module needs from the rest of the agent, in one place: the
// rendezvous server and account (local database), the MAC text and host name (network
// identity), pool jobs (thread pool), Dispatch and the end of a channel (message layer).
// Each function is a thin forward; the module calls nothing else outside its folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::p2p::links {

// ks_conf p2phost / p2pport (GetP2PServerInfo); "" and 0 when unset.
void RendezvousServer(std::string* host, uint16_t* port);
// ks_user email (GetUsernfo); "" when there is no account.
std::string AccountEmail();
// The MAC text kept at start-up ("00-1A-2B-3C-4D-5E").
std::string MacText();
// The machine's host name (GetHostName) in UTF-8: converted from the agent's text encoding
// unless that is "en".
std::string HostNameUtf8();

// Runs `job` on the agent's thread pool; false when it could not be started.
bool StartJob(std::function<void()> job);

// Dispatch with origin P2P and direct 1.
int DispatchP2P(const net::MsgHead& head, const uint8_t* body, size_t bodyLength,
                net::Channel* conn, std::vector<uint8_t>* reply, int udtSocket);

// Tells the channel-closed listeners that a channel ended (the transfer sessions bound to it
// are dropped). Called after the last handler for it returned, with no P2P lock held.
void ChannelClosed(const net::Channel& channel);

// A channel id unique in the process.
uint64_t NewChannelId();

}  // namespace ks::p2p::links
