// Check-to-use races against the real agent: a thread swaps a file and a folder inside
// the share with symbolic links to outside (atomic exchange) while clients GET them over
// HTTP and download them (with a pause between request and allow). Nothing of outside may
// ever be sent; a link that stays inside the share still works all along.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/e2e/whole/whole_support.h"
#include "tests/fakes/net_io.h"

namespace ks::e2e {
namespace {

using namespace ks::fake;

std::string HttpGet(uint16_t port, const std::string& target) {
  UniqueFd fd = ConnectTcp("127.0.0.1", port, 5000);
  if (!fd) return "";
  SendAll(fd.get(), "GET " + target + " HTTP/1.1\r\n\r\n", 5000);
  std::string answer;
  char buf[16384];
  while (Readable(fd.get(), 5000)) {
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  return answer;
}

class Race : public WholeTest {
 protected:
  // Swaps Data/race/file.bin and Data/race/room with their links to outside until stopped.
  void StartSwapping() {
    swapper_ = std::thread([this] {
      const std::string r = data + "/race";
      while (!stop_.load()) {
        ::renameat2(AT_FDCWD, (r + "/file.bin").c_str(), AT_FDCWD, (r + "/file-out").c_str(), RENAME_EXCHANGE);
        ::renameat2(AT_FDCWD, (r + "/room").c_str(), AT_FDCWD, (r + "/room-out").c_str(), RENAME_EXCHANGE);
        swaps_.fetch_add(1);
      }
    });
  }
  void StopSwapping() {
    stop_ = true;
    if (swapper_.joinable()) swapper_.join();
  }
  void TearDown() override {
    StopSwapping();
    WholeTest::TearDown();
  }
  void Prepare() {
    inside = PutData("race/file.bin", 40000, 701);
    PutData("race/room/secret.jpg", 30000, 702);  // same name as outside's
    stable = PutData("race/stable.bin", 20000, 703);
    const std::string r = data + "/race";
    ASSERT_EQ(::symlink((outside + "/secret.jpg").c_str(), (r + "/file-out").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (r + "/room-out").c_str()), 0);
    ASSERT_EQ(::symlink("stable.bin", (r + "/link-in").c_str()), 0);
    ASSERT_EQ(::symlink((r + "/stable.bin").c_str(), (r + "/abs-link-in").c_str()), 0);
  }

  std::string inside, stable;
  std::atomic<bool> stop_{false};
  std::atomic<long> swaps_{0};
  std::thread swapper_;
};

TEST_F(Race, HttpGetsNeverServeWhatASwapBringsIn) {
  Prepare();
  ASSERT_TRUE(StartAgent());
  const uint16_t port = agent->http_port();
  StartSwapping();
  int served = 0;
  for (int i = 0; i < 1500; ++i) {
    for (const char* target : {"/$DEFAULT$/race/file.bin", "/$DEFAULT$/race/room/secret.jpg"}) {
      std::string answer = HttpGet(port, target);
      ASSERT_EQ(answer.find(secret_marker), std::string::npos) << target << " sent the outside file";
      if (answer.rfind("HTTP/1.1 200", 0) == 0) ++served;
    }
    if (i % 100 == 0) {
      for (const char* target : {"/$DEFAULT$/race/link-in", "/$DEFAULT$/race/abs-link-in"}) {
        std::string answer = HttpGet(port, target);
        EXPECT_TRUE(answer.size() >= stable.size() && answer.compare(answer.size() - stable.size(), stable.size(), stable) == 0)
            << target << ": a link inside the share must keep working";
      }
    }
  }
  StopSwapping();
  std::printf("%d of 3000 GETs served during %ld swaps\n", served, swaps_.load());
  EXPECT_GT(served, 0);
  EXPECT_GT(swaps_.load(), 0);
}

TEST_F(Race, DownloadsSendOnlyTheFileRequested) {
  Prepare();
  ASSERT_TRUE(StartAgent());
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  StartSwapping();
  int whole = 0, refused = 0;
  uint32_t session = 1000;
  for (int i = 0; i < 600; ++i) {
    const char* path = i % 2 ? "$DEFAULT$/race/file.bin" : "$DEFAULT$/race/room/secret.jpg";
    ++session;
    DownloadInfo info = phone->RequestDownload(path, session);
    ASSERT_TRUE(info.ok()) << info.Describe();
    if (!info.accepted) {
      ++refused;
      continue;
    }
    std::this_thread::yield();  // a pause between request and allow, for the swapper
    ASSERT_EQ(phone->AllowDownload(session, 0), Io::kOk);
    DownloadData got = phone->ReceiveDownload(session, 0);
    ASSERT_EQ(got.data.find(secret_marker), std::string::npos) << path << " sent the outside file";
    if (got.over_status == '0') {
      ++whole;
      EXPECT_EQ(got.data.size(), info.size);
    }
  }
  StopSwapping();
  std::printf("%d whole downloads, %d refused at the request, %ld swaps\n", whole, refused, swaps_.load());
  EXPECT_GT(whole, 0);
  // Links inside the share still download.
  DownloadResult viaLink = phone->Download("$DEFAULT$/race/link-in", 5000);
  EXPECT_TRUE(viaLink.data.data == stable);
  EXPECT_TRUE(agent->Running());
}

// Listings of a folder swapped for a link to outside: no name of outside is ever listed;
// a folder reached through a link inside the share is still listed.
TEST_F(Race, ListingsStayInside) {
  Prepare();
  ks::test::WriteFile(outside + "/only-outside.txt", "x");
  ASSERT_TRUE(StartAgent());
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  StartSwapping();
  int listed = 0;
  for (int i = 0; i < 1000; ++i) {
    ListingResult r = phone->Listing("$DEFAULT$/race/room", '1', 100 + i);
    ASSERT_TRUE(r.ok()) << r.Describe();
    for (const ListingEntry& e : r.entries) ASSERT_NE(e.name, "only-outside.txt") << "outside listed";
    if (!r.entries.empty()) ++listed;
  }
  StopSwapping();
  std::printf("%d of 1000 listings during %ld swaps\n", listed, swaps_.load());
  EXPECT_GT(listed, 0);
  // The swaps stop in either state: link to whichever name holds the folder now.
  struct stat st {};
  const char* real = ::lstat((data + "/race/room").c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? "room" : "room-out";
  ASSERT_EQ(::symlink(real, (data + "/race/room-in").c_str()), 0);
  ListingResult viaLink = phone->Listing("$DEFAULT$/race/room-in", '1', 9999);
  EXPECT_EQ(viaLink.total, 1u);
}

}  // namespace
}  // namespace ks::e2e
