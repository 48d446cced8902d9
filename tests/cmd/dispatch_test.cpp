#include "cmd/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ks::cmd::Commands;
using ks::cmd::StatisticValues;

constexpr const char* kGuid = "74362C5A-C943-4FBE-8500-8F82AD459BB7";

// Records which command ran with which arguments; each returns `ok`.
struct Recorder {
  bool ok = true;
  std::vector<std::string> calls;
  std::vector<StatisticValues> statistics;

  Commands Make() {
    Commands c;
    c.register_shell_folder = [this](const std::string& t, const std::string& i, int l) {
      calls.push_back("icon|" + t + "|" + i + "|" + std::to_string(l));
      return ok;
    };
    c.adapt_database = [this](const std::string& o, const std::string& n) {
      calls.push_back("db|" + o + "|" + n);
      return ok;
    };
    c.send_statistic = [this](const StatisticValues& v) {
      statistics.push_back(v);
      calls.push_back("stat");
      return ok;
    };
    return c;
  }
};

struct RunResult {
  std::string line;
  int code;
};

RunResult RunArgs(Recorder& rec, std::vector<std::string> args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  RunResult r;
  r.code = ks::cmd::RunCommandProgram(static_cast<int>(argv.size()), argv.data(), rec.Make(), r.line);
  return r;
}

