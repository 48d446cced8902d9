#include "tests/fakes/fake_mobile_client.h"

#include <algorithm>
#include <cstdio>

#include "tests/fakes/mobile_checks.h"

namespace ks::fake {

using checks::CheckHead;
using checks::Fault;
using checks::Hex16;

namespace {

bool ParseUnsigned(const std::string& s, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *out = v;
  return true;
}

// "time\tkind\tsize\tname": the name is everything after the third tab.
bool ParseListingLine(const std::string& line, ListingEntry* e) {
  size_t t1 = line.find('\t');
  size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
  size_t t3 = t2 == std::string::npos ? t2 : line.find('\t', t2 + 1);
  if (t3 == std::string::npos) return false;
  e->time = line.substr(0, t1);
  uint64_t kind = 0;
  if (!ParseUnsigned(line.substr(t1 + 1, t2 - t1 - 1), &kind) || kind > 0x7FFFFFFF) return false;
  e->kind = static_cast<int>(kind);
  if (!ParseUnsigned(line.substr(t2 + 1, t3 - t2 - 1), &e->size)) return false;
  e->name = line.substr(t3 + 1);
  return !e->name.empty();
}

}  // namespace

std::string OpResult::Describe() const {
  if (ok()) return "ok";
  std::string s = IoName(io);
  if (!error.empty()) s += ": " + error;
  return s;
}

ByteString DeviceLoginBody(const std::string& account, const std::string& password,
                           const ByteString& rest) {
  ByteString b;
  PutTextFull(b, account, 32);
  PutTextFull(b, password, 32);
  PutTextFull(b, rest, wire::kDeviceLoginBody - 64);
  return b;
}

ByteString PathRequestBody(const std::string& path, size_t size, char flag_at_256) {
  // The path field runs from offset 1 to the flag at 256: at most 254 bytes and a NUL.
  ByteString b(size, '\0');
  size_t room = size > 2 ? std::min<size_t>(254, size - 2) : 0;
  std::string p = path.substr(0, room);
  std::copy(p.begin(), p.end(), b.begin() + (size > 0 ? 1 : 0));
  if (size > 256) b[256] = flag_at_256;
  return b;
}

ByteString ThumbRequestBody(const std::string& path, uint16_t width, uint16_t height) {
  ByteString b;
  PutU16(b, width);
  PutU16(b, height);
  PutText(b, path, 256);
  PutZeros(b, 100);
  return b;
}

FakeMobileClient::FakeMobileClient(std::unique_ptr<MobileTransport> transport)
    : transport_(std::move(transport)) {}

std::unique_ptr<FakeMobileClient> FakeMobileClient::ConnectTcp(uint16_t port,
                                                               const std::string& bind_ip,
                                                               const std::string& host) {
  auto t = TcpTransport::Connect(host, port, bind_ip);
  if (!t) return nullptr;
  return std::make_unique<FakeMobileClient>(std::move(t));
}

Io FakeMobileClient::Send(uint16_t type, uint32_t word, const ByteString& body) {
  return transport_->Send(EncodeMsg(type, word, body));
}

Io FakeMobileClient::SendRaw(const ByteString& bytes) { return transport_->Send(bytes); }

Io FakeMobileClient::Receive(Message* out, int timeout_ms) {
  return transport_->Receive(out, timeout_ms);
}

bool FakeMobileClient::ExpectNothing(int ms) {
  Message m;
  if (transport_->Receive(&m, ms) != Io::kOk) return true;
  stray_.push_back(m);
  return false;
}

Io FakeMobileClient::Expect(Message* out, int timeout_ms,
                            const std::function<bool(const Message&)>& accept, OpResult* result) {
  for (;;) {
    Io io = transport_->Receive(out, timeout_ms);
    if (io != Io::kOk) {
      if (io == Io::kError) Fault(result, "stream out of step (bad or cut message head)");
      return io;
    }
    if (accept(*out)) return Io::kOk;
    stray_.push_back(*out);
    Fault(result, "unexpected message type " + Hex16(out->head.type) + " length " +
                      std::to_string(out->head.length));
  }
}

LoginResult FakeMobileClient::Login(const std::string& account, const std::string& password,
                                    const ByteString& rest, uint32_t word, int timeout_ms) {
  LoginResult r;
  r.io = Send(wire::kReqDeviceLogin, word, DeviceLoginBody(account, password, rest));
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, timeout_ms < 0 ? reply_timeout_ms_ : timeout_ms,
      [](const Message& x) { return x.head.type == wire::kReqDeviceLogin; }, &r);
  if (r.io != Io::kOk) return r;
  r.word = m.head.word;
  if (m.head.length != 12) Fault(&r, "log-in answer of length " + std::to_string(m.head.length));
  r.verdict = GetU16(m.body, 0);
  if (GetU16(m.body, 2) != 0) Fault(&r, "log-in answer: u16 after the verdict not 0");
  if (r.verdict > 1) Fault(&r, "log-in verdict " + std::to_string(r.verdict));
  return r;
}

