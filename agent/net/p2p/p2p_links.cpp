#include "agent/net/p2p/p2p_links.h"

#include "agent/db/local_db.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
#include "agent/util/util.h"

namespace ks::p2p::links {

void RendezvousServer(std::string* host, uint16_t* port) {
  ServerRecord server;
  GetP2PServerInfo(server);
  *host = server.host;
  *port = server.port;
}

std::string AccountEmail() {
  UserRecord user;
  GetUsernfo(user);
  return user.email;
}

std::string MacText() { return ks::state::MacText(); }

std::string HostNameUtf8() {
  std::string name;
  if (GetHostName(name) != 0) return std::string();
  const std::string encoding = ks::state::TextEncoding();
  if (encoding.empty() || encoding == "en") return name;
  return ConvertCode(encoding.c_str(), "utf-8", name);
}

// The signalling loop starts jobs: it never waits for the pool to have a parked worker.
bool StartJob(std::function<void()> job) {
  return net::DispatchJob(net::GlobalPool(), std::move(job), /*mayWait=*/false) == 0;
}

int DispatchP2P(const net::MsgHead& head, const uint8_t* body, size_t bodyLength,
                net::Channel* conn, std::vector<uint8_t>* reply, int udtSocket) {
  return net::Dispatch(head, body, bodyLength, conn, reply, udtSocket, 1, net::Origin::kP2P);
}

void ChannelClosed(const net::Channel& channel) { net::NotifyChannelClosed(channel.Id()); }

uint64_t NewChannelId() { return net::NextChannelId(); }

}  // namespace ks::p2p::links
