// The libcurl transport: the library is opened with dlopen on the first hop that needs it
// (never linked, so a process speaking only http:// does not map it), one hop per easy
// handle, redirects left to Perform (a redirect's Location comes back as the head gave it).
#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/socket.h>

#include <strings.h>

#include <cstdio>
#include <string_view>
#include <mutex>

#include "desktop/foundation/fetch/transport.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop::fetch {

namespace {

struct CurlApi {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

template <typename F>
bool Symbol(void* library, const char* name, F& f, std::string* error) {
  f = reinterpret_cast<F>(::dlsym(library, name));
  if (!f && error) *error = std::string(kCurlLibrary) + " has no " + name;
  return f != nullptr;
}

// The process's one libcurl: opened, its symbols found and curl_global_init run once
// (thread-safely); never closed.
const CurlApi* Api(std::string* error) {
  static CurlApi api;
  static bool loaded = false;
  static std::string failure;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      const char* why = ::dlerror();
      failure = why ? why : kCurlLibrary;
      return;
    }
    loaded = Symbol(library, "curl_global_init", api.global_init, &failure) &&
             Symbol(library, "curl_easy_init", api.easy_init, &failure) &&
             Symbol(library, "curl_easy_setopt", api.easy_setopt, &failure) &&
             Symbol(library, "curl_easy_perform", api.easy_perform, &failure) &&
             Symbol(library, "curl_easy_getinfo", api.easy_getinfo, &failure) &&
             Symbol(library, "curl_easy_cleanup", api.easy_cleanup, &failure) &&
             Symbol(library, "curl_slist_append", api.slist_append, &failure) &&
             Symbol(library, "curl_slist_free_all", api.slist_free_all, &failure);
    if (loaded && api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      loaded = false;
      failure = "curl_global_init failed";
    }
  });
  if (!loaded && error) *error = failure;
  return loaded ? &api : nullptr;
}

// Every socket close-on-exec; in loopback mode only loopback addresses.
curl_socket_t OpenSocket(void* loopback, curlsocktype, curl_sockaddr* address) {
  if (loopback && !LoopbackAddress(&address->addr, address->addrlen)) return CURL_SOCKET_BAD;
  int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

struct HopState {
  const Hop* hop = nullptr;
  const CurlApi* api = nullptr;
  CURL* curl = nullptr;
  HopResult* out = nullptr;
  bool decided = false;   // the first body bytes (or the end) told whether to deliver
  bool skip = false;      // a redirect to follow: its body is not wanted
  bool too_large = false;
  bool write_error = false;
  uint64_t delivered = 0;

  std::string location;    // of the reply's head (libcurl tells its own only at the end)

  // The Location of a redirect that is to be followed; "" when none.
  std::string Redirect() {
    long status = 0;
    api->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (!hop->request->follow_redirects || !IsFollowedRedirect(status)) return {};
    return location;
  }

  static size_t Header(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<HopState*>(self);
    size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
      s->location.clear();  // a new head (after a 1xx one)
    } else if (n > 9 && strncasecmp(data, "Location:", 9) == 0) {
      line.remove_prefix(9);
      size_t a = line.find_first_not_of(" \t");
      size_t b = line.find_last_not_of(" \t\r\n");
      s->location = a == std::string_view::npos ? std::string() : std::string(line.substr(a, b - a + 1));
    }
    return n;
  }

  static size_t Write(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<HopState*>(self);
    size_t n = size * count;
    if (!s->decided) {
      s->decided = true;
      s->out->location = s->Redirect();
      s->skip = !s->out->location.empty();
    }
    if (s->skip) return 0;
    const Request& r = *s->hop->request;
    s->delivered += n;
    if (r.max_bytes && s->delivered > r.max_bytes) {
      s->too_large = true;
      return 0;
    }
    if (r.sink && n && !r.sink(data, n)) {
      s->write_error = true;
      return 0;
    }
    return n;
  }

  static int Progress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* s = static_cast<HopState*>(self);
    s->out->received = static_cast<uint64_t>(down);
    s->out->sent = static_cast<uint64_t>(up);
    const auto& progress = s->hop->request->progress;
    if (!progress) return 0;
    return progress(s->hop->received_before + s->out->received, s->hop->sent_before + s->out->sent) ? 0 : 1;
  }
};