HeartBeatResult FakeMobileClient::HeartBeat(uint32_t word, const ByteString& body) {
  HeartBeatResult r;
  r.io = Send(wire::kReqDeviceHeartBeat, word, body);
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, reply_timeout_ms_,
      [](const Message& x) { return x.head.type == wire::kReqDeviceHeartBeat; }, &r);
  if (r.io != Io::kOk) return r;
  r.word = m.head.word;
  CheckHead(&r, m, 12, word, "heart-beat answer");
  if (GetU16(m.body, 0) != 0) Fault(&r, "heart-beat answer: first u16 not 0");
  r.version = GetU16(m.body, 2);
  if (r.version != wire::kVersion) Fault(&r, "heart-beat version " + std::to_string(r.version));
  return r;
}

Io FakeMobileClient::Shutdown(const ByteString& body, uint32_t word) {
  return Send(wire::kReqShutdownSystem, word, body);
}

ShareInfoResult FakeMobileClient::ShareInfo(uint32_t word) {
  ShareInfoResult r;
  r.io = Send(wire::kGetShareInfo, word);
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, reply_timeout_ms_, [](const Message& x) { return x.head.type == wire::kGetShareInfo; },
      &r);
  if (r.io != Io::kOk) return r;
  CheckHead(&r, m, 0, word, "share info");
  if (m.body.size() < 12) {
    Fault(&r, "share info shorter than 20 bytes");
    return r;
  }
  r.count = GetU16(m.body, 0);
  if (!AllZero(m.body, 2, 10)) Fault(&r, "share info: bytes 10..19 not zero");
  std::string text = m.body.substr(12);
  if (!text.empty() && text.compare(text.size() - 2, 2, "\r\n") != 0)
    Fault(&r, "share info text does not end with \\r\\n");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    r.folders.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  if (r.folders.size() != r.count)
    Fault(&r, "share info count " + std::to_string(r.count) + " but " +
                  std::to_string(r.folders.size()) + " folders");
  return r;
}

