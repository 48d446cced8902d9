// Shared by the tests of the mobile-client handlers: a channel that records what handlers
// write, a temporary agent database with shares, and a handler call helper.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/net/msg/msg.h"
#include "tests/fakes/test_support.h"

namespace ks::test {

using Bytes = std::vector<uint8_t>;

// Records every Write. onWrite (optional) sees each message before it is kept and may
// close the channel by returning false (that Write then fails, as on a lost peer).
class RecordingChannel : public ks::net::Channel {
 public:
  explicit RecordingChannel(ks::net::Origin origin = ks::net::Origin::kLan, uint64_t id = 7)
      : origin_(origin), id_(id) {}

  bool Write(const void* data, size_t length) override {
    std::lock_guard<std::mutex> g(mutex_);
    if (!open_) return false;
    Bytes m(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    if (onWrite && !onWrite(m)) {
      open_ = false;
      return false;
    }
    ++writes_;
    if (keep) messages_.push_back(std::move(m));
    return true;
  }
  bool IsOpen() const override {
    std::lock_guard<std::mutex> g(mutex_);
    return open_;
  }
  ks::net::Origin origin() const override { return origin_; }
  uint64_t Id() const override { return id_; }

  void Close() {
    std::lock_guard<std::mutex> g(mutex_);
    open_ = false;
  }
  std::vector<Bytes> messages() const {
    std::lock_guard<std::mutex> g(mutex_);
    return messages_;
  }
  size_t writes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return writes_;
  }

  std::function<bool(const Bytes&)> onWrite;
  bool keep = true;  // false: count only (large downloads)

 private:
  mutable std::mutex mutex_;
  ks::net::Origin origin_;
  uint64_t id_;
  bool open_ = true;
  size_t writes_ = 0;
  std::vector<Bytes> messages_;
};

// What a handler call produced.
struct Call {
  int result = 0;
  Bytes reply;
};

using HandlerFn = int (*)(const uint8_t*, size_t, const ks::net::MsgHead*, ks::net::Channel*,
                          std::vector<uint8_t>*, int*, int*);

// Calls a handler as the local server does (direct 1, no UDT socket) or, with relayed set,
// as the relay does: the body preceded by a 64-byte id and the client's MsgHead.
inline Call CallHandler(HandlerFn fn, uint16_t type, uint32_t word, const Bytes& body,
                        ks::net::Channel* conn, bool relayed = false, const std::string& peerId = "peer-A",
                        bool nullBody = false) {
  Bytes full;
  if (relayed) {
    full.assign(72, 0);
    ks::net::PutFieldText(full.data(), 64, peerId);
    ks::net::EncodeMsgHead({static_cast<uint16_t>(8 + body.size()), type, word}, full.data() + 64);
  }
  full.insert(full.end(), body.begin(), body.end());
  ks::net::MsgHead head{static_cast<uint16_t>(8 + full.size()), type, word};
  Call c;
  int udt = -1;
  int direct = relayed ? 0 : 1;
  const uint8_t* p = (nullBody || full.empty()) ? nullptr : full.data();
  c.result = fn(p, p ? full.size() : 0, &head, conn, &c.reply, &udt, &direct);
  return c;
}

// A body of `size` zero bytes with `text` at `offset`.
inline Bytes BodyWithText(size_t size, size_t offset, const std::string& text) {
  Bytes b(size, 0);
  std::copy(text.begin(), text.end(), b.begin() + static_cast<long>(offset));
  return b;
}

inline ks::net::MsgHead HeadOf(const Bytes& m) { return ks::net::DecodeMsgHead(m.data()); }

// A temporary Kestyl.db opened as the agent's database, with a "share" folder shared and a
// "pics" folder as def_pic (def unset).
class AgentDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    share = dir / "share";
    pics = dir / "pics";
    outside = dir / "outside";
    for (const std::string& d : {share, pics, outside}) ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(SetShareInfo({share}), 0);
    DefShareInfo defaults;
    defaults.def_pic = pics;
    ASSERT_EQ(SetDefaultDir(defaults), 0);
    ks::transfer::SessionTable::Global().Clear();
  }
  void TearDown() override {
    ks::transfer::SessionTable::Global().Clear();
    GlobalDb().close();
  }

  TempDir dir;
  std::string share, pics, outside;
};

}  // namespace ks::test
