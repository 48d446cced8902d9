// libcurl stays out of a process that only speaks http://, and comes in with the first
// https:// transfer. A program of its own: no other test may have loaded the library first.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "desktop/foundation/fetch/fetch.h"
#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"

namespace {

namespace fetch = ks::desktop::fetch;
using ks::test::ScopedEnv;

// The libraries mapped into this process whose file name contains one of the words.
std::string MappedLibraries(std::initializer_list<const char*> words) {
  std::ifstream maps("/proc/self/maps");
  std::string line, found;
  while (std::getline(maps, line)) {
    size_t slash = line.rfind('/');
    if (slash == std::string::npos) continue;
    std::string name = line.substr(slash + 1);
    for (const char* w : words)
      if (name.find(w) != std::string::npos && found.find(name) == std::string::npos) found += name + " ";
  }
  return found;
}

TEST(FetchLazyLibrary, HttpLeavesLibcurlUnloadedAndHttpsLoadsIt) {
  ScopedEnv loopback("KESTYL_LOOPBACK", "1");
  const auto tls = {"libcurl", "libcrypto", "libssl", "libgnutls", "libnghttp2"};
  ASSERT_EQ("", MappedLibraries(tls)) << "linked, not loaded on demand";

  ks::fake::FakeWebServer server;
  server.SetFixed(ks::fake::WebReply::Ok("plain"));
  fetch::Request r;
  r.url = server.url() + "/x";
  r.accept_encoding = "gzip, deflate";
  std::string body;
  r.sink = [&](const char* d, size_t n) {
    body.append(d, n);
    return true;
  };
  ASSERT_EQ(fetch::Code::kOk, fetch::Perform(r).code);
  EXPECT_EQ("plain", body);
  EXPECT_EQ("", MappedLibraries(tls));

  r.url = "https://127.0.0.1:" + std::to_string(ks::fake::FreeTcpPort()) + "/";
  EXPECT_EQ(fetch::Code::kCouldNotConnect, fetch::Perform(r).code);
  EXPECT_NE("", MappedLibraries({"libcurl"}));
}

}  // namespace
