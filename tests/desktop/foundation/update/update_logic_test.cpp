// The update manager against a loopback web server: checks, the owner's answer, the
// installer download and its limits, stopping, and the verified installer start.
#include "desktop/foundation/update/update_logic.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/md5/md5.h"
#include "platform/registry.h"
#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop::update;
using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ScopedEnv;
using ks::test::TempDir;

constexpr const char* kDescPath = "/kestyl/update-pc.html";
constexpr const char* kOwn = "1.2.0.4";

std::string Md5Of(const std::string& s) {
  MD5 m;
  m.update(s.data(), s.size());
  return m.toString();
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> out;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// Records the manager's reports; the test thread plays the owner's window.
class RecordingCallback : public IUpdateCallback {
 public:
  void OnUpdateReady() override { Add("ready"); }
  void OnNoUpdate() override { Add("none"); }
  void OnUpdateAvailable() override { Add("available"); }
  void OnDownloadFinish() override { Add("finish"); }

  bool WaitFor(const std::string& what, int timeout_ms = 20000) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
      for (const auto& e : events_)
        if (e == what) return true;
      return false;
    });
  }
  std::vector<std::string> Events() {
    std::lock_guard lk(mu_);
    return events_;
  }

 private:
  void Add(const char* e) {
    {
      std::lock_guard lk(mu_);
      events_.push_back(e);
    }
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class UpdateLogicTest : public ::testing::Test {
 protected:
  ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ScopedEnv proxy_{"http_proxy", nullptr};
  ScopedEnv stall_{"KESTYL_UPDATE_STALL_S", nullptr};
  ScopedEnv max_{"KESTYL_UPDATE_MAX_MB", nullptr};
  TempDir tmp_;
  FakeWebServer server_;
  RecordingCallback cb_;

  std::string Folder() const { return tmp_ / "data/Kestyl"; }

  CUpdateLogic::Environment Env(bool without_asking, std::string own = kOwn) {
    CUpdateLogic::Environment env;
    env.ownVersion = [own] { return own; };
    env.updateUrl = [this] { return server_.url() + kDescPath; };
    env.updateWithoutAsking = [without_asking] { return without_asking; };
    env.folder = Folder();
    return env;
  }

  std::string Description(const std::string& version, const std::string& md5,
                          const std::string& path = "/inst") {
    std::string down = server_.url() + path;
    std::string escaped;
    for (char c : down) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    return "{\"version\":\"" + version + "\",\"down\":\"" + escaped + "\",\"size\":\"1MB\",\"md5\":\"" + md5 + "\"}";
  }

  size_t Gets(const std::string& path) {
    size_t n = 0;
    for (const auto& r : server_.Requests())
      if (r.Path() == path) ++n;
    return n;
  }
};

// The owner's side of a hand-over: answers OnDownloadFinish as the main window does.
void AnswerFinish(RecordingCallback& cb, CUpdateLogic& logic) {
  ASSERT_TRUE(cb.WaitFor("finish"));
  logic.SetFinishEvent();
}

TEST_F(UpdateLogicTest, DownloadsVerifiesAndHandsOverWithAnUpperCaseMd5) {
  const std::string installer = "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/args.log\"\n";
  server_.Enqueue(kDescPath, WebReply::Ok(Description("1.2.0.5", Upper(Md5Of(installer)))));
  server_.Enqueue("/inst", WebReply::Ok(installer));
  CUpdateLogic logic(Env(true));
  logic.SetCallback(&cb_);
  auto result = std::async(std::launch::async, [&] { return logic.CheckForUpdate(true); });
  AnswerFinish(cb_, logic);
  ASSERT_TRUE(result.get());
  EXPECT_EQ((std::vector<std::string>{"finish", "ready"}), cb_.Events());
  EXPECT_EQ("1.2.0.5", logic.OfferedVersion());
  EXPECT_EQ(Md5Of(installer), logic.VerifiedMd5());
  EXPECT_EQ(installer, ks::test::ReadFile(logic.InstallerPath()));
  struct stat st {};
  ASSERT_EQ(0, stat(Folder().c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, stat(logic.InstallerPath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  std::vector<std::string> argv;
  ASSERT_TRUE(logic.StartInstaller(&argv));
  ASSERT_EQ(5u, argv.size());
  EXPECT_NE(logic.InstallerPath(), argv[0]);  // a private copy runs, not the download
  const std::string log = Folder() + "/args.log";
  for (int i = 0; i < 2000 && ks::test::ReadFile(log).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ("/Sp_ /VERYSILENT /NORESTART -mode:auto\n", ks::test::ReadFile(log));
}

TEST_F(UpdateLogicTest, AFileSwappedAfterTheDownloadIsNotRun) {
  const std::string installer = "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n";
  server_.Enqueue(kDescPath, WebReply::Ok(Description("1.2.0.5", Md5Of(installer))));
  server_.Enqueue("/inst", WebReply::Ok(installer));
  CUpdateLogic logic(Env(true));
  ASSERT_TRUE(logic.CheckForUpdate(true));  // no callback: no hand-over wait
  ks::test::WriteFile(logic.InstallerPath(), "#!/bin/sh\ntouch \"$(dirname \"$0\")/evil\"\n");
  EXPECT_FALSE(logic.StartInstaller());
  // Only the swapped file is left: the refused copy is gone, nothing ran.
  EXPECT_EQ((std::vector<std::string>{kInstallerName}), FolderEntries(Folder()));

  CUpdateLogic fresh(Env(true));
  EXPECT_FALSE(fresh.StartInstaller()) << "nothing was verified by this manager";
}

TEST_F(UpdateLogicTest, AWrongMd5FailsFiveTimesQuietlyAndLeavesNoFile) {
  server_.Enqueue(kDescPath, WebReply::Ok(Description("1.2.0.5", Md5Of("other"))));
  server_.SetFixed(WebReply::Ok("installer bytes"));
  CUpdateLogic logic(Env(true));
  logic.SetCallback(&cb_);
  EXPECT_FALSE(logic.CheckForUpdate(false));
  EXPECT_EQ(5u, Gets("/inst"));
  EXPECT_TRUE(cb_.Events().empty());
  EXPECT_TRUE(FolderEntries(Folder()).empty());
  EXPECT_EQ("", logic.VerifiedMd5());
}

TEST_F(UpdateLogicTest, DownloadLimits) {
  ScopedEnv stall("KESTYL_UPDATE_STALL_S", "1");
  ScopedEnv max("KESTYL_UPDATE_MAX_MB", "1");
  const std::string big(2 * 1024 * 1024 + 10, 'z');
  struct Case {
    const char* name;
    WebReply reply;
    std::string md5;
    std::string down;  // "" = the server's /inst
  } cases[] = {
      {"status other than 200", [] { WebReply r = WebReply::Ok("inst"); r.status = 404; r.reason = "Not Found"; return r; }(),
       Md5Of("inst"), ""},
      {"over the size cap with a length", WebReply::Ok(big), Md5Of(big), ""},
      {"over the size cap without a length",
       [&] { WebReply r; r.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big; r.close = true; return r; }(),
       Md5Of(big), ""},
      {"stalled after 10 bytes",
       [] { WebReply r; r.raw = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789"; return r; }(),
       Md5Of("x"), ""},
      {"not http", WebReply::Ok(""), Md5Of(""), "file:///etc/hostname"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWebServer server;
    server.SetFixed(c.reply);
    CUpdateLogic logic(Env(true));
    UpdateInfo info{c.down.empty() ? server.url() + "/inst" : c.down, "1.2.0.5", "1MB", c.md5};
    EXPECT_FALSE(logic.Download(info));
    EXPECT_TRUE(FolderEntries(Folder()).empty());
    EXPECT_EQ("", logic.VerifiedMd5());
    if (c.down.empty()) {
      EXPECT_EQ(5u, server.Requests().size());
    }
  }
}

TEST_F(UpdateLogicTest, DecisionsWithoutADownload) {
  struct Case {
    const char* name;
    std::string own, offered;
    bool automatic;
    std::vector<std::string> events;
    bool user_file_deleted;
  } cases[] = {
      {"equal, manual", kOwn, kOwn, false, {"none"}, true},
      {"equal, automatic", kOwn, kOwn, true, {}, true},
      {"three numbers against four", "1.2.0.0", "1.2.0", false, {"none"}, false},
      {"older, manual", kOwn, "1.2.0.3", false, {"none"}, false},
      {"older, automatic", kOwn, "1.2.0.3", true, {}, false},
      {"own version unreadable, manual", "", "9.0.0.0", false, {"none"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingCallback cb;
    server_.Enqueue(kDescPath, WebReply::Ok(Description(c.offered, Md5Of("x"))));
    ASSERT_EQ(0, mkdir((tmp_ / "data").c_str(), 0700) == 0 || errno == EEXIST ? 0 : -1);
    mkdir(Folder().c_str(), 0700);
    ks::test::WriteFile(Folder() + "/" + kUserVersionName, "v");
    CUpdateLogic logic(Env(false, c.own));
    logic.SetCallback(&cb);
    EXPECT_FALSE(logic.CheckForUpdate(c.automatic));
    EXPECT_EQ(c.events, cb.Events());
    struct stat st {};
    EXPECT_EQ(c.user_file_deleted, stat(logic.UserVersionPath().c_str(), &st) != 0);
  }
  EXPECT_EQ(0u, Gets("/inst"));
}

TEST_F(UpdateLogicTest, AnIncompleteOrOversizedDescriptionEndsSilentlyEvenWhenManual) {
  std::string huge = Description("9.0.0.0", Md5Of("x")) + std::string(70 * 1024, ' ');
  for (const std::string& body : {std::string(R"({"version":"9.0.0.0","down":"u","size":"1"})"), huge}) {
    server_.Enqueue(kDescPath, WebReply::Ok(body));
    CUpdateLogic logic(Env(true));
    logic.SetCallback(&cb_);
    EXPECT_FALSE(logic.CheckForUpdate(false));
  }
  EXPECT_TRUE(cb_.Events().empty());
  EXPECT_EQ(0u, Gets("/inst"));
}

TEST_F(UpdateLogicTest, TheOwnersAnswerDecidesTheDownload) {
  const std::string installer = "inst";
  server_.SetFixed(WebReply::Ok(installer));
  struct Case {
    int answer;
    bool downloads;
  } cases[] = {{kAnswerCancel, false}, {kAnswerUpdate, true}, {0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    size_t before = Gets("/inst");
    server_.Enqueue(kDescPath, WebReply::Ok(Description("1.3.0.0", Md5Of(installer))));
    RecordingCallback cb;
    CUpdateLogic logic(Env(false));
    logic.SetCallback(&cb);
    std::string seen;
    logic.SetNoticePresenter([&](const std::string& v) {
      seen = v;
      return c.answer;
    });
    auto result = std::async(std::launch::async, [&] { return logic.CheckForUpdate(false); });
    ASSERT_TRUE(cb.WaitFor("available"));
    logic.ShowUpdateNotice();  // this thread plays the window's thread
    if (c.downloads) AnswerFinish(cb, logic);
    EXPECT_EQ(c.downloads, result.get());
    EXPECT_EQ("1.3.0.0", seen);
    EXPECT_EQ(c.answer, logic.Answer());
    EXPECT_EQ(c.downloads ? 1u : 0u, Gets("/inst") - before);
  }
}

// The main window sets the finish event at start-up (telling of a finished update) while a
// check may already wait for the notice: that is no answer, and nothing is downloaded before
// the owner's; a cancelled notice then downloads nothing at all.
TEST_F(UpdateLogicTest, AFinishEventIsNoAnswerToTheNotice) {
  const std::string installer = "inst";
  server_.SetFixed(WebReply::Ok(installer));
  server_.Enqueue(kDescPath, WebReply::Ok(Description("1.3.0.0", Md5Of(installer))));
  RecordingCallback cb;
  CUpdateLogic logic(Env(false));
  logic.SetCallback(&cb);
  logic.SetNoticePresenter([](const std::string&) { return kAnswerCancel; });
  auto result = std::async(std::launch::async, [&] { return logic.CheckForUpdate(true); });
  ASSERT_TRUE(cb.WaitFor("available"));
  logic.SetFinishEvent();
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "the check went on without the owner's answer";
  logic.ShowUpdateNotice();
  EXPECT_FALSE(result.get());
  EXPECT_EQ(0u, Gets("/inst"));
}

TEST_F(UpdateLogicTest, StopEndsAWaitForTheOwnerAndAStalledDownload) {
  ScopedEnv stall("KESTYL_UPDATE_STALL_S", "600");
  WebReply stalled;
  stalled.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n0123456789";
  server_.SetFixed(stalled);
  for (bool ask : {true, false}) {
    SCOPED_TRACE(ask ? "waiting for the owner" : "stalled download");
    size_t before = Gets("/inst");
    size_t all_before = server_.Requests().size();
    server_.Enqueue(kDescPath, WebReply::Ok(Description("2.0.0.0", "00")));
    RecordingCallback cb;
    auto logic = std::make_unique<CUpdateLogic>(Env(!ask));
    logic->SetCallback(&cb);
    ASSERT_EQ(CUpdateLogic::StartResult::kStarted, logic->StartCheck(false));
    if (ask)
      ASSERT_TRUE(cb.WaitFor("available"));
    else
      ASSERT_TRUE(server_.WaitForRequests(all_before + 2, 20000));  // the description, then /inst
    // Destruction waits neither for the owner nor for the 600 s stall window.
    auto done = std::async(std::launch::async, [&] { logic.reset(); });
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(30)));
    EXPECT_TRUE(FolderEntries(Folder()).empty());
    EXPECT_EQ(ask ? 0u : 1u, Gets("/inst") - before) << "no further try after the stop";
  }
}

TEST_F(UpdateLogicTest, AutomaticRoundsLeaveARunningMobileTransferAlone) {
  ScopedEnv first("KESTYL_UPDATE_FIRST_S", "0");
  struct Case {
    int state;
    bool fetches;
  } cases[] = {{3, false}, {4, false}, {2, true}, {1, true}, {-1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    FakeWebServer server;
    server.SetFixed(WebReply::Ok("{}"));
    CUpdateLogic::Environment env = Env(true);
    env.updateUrl = [&server] { return server.url() + kDescPath; };
    std::promise<void> asked;
    std::once_flag once;
    env.transferState = [&, state = c.state] {
      std::call_once(once, [&] { asked.set_value(); });
      return state;
    };
    CUpdateLogic logic(env);
    ASSERT_EQ(CUpdateLogic::StartResult::kStarted, logic.StartCheck(true));
    EXPECT_EQ(CUpdateLogic::StartResult::kBusy, logic.StartCheck(true)) << "one automatic thread";
    ASSERT_EQ(std::future_status::ready, asked.get_future().wait_for(std::chrono::seconds(20)));
    // The round ends by clearing busy; only then is the request count final.
    for (int i = 0; i < 2000 && logic.IsBusy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(logic.IsBusy());
    EXPECT_EQ(c.fetches ? 1u : 0u, server.Requests().size());
  }
}

TEST_F(UpdateLogicTest, AManualCheckWhileBusyStartsNothing) {
  server_.SetFixed(WebReply::Silent());
  CUpdateLogic logic(Env(true));
  ASSERT_EQ(CUpdateLogic::StartResult::kStarted, logic.StartCheck(false));
  EXPECT_TRUE(logic.IsBusy());
  EXPECT_EQ(CUpdateLogic::StartResult::kBusy, logic.StartCheck(false));
  ASSERT_TRUE(server_.WaitForRequests(1, 20000));
  logic.Stop();
  EXPECT_EQ(CUpdateLogic::StartResult::kStopped, logic.StartCheck(false));
  EXPECT_EQ(1u, server_.Requests().size());
}

class UpdateRegistryTest : public ::testing::Test {
 protected:
  TempDir tmp_;
  ScopedEnv platform_{"KESTYL_PLATFORM_DIR", tmp_ / "platform"};
};

TEST_F(UpdateRegistryTest, UpdateNoticeAndTheMissingKey) {
  EXPECT_FALSE(UpdateWithoutAsking());  // seeded key, no value: ask
  ASSERT_TRUE(WriteKestylDword(kUpdateNoticeValue, 1));
  EXPECT_TRUE(UpdateWithoutAsking());
  ASSERT_TRUE(WriteKestylDword(kUpdateNoticeValue, 0));
  EXPECT_FALSE(UpdateWithoutAsking());
  using namespace ks::platform;
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTree(HKEY_LOCAL_MACHINE, kRegistryKey));
  EXPECT_FALSE(WriteKestylDword(kUpdateFinishValue, 1)) << "the key is opened, never created";
  EXPECT_FALSE(UpdateWithoutAsking());
  HKEY key = nullptr;
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ, &key));
}

}  // namespace
