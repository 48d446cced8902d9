// Interim forwards: until the thread pool, the local database, the network identity and the
// message layer are merged, these stand in for them with the same behaviour. Each function
// marked LINK is the one to switch to the real call.
#include "agent/net/p2p/p2p_links.h"

#include <iconv.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "agent/log/log.h"
#include "agent/service/state.h"
#include "agent/util/codes.h"

namespace ks::p2p::links {
namespace {

struct Overrides {
  std::mutex mutex;
  std::optional<std::pair<std::string, uint16_t>> rendezvous;
  std::optional<std::string> email;
  std::function<void(net::Channel&)> closedHook;
};
Overrides& O() {
  static Overrides* o = new Overrides();  // used by jobs that may outlive static destruction
  return *o;
}

// LINK: the message layer's registry (OS_RegFunction / Dispatch).
std::mutex g_registryMutex;
std::map<uint16_t, net::Handler>& Registry() {
  static auto* r = new std::map<uint16_t, net::Handler>();
  return *r;
}

std::string ToUtf8(const std::string& encoding, const std::string& text) {
  iconv_t cd = iconv_open("utf-8", encoding.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out(text.size() * 3 + 3, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* o = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return text;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

void RendezvousServer(std::string* host, uint16_t* port) {
  {
    std::lock_guard<std::mutex> lock(O().mutex);
    if (O().rendezvous) {
      *host = O().rendezvous->first;
      *port = O().rendezvous->second;
      return;
    }
  }
  // LINK: GetP2PServerInfo (ks_conf p2phost, p2pport).
  host->clear();
  *port = 0;
}

std::string AccountEmail() {
  {
    std::lock_guard<std::mutex> lock(O().mutex);
    if (O().email) return *O().email;
  }
  // LINK: GetUsernfo (ks_user email).
  return std::string();
}

std::string MacText() { return ks::state::MacText(); }

std::string HostNameUtf8() {
  // LINK: GetHostName, and ConvertCode(encoding, "utf-8", name) when the encoding is not "en".
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return std::string();
  const std::string encoding = ks::state::TextEncoding();
  if (encoding.empty() || encoding == "en") return name;
  return ToUtf8(encoding, name);
}

bool StartJob(std::function<void()> job) {
  // LINK: the thread pool's dispatch.
  try {
    std::thread(std::move(job)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int DispatchP2P(const net::MsgHead& head, const uint8_t* body, size_t bodyLength,
                net::Channel* conn, std::vector<uint8_t>* reply, int udtSocket) {
  // LINK: net::Dispatch(head, body, bodyLength, conn, reply, udtSocket, 1, Origin::kP2P).
  net::Handler handler = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = Registry().find(head.type);
    if (it != Registry().end()) handler = it->second;
  }
  if (!handler || (head.type >= 0x5000 && head.type <= 0x5015)) {
    KS_LOG_ERROR("CommLib", "Type(%d) not registe.", head.type);
    return KS_NOT_REGISTERED;
  }
  int sock = udtSocket;
  int direct = 1;
  try {
    return handler(body, bodyLength, &head, conn, reply, &sock, &direct);
  } catch (...) {
    KS_LOG_ERROR("CommLib", "Do request exception.");
    return KS_HANDLER_EXCEPTION;
  }
}

int RegisterHandler(uint16_t opcode, net::Handler handler) {
  // LINK: net::OS_RegFunction(opcode, handler).
  std::lock_guard<std::mutex> lock(g_registryMutex);
  if (!handler || Registry().count(opcode)) return KS_REGISTER_REFUSED;
  Registry()[opcode] = handler;
  return KS_OK;
}

void ChannelClosed(net::Channel& channel) {
  std::function<void(net::Channel&)> hook;
  {
    std::lock_guard<std::mutex> lock(O().mutex);
    hook = O().closedHook;
  }
  if (hook) hook(channel);
  // LINK: the message layer's OnChannelClosed(channel) (drops the transfer sessions bound
  // to the channel: "close p2p file trans, sock %d, file %s").
}

uint64_t NewChannelId() {
  // LINK: the message layer's channel id counter, if it keeps one.
  static std::atomic<uint64_t> next{uint64_t{1} << 48};
  return next.fetch_add(1);
}

void SetRendezvousOverride(const std::string& host, uint16_t port) {
  std::lock_guard<std::mutex> lock(O().mutex);
  O().rendezvous = std::make_pair(host, port);
}

void SetAccountOverride(const std::string& email) {
  std::lock_guard<std::mutex> lock(O().mutex);
  O().email = email;
}

void ClearOverrides() {
  std::lock_guard<std::mutex> lock(O().mutex);
  O().rendezvous.reset();
  O().email.reset();
  O().closedHook = nullptr;
}

void SetChannelClosedHook(std::function<void(net::Channel&)> hook) {
  std::lock_guard<std::mutex> lock(O().mutex);
  O().closedHook = std::move(hook);
}

}  // namespace ks::p2p::links
