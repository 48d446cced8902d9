// Check-to-use races against the real agent: a thread swaps a file, a folder and an upload
// folder inside the share with symbolic links to outside (atomic exchange) while clients
// GET them over HTTP, download them (with a pause between request and allow), list them,
// thumbnail them and upload into them. Nothing of outside may ever be sent, listed or
// written; a link that stays inside the share still works all along.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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
        ::renameat2(AT_FDCWD, (r + "/drop").c_str(), AT_FDCWD, (r + "/drop-out").c_str(), RENAME_EXCHANGE);
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
    ASSERT_EQ(::mkdir((r + "/drop").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (r + "/drop-out").c_str()), 0);
  }
  // Whichever of `name` and `name`-out holds the real folder once the swaps stopped.
  std::string RealFolder(const std::string& name) const {
    struct stat st {};
    const std::string r = data + "/race/";
    return ::lstat((r + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? r + name : r + name + "-out";
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

// Uploads into a folder swapped for a link to outside: the folder is judged once and its
// descriptor kept, so every byte lands in the real folder or nowhere; a folder made for
// an upload is made there too. Every announcement is answered, every upload accepted is
// published whole in the real folder, and a link that stays inside the share still takes
// uploads.
TEST_F(Race, UploadsNeverWriteOutside) {
  Prepare();
  ASSERT_TRUE(StartAgent());
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  StartSwapping();
  struct Sent {
    std::string name;  // below the upload folder
    std::string content;
  };
  std::vector<Sent> accepted;
  int refused = 0;
  for (int i = 0; i < 400; ++i) {
    Sent up{i % 2 ? "up-" + std::to_string(i) + ".bin" : "sub-" + std::to_string(i) + "/up.bin",
            RandomBytes(2000 + static_cast<size_t>(i), 800 + static_cast<unsigned>(i))};
    UploadResult r = phone->Upload("$DEFAULT$/race/drop/" + up.name, up.content, 5000 + static_cast<uint32_t>(i));
    ASSERT_TRUE(r.ok()) << up.name << ": " << r.Describe();
    if (r.announce.accepted) {
      accepted.push_back(std::move(up));
    } else {
      ++refused;  // a swap met the checks: refused, with whichever code the check gave
    }
  }
  // The connection's messages are handled in order: this answer comes after the last end.
  ASSERT_TRUE(phone->Listing("$DEFAULT$/race", '1', 1).ok());
  StopSwapping();
  std::printf("%zu uploads accepted, %d refused, %ld swaps\n", accepted.size(), refused, swaps_.load());
  EXPECT_EQ(Tree(outside), std::vector<std::string>{"secret.jpg"}) << "an upload wrote outside the share";
  EXPECT_FALSE(accepted.empty());
  const std::string real = RealFolder("drop");
  for (const Sent& up : accepted)
    EXPECT_TRUE(ks::test::ReadFile(real + "/" + up.name) == up.content) << up.name << " is not what was uploaded";
  for (const std::string& name : Tree(real)) EXPECT_EQ(name.find("kestyl.rename"), std::string::npos) << name;

  ASSERT_EQ(::mkdir((data + "/race/keep").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("keep", (data + "/race/keep-link").c_str()), 0);
  const std::string content = RandomBytes(5000, 900);
  UploadResult viaLink = phone->Upload("$DEFAULT$/race/keep-link/in.bin", content, 9000);
  ASSERT_TRUE(viaLink.ok() && viaLink.announce.accepted) << viaLink.Describe();
  ASSERT_TRUE(phone->Listing("$DEFAULT$/race", '1', 2).ok());
  EXPECT_TRUE(ks::test::ReadFile(data + "/race/keep/in.bin") == content);
}

// Thumbnails of a picture and of a folder swapped for links to outside. The pictures tell
// where a thumbnail came from: inside ones are 100 x 80, the outside one 320 x 240, and a
// thumbnail is never larger than its picture, so one asked at 200 x 200 is 100 x 80 when
// it was made from inside and 200 x 200 when from outside.
TEST_F(Race, ThumbnailsAreMadeOnlyFromInside) {
  Prepare();
  const std::string picture = MakeJpeg(100, 80);
  ks::test::WriteFile(data + "/race/file.bin", picture);
  ks::test::WriteFile(data + "/race/room/secret.jpg", picture);
  ks::test::WriteFile(data + "/race/stable.bin", picture);
  ASSERT_TRUE(StartAgent());
  auto phone = FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  StartSwapping();
  int made = 0;
  for (int i = 0; i < 600; ++i) {
    const char* path = i % 2 ? "$DEFAULT$/race/file.bin" : "$DEFAULT$/race/room/secret.jpg";
    ThumbResult r = phone->RequestThumbnail(path, 200, 200, 100 + static_cast<uint32_t>(i));
    ASSERT_TRUE(r.ok()) << path << ": " << r.Describe();
    ASSERT_EQ(r.data.find(secret_marker), std::string::npos) << path << ": made from the outside picture";
    if (r.data.empty()) continue;
    int width = 0, height = 0;
    ASSERT_TRUE(JpegSize(r.data, &width, &height)) << path;
    ASSERT_EQ(width, 100) << path << ": made from the outside picture";
    ASSERT_EQ(height, 80) << path;
    ++made;
  }
  StopSwapping();
  std::printf("%d of 600 thumbnails during %ld swaps\n", made, swaps_.load());
  EXPECT_GT(made, 0);
  for (const char* link : {"$DEFAULT$/race/link-in", "$DEFAULT$/race/abs-link-in"}) {
    ThumbResult r = phone->RequestThumbnail(link, 50, 40, 9000);
    int width = 0, height = 0;
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_TRUE(JpegSize(r.data, &width, &height) && width == 50 && height == 40)
        << link << ": a link inside the share must keep working";
  }
}

}  // namespace
}  // namespace ks::e2e
