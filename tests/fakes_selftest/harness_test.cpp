// AgentHarness with a stand-in agent program (standin_agent.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/fakes/agent_harness.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace ks::fake {
namespace {

AgentOptions StandIn() {
  AgentOptions o;
  o.binary = KS_STANDIN_AGENT;
  o.schema_file = "/nonexistent/schema.sql";
  o.start_timeout_ms = 5000;
  o.port_grace_ms = 300;
  return o;
}

TEST(AgentHarness, LaysOutTheRootAndPointsTheAgentAtTheFakes) {
  FakeVendorServer server;
  AgentOptions o = StandIn();
  o.vendor_port = server.port();
  o.heartbeat_s = 1;
  o.env["KESTYL_POLL_S"] = "2";
  ::setenv("KESTYL_INHERITED", "leak", 1);  // the test's own KESTYL_* must not reach the agent
  AgentHarness agent(o);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog() << agent.ReadConsole();
  ::unsetenv("KESTYL_INHERITED");
  EXPECT_TRUE(agent.Running());

  struct stat st;
  ASSERT_EQ(0, ::stat((agent.bin_dir() + "/KestylClient").c_str(), &st));
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_EQ(std::to_string(agent.message_port()), agent.QueryText("select localport from ks_conf"));
  EXPECT_EQ("700", agent.QueryText("select log_priority from ks_conf"));

  std::string log = agent.ReadLog();
  auto has = [&log](const std::string& s) { return log.find(s) != std::string::npos; };
  EXPECT_TRUE(has("cwd " + agent.bin_dir() + "\n"));
  EXPECT_TRUE(has("local port " + std::to_string(agent.message_port())));
  EXPECT_TRUE(has("env KESTYL_LOOPBACK=1\n"));
  EXPECT_TRUE(has("env KESTYL_VENDOR_HOST=127.0.0.1\n"));
  EXPECT_TRUE(has("env KESTYL_VENDOR_PORT=" + std::to_string(server.port()) + "\n"));
  EXPECT_TRUE(has("env KESTYL_DESKTOP_PORT=" + std::to_string(agent.desktop_port()) + "\n"));
  EXPECT_TRUE(has("env KESTYL_HTTP_PORT=" + std::to_string(agent.http_port()) + "\n"));
  EXPECT_TRUE(has("env KESTYL_PLATFORM_DIR=" + agent.root() + "/platform\n"));
  EXPECT_TRUE(has("env KESTYL_HEARTBEAT_S=1\n"));
  EXPECT_TRUE(has("env KESTYL_POLL_S=2\n"));
  EXPECT_FALSE(has("KESTYL_INHERITED"));
  EXPECT_FALSE(has("KESTYL_CONFIRM_S"));
  EXPECT_TRUE(ConnectTcp("127.0.0.1", agent.message_port(), 1000).valid());

  int status = agent.Stop();
  EXPECT_TRUE(agent.stopped_cleanly());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(agent.WaitForLog("stopped", 1000));
  EXPECT_FALSE(agent.Running());
}

TEST(AgentHarness, KillsAnAgentThatIgnoresSigterm) {
  AgentOptions o = StandIn();
  o.env["STANDIN_IGNORE_TERM"] = "1";
  o.stop_timeout_ms = 300;
  AgentHarness agent(o);
  ASSERT_TRUE(agent.Start()) << agent.exit_status() << agent.ReadLog();
  int status = agent.Stop();
  EXPECT_FALSE(agent.stopped_cleanly());
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

TEST(AgentHarness, RestartsInTheSameRootAfterKill) {
  AgentHarness agent(StandIn());
  ASSERT_TRUE(agent.Start()) << agent.exit_status() << agent.ReadLog();
  std::string root = agent.root();
  ks::test::WriteFile(agent.bin_dir() + "/.uuid", "KEPT");
  int status = agent.Kill();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_TRUE(agent.Start());   // again, in the same root
  EXPECT_FALSE(agent.Start());  // not while it runs
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(root, agent.root());
  EXPECT_EQ("KEPT", ks::test::ReadFile(agent.bin_dir() + "/.uuid"));
}

TEST(AgentHarness, AppliesTheSchemaAndExtraSql) {
  ks::test::TempDir dir;
  ks::test::WriteFile(dir / "schema.sql",
                      "CREATE TABLE ks_user(email text, psw text);\n"
                      "CREATE TABLE ks_conf(localport integer, log_console integer, "
                      "log_priority integer, p2phost text, p2pport integer);\n"
                      "INSERT INTO ks_conf VALUES(15001, 1, 600, 'p2p.host', 3478);\n");
  AgentOptions o = StandIn();
  o.schema_file = dir / "schema.sql";
  o.sql = {"INSERT INTO ks_user VALUES('owner', 'pw')"};
  AgentHarness agent(o);
  agent.PrepareRoot();
  EXPECT_EQ("owner", agent.QueryText("select email from ks_user"));
  EXPECT_EQ("p2p.host", agent.QueryText("select p2phost from ks_conf"));
  EXPECT_EQ("1", agent.QueryText("select count(*) from ks_conf"));
  ASSERT_TRUE(agent.Start()) << agent.exit_status() << agent.ReadLog();
  EXPECT_EQ(std::to_string(agent.message_port()), agent.QueryText("select localport from ks_conf"));
  agent.Sql("DELETE FROM ks_user");
  EXPECT_EQ("", agent.QueryText("select email from ks_user"));
  EXPECT_THROW(agent.Sql("not sql"), std::runtime_error);
}

TEST(AgentHarness, ReportsAnAgentThatExitsOrNeverLogsReady) {
  AgentOptions exits = StandIn();
  exits.env["STANDIN_EXIT"] = "3";
  AgentHarness failed(exits);
  EXPECT_FALSE(failed.Start());
  EXPECT_FALSE(failed.Running());

  // Without the log line a port that keeps accepting is taken as ready after the grace.
  AgentOptions quiet = StandIn();
  quiet.env["STANDIN_QUIET"] = "1";
  AgentHarness agent(quiet);
  EXPECT_TRUE(agent.Start());
  EXPECT_EQ(std::string::npos, agent.ReadLog().find("Start service successful!"));
}

TEST(AgentHarness, RemovesItsRoot) {
  std::string root;
  {
    AgentHarness agent(StandIn());
    ASSERT_TRUE(agent.Start()) << agent.exit_status() << agent.ReadLog();
    root = agent.root();
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace ks::fake
