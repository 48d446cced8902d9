#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/event.h"
#include "platform/service_dispatcher.h"
#include "platform/service_table.h"
#include "platform/time.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::platform;
using ks::test::ReadFile;
using ks::test::TempDir;

ServiceConfig SleepConfig() {
  ServiceConfig c;
  c.displayName = "Test";
  c.command = {"/bin/sleep", "30"};
  c.startType = kServiceAutoStart;
  return c;
}

std::vector<uint32_t> States(const ServiceTable& table, const std::string& name) {
  std::vector<ServiceStatus> reports;
  table.ReadHistory(name, reports);
  std::vector<uint32_t> states;
  for (const ServiceStatus& r : reports) {
    if (states.empty() || states.back() != r.currentState) states.push_back(r.currentState);
  }
  return states;
}

TEST(ServiceTable, CreateOpenDeleteAndStartType) {
  TempDir dir;
  ServiceTable table(dir.path());
  EXPECT_FALSE(table.Exists("Kestyl"));
  ServiceConfig c = SleepConfig();
  c.command = {"/opt/with space/prog", "-r", "Kestyl"};
  ASSERT_EQ(table.Create("Kestyl", c), kServiceOk);
  std::string before = ReadFile(table.ConfigPath("Kestyl"));

  // A second create leaves the table as it was.
  EXPECT_EQ(table.Create("Kestyl", SleepConfig()), kServiceExists);
  EXPECT_EQ(ReadFile(table.ConfigPath("Kestyl")), before);

  ServiceConfig read;
  ASSERT_EQ(table.Open("Kestyl", &read), kServiceOk);
  EXPECT_EQ(read.command, c.command);
  EXPECT_EQ(CommandLineText(read.command), "\"/opt/with space/prog\" \"-r\" \"Kestyl\"");

  uint32_t startType = 0;
  EXPECT_EQ(table.QueryStartType("Kestyl", startType), kServiceOk);
  EXPECT_EQ(startType, kServiceAutoStart);
  EXPECT_EQ(table.SetStartType("Kestyl", kServiceDemandStart), kServiceOk);
  EXPECT_EQ(table.QueryStartType("Kestyl", startType), kServiceOk);
  EXPECT_EQ(startType, kServiceDemandStart);

  ServiceStatus s;
  s.currentState = kServiceRunning;
  ASSERT_EQ(table.QueryStatus("Kestyl", s), kServiceOk);
  EXPECT_EQ(s.currentState, kServiceStopped);  // never ran
  EXPECT_EQ(table.Stop("Kestyl"), kServiceNotActive);

  EXPECT_EQ(table.Delete("Kestyl"), kServiceOk);
  EXPECT_FALSE(table.Exists("Kestyl"));
  EXPECT_EQ(table.Delete("Kestyl"), kServiceDoesNotExist);
  EXPECT_EQ(table.QueryStatus("Kestyl", s), kServiceDoesNotExist);
  EXPECT_EQ(table.Start("Kestyl"), kServiceDoesNotExist);
}

TEST(ServiceTable, RefusesNamesAndTextsThatWouldBreakTheFiles) {
  TempDir dir;
  ServiceTable table(dir.path());
  for (const char* bad : {"", ".", "..", "a/b", "..\\x", "a\nb"}) {
    EXPECT_EQ(table.Create(bad, SleepConfig()), kServiceInvalidName) << bad;
  }
  EXPECT_EQ(table.Create(std::string(300, 'n'), SleepConfig()), kServiceInvalidName);
  ServiceConfig c = SleepConfig();
  c.description = "two\nlines";
  EXPECT_EQ(table.Create("s", c), kServiceInvalidParameter);
  c = SleepConfig();
  c.command.clear();
  EXPECT_EQ(table.Create("s", c), kServiceInvalidParameter);
  EXPECT_FALSE(table.Exists("s"));
}

