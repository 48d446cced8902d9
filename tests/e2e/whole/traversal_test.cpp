// One table of paths that try to leave the shares, run against every entry point that takes
// a path — listing, download, upload and thumbnail on each transport, and HTTP — with zero
// escapes allowed: no byte of the secret picture outside the shares comes back, no entry of
// a folder outside them is listed, and no file or folder appears outside them.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/whole/whole_support.h"
#include "tests/fakes/net_io.h"

namespace ks::e2e {
namespace {

using namespace ks::fake;

struct Escape {
  std::string name;
  std::string file;    // names a secret.jpg outside the shares
  std::string folder;  // a folder outside the shares ("" when the case has none)
  std::string plant;   // an upload target outside the shares
  std::string url;     // the HTTP path after its leading "/" (a local path keeps its own)
  // Only HTTP decodes percent signs: to the message protocol this names a folder inside the
  // share whose name holds them, where an upload may go.
  bool literal_inside = false;
};

// Enough "./" steps to bring `prefix + steps + rest` to exactly `length` characters.
std::string PadTo(const std::string& prefix, const std::string& rest, size_t length) {
  std::string steps;
  while (prefix.size() + steps.size() + rest.size() + 2 <= length) steps += "./";
  if (prefix.size() + steps.size() + rest.size() < length) steps += "/";
  return prefix + steps + rest;
}

class Traversal : public WholeTest {
 protected:
  Traversal() {
    ::mkdir((outside + "/inner").c_str(), 0755);
    ks::test::WriteFile(pics + "/ok.jpg", MakeJpeg(64, 48));
    ks::test::WriteFile(data + "/ok.jpg", MakeJpeg(64, 48));
    EXPECT_EQ(::symlink(outside.c_str(), (data + "/out").c_str()), 0);
    EXPECT_EQ(::symlink((outside + "/secret.jpg").c_str(), (data + "/leak.jpg").c_str()), 0);
  }

  std::vector<Escape> Table() const {
    const std::string up = "/../outside";
    // A path whose first 254 characters (the most the agent keeps) climb out: the tail that
    // would make it harmless is cut away.
    const std::string longFile = PadTo(data + "/", "../outside/secret.jpg", 254) + "/x/" + std::string(40, 'y');
    const std::string longPlant = PadTo(data + "/", "../outside/planted.jpg", 254) + "/x/" + std::string(40, 'y');
    return {
        {"dot-dot after the virtual name", "$DEFAULT$/../outside/secret.jpg", "$DEFAULT$/../outside",
         "$DEFAULT$/../outside/new/planted.jpg", "$DEFAULT$/../outside/secret.jpg"},
        {"dot-dot after the share's path", data + up + "/secret.jpg", data + up, data + up + "/new/planted.jpg",
         data + up + "/secret.jpg"},
        {"backslash dot-dot", "$DEFAULT$\\..\\outside\\secret.jpg", "$DEFAULT$\\..\\outside",
         "$DEFAULT$\\..\\outside\\new\\planted.jpg", "$DEFAULT$\\..\\outside\\secret.jpg"},
        {"mixed separators", "$DEFAULT$/..\\outside/secret.jpg", "$DEFAULT$/..\\outside",
         "$DEFAULT$/..\\outside/planted.jpg", "$DEFAULT$/..%5Coutside/secret.jpg"},
        {"percent-encoded dot-dot", "$DEFAULT$/%2e%2e/outside/secret.jpg", "$DEFAULT$/%2e%2e/outside",
         "$DEFAULT$/%2e%2e/outside/planted.jpg", "$DEFAULT$/%2e%2e/outside/secret.jpg", true},
        {"percent-encoded slashes", "$DEFAULT$%2F..%2Foutside%2Fsecret.jpg", "",
         "$DEFAULT$%2F..%2Foutside%2Fplanted.jpg", "$DEFAULT$%2F%2E%2E%2Foutside%2Fsecret.jpg"},
        {"double-encoded dot-dot", "$DEFAULT$/%252e%252e/outside/secret.jpg", "",
         "$DEFAULT$/%252e%252e/outside/planted.jpg", "$DEFAULT$/%252e%252e/outside/secret.jpg", true},
        {"absolute path outside", outside + "/secret.jpg", outside, outside + "/new/planted.jpg",
         outside + "/secret.jpg"},
        {"root folder", "/secret.jpg", "/", dir / "planted.jpg", "/secret.jpg"},
        {"sibling Data2 of share Data", data2 + "/secret.jpg", data2, data2 + "/new/planted.jpg",
         data2 + "/secret.jpg"},
        {"sibling through the virtual name", "$DEFAULT$2/secret.jpg", "$DEFAULT$2", "$DEFAULT$2/new/planted.jpg",
         "$DEFAULT$2/secret.jpg"},
        {"folder symlink out of the share", data + "/out/secret.jpg", data + "/out", data + "/out/new/planted.jpg",
         data + "/out/secret.jpg"},
        {"file symlink out of the share", data + "/leak.jpg", "", data + "/out/planted.jpg", data + "/leak.jpg"},
        {"over-long, cut to a climb", longFile, "", longPlant, longFile},
        {"over-long beyond every field", outside + "/" + std::string(400, 'z'), "",
         outside + "/" + std::string(400, 'z') + "/planted.jpg", "$DEFAULT$/" + std::string(300, 'z') + "/../../outside/secret.jpg"},
    };
  }

