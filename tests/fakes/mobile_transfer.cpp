// Downloads and uploads of the fake mobile client.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/mobile_checks.h"

namespace ks::fake {

using checks::CheckHead;
using checks::Fault;

namespace {

// The 266-byte refusal shared by downloads (0x1012) and uploads (0x1011): u16 code, "0",
// 255 zero bytes.
uint16_t CheckRefusal(OpResult* r, const Message& m, uint32_t session, const char* what) {
  CheckHead(r, m, 266, session, what);
  if (GetU8(m.body, 2) != '0' || !AllZero(m.body, 3, 255))
    Fault(r, std::string(what) + ": bytes after the code are not \"0\" and 255 zeros");
  return GetU16(m.body, 0);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

DownloadInfo FakeMobileClient::RequestDownload(const std::string& path, uint32_t session) {
  DownloadInfo r;
  r.io = Send(wire::kReqDownloadFile, session, PathRequestBody(path, wire::kDownloadRequestBody));
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, reply_timeout_ms_,
      [](const Message& x) {
        return x.head.type == wire::kReqDownloadFileOk || x.head.type == wire::kDownloadError;
      },
      &r);
  if (r.io != Io::kOk) return r;
  if (m.head.type == wire::kDownloadError) {
    r.error_code = CheckRefusal(&r, m, session, "download refusal");
    return r;
  }
  r.accepted = true;
  CheckHead(&r, m, 64, session, "download answer");
  r.size = GetU32(m.body, 0);
  r.package_count = GetU32(m.body, 4);
  for (size_t i = 0; i < 16; ++i) r.fingerprint[i] = GetU8(m.body, 8 + i);
  if (!AllZero(m.body, 24, 32)) Fault(&r, "download answer: last 32 bytes not zero");
  uint64_t expected = (static_cast<uint64_t>(r.size) + wire::kPackageSize - 1) / wire::kPackageSize;
  if (r.package_count != expected)
    Fault(&r, "package count " + std::to_string(r.package_count) + " for " +
                  std::to_string(r.size) + " bytes");
  return r;
}

Io FakeMobileClient::AllowDownload(uint32_t session, uint32_t offset) {
  ByteString body;
  PutU32(body, offset);
  return Send(wire::kAllowDownloadFile, session, body);
}

DownloadData FakeMobileClient::ReceiveDownload(uint32_t session, uint32_t offset,
                                               const DownloadOptions& o) {
  DownloadData r;
  Md5 md5;
  std::unique_ptr<std::FILE, FileCloser> out;
  if (!o.save_to.empty()) {
    out.reset(std::fopen(o.save_to.c_str(), "ab"));
    if (!out) Fault(&r, "cannot open " + o.save_to);
  }
  uint32_t expected = offset / wire::kPackageSize + 1;
  bool stop_sent = false;
  bool short_seen = false;
  for (;;) {
    bool quiet_ends = stop_sent && r.stop_answered;
    Message m;
    Io io = Expect(
        &m, quiet_ends ? o.after_stop_quiet_ms : o.idle_timeout_ms,
        [](const Message& x) {
          return x.head.type == wire::kDownloadData || x.head.type == wire::kDownloadOver ||
                 x.head.type == wire::kStopDownload;
        },
        &r);
    if (io != Io::kOk) {
      r.io = (quiet_ends && io == Io::kTimeout) ? Io::kOk : io;
      break;
    }
    if (m.head.type == wire::kStopDownload) {
      CheckHead(&r, m, 9, session, "stop answer");
      if (GetU8(m.body, 0) != '0') Fault(&r, "stop answer is not \"0\"");
      if (!stop_sent) Fault(&r, "stop answer nobody asked for");
      r.stop_answered = true;
      if (r.over_status) break;
      continue;
    }
    if (m.head.type == wire::kDownloadOver) {
      CheckHead(&r, m, 12, session, "download end notice");
      char c = static_cast<char>(GetU8(m.body, 0));
      if ((c != '0' && c != '1') || !AllZero(m.body, 1, 3))
        Fault(&r, "end notice is not \"0\"/\"1\" and three zeros");
      if (r.over_status) Fault(&r, "second end notice");
      r.over_status = c;
      if (!stop_sent || r.stop_answered) break;
      continue;
    }
    std::string pk = "package " + std::to_string(r.packages + 1) + ": ";
    CheckHead(&r, m, 0, session, "download package");
    if (m.body.size() < 12) {
      Fault(&r, pk + "shorter than 20 bytes");
      continue;
    }
    uint32_t number = GetU32(m.body, 0);
    if (!AllZero(m.body, 4, 8)) Fault(&r, pk + "bytes 12..19 not zero");
    if (r.packages == 0) r.first_package = number;
    if (number != expected)
      Fault(&r, pk + "number " + std::to_string(number) + ", expected " + std::to_string(expected));
    expected = number + 1;
    std::string_view data = std::string_view(m.body).substr(12);
    if (data.empty() || data.size() > wire::kPackageSize)
      Fault(&r, pk + std::to_string(data.size()) + " data bytes");
    if (short_seen) Fault(&r, pk + "follows a package of fewer than 1000 bytes");
    if (r.over_status) Fault(&r, pk + "after the end notice");
    short_seen = data.size() < wire::kPackageSize;
    md5.Update(data);
    r.bytes += data.size();
    if (o.keep_bytes) r.data.append(data);
    if (out && std::fwrite(data.data(), 1, data.size(), out.get()) != data.size())
      Fault(&r, "cannot write " + o.save_to);
    ++r.packages;
    if (o.package_delay_us > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(o.package_delay_us));
    if (!stop_sent && o.stop_after_packages >= 0 &&
        r.packages >= static_cast<uint32_t>(o.stop_after_packages)) {
      stop_sent = true;
      if (Send(wire::kStopDownload, session) != Io::kOk) Fault(&r, "cannot send the stop");
    }
    if (o.close_after_packages >= 0 &&
        r.packages >= static_cast<uint32_t>(o.close_after_packages)) {
      transport_->Close();
      break;
    }
  }
  r.md5 = md5.Finish();
  return r;
}

DownloadResult FakeMobileClient::Download(const std::string& path, uint32_t session,
                                          uint32_t offset, const DownloadOptions& options) {
  DownloadResult r;
  r.info = RequestDownload(path, session);
  if (!r.info.ok() || !r.info.accepted) return r;
  r.data.io = AllowDownload(session, offset);
  if (r.data.io != Io::kOk) return r;
  r.data = ReceiveDownload(session, offset, options);
  return r;
}

Io FakeMobileClient::Refuse(uint32_t session) { return Send(wire::kRefuseDownloadFile, session); }

StopResult FakeMobileClient::Stop(uint32_t session) {
  StopResult r;
  r.io = Send(wire::kStopDownload, session);
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, reply_timeout_ms_, [](const Message& x) { return x.head.type == wire::kStopDownload; },
      &r);
  if (r.io != Io::kOk) return r;
  CheckHead(&r, m, 9, session, "stop answer");
  r.answer = static_cast<char>(GetU8(m.body, 0));
  if (r.answer != '0') Fault(&r, "stop answer is not \"0\"");
  return r;
}

ByteString UploadRequestBody(const std::string& target, uint32_t size, const Digest& fp,
                             uint32_t carried, uint8_t carried_byte) {
  ByteString b;
  PutU32(b, size);
  PutU32(b, carried);
  b += DigestBytes(fp);
  PutU8(b, carried_byte);
  PutText(b, target, wire::kUploadRequestBody - 25);
  return b;
}

ByteString UploadChunk(uint32_t session, std::string_view data) {
  ByteString body(12, '\0');
  body.append(data);
  return EncodeMsg(wire::kUploadFile, session, body);
}

UploadAnnounce FakeMobileClient::AnnounceUpload(const std::string& target, uint32_t size,
                                                const Digest& fp, uint32_t session,
                                                uint32_t carried, uint8_t carried_byte) {
  UploadAnnounce r;
  r.io = Send(wire::kReqUploadFile, session,
              UploadRequestBody(target, size, fp, carried, carried_byte));
  if (r.io != Io::kOk) return r;
  Message m;
  r.io = Expect(
      &m, reply_timeout_ms_,
      [](const Message& x) {
        return x.head.type == wire::kReqUploadFileOk || x.head.type == wire::kUploadError;
      },
      &r);
  if (r.io != Io::kOk) return r;
  if (m.head.type == wire::kUploadError) {
    r.error_code = CheckRefusal(&r, m, session, "upload refusal");
    return r;
  }
  r.accepted = true;
  CheckHead(&r, m, 12, session, "upload answer");
  r.offset = GetU32(m.body, 0);
  if (r.offset > size)
    Fault(&r,
          "resume offset " + std::to_string(r.offset) + " beyond the size " + std::to_string(size));
  return r;
}

Io FakeMobileClient::SendUploadData(uint32_t session, std::string_view data, uint64_t from,
                                    uint64_t to, size_t chunk) {
  if (chunk == 0 || chunk > wire::kMaxMessage - 20) chunk = wire::kPackageSize;
  to = std::min<uint64_t>(to, data.size());
  for (uint64_t off = from; off < to; off += chunk) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, to - off));
    Io io = SendRaw(UploadChunk(session, data.substr(off, n)));
    if (io != Io::kOk) return io;
  }
  return Io::kOk;
}

