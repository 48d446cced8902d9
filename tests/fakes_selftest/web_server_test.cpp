// The fake web server against raw-socket clients: request recording, scripted replies by
// path, keep-alive, chunked bodies, encodings, hang-ups and silent accepts.
#include "tests/fakes/fake_web_server.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "tests/fakes/net_io.h"

namespace {

using ks::fake::FakeWebServer;
using ks::fake::Io;
using ks::fake::WebReply;

// Reads one whole reply (head and Content-Length body) from the connection.
std::string ReadReply(int fd) {
  std::string head;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    char c;
    if (ks::fake::RecvExact(fd, &c, 1, 5000) != Io::kOk) return head;
    head.push_back(c);
  }
  size_t at = head.find("Content-Length: ");
  size_t n = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
  std::string body;
  if (n) ks::fake::RecvExact(fd, &body, n, 5000);
  return head + body;
}

TEST(FakeWebServer, RecordsRequestsAndAnswersByPathOnOneConnection) {
  FakeWebServer server;
  server.Enqueue("/b", WebReply::Ok("for b"));
  server.Enqueue(WebReply::Ok("any"));
  auto fd = ks::fake::ConnectTcp("127.0.0.1", server.port(), 5000);
  ASSERT_TRUE(fd);
  const std::string req1 = "POST /a?x=1 HTTP/1.1\r\nHost: h\r\nContent-Type: t\r\nContent-Length: 5\r\n\r\nhello";
  const std::string req2 =
      "POST /b HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
  const std::string req3 = "GET /c HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd.get(), req1 + req2 + req3, 5000));
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nany", ReadReply(fd.get()));
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfor b", ReadReply(fd.get()));
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ReadReply(fd.get()));
  ASSERT_TRUE(server.WaitForRequests(3, 5000));
  auto r = server.Requests();
  EXPECT_EQ("POST", r[0].method);
  EXPECT_EQ("/a?x=1", r[0].target);
  EXPECT_EQ("/a", r[0].Path());
  EXPECT_EQ("HTTP/1.1", r[0].version);
  EXPECT_EQ("t", r[0].Header("content-type"));
  EXPECT_EQ("hello", r[0].body);
  EXPECT_EQ("abcde", r[1].body);
  EXPECT_EQ("GET", r[2].method);
  EXPECT_EQ("", r[2].body);
  EXPECT_EQ(1, r[2].connection);
  EXPECT_EQ(1, server.connections());
}

TEST(FakeWebServer, EncodedRawAndClosingReplies) {
  FakeWebServer server;
  WebReply gz = WebReply::Ok("zipped text");
  gz.encoding = WebReply::Encoding::kGzip;
  gz.status = 404;
  gz.reason = "Not Found";
  server.Enqueue(gz);
  WebReply raw;
  raw.raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  server.Enqueue(raw);
  WebReply bye;
  bye.hang_up = true;
  server.Enqueue(bye);

  auto fd = ks::fake::ConnectTcp("127.0.0.1", server.port(), 5000);
  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd.get(), "GET / HTTP/1.1\r\n\r\n", 5000));
  std::string reply = ReadReply(fd.get());
  ASSERT_EQ(0u, reply.find("HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\n"));
  std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
  z_stream z{};
  ASSERT_EQ(Z_OK, inflateInit2(&z, 31));
  char out[64];
  z.next_in = reinterpret_cast<Bytef*>(body.data());
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = sizeof out;
  EXPECT_EQ(Z_STREAM_END, inflate(&z, Z_FINISH));
  EXPECT_EQ("zipped text", std::string(out, z.total_out));
  inflateEnd(&z);

  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd.get(), "GET / HTTP/1.1\r\n\r\n", 5000));
  EXPECT_EQ(raw.raw, ReadReply(fd.get()));
  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd.get(), "GET / HTTP/1.1\r\n\r\n", 5000));
  EXPECT_EQ(Io::kClosed, ks::fake::WaitPeerClose(fd.get(), 5000));
  EXPECT_EQ(3u, server.Requests().size());
}

TEST(FakeWebServer, SilentRepliesAndSilentAcceptsEndWithStop) {
  FakeWebServer server;
  server.Enqueue(WebReply::Silent());
  auto fd = ks::fake::ConnectTcp("127.0.0.1", server.port(), 5000);
  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd.get(), "GET / HTTP/1.1\r\n\r\n", 5000));
  ASSERT_TRUE(server.WaitForRequests(1, 5000));
  EXPECT_FALSE(ks::fake::Readable(fd.get(), 300));

  FakeWebServer mute;
  mute.SetSilentAccept(true);
  auto fd2 = ks::fake::ConnectTcp("127.0.0.1", mute.port(), 5000);
  ASSERT_EQ(Io::kOk, ks::fake::SendAll(fd2.get(), "GET / HTTP/1.1\r\n\r\n", 5000));
  EXPECT_FALSE(ks::fake::Readable(fd2.get(), 300));
  EXPECT_FALSE(mute.WaitForRequests(1, 100));
  // Stopping ends the held connections.
  server.Stop();
  mute.Stop();
  EXPECT_EQ(Io::kClosed, ks::fake::WaitPeerClose(fd.get(), 5000));
  EXPECT_EQ(Io::kClosed, ks::fake::WaitPeerClose(fd2.get(), 5000));
}

}  // namespace
