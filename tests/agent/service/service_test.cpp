// The service main, the control handler and the step runner, run in this process under
// the platform's dispatcher with test step tables.
#include "agent/service/service.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "platform/service_dispatcher.h"
#include "platform/service_table.h"
#include "platform/time.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::platform;
using ks::service::ServiceStep;

ServiceTable* g_table = nullptr;
std::atomic<int> g_stopRuns{0}, g_shutdownRuns{0}, g_okRuns{0};
std::atomic<uint32_t> g_stateDuringStopStep{0};
std::thread g_helper;

int OkStep() {
  ++g_okRuns;
  return 0;
}
int FailStep() { return 7; }
int NotReached() {
  ADD_FAILURE() << "step after a failing one ran";
  return 0;
}
int StopStep() {
  ++g_stopRuns;
  ServiceStatus s;
  g_table->QueryStatus("Kestyl", s);
  g_stateDuringStopStep = s.currentState;
  return 0;
}
int ShutdownStep() {
  ++g_shutdownRuns;
  return 0;
}
// What a handler that ends the agent does: raise the stop flag from inside.
int RaiseStopFlagSoon() {
  g_helper = std::thread([] {
    SleepMs(100);
    ks::state::RequestStop();
  });
  return 0;
}
// Pending until the service reports RUNNING: the dispatcher holds it back.
int SendSigterm() { return ::kill(::getpid(), SIGTERM); }
int ShutdownControlSoon() {
  g_helper = std::thread([] {
    ServiceStatus s;
    while (g_table->QueryStatus("Kestyl", s) == kServiceOk && s.currentState != kServiceRunning) SleepMs(10);
    ks::service::ControlHandler(kServiceControlShutdown);
  });
  return 0;
}

const ServiceStep kStop[] = {StopStep, nullptr};
const ServiceStep kShutdown[] = {ShutdownStep, nullptr};

struct RunResult {
  std::vector<ServiceStatus> reports;
  std::vector<uint32_t> states;  // consecutive repeats collapsed
  int stoppedReports = 0;
};

RunResult RunService(const ServiceStep* initTable) {
  ks::test::TempDir dir;
  ServiceTable table(dir.path());
  g_table = &table;
  ks::state::ClearStop();
  // Counters are per run: the tests must also pass when run together in one process.
  g_stopRuns = 0;
  g_shutdownRuns = 0;
  g_okRuns = 0;
  g_stateDuringStopStep = 0;
  ServiceConfig c;
  c.command = {"/bin/true"};
  EXPECT_EQ(table.Create("Kestyl", c), kServiceOk);
  EXPECT_EQ(RunServiceDispatcher(
                "Kestyl",
                [&](ServiceContext& ctx) { ks::service::ServiceMainWithTables(ctx, initTable, kStop, kShutdown); },
                table),
            kServiceOk);
  if (g_helper.joinable()) g_helper.join();
  RunResult run;
  table.ReadHistory("Kestyl", run.reports);
  for (const ServiceStatus& r : run.reports) {
    if (run.states.empty() || run.states.back() != r.currentState) run.states.push_back(r.currentState);
    if (r.currentState == kServiceStopped) ++run.stoppedReports;
  }
  g_table = nullptr;
  return run;
}

const std::vector<uint32_t> kFullRun = {kServiceStartPending, kServiceRunning, kServiceStopPending, kServiceStopped};