TEST(ServiceTable, StatusFileAndADeadReporter) {
  TempDir dir;
  ServiceTable table(dir.path());
  ASSERT_EQ(table.Create("svc", SleepConfig()), kServiceOk);
  // A process reports RUNNING and dies without STOPPED.
  pid_t pid = ::fork();
  if (pid == 0) {
    ServiceStatus s;
    s.currentState = kServiceRunning;
    s.controlsAccepted = kServiceAcceptStop;
    ::_exit(table.ReportStatus("svc", s) == kServiceOk ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::string text = ReadFile(table.StatusPath("svc"));
  EXPECT_EQ(text.substr(0, text.find('\n')), "4 RUNNING");

  ServiceStatus s;
  ASSERT_EQ(table.QueryStatus("svc", s), kServiceOk);
  EXPECT_EQ(s.currentState, kServiceStopped);
  EXPECT_EQ(s.exitCode, static_cast<uint32_t>(kServiceProcessAborted));
  EXPECT_EQ(table.Stop("svc"), kServiceNotActive);
}

TEST(ServiceTable, StartRunsTheCommandDetached) {
  TempDir dir;
  ServiceTable table(dir.path());
  ASSERT_EQ(table.Create("svc", SleepConfig()), kServiceOk);
  ASSERT_EQ(table.Start("svc"), kServiceOk);
  ServiceStatus s;
  ASSERT_EQ(table.QueryStatus("svc", s), kServiceOk);
  EXPECT_EQ(s.currentState, kServiceStartPending);
  ASSERT_GT(s.pid, 0);
  EXPECT_EQ(::kill(s.pid, 0), 0);
  EXPECT_NE(::getsid(s.pid), ::getsid(0));  // a session of its own
  EXPECT_EQ(table.Start("svc"), kServiceAlreadyRunning);
  // It never reported RUNNING, so it cannot take the stop control yet.
  EXPECT_EQ(table.Stop("svc"), kServiceCannotAcceptControl);
  ::kill(s.pid, SIGKILL);
  // Dead (or a zombie not reaped yet) without reporting STOPPED: read as STOPPED.
  for (int i = 0; i < 500 && s.currentState != kServiceStopped; ++i) {
    SleepMs(10);
    ASSERT_EQ(table.QueryStatus("svc", s), kServiceOk);
  }
  EXPECT_EQ(s.currentState, kServiceStopped);
  EXPECT_EQ(s.exitCode, static_cast<uint32_t>(kServiceProcessAborted));

  ServiceConfig missing = SleepConfig();
  missing.command = {dir / "no-such-program"};
  ASSERT_EQ(table.Create("missing", missing), kServiceOk);
  EXPECT_EQ(table.Start("missing"), kServiceProgramMissing);
  ASSERT_EQ(table.QueryStatus("missing", s), kServiceOk);
  EXPECT_EQ(s.currentState, kServiceStopped);

  ASSERT_EQ(table.SetStartType("svc", kServiceDisabled), kServiceOk);
  EXPECT_EQ(table.Start("svc"), kServiceIsDisabled);
}

// A service main that reports like a real one and records the controls it gets.
struct FakeService {
  std::atomic<int> stops{0};
  Event stopped{true, false};

  void Main(ServiceContext& ctx, bool signalWhilePending) {
    ctx.SetControlHandler([this, &ctx](uint32_t control) -> uint32_t {
      if (control == kServiceControlStop) {
        ++stops;
        ServiceStatus s = ctx.LastStatus();
        s.currentState = kServiceStopPending;
        ctx.ReportStatus(s);
        stopped.Set();
      }
      return 0;
    });
    ServiceStatus s;
    s.controlsAccepted = kServiceAcceptStop | kServiceAcceptShutdown;
    s.currentState = kServiceStartPending;
    ctx.ReportStatus(s);
    if (signalWhilePending) {
      ::kill(::getpid(), SIGTERM);
      SleepMs(300);
      EXPECT_EQ(stops.load(), 0) << "control delivered during START_PENDING";
    }
    s.currentState = kServiceRunning;
    ctx.ReportStatus(s);
    if (!signalWhilePending) ::kill(::getpid(), SIGTERM);
    EXPECT_TRUE(stopped.Wait(10000));
    s.currentState = kServiceStopped;
    ctx.ReportStatus(s);
    ::kill(::getpid(), SIGINT);  // too late: dropped, the process lives on
  }
};

class Dispatcher : public ::testing::TestWithParam<bool> {};

TEST_P(Dispatcher, SignalBecomesOneStopControlOnceRunning) {
  TempDir dir;
  ServiceTable table(dir.path());
  ASSERT_EQ(table.Create("svc", SleepConfig()), kServiceOk);
  FakeService svc;
  int rc = RunServiceDispatcher("svc", [&](ServiceContext& ctx) { svc.Main(ctx, GetParam()); }, table);
  EXPECT_EQ(rc, kServiceOk);
  EXPECT_EQ(svc.stops.load(), 1);
  EXPECT_EQ(States(table, "svc"), (std::vector<uint32_t>{2, 4, 3, 1}));
  std::vector<ServiceStatus> reports;
  table.ReadHistory("svc", reports);
  EXPECT_EQ(reports.back().pid, static_cast<int>(::getpid()));
}

INSTANTIATE_TEST_SUITE_P(SignalWhen, Dispatcher, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "StartPending" : "Running"; });

TEST(DispatcherEdges, NotInstalledRunsNothingAndASilentReturnIsReportedStopped) {
  TempDir dir;
  ServiceTable table(dir.path());
  bool ran = false;
  EXPECT_EQ(RunServiceDispatcher("svc", [&](ServiceContext&) { ran = true; }, table), kServiceDoesNotExist);
  EXPECT_EQ(RunServiceDispatcher("../x", [&](ServiceContext&) { ran = true; }, table), kServiceInvalidName);
  EXPECT_FALSE(ran);

  ASSERT_EQ(table.Create("svc", SleepConfig()), kServiceOk);
  EXPECT_EQ(RunServiceDispatcher(
                "svc",
                [&](ServiceContext& ctx) {
                  ServiceStatus s;
                  s.currentState = kServiceRunning;
                  ctx.ReportStatus(s);
                },
                table),
            kServiceOk);
  ServiceStatus s;
  ASSERT_EQ(table.QueryStatus("svc", s), kServiceOk);
  EXPECT_EQ(s.currentState, kServiceStopped);
  EXPECT_EQ(s.exitCode, static_cast<uint32_t>(kServiceProcessAborted));
}

TEST(PlatformDir, EnvironmentFirst) {
  const char* old = std::getenv("KESTYL_PLATFORM_DIR");
  std::string saved = old ? old : "";
  ::setenv("KESTYL_PLATFORM_DIR", "/x/y", 1);
  EXPECT_EQ(PlatformDir(), "/x/y");
  EXPECT_EQ(ServiceTable().Folder(), "/x/y/services");
  ::unsetenv("KESTYL_PLATFORM_DIR");
  std::string fallback = PlatformDir();
  if (::geteuid() == 0) {
    EXPECT_EQ(fallback, "/var/lib/kestyl-platform");
  } else {
    EXPECT_EQ(fallback.substr(fallback.rfind('/')), "/kestyl-platform");
  }
  if (old) ::setenv("KESTYL_PLATFORM_DIR", saved.c_str(), 1);
}

}  // namespace