ListingResult FakeMobileClient::Listing(const std::string& path, char count_flag, uint32_t word) {
  ListingResult r;
  r.io = Send(wire::kGetAllSubFile, word,
              PathRequestBody(path, wire::kListingRequestBody, count_flag));
  if (r.io != Io::kOk) return r;
  bool big_endian = count_flag == '1';
  uint64_t seen = 0;
  for (;;) {
    Message m;
    r.io = Expect(
        &m, reply_timeout_ms_, [](const Message& x) { return x.head.type == wire::kGetAllSubFile; },
        &r);
    if (r.io != Io::kOk) return r;
    CheckHead(&r, m, 0, word, "listing");
    if (r.package_counts.empty() && m.head.length == 368 && AllZero(m.body, 0, 360)) {
      r.empty_answer = true;
      return r;
    }
    if (m.body.size() < 12) {
      Fault(&r, "listing package shorter than 20 bytes");
      return r;
    }
    uint32_t count = GetU32(m.body, 0);
    uint32_t total = big_endian ? GetU32(m.body, 4) : GetU32Le(m.body, 4);
    std::string pk = "package " + std::to_string(r.package_counts.size() + 1) + ": ";
    if (r.package_counts.empty()) r.total = total;
    if (total != r.total) Fault(&r, pk + "total " + std::to_string(total) + " changed");
    if (GetU8(m.body, 8) != '1' || !AllZero(m.body, 9, 3))
      Fault(&r, pk + "bytes 16..19 are not \"1\" and three zeros");
    if (count == 0 || count > 4) Fault(&r, pk + "entry count " + std::to_string(count));
    if (!r.package_counts.empty() && r.package_counts.back() != 4)
      Fault(&r, pk + "follows a package of fewer than 4 entries");
    r.package_counts.push_back(count);
    std::string text = m.body.substr(12);
    uint32_t lines = 0;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) {
        Fault(&r, pk + "line without \\r\\n: " + Printable(text.substr(pos)));
        break;
      }
      ListingEntry e;
      if (!ParseListingLine(text.substr(pos, end - pos), &e))
        Fault(&r, pk + "bad line: " + Printable(text.substr(pos, end - pos)));
      r.entries.push_back(e);
      ++lines;
      pos = end + 2;
    }
    if (lines != count)
      Fault(&r, pk + std::to_string(lines) + " lines for a count of " + std::to_string(count));
    seen += count;
    if (count == 0 || seen >= r.total) break;
  }
  if (seen != r.total)
    Fault(&r, std::to_string(seen) + " entries for a total of " + std::to_string(r.total));
  return r;
}

ThumbResult FakeMobileClient::RequestThumbnail(const std::string& path, uint16_t width,
                                               uint16_t height, uint32_t word, int timeout_ms) {
  ThumbResult r;
  r.io = Send(wire::kReqThumbnail, word, ThumbRequestBody(path, width, height));
  if (r.io != Io::kOk) return r;
  for (;;) {
    Message m;
    r.io = Expect(
        &m, timeout_ms < 0 ? reply_timeout_ms_ : timeout_ms,
        [](const Message& x) {
          return x.head.type == wire::kReqThumbnail || x.head.type == wire::kThumbnailStatus;
        },
        &r);
    if (r.io != Io::kOk) return r;
    if (m.head.type == wire::kThumbnailStatus) {
      CheckHead(&r, m, 12, word, "thumbnail status");
      r.got_status = true;
      r.status = GetU16(m.body, 0);
      if (GetU16(m.body, 2) != 0) Fault(&r, "thumbnail status: u16 after the status not 0");
      if (r.status == 0 && r.data.size() != r.total)
        Fault(&r, "status 0 after " + std::to_string(r.data.size()) + " of " +
                      std::to_string(r.total) + " bytes");
      return r;
    }
    std::string ck = "chunk " + std::to_string(r.chunk_sizes.size() + 1) + ": ";
    CheckHead(&r, m, 0, word, "thumbnail chunk");
    if (m.body.size() < 8) {
      Fault(&r, ck + "shorter than its 16-byte head");
      continue;
    }
    uint32_t total = GetU32(m.body, 0);
    uint32_t offset = GetU32(m.body, 4);
    ByteString chunk = m.body.substr(8);
    if (r.chunk_sizes.empty()) r.total = total;
    if (total != r.total) Fault(&r, ck + "total changed");
    if (offset != r.data.size())
      Fault(&r, ck + "offset " + std::to_string(offset) + ", expected " +
                    std::to_string(r.data.size()));
    if (chunk.empty() || chunk.size() > wire::kPackageSize)
      Fault(&r, ck + std::to_string(chunk.size()) + " bytes");
    if (!r.chunk_sizes.empty() && r.chunk_sizes.back() != wire::kPackageSize)
      Fault(&r, ck + "follows a short chunk");
    r.chunk_sizes.push_back(static_cast<uint32_t>(chunk.size()));
    r.data += chunk;
  }
}

}  // namespace ks::fake