TEST(ServiceMain, StopControlRunsTheStopTableThenReportsStoppedOnce) {
  const ServiceStep init[] = {OkStep, SendSigterm, nullptr};
  RunResult run = RunService(init);
  EXPECT_EQ(run.states, kFullRun);
  EXPECT_EQ(run.stoppedReports, 1);
  EXPECT_EQ(g_stopRuns.load(), 1);
  EXPECT_EQ(g_shutdownRuns.load(), 0);
  EXPECT_EQ(g_stateDuringStopStep.load(), static_cast<uint32_t>(kServiceStopPending));
  EXPECT_TRUE(ks::state::StopRequested());
  // Check points count the steps: START_PENDING 0, 1, 2; STOP_PENDING 0, 1.
  ASSERT_GE(run.reports.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(run.reports[i].checkPoint, i);
  EXPECT_EQ(run.reports[0].waitHint, 60000u);
  EXPECT_EQ(run.reports[0].controlsAccepted, 5u);
}

TEST(ServiceMain, StopFlagRaisedFromInsideAlsoStopsTheService) {
  const ServiceStep init[] = {OkStep, RaiseStopFlagSoon, nullptr};
  RunResult run = RunService(init);
  EXPECT_EQ(run.states, kFullRun);
  EXPECT_EQ(run.stoppedReports, 1);
  EXPECT_EQ(g_stopRuns.load(), 1);
}

TEST(ServiceMain, ShutdownControlRunsTheShutdownTable) {
  const ServiceStep init[] = {ShutdownControlSoon, nullptr};
  RunResult run = RunService(init);
  EXPECT_EQ(run.states, kFullRun);
  EXPECT_EQ(g_shutdownRuns.load(), 1);
  EXPECT_EQ(g_stopRuns.load(), 0);
}

TEST(ServiceMain, FailedStartGoesStraightToStopped) {
  const ServiceStep init[] = {OkStep, FailStep, NotReached, nullptr};
  RunResult run = RunService(init);
  EXPECT_EQ(run.states, (std::vector<uint32_t>{kServiceStartPending, kServiceStopped}));
  EXPECT_EQ(run.stoppedReports, 1);
  EXPECT_EQ(g_stopRuns.load(), 0);
  EXPECT_TRUE(ks::state::StopRequested()) << "jobs already started would run on";
}

TEST(RunSteps, StopsAtTheFirstFailure) {
  const ServiceStep failing[] = {OkStep, FailStep, NotReached, nullptr};
  const ServiceStep fine[] = {OkStep, OkStep, nullptr};
  const ServiceStep empty[] = {nullptr};
  g_okRuns = 0;
  EXPECT_EQ(ks::service::RunSteps(failing), -1);
  EXPECT_EQ(g_okRuns.load(), 1);
  EXPECT_EQ(ks::service::RunSteps(fine), 0);
  EXPECT_EQ(g_okRuns.load(), 3);
  EXPECT_EQ(ks::service::RunSteps(empty), 0);
}

TEST(StopFlag, JobsStillSleepingOnItDoNotHoldTheProcessAtExit) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ks::state::ClearStop();
    std::thread([] { ks::state::SleepUnlessStopped(120 * 1000); }).detach();
    SleepMs(100);
    std::exit(0);  // static destructors run while the job sleeps
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 2000 && (done = ::waitpid(pid, &status, WNOHANG)) == 0; ++i) SleepMs(10);
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "the process was still ending 20 s after exit";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The process ends right after the exit routine, taking its globals with it: a job still
// winding down then would use freed memory.
TEST(ServiceExit, ReturnsOnlyOnceThePoolJobsHaveReturned) {
  ks::state::ClearStop();
  static std::atomic<bool> ended{false};  // outlives the job even when the test fails
  ASSERT_EQ(ks::net::DispatchJob([] {
              while (!ks::state::StopRequested()) SleepMs(10);
              SleepMs(300);  // a job that needs a while to end after the stop flag
              ended = true;
            }),
            0);
  ks::state::RequestStop();
  EXPECT_EQ(Service_Exit(), 0);
  EXPECT_TRUE(ended) << "the exit routine returned while a job was still running";
  ks::state::ClearStop();
}

TEST(ServiceInitProgram, EmptyInstallRootFailsBeforeAnyPathIsBuilt) {
  ks::state::SetInstallRoot("");
  const std::string systemLock = std::string("/run/") + ks::service::kInstanceName + ".lock";
  struct stat st {};
  bool lockedBefore = ::stat(systemLock.c_str(), &st) == 0;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Service_InitProgram(), KS_DB_OPEN_FAILED);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "open database error.\n");
  if (!lockedBefore) {
    EXPECT_NE(::stat(systemLock.c_str(), &st), 0);
  }
}

}  // namespace