Io FakeMobileClient::OverUpload(uint32_t session, uint8_t state) {
  ByteString body;
  PutU8(body, state);
  PutZeros(body, 3);
  return Send(wire::kOverUploadFile, session, body);
}

UploadResult FakeMobileClient::Upload(const std::string& target, std::string_view content,
                                      uint32_t session, const UploadOptions& o) {
  UploadResult r;
  uint32_t size = o.size.value_or(static_cast<uint32_t>(content.size()));
  Digest fp = o.fingerprint.value_or(BytesFingerprint(content));
  r.announce = AnnounceUpload(target, size, fp, session);
  r.io = r.announce.io;
  r.error = r.announce.error;
  if (!r.announce.ok() || !r.announce.accepted) return r;
  r.sent_from = r.announce.offset;
  uint64_t to = content.size();
  if (o.stop_at) to = std::min(to, *o.stop_at);
  if (o.cut_at) to = std::min(to, *o.cut_at);
  r.sent_to = std::max(r.sent_from, to);
  r.io = SendUploadData(session, content, r.sent_from, r.sent_to, o.chunk);
  if (r.io != Io::kOk) return r;
  if (o.cut_at && r.sent_to == *o.cut_at) {
    transport_->Close();
    return r;
  }
  if (o.send_over) r.io = OverUpload(session, o.over_state);
  return r;
}