Code FromCurl(CURLcode rc, const HopState& s) {
  switch (rc) {
    case CURLE_OK: return Code::kOk;
    case CURLE_UNSUPPORTED_PROTOCOL: return Code::kBadScheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return Code::kCouldNotResolve;
    case CURLE_COULDNT_CONNECT: return Code::kCouldNotConnect;
    case CURLE_OPERATION_TIMEDOUT: return Code::kTimedOut;
    case CURLE_ABORTED_BY_CALLBACK: return Code::kAborted;
    case CURLE_FILESIZE_EXCEEDED: return Code::kTooLarge;
    case CURLE_WRITE_ERROR:
      return s.skip ? Code::kOk : s.too_large ? Code::kTooLarge : s.write_error ? Code::kWriteError : Code::kOther;
    case CURLE_TOO_MANY_REDIRECTS: return Code::kTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_BAD_CONTENT_ENCODING: return Code::kProtocolError;
    default: return Code::kOther;
  }
}

}  // namespace

bool LoadCurl(std::string* error) { return Api(error) != nullptr; }

HopResult CurlHop(const Hop& hop) {
  HopResult out;
  std::string error;
  const CurlApi* api = Api(&error);
  if (!api) {
    static std::once_flag told;
    std::call_once(told, [&] {
      std::fprintf(stderr, "Kestyl: %s is needed for %s but cannot be loaded: %s\n", kCurlLibrary, hop.url.c_str(),
                   error.c_str());
    });
    out.code = Code::kNoLibrary;
    return out;
  }
  const Request& r = *hop.request;
  long remaining_ms = 0;
  if (hop.deadline != Clock::time_point::max()) {
    remaining_ms = static_cast<long>(
        std::chrono::ceil<std::chrono::milliseconds>(hop.deadline - Clock::now()).count());
    if (remaining_ms <= 0) {
      out.code = Code::kTimedOut;
      return out;
    }
  }
  CURL* curl = api->easy_init();
  if (!curl) return out;
  curl_slist* headers = nullptr;
  bool headers_ok = true;
  for (const std::string& h : r.headers) {
    curl_slist* next = api->slist_append(headers, h.c_str());
    headers_ok = headers_ok && next;
    if (next) headers = next;
  }
  if (curl_slist* next = api->slist_append(headers, "Expect:")) headers = next;
  if (!headers_ok) {
    api->slist_free_all(headers);
    api->easy_cleanup(curl);
    return out;
  }

  HopState state;
  state.hop = &hop;
  state.api = api;
  state.curl = curl;
  state.out = &out;
  static int loopback_marker = 0;
  const bool loopback = web::Loopback();
  auto set = api->easy_setopt;
  set(curl, CURLOPT_URL, hop.url.c_str());
  set(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  set(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(curl, CURLOPT_NOSIGNAL, 1L);
  if (!r.user_agent.empty()) set(curl, CURLOPT_USERAGENT, r.user_agent.c_str());
  set(curl, CURLOPT_HTTPHEADER, headers);
  if (!r.accept_encoding.empty()) set(curl, CURLOPT_ACCEPT_ENCODING, r.accept_encoding.c_str());
  if (hop.with_body) {
    set(curl, CURLOPT_POST, 1L);
    set(curl, CURLOPT_POSTFIELDS, r.body.data());
    set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
  } else if (hop.method == "HEAD") {
    set(curl, CURLOPT_NOBODY, 1L);
  } else {
    set(curl, CURLOPT_HTTPGET, 1L);
  }
  set(curl, CURLOPT_CONNECTTIMEOUT_MS, r.connect_timeout_ms);
  if (remaining_ms > 0) set(curl, CURLOPT_TIMEOUT_MS, remaining_ms);
  if (r.max_bytes) set(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(r.max_bytes));
  if (!r.check_host_name) set(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  set(curl, CURLOPT_NOPROGRESS, 0L);
  set(curl, CURLOPT_XFERINFOFUNCTION, &HopState::Progress);
  set(curl, CURLOPT_XFERINFODATA, &state);
  set(curl, CURLOPT_WRITEFUNCTION, &HopState::Write);
  set(curl, CURLOPT_WRITEDATA, &state);
  set(curl, CURLOPT_HEADERFUNCTION, &HopState::Header);
  set(curl, CURLOPT_HEADERDATA, &state);
  set(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  set(curl, CURLOPT_OPENSOCKETDATA, loopback ? static_cast<void*>(&loopback_marker) : nullptr);
  if (loopback) set(curl, CURLOPT_NOPROXY, "*");

  CURLcode rc = api->easy_perform(curl);
  api->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  if (rc == CURLE_OK && !state.decided) out.location = state.Redirect();  // a redirect without a body
  out.code = FromCurl(rc, state);
  api->easy_cleanup(curl);
  api->slist_free_all(headers);
  return out;
}

}  // namespace ks::desktop::fetch
