// FakeMobileClient: a mobile client of the agent, over any MobileTransport.
//
// Each operation sends its request and reads the agent's answer messages, checking every
// field against the layouts below (all numbers big-endian unless said). The first fault
// found goes into the result's `error`; `io` says how the transport ended. Messages that
// no operation expected are kept in Stray().
//
//   log-in 8            -> 256 bytes: char[32] account, char[32] password, the rest
//   answer 8            <- 12 bytes: MsgHead {12, 8, 0}, u16 verdict, u16 0
//   heart-beat 0x8888   -> any body;  <- 12 bytes {12, 0x8888, word}, u16 0, u16 370
//   share info 0x2002   <- {20 + n}, u16 count, u16 0, u32 0, u32 0, "folder\r\n"...
//   listing 0x2003      -> 356 bytes: byte 0, path from 1, count flag at 256
//                       <- packages {20 + n}: u32 entries (<= 4), u32 total (big-endian when
//                          the flag was "1", else little-endian), "1", 3 zero, lines
//                          "time\tkind\tsize\tname\r\n"; or 368 bytes of head + zeros
//   download 4          -> 356 bytes: byte 0, path from 1
//                       <- 64 bytes {64, 0x1004}: u32 size, u32 packages, 16-byte MD5,
//                          32 zero; or 266 bytes {266, 0x1012}: u16 code, "0", 255 zero
//   allow 5             -> u32 start offset;  <- 0x1002 {20 + n}: u32 package number (first
//                          = offset / 1000 + 1), u32 0, u32 0, n <= 1000 bytes; then 0x1003
//                          {12}: "0" / "1", 3 zero
//   stop 0x100E         <- 9 bytes {9, 0x100E, session}, "0"
//   refuse 0x11, shutdown 9: no answer
//   upload 1            -> 380 bytes: u32 size, u32, 16-byte MD5, 1 byte, path from 25
//                       <- 12 bytes {12, 0x1001}: u32 offset; or 266 bytes 0x1011 as 0x1012
//   chunk 2             -> {20 + n, 2, session}, 12 bytes, n data bytes
//   over 3              -> first body byte: 0 complete, else unfinished; no answer
//   thumbnail 0x3001    -> 360 bytes: u16 width, u16 height, char[256] path, 100 zero
//                       <- chunks {16 + n, 0x3001, word}, u32 total, u32 offset, n <= 1000;
//                          then 0x3002 {12}: u16 status, u16 0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/md5.h"
#include "tests/fakes/mobile_transport.h"
#include "tests/fakes/wire.h"

namespace ks::fake {

struct OpResult {
  Io io = Io::kOk;
  std::string error;  // first protocol fault; empty when none
  bool ok() const { return io == Io::kOk && error.empty(); }
  std::string Describe() const;  // "ok" or the transport outcome and the fault
};

struct LoginResult : OpResult {
  uint16_t verdict = 0xFFFF;
  uint32_t word = 0;
};

struct HeartBeatResult : OpResult {
  uint32_t word = 0;
  uint16_t version = 0;
};

struct ShareInfoResult : OpResult {
  uint16_t count = 0;
  std::vector<std::string> folders;
};

struct ListingEntry {
  std::string time;
  int kind = 0;
  uint64_t size = 0;
  std::string name;
};

struct ListingResult : OpResult {
  bool empty_answer = false;  // the 368-byte answer (errors and empty folders)
  uint32_t total = 0;
  std::vector<ListingEntry> entries;
  std::vector<uint32_t> package_counts;
};

struct DownloadInfo : OpResult {
  bool accepted = false;  // 0x1004 rather than 0x1012
  uint32_t size = 0;
  uint32_t package_count = 0;
  Digest fingerprint{};
  uint16_t error_code = 0;
};

struct DownloadOptions {
  bool keep_bytes = true;         // keep the received bytes in `data`
  std::string save_to;            // also append them to this file
  int package_delay_us = 0;       // a slow reader: pause after each package
  int stop_after_packages = -1;   // send MSG_STOP_DOWNLOAD after this many packages
  int close_after_packages = -1;  // drop the link after this many packages
  int idle_timeout_ms = 10000;    // longest wait for the next message
  int after_stop_quiet_ms = 500;  // after a stop, silence this long ends the download
};

struct DownloadData : OpResult {
  uint32_t first_package = 0;
  uint32_t packages = 0;
  uint64_t bytes = 0;
  ByteString data;
  Digest md5{};                     // MD5 of every byte received (whole content)
  std::optional<char> over_status;  // "0" / "1" of MSG_DOWNLOAD_OVER
  bool stop_answered = false;
};

struct DownloadResult {
  DownloadInfo info;
  DownloadData data;
};

struct StopResult : OpResult {
  char answer = 0;
};

struct UploadAnnounce : OpResult {
  bool accepted = false;  // 0x1001 rather than 0x1011
  uint32_t offset = 0;
  uint16_t error_code = 0;
};

struct UploadOptions {
  size_t chunk = 1000;
  // Drop the link once the file holds this many bytes (counted from 0), without OVER.
  std::optional<uint64_t> cut_at;
  bool send_over = true;
  uint8_t over_state = 0;
  std::optional<Digest> fingerprint;  // announced instead of the content's own
  std::optional<uint32_t> size;       // announced instead of the content's size
  // Send at most this many bytes (then OVER as asked): an upload that stops half way.
  std::optional<uint64_t> stop_at;
};

struct UploadResult : OpResult {
  UploadAnnounce announce;
  uint64_t sent_from = 0;
  uint64_t sent_to = 0;
};

struct ThumbResult : OpResult {
  bool got_status = false;
  uint16_t status = 0xFFFF;
  uint32_t total = 0;
  ByteString data;
  std::vector<uint32_t> chunk_sizes;
};

class FakeMobileClient {
 public:
  explicit FakeMobileClient(std::unique_ptr<MobileTransport> transport);
  // A client on the home network: TCP to host:port, sent from bind_ip when given. Null when
  // the agent does not accept.
  static std::unique_ptr<FakeMobileClient> ConnectTcp(uint16_t port,
                                                      const std::string& bind_ip = "",
                                                      const std::string& host = "127.0.0.1");