std::string CompareDownload(const DownloadResult& r, const std::string& file, uint64_t offset) {
  if (!r.info.ok()) return "download answer: " + r.info.Describe();
  if (!r.info.accepted) return "download refused with code " + std::to_string(r.info.error_code);
  if (!r.data.ok()) return "download data: " + r.data.Describe();
  if (r.data.over_status != '0') return "end notice is not \"0\"";
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + file;
  off_t end = ::lseek(fd, 0, SEEK_END);
  uint64_t size = end < 0 ? 0 : static_cast<uint64_t>(end);
  std::string error;
  if (r.info.size != size)
    error = "announced size " + std::to_string(r.info.size) + ", file has " + std::to_string(size);
  uint64_t expected_packages =
      offset < size ? (size - offset + wire::kPackageSize - 1) / wire::kPackageSize : 0;
  if (error.empty() && r.data.packages != expected_packages)
    error = std::to_string(r.data.packages) + " packages, expected " +
            std::to_string(expected_packages);
  if (error.empty() && r.data.bytes != (offset < size ? size - offset : 0))
    error = std::to_string(r.data.bytes) + " bytes received from offset " + std::to_string(offset);
  Md5 md5;
  std::string block(1 << 20, '\0');
  for (uint64_t pos = offset; error.empty() && pos < size;) {
    ssize_t n = ::pread(fd, block.data(), block.size(), static_cast<off_t>(pos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot read " + file;
      break;
    }
    std::string_view got(block.data(), static_cast<size_t>(n));
    md5.Update(got);
    uint64_t at = pos - offset;
    if (!r.data.data.empty() && r.data.data.compare(at, got.size(), got) != 0)
      error = "bytes differ within [" + std::to_string(pos) + ", " + std::to_string(pos + n) + ")";
    pos += static_cast<uint64_t>(n);
  }
  ::close(fd);
  if (error.empty() && md5.Finish() != r.data.md5) error = "MD5 of the received bytes differs";
  if (error.empty() && r.info.fingerprint != FileFingerprint(file))
    error = "announced fingerprint " + DigestHex(r.info.fingerprint) + ", file has " +
            DigestHex(FileFingerprint(file));
  return error;
}

}  // namespace ks::fake
