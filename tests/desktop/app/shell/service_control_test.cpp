// The agent service control against a recording host: which commands, prompts, pauses and
// boxes each situation gives, in order.
#include "desktop/app/shell/service_control.h"

#include "tests/desktop/app/shell/recording_hosts.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using ks::app::ServiceControl;
using kstest::kMissing;
using kstest::kRunning;
using kstest::kStopped;
using kstest::RecordingServiceHost;
using Calls = std::vector<std::string>;

const std::string kQuery = "run sc query Kestyl";
const std::string kScript = "runas /opt/k s/conf/_tmp_reg_service.bat";

struct InstallCase {
  const char* name;
  std::vector<std::string> queries;
  bool scriptWritable;
  bool vista, uac, elevated, admin;
  bool result;
  Calls calls;
};
void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.name; }

class InstallAndStart : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InstallAndStart, RunsTheStepsOfItsSituation) {
  const InstallCase& c = GetParam();
  RecordingServiceHost host;
  host.queries.assign(c.queries.begin(), c.queries.end());
  host.scriptWritable = c.scriptWritable;
  host.vista = c.vista;
  host.uac = c.uac;
  host.elevated = c.elevated;
  host.admin = c.admin;
  ServiceControl control(host);
  EXPECT_EQ(control.InstallAndStartService(), c.result);
  EXPECT_EQ(host.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Situations, InstallAndStart,
    ::testing::Values(
        InstallCase{"missing", {kMissing, kRunning}, true, true, true, true, true, true,
                    {kQuery, "write _tmp_reg_service.bat", kScript, "remove _tmp_reg_service.bat", kQuery}},
        InstallCase{"stopped", {kStopped, kStopped, kRunning}, true, true, true, true, true, true,
                    {kQuery, "pause 1000", kQuery, "pause 1000", "write _tmp_reg_service.bat", kScript,
                     "remove _tmp_reg_service.bat", kQuery}},
        InstallCase{"stopped_then_running", {kStopped, kRunning}, true, true, true, true, true, true,
                    {kQuery, "pause 1000", kQuery, kQuery}},
        InstallCase{"running", {kRunning}, true, true, true, true, true, true, {kQuery, kQuery}},
        InstallCase{"script_unwritable", {kMissing, kRunning}, false, true, true, true, true, true,
                    {kQuery, "write _tmp_reg_service.bat",
                     "runas sc description Kestyl \"Provides Kestyl data transmitting supports.\"",
                     "runas net start Kestyl", kQuery}},
        InstallCase{"not_elevated_gets_notice_first", {kMissing, kRunning}, true, true, true, false, true, true,
                    {kQuery, "write _tmp_reg_service.bat", "notice [MSGBOX_UAC_STARTSERVICE]", kScript,
                     "remove _tmp_reg_service.bat", kQuery}},
        InstallCase{"old_system_without_admin", {kStopped, kStopped, kRunning}, true, false, false, false, false,
                    true,
                    {kQuery, "pause 1000", kQuery, "pause 1000", "notice [MSGBOX_UAC_UPDATE_SERVICE_DESC]",
                     "runas sc description Kestyl \"Provides Kestyl data transmitting supports.\"",
                     "notice [MSGBOX_UAC_STARTSERVICE]", "runas net start Kestyl", kQuery}},
        InstallCase{"failure", {kMissing, kStopped}, true, true, true, true, true, false,
                    {kQuery, "write _tmp_reg_service.bat", kScript, "remove _tmp_reg_service.bat", kQuery,
                     "stop timers", "box MSGBOX_SERVICE_START_FAILED"}},
        InstallCase{"query_cannot_run", {"ERROR"}, true, true, true, true, true, false,
                    {kQuery, "write _tmp_reg_service.bat", kScript, "remove _tmp_reg_service.bat", kQuery,
                     "stop timers", "box MSGBOX_SERVICE_START_FAILED"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstallAndStartScript, InstallLineOnlyForAMissingService) {
  RecordingServiceHost missing;
  missing.queries = {kMissing, kRunning};
  ServiceControl(missing).InstallAndStartService();
  EXPECT_EQ(missing.script,
            "\"/opt/k s/bin/KestylClient\" -i Kestyl\n"
            "\n/opt/k s/bin/system/sc description Kestyl \"Provides Kestyl data transmitting supports.\""
            "\n/opt/k s/bin/system/net start Kestyl");

  RecordingServiceHost stopped;
  stopped.queries = {kStopped, kStopped, kRunning};
  ServiceControl(stopped).InstallAndStartService();
  EXPECT_EQ(stopped.script,
            "\n/opt/k s/bin/system/sc description Kestyl \"Provides Kestyl data transmitting supports.\""
            "\n/opt/k s/bin/system/net start Kestyl");
}

TEST(InstallAndStartScript, DeclinedPromptStillDecidedByTheLastQuery) {
  RecordingServiceHost host;
  host.queries = {kMissing, kRunning};
  host.runAsResult = 1223;
  EXPECT_TRUE(ServiceControl(host).InstallAndStartService());
}

TEST(RunElevatedNotice, MessageOfOneCharacterCountsAsNone) {
  struct Case {
    std::string message;
    std::string notice;
  };
  for (const Case& c : {Case{"", "notice [MSGBOX_UAC]"}, Case{"x", "notice [MSGBOX_UAC]"},
                        Case{"xy", "notice xy"}}) {
    RecordingServiceHost host;
    host.elevated = false;
    EXPECT_TRUE(ServiceControl(host).RunElevated("sc", "stop Kestyl", c.message));
    EXPECT_EQ(host.calls, (Calls{c.notice, "runas sc stop Kestyl"})) << c.message;
  }
  RecordingServiceHost declined;
  declined.elevated = false;
  declined.runAsResult = 1223;
  EXPECT_FALSE(ServiceControl(declined).RunElevated("sc", "stop Kestyl", "xy"));
  // Old system with administrator rights: run directly, no prompt, no notice.
  RecordingServiceHost old;
  old.vista = false;
  EXPECT_TRUE(ServiceControl(old).RunElevated("sc", "stop Kestyl", "xy"));
  EXPECT_EQ(old.calls, (Calls{"run sc stop Kestyl"}));
}

// ---- the watch ----

using Watch = ServiceControl::WatchResult;

std::vector<Watch> RunWatch(ServiceControl& control, ks::app::ClosingGate& gate,
                            const std::vector<uint32_t>& states) {
  std::vector<Watch> results;
  for (uint32_t state : states) results.push_back(control.OnWatchState(state, gate));
  return results;
}

TEST(ServiceWatch, FiveRepairsThenTheSixthStopEndsTheProgram) {
  RecordingServiceHost host;
  host.queries = {kRunning};
  ServiceControl control(host);
  ks::app::ClosingGate gate;
  EXPECT_EQ(RunWatch(control, gate, {1, 1, 1, 1, 1, 1, 1}),
            (std::vector<Watch>{Watch::kRepaired, Watch::kRepaired, Watch::kRepaired, Watch::kRepaired,
                                Watch::kRepaired, Watch::kEnded, Watch::kBusy}));
  int repairs = 0;
  for (const std::string& call : host.calls) repairs += call == kQuery;
  EXPECT_EQ(repairs, 10);  // two queries per repair, none after the end
  EXPECT_EQ(host.calls.back(), "end program");
  EXPECT_EQ(host.calls[host.calls.size() - 2], "stop timers");
}

TEST(ServiceWatch, AnotherStateStartsTheCountAgain) {
  RecordingServiceHost host;
  host.queries = {kRunning};
  ServiceControl control(host);
  ks::app::ClosingGate gate;
  auto results = RunWatch(control, gate, {1, 1, 1, 1, 1, 4, 1, 1, 1, 1, 1, 2, 1});
  for (Watch w : results) EXPECT_NE(w, Watch::kEnded);
  EXPECT_EQ(control.StoppedCount(), 1);
  // Unreadable status: nothing, the count stays.
  EXPECT_EQ(control.OnWatchState(std::nullopt, gate), Watch::kNothing);
  EXPECT_EQ(control.StoppedCount(), 1);
}

TEST(ServiceWatch, ClosingBlocksRepairs) {
  RecordingServiceHost host;
  host.queries = {kRunning};
  ServiceControl control(host);
  ks::app::ClosingGate gate;
  gate.closing = true;
  EXPECT_EQ(control.OnWatchState(1, gate), Watch::kClosing);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_FALSE(control.Repairing());
}

TEST(ServiceWatch, FailedRepairReportsAndStopsTheTimers) {
  RecordingServiceHost host;
  host.queries = {kMissing, kStopped};
  ServiceControl control(host);
  ks::app::ClosingGate gate;
  EXPECT_EQ(control.OnWatchState(1, gate), Watch::kRepairFailed);
  EXPECT_EQ(host.calls.back(), "box MSGBOX_SERVICE_START_FAILED");
  EXPECT_FALSE(control.Repairing());
}

// A tick that arrives while a repair runs (a box's modal loop dispatches the timer) only counts.
class ReentrantHost : public RecordingServiceHost {
 public:
  ServiceControl* control = nullptr;
  ks::app::ClosingGate* gate = nullptr;
  Watch nested = Watch::kNothing;
  void Pause(int ms) override {
    RecordingServiceHost::Pause(ms);
    if (nested == Watch::kNothing) nested = control->OnWatchState(1, *gate);
  }
};

TEST(ServiceWatch, NestedTickDuringARepairOnlyCounts) {
  ReentrantHost host;
  host.queries = {kStopped, kStopped, kRunning};
  ServiceControl control(host);
  ks::app::ClosingGate gate;
  host.control = &control;
  host.gate = &gate;
  EXPECT_EQ(control.OnWatchState(1, gate), Watch::kRepaired);
  EXPECT_EQ(host.nested, Watch::kBusy);
  EXPECT_EQ(control.StoppedCount(), 2);
}

// ---- stopping ----

struct StopCase {
  const char* name;
  const char* query;
  bool admin;
  bool debug;
  std::vector<bool> agentRunning;
  Calls calls;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopService : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopService, StopsOnlyARunningServiceAndAlwaysKillsTheAgent) {
  const StopCase& c = GetParam();
  RecordingServiceHost host;
  host.queries = {c.query};
  host.admin = c.admin;
  host.debug = c.debug;
  host.agentRunning.assign(c.agentRunning.begin(), c.agentRunning.end());
  ServiceControl(host).StopService();
  EXPECT_EQ(host.calls, c.calls);
}

Calls LongWait() {
  Calls calls = {kQuery, "runas sc stop Kestyl", "log CSettingDlg::_StopService sc stop Kestyl"};
  for (int i = 0; i < 11; ++i) {
    calls.push_back("running? KestylClient");
    calls.push_back("pause 1000");
  }
  calls.push_back("log CSettingDlg::_StopService taskkill KestylClient.exe");
  calls.push_back("runas taskkill /im KestylClient.exe /f");
  return calls;
}

INSTANTIATE_TEST_SUITE_P(
    Situations, StopService,
    ::testing::Values(StopCase{"missing", kMissing, true, false, {false}, {kQuery}},
                      StopCase{"stopped", kStopped, true, false, {false}, {kQuery}},
                      StopCase{"not_admin", kRunning, false, false, {false}, {kQuery}},
                      StopCase{"agent_ends",
                               kRunning,
                               true,
                               false,
                               {true, true, false},
                               {kQuery, "runas sc stop Kestyl", "running? KestylClient", "pause 1000",
                                "running? KestylClient", "pause 1000", "running? KestylClient",
                                "runas taskkill /im KestylClient.exe /f"}},
                      StopCase{"agent_stays", kRunning, true, true, {true}, LongWait()}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
