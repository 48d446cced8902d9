#include "tests/fakes/desktop_request.h"

#include <chrono>

#include "tests/fakes/net_io.h"

namespace ks::fake {

uint32_t DesktopReply::ResultWord() const {
  return body.size() < 4 ? 0xFFFFFFFFu : GetU32(body, 0);
}

const char* StatusName(DesktopReply::Status s) {
  switch (s) {
    case DesktopReply::Status::kOk: return "ok";
    case DesktopReply::Status::kConnectFailed: return "connect failed";
    case DesktopReply::Status::kSendFailed: return "send failed";
    case DesktopReply::Status::kTimeout: return "timeout";
    case DesktopReply::Status::kClosed: return "closed";
    case DesktopReply::Status::kBadLength: return "bad length";
  }
  return "?";
}

DesktopReply DesktopRequest(uint16_t port, uint16_t type, const ByteString& body, uint32_t word,
                            const DesktopRequestOptions& options) {
  return DesktopRequestRaw(port, EncodeMsg(type, word, body), options);
}

DesktopReply DesktopRequestRaw(uint16_t port, const ByteString& message,
                               const DesktopRequestOptions& options) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  DesktopReply r;
  auto done = [&](DesktopReply::Status s) {
    r.status = s;
    r.elapsed_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    return r;
  };
  UniqueFd fd =
      ConnectTcp(options.host, port, options.connect_timeout_ms, options.bind_ip, nullptr);
  if (!fd) return done(DesktopReply::Status::kConnectFailed);
  if (SendAll(fd.get(), message, 500) != Io::kOk) return done(DesktopReply::Status::kSendFailed);

  Io io = RecvExact(fd.get(), &r.raw, wire::kMsgHeadSize, options.recv_timeout_ms);
  if (io == Io::kTimeout && r.raw.empty()) return done(DesktopReply::Status::kTimeout);
  if (io != Io::kOk) return done(DesktopReply::Status::kClosed);
  r.head = DecodeMsgHead(r.raw);
  if (r.head.length < wire::kMsgHeadSize) return done(DesktopReply::Status::kBadLength);
  io = RecvExact(fd.get(), &r.body, r.head.length - wire::kMsgHeadSize, options.recv_timeout_ms);
  r.raw += r.body;
  if (io == Io::kTimeout) return done(DesktopReply::Status::kTimeout);
  if (io != Io::kOk) return done(DesktopReply::Status::kClosed);
  return done(DesktopReply::Status::kOk);
}

ByteString ShowLogonBody(const std::string& account, const std::string& password, size_t size) {
  ByteString b;
  PutText(b, account, 32);
  PutTextFull(b, password, 32);
  b.resize(size, '\0');
  return b;
}

ByteString DefShareBody(const std::vector<std::string>& folders) {
  ByteString b;
  for (size_t i = 0; i < 6; ++i) PutText(b, i < folders.size() ? folders[i] : "", 260);
  return b;
}

ByteString ExecBody(uint32_t session, const std::string& command) {
  ByteString b;
  PutU32(b, session);
  b += command;
  b.push_back('\0');
  return b;
}

LogonInfo ParseLogonInfo(const ByteString& body) {
  return {GetText(body, 0, 32), GetText(body, 32, 32)};
}

std::vector<std::string> ParseDefShare(const ByteString& body) {
  std::vector<std::string> out;
  if (body.size() != 6 * 260) return out;
  for (size_t i = 0; i < 6; ++i) out.push_back(GetText(body, i * 260, 260));
  return out;
}

bool ParseTransLog(const ByteString& body, std::vector<TransLogRecord>* out, std::string* error) {
  out->clear();
  if (body.size() % kTransLogRecordSize != 0) {
    if (error) *error = "body of " + std::to_string(body.size()) + " bytes is not n x 300";
    return false;
  }
  for (size_t off = 0; off < body.size(); off += kTransLogRecordSize) {
    TransLogRecord rec;
    rec.type = GetU16(body, off);
    rec.status = GetU16(body, off + 2);
    rec.size = GetU32(body, off + 4);
    rec.time = GetText(body, off + 8, 30);
    rec.file = GetText(body, off + 38, 260);
    std::string which = "record " + std::to_string(off / kTransLogRecordSize) + ": ";
    if (!TextTerminated(body, off + 8, 30) || !TextTerminated(body, off + 38, 260) ||
        !AllZero(body, off + 298, 2)) {
      if (error) *error = which + "text without NUL or trailing bytes not zero";
      return false;
    }
    out->push_back(rec);
  }
  return true;
}

TransferCounts ParseTransferCounts(const ByteString& body) {
  return {GetU16(body, 0), GetU16(body, 2)};
}

VerAndType ParseVerAndType(const ByteString& body) {
  return {GetU16(body, 0), GetU16(body, 2), GetText(body, 4, 64), GetText(body, 68, 64)};
}

std::vector<std::string> SplitCrLfLines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

}  // namespace ks::fake