  void set_reply_timeout_ms(int ms) { reply_timeout_ms_ = ms; }
  MobileTransport& transport() { return *transport_; }
  void Close() { transport_->Close(); }

  // --- raw messages ----------------------------------------------------------------------
  Io Send(uint16_t type, uint32_t word, const ByteString& body = {});
  Io SendRaw(const ByteString& bytes);
  Io Receive(Message* out, int timeout_ms);
  // True when no message arrives within ms (one that does goes to Stray()).
  bool ExpectNothing(int ms);
  const std::vector<Message>& Stray() const { return stray_; }

  // --- session ---------------------------------------------------------------------------
  // `rest` fills body bytes 64..255. Fields of 32 bytes are sent without a NUL when full.
  LoginResult Login(const std::string& account, const std::string& password,
                    const ByteString& rest = {}, uint32_t word = 0, int timeout_ms = -1);
  HeartBeatResult HeartBeat(uint32_t word = 1, const ByteString& body = "hb");
  Io Shutdown(const ByteString& body = "x", uint32_t word = 0);

  // --- listings --------------------------------------------------------------------------
  ShareInfoResult ShareInfo(uint32_t word = 2);
  ListingResult Listing(const std::string& path, char count_flag = '1', uint32_t word = 3);

  // --- downloads (mobile_transfer.cpp) -------------------------------------------------------
  DownloadInfo RequestDownload(const std::string& path, uint32_t session);
  Io AllowDownload(uint32_t session, uint32_t offset);
  DownloadData ReceiveDownload(uint32_t session, uint32_t offset,
                               const DownloadOptions& options = {});
  DownloadResult Download(const std::string& path, uint32_t session, uint32_t offset = 0,
                          const DownloadOptions& options = {});
  Io Refuse(uint32_t session);
  StopResult Stop(uint32_t session);

  // --- uploads (mobile_transfer.cpp) ---------------------------------------------------------
  UploadAnnounce AnnounceUpload(const std::string& target, uint32_t size, const Digest& fp,
                                uint32_t session, uint32_t carried = 0, uint8_t carried_byte = 0);
  Io SendUploadData(uint32_t session, std::string_view data, uint64_t from, uint64_t to,
                    size_t chunk = 1000);
  Io OverUpload(uint32_t session, uint8_t state);
  // Announce (size and fingerprint of `content`), send from the agent's offset, OVER.
  UploadResult Upload(const std::string& target, std::string_view content, uint32_t session,
                      const UploadOptions& options = {});

  // --- thumbnails --------------------------------------------------------------------------
  ThumbResult RequestThumbnail(const std::string& path, uint16_t width, uint16_t height,
                               uint32_t word = 4, int timeout_ms = -1);

 private:
  // Next message that `accept` takes; others go to Stray() and fail the operation (the
  // reading goes on so that the test sees everything).
  Io Expect(Message* out, int timeout_ms, const std::function<bool(const Message&)>& accept,
            OpResult* result);

  std::unique_ptr<MobileTransport> transport_;
  std::vector<Message> stray_;
  int reply_timeout_ms_ = 5000;
};

// Compares a finished download with the file it came from: end status "0", the bytes from
// `offset` (or their MD5 when not kept), the announced size, package count and fingerprint
// (recomputed with the fakes' own MD5). Empty when everything matches.
std::string CompareDownload(const DownloadResult& r, const std::string& file, uint64_t offset);

// Body builders, for tests that send variants by hand.
ByteString DeviceLoginBody(const std::string& account, const std::string& password,
                           const ByteString& rest = {});
ByteString PathRequestBody(const std::string& path, size_t size, char flag_at_256 = 0);
ByteString UploadRequestBody(const std::string& target, uint32_t size, const Digest& fp,
                             uint32_t carried = 0, uint8_t carried_byte = 0);
ByteString UploadChunk(uint32_t session, std::string_view data);
ByteString ThumbRequestBody(const std::string& path, uint16_t width, uint16_t height);

}  // namespace ks::fake