  // Everything outside Data and pics, as it stands.
  std::vector<std::string> OutsideShares() const {
    std::vector<std::string> out;
    for (const std::string& p : Tree(dir.path()))
      if (p.rfind("Data/", 0) != 0 && p.rfind("pics/", 0) != 0) out.push_back(p);
    return out;
  }
  bool HasSecret(const std::string& bytes) const {
    return bytes.find(secret_marker) != std::string::npos ||
           (bytes.size() >= 200 && secret_jpeg.find(bytes.substr(0, 200)) != std::string::npos);
  }
};

class TraversalOverTransport : public Traversal, public ::testing::WithParamInterface<Transport> {};

TEST_P(TraversalOverTransport, NoEntryPointLeavesTheShares) {
  ASSERT_TRUE(StartAgent());
  KS_CONNECT(phone, GetParam());
  const std::vector<std::string> before = OutsideShares();

  // The entry points work for what is inside.
  ListingResult inside = phone->Listing(data, '1', 1);
  ASSERT_TRUE(inside.ok()) << inside.Describe();
  EXPECT_FALSE(inside.entries.empty());
  DownloadResult ok = phone->Download("$DEFAULT$/ok.jpg", 2);
  ASSERT_EQ(CompareDownload(ok, data + "/ok.jpg", 0), "");
  ThumbResult thumbOk = phone->RequestThumbnail("$DEFAULT_PIC$/ok.jpg", 32, 24, 3, 15000);
  EXPECT_EQ(thumbOk.status, 0) << thumbOk.Describe();

  uint32_t session = 100;
  for (const Escape& e : Table()) {
    SCOPED_TRACE(e.name);
    if (!e.folder.empty()) {
      ListingResult l = phone->Listing(e.folder, '1', ++session);
      EXPECT_TRUE(l.ok()) << l.Describe();
      EXPECT_TRUE(l.entries.empty()) << "listed " << l.entries.size() << " entries, first "
                                     << l.entries[0].name;
    }

    DownloadInfo d = phone->RequestDownload(e.file, ++session);
    EXPECT_TRUE(d.ok()) << d.Describe();
    EXPECT_FALSE(d.accepted) << "announced " << d.size << " bytes";
    if (d.accepted) {
      DownloadData got = phone->ReceiveDownload(session, 0);
      EXPECT_FALSE(HasSecret(got.data)) << "the secret left the agent";
    }

    ThumbResult t = phone->RequestThumbnail(e.file, 64, 48, ++session, 15000);
    EXPECT_TRUE(t.ok()) << t.Describe();
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(t.data.empty()) << t.data.size() << " thumbnail bytes";

    const std::string planted = "planted by a climbing upload";
    UploadAnnounce u = phone->AnnounceUpload(e.plant, static_cast<uint32_t>(planted.size()),
                                             Md5Of(planted), ++session);
    EXPECT_TRUE(u.ok()) << u.Describe();
    if (!e.literal_inside) {
      EXPECT_FALSE(u.accepted);
    }
    if (u.accepted) {
      phone->SendUploadData(session, planted, 0, planted.size());
      phone->OverUpload(session, 0);
    }
  }
  // A last answered request: everything before it has been handled.
  EXPECT_TRUE(phone->ShareInfo(1).ok());
  EXPECT_EQ(OutsideShares(), before) << "something was created outside the shares";
  EXPECT_EQ(ks::test::ReadFile(outside + "/secret.jpg"), secret_jpeg);
  for (const Message& m : phone->Stray()) EXPECT_FALSE(HasSecret(m.body)) << "stray message with the secret";
}

INSTANTIATE_TEST_SUITE_P(Table, TraversalOverTransport, ::testing::ValuesIn(kAllTransports),
                         TransportParamName);

TEST_F(Traversal, HttpNeverServesOutsideTheShares) {
  ASSERT_TRUE(StartAgent());
  auto get = [&](const std::string& url) {
    UniqueFd fd = ConnectTcp("127.0.0.1", agent->http_port(), 2000);
    EXPECT_TRUE(fd);
    if (!fd) return std::string();
    SendAll(fd.get(), "GET " + url + " HTTP/1.1\r\n\r\n", 2000);
    std::string all;
    char buf[65536];
    while (Readable(fd.get(), 5000)) {
      ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  };
  EXPECT_EQ(get("/$DEFAULT$/ok.jpg").rfind("HTTP/1.1 200 OK", 0), 0u) << "HTTP serves what is inside";
  const std::vector<std::string> before = OutsideShares();
  for (const Escape& e : Table()) {
    SCOPED_TRACE(e.name);
    std::string answer = get("/" + e.url);
    EXPECT_NE(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 200);
    EXPECT_FALSE(HasSecret(answer));
  }
  EXPECT_EQ(OutsideShares(), before);
}

}  // namespace
}  // namespace ks::e2e
