// Fuzzes the mobile-client requests that name paths and offsets (folder listing, download
// request, download allow) as they arrive from the LAN and through the relay: fixed layouts
// read within the bytes received, path conversion, virtual names and containment.
//
// Input: byte 0 picks the request (low 2 bits) and the relayed form (bit 2); bytes 1-4 the
// request word; the rest is the body. A download request is followed by an allow of the
// same word, so that accepted paths are streamed too.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/handlers/download/download.h"
#include "agent/handlers/listing/listing.h"
#include "agent/core/transfer/transfer.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"

namespace {

class CountingChannel : public ks::net::Channel {
 public:
  explicit CountingChannel(ks::net::Origin o) : origin_(o) {}
  bool Write(const void*, size_t length) override {
    bytes += length;
    return true;
  }
  bool IsOpen() const override { return true; }
  ks::net::Origin origin() const override { return origin_; }
  uint64_t Id() const override { return 5; }
  size_t bytes = 0;

 private:
  ks::net::Origin origin_;
};

void WriteSmallFile(const std::string& path, size_t n) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::string s(n, 'k');
    std::fwrite(s.data(), 1, s.size(), f);
    std::fclose(f);
  }
}

std::string g_root;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/kestyl-fuzz-mobile-XXXXXX";
  if (!::mkdtemp(tmpl)) abort();
  g_root = tmpl;
  std::atexit([] {
    GlobalDb().close();
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  });
  std::string share = g_root + "/share", pics = g_root + "/pics";
  ::mkdir(share.c_str(), 0755);
  ::mkdir((share + "/sub").c_str(), 0755);
  ::mkdir(pics.c_str(), 0755);
  WriteSmallFile(share + "/a.txt", 10);
  WriteSmallFile(share + "/sub/b.bin", 2500);
  WriteSmallFile(pics + "/p.jpg", 100);
  std::string db = g_root + "/Kestyl.db";
  std::string source = __FILE__;
  std::string schema = source.substr(0, source.rfind("/fuzz/")) + "/common/db/schema.sql";
  if (CreateDatabaseFile(db, schema) != 0) abort();
  GlobalDb().open(db.c_str());
  SetShareInfo({share});
  DefShareInfo defaults;
  defaults.def_pic = pics;
  SetDefaultDir(defaults);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const int pick = data[0] & 3;
  const bool relayed = data[0] & 4;
  const uint32_t word = ks::net::GetU32(data + 1);
  std::vector<uint8_t> body(data + 5, data + size);
  CountingChannel conn(relayed ? ks::net::Origin::kRelay : ks::net::Origin::kLan);
  int udt = -1, direct = relayed ? 0 : 1;
  std::vector<uint8_t> reply;
  const uint8_t* b = body.empty() ? nullptr : body.data();
  auto call = [&](ks::net::Handler h, uint16_t type) {
    ks::net::MsgHead head{static_cast<uint16_t>(8 + body.size()), type, word};
    reply.clear();
    h(b, body.size(), &head, &conn, &reply, &udt, &direct);
  };
  switch (pick) {
    case 0:
      call(ks::listing::GetAllSubFile, MSG_GET_ALL_SUB_FILE);
      break;
    case 1:
      call(ks::download::ReqDownLoadFile, MSG_REQ_DOWNLOAD_FILE);
      if (!relayed) call(ks::download::AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE);
      break;
    case 2:
      call(ks::download::AllowDownLoadFile, MSG_ALLOW_DOWNLOAD_FILE);
      break;
    default:
      call(ks::listing::GetShareInfo, MSG_GET_SHARE_INFO);
      break;
  }
  ks::transfer::SessionTable::Global().Clear();
  return 0;
}
