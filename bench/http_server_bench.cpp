// The agent's HTTP file server on its own, for bench/http_vs_nginx.sh:
//
//   http_server_bench <folder> <schema.sql> [port]
//   http_server_bench --free-port        prints a TCP port free on 127.0.0.1
//
// Makes a throw-away database whose default folder ("$DEFAULT$") is <folder>, serves it on
// 127.0.0.1:<port> (0 or none: a free port), prints "port <n>" once listening, and runs
// until SIGINT or SIGTERM. Without arguments it prints its usage and exits 0 (the bench
// runner calls every program without arguments).
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "agent/db/local_db.h"
#include "agent/net/http/http_server.h"
#include "agent/core/state/state.h"

namespace {

void OnSignal(int) { ks::state::RequestStop(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--free-port") {
    uint16_t port = 0;
    int s = ks::net::startup(&port, "127.0.0.1");
    if (s < 0) return 1;
    ::close(s);
    std::printf("%d\n", port);
    return 0;
  }
  if (argc < 3) {
    std::printf("usage: %s <folder> <schema.sql> [port]  (run by bench/http_vs_nginx.sh)\n", argv[0]);
    return 0;
  }
  std::string folder = std::filesystem::absolute(argv[1]).lexically_normal().string();
  char tmpl[] = "/tmp/kestyl-http-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  std::string db = std::string(tmpl) + "/Kestyl.db";
  if (CreateDatabaseFile(db, argv[2]) != 0) {
    std::fprintf(stderr, "cannot create the database from %s\n", argv[2]);
    return 1;
  }
  GlobalDb().open(db.c_str());
  DefShareInfo defs;
  defs.def = folder;
  SetDefaultDir(defs);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  ks::net::HttpServerOptions options = ks::net::HttpServerOptions::FromSettings();
  options.address = "127.0.0.1";
  options.port = argc > 3 ? static_cast<uint16_t>(std::atoi(argv[3])) : 0;
  ks::net::HttpServer server(options);
  int rc = 1;
  if (server.Open() == 0) {
    std::printf("port %d\n", server.Port());
    std::fflush(stdout);
    server.Run();
    rc = 0;
  } else {
    std::fprintf(stderr, "cannot listen\n");
  }
  GlobalDb().close();
  std::filesystem::remove_all(tmpl);
  return rc;
}