TEST(Dispatch, CommandTable) {
  const std::string p = "Kestyl_Cmd";
  const std::string g = kGuid;
  struct Case {
    std::vector<std::string> args;
    bool command_ok;
    std::string line;
    int code;
    std::string call;  // "" when no command ran
  } cases[] = {
      {{p}, true, "Code:-1\n", 1, ""},
      {{p, g}, true, "Code:-1\n", 1, ""},
      {{p, g, "cmd_add_icon"}, true, "Code:-1\n", 1, ""},
      {{p, g, "CMD_ADD_ICON", "1", "/t", "/i"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_add_icon ", "1", "/t", "/i"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_unknown", "1"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_add_icon", "1", "/t"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_add_icon", "1", "/t", "/i"}, true, "Code:1\n", 0, "icon|/t|/i|1"},
      {{p, g, "cmd_add_icon", "1", "/t", "/i"}, false, "Code:-1\n", 0, "icon|/t|/i|1"},
      {{p, g, "cmd_add_icon", "0", "/t", "/i", "extra"}, true, "Code:1\n", 0, "icon|/t|/i|0"},
      {{p, g, "cmd_add_icon", "2", "\"/t\"", "\"/i\""}, true, "Code:1\n", 0, "icon|\"/t\"|\"/i\"|2"},
      {{p, g, "cmd_add_icon", "7", "/t", "/i"}, true, "Code:1\n", 0, "icon|/t|/i|1"},
      {{p, g, "cmd_add_icon", "en", "/t", "/i"}, true, "Code:1\n", 0, "icon|/t|/i|1"},
      {{p, g, "cmd_add_icon", "02", "/t", "/i"}, true, "Code:1\n", 0, "icon|/t|/i|1"},
      {{p, g, "cmd_add_icon", "", "/t", "/i"}, true, "Code:1\n", 0, "icon|/t|/i|1"},
      {{p, "../../x", "cmd_add_icon", "1", "/t", "/i"}, true, "Code:-1\n", 0, ""},
      {{p, "{" + g + "}", "cmd_add_icon", "1", "/t", "/i"}, true, "Code:-1\n", 0, ""},
      {{p, "x", "cmd_db_adaption", "/old", "/new"}, true, "Code:1\n", 0, "db|/old|/new"},
      {{p, g, "cmd_db_adaption", "/old"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_db_adaption", "/old", "/new", "x"}, false, "Code:-1\n", 0, "db|/old|/new"},
      {{p, g, "cmd_send_statistic", "uninstall"}, true, "Code:1\n", 0, "stat"},
      {{p, g, "cmd_send_statistic", "uninstall"}, false, "Code:-1\n", 0, "stat"},
      {{p, g, "cmd_send_statistic", "Uninstall"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_send_statistic", "install"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_send_statistic", "uninstall", "a"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_send_statistic", "u", "v", "1", "d", "id", "s"}, true, "Code:-1\n", 0, ""},
      {{p, g, "cmd_send_statistic", "u", "v", "1", "d", "id", "s", "x"}, true, "Code:1\n", 0, "stat"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    Recorder rec;
    rec.ok = c.command_ok;
    RunResult r = RunArgs(rec, c.args);
    EXPECT_EQ(c.line, r.line);
    EXPECT_EQ(c.code, r.code);
    EXPECT_EQ(c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call}, rec.calls);
  }
}

TEST(Dispatch, StatisticValuesOfBothForms) {
  Recorder rec;
  RunArgs(rec, {"p", kGuid, "cmd_send_statistic", "uninstall"});
  RunArgs(rec, {"p", kGuid, "cmd_send_statistic", "user", "1.2", "-3", "a&b c", "id", "sys", "unused", "tenth"});
  ASSERT_EQ(2u, rec.statistics.size());
  const StatisticValues& u = rec.statistics[0];
  EXPECT_FALSE(u.user || u.version || u.operation || u.description || u.device_id || u.system);
  const StatisticValues& l = rec.statistics[1];
  EXPECT_EQ("user", l.user.value_or("?"));
  EXPECT_EQ("1.2", l.version.value_or("?"));
  EXPECT_EQ(-3, l.operation.value_or(99));
  EXPECT_EQ("a&b c", l.description.value_or("?"));
  EXPECT_EQ("id", l.device_id.value_or("?"));
  EXPECT_EQ("sys", l.system.value_or("?"));
}

TEST(Dispatch, OperationTypeText) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"0", 0}, {"x", 0}, {"", 0}, {"-3", -3}, {"12abc", 12}, {" 7", 7},
               {"2147483647", 2147483647}, {"2147483648", 1}, {"-2147483649", 1}, {"99999999999999999999", 1}};
  for (const Case& c : cases) EXPECT_EQ(c.value, ks::cmd::ParseOperationType(c.text)) << c.text;
}

TEST(Dispatch, ClassIdFillsEveryKeyTemplate) {
  struct Case {
    const char* id;
    bool valid;
  } cases[] = {
      {kGuid, true},
      {"74362c5a-c943-4fbe-8500-8f82ad459bb7", true},
      {"74362C5A-C943-4FBE-8500-8F82AD459BB", false},
      {"74362C5A-C943-4FBE-8500-8F82AD459BB77", false},
      {"74362C5AC943-4FBE-8500-8F82AD459BB7-", false},
      {"G4362C5A-C943-4FBE-8500-8F82AD459BB7", false},
      {"74362C5A-C943-4FBE-8500-8F82AD459B\\7", false},
      {"", false},
      {"../../x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.valid, ks::cmd::IsValidClassId(c.id)) << c.id;

  ks::cmd::ApplyShellFolderGuid("G1");
  const auto& k = ks::cmd::Keys();
  EXPECT_EQ("G1", ks::cmd::ShellFolderGuid());
  EXPECT_EQ("CLSID\\{G1}", k.class_key);
  EXPECT_EQ("CLSID\\{G1}\\InprocServer32", k.server_key);
  EXPECT_EQ("CLSID\\{G1}\\DefaultIcon", k.icon_key);
  EXPECT_EQ("CLSID\\{G1}\\Instance", k.instance_key);
  EXPECT_EQ("CLSID\\{G1}\\Instance\\InitPropertyBag", k.property_bag_key);
  EXPECT_EQ("CLSID\\{G1}\\shell", k.verbs_key);
  EXPECT_EQ("CLSID\\{G1}\\shellex\\PropertySheetHandlers\\{G1}", k.property_sheet_key);
  EXPECT_EQ("CLSID\\{G1}\\ShellFolder", k.folder_key);
  EXPECT_EQ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\MyComputer\\NameSpace\\{G1}", k.namespace_key);
  ks::cmd::ApplyShellFolderGuid("G2");
  EXPECT_EQ("CLSID\\{G2}\\shellex\\PropertySheetHandlers\\{G2}", ks::cmd::Keys().property_sheet_key);
}

}  // namespace
