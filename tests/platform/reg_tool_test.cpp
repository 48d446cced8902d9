// The reg tool, run as a program the way the desktop and command programs run it.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <future>

#include "platform/registry.h"
#include "tests/fakes/test_support.h"
#include "tests/platform/run_program.h"

namespace {

using namespace ks::platform;
using ks::test::ProgramResult;
using ks::test::RunOptions;
using ks::test::RunProgram;
using ks::test::TempDir;

class RegTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::unsetenv("KESTYL_ELEVATED");
  }
  ProgramResult Reg(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), ks::test::BinDir() + "/system/reg");
    return RunProgram(args, options);
  }
  TempDir dir;
};

TEST_F(RegTool, QueryPrintsTheKeyItsValuesAndItsSubKeys) {
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Kestyl", "/v", "UpdateFinish", "/t", "REG_DWORD", "/d", "0x1F", "/f"}).exitCode, 0);
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Kestyl", "/ve", "/d", "x y", "/f"}).exitCode, 0);
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Kestyl", "/v", "Bin", "/t", "REG_BINARY", "/d", "0aff", "/f"}).exitCode, 0);
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Kestyl\\Sub"}).exitCode, 0);
  ProgramResult r = Reg({"query", "hklm\\software\\kestyl"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Kestyl\n"
            "    UpdateFinish    REG_DWORD    0x1f\n"
            "    (Default)    REG_SZ    x y\n"
            "    Bin    REG_BINARY    0AFF\n"
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Kestyl\\Sub\n");
  r = Reg({"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTYL", "/v", "updatefinish"});
  EXPECT_EQ(r.output, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Kestyl\n    UpdateFinish    REG_DWORD    0x1f\n");
}

TEST_F(RegTool, TextReachesTheRegistryAsGiven) {
  const std::string text = "  two  blanks, \"quotes\", 'single' & caf\xC3\xA9 \xE6\x96\x87 ";
  ASSERT_EQ(Reg({"add", "HKCU\\Text", "/v", "v", "/d", text, "/f"}).exitCode, 0);
  std::string back;
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, "TEXT", "V", back), ERROR_SUCCESS);
  EXPECT_EQ(back, text);
  EXPECT_NE(Reg({"query", "HKCU\\Text"}).output.find("    v    REG_SZ    " + text + "\n"), std::string::npos);
}

TEST_F(RegTool, ErrorsAndTheirExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string text;
  } cases[] = {
      {{"query", "HKLM\\SOFTWARE\\Missing"}, 1, "ERROR: The system was unable to find the specified registry key or value."},
      {{"query", "HKLM\\SOFTWARE\\Kestyl", "/v", "Nope"}, 1, "unable to find"},
      {{"delete", "HKLM\\SOFTWARE\\Missing", "/f"}, 1, "unable to find"},
      {{"query", "HKXX\\SOFTWARE"}, 1, "ERROR: Invalid key name."},
      {{"add", "HKCU\\A", "/t", "REG_DWORD", "/d", "12x", "/f"}, 1, "ERROR: Invalid syntax."},
      {{"add", "HKCU\\A", "/t", "REG_DWORD", "/d", "4294967296", "/f"}, 1, "ERROR: Invalid syntax."},
      {{"add", "HKCU\\A", "/t", "REG_MULTI", "/f"}, 1, "ERROR: Invalid syntax."},
      {{"frob", "HKCU\\A"}, 1, "ERROR: Invalid syntax."},
      {{"query"}, 1, "ERROR: Invalid syntax."},
  };
  for (const auto& c : cases) {
    ProgramResult r = Reg(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
  }
}

TEST_F(RegTool, LocalServiceUserAnswersOnlyAnElevatedCaller) {
  // Elevated (the variable; root is elevated anyway): the key and its two sub-keys.
  ProgramResult r = Reg({"query", "HKU\\S-1-5-19"}, RunOptions{{{"KESTYL_ELEVATED", "1"}}, {}, -1, ""});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("HKEY_USERS\\S-1-5-19\\Environment"), std::string::npos);
  EXPECT_NE(r.output.find("HKEY_USERS\\S-1-5-19\\Software"), std::string::npos);
  // Not elevated: refused with neither word in the output.
  RunOptions plain;
  plain.unsetEnv = {"KESTYL_ELEVATED"};
  if (::geteuid() == 0) plain.uid = 65534;
  r = Reg({"query", "HKU\\S-1-5-19"}, plain);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: Access is denied.\n");
}

TEST_F(RegTool, AddWithoutForceAsksBeforeOverwriting) {
  ASSERT_EQ(Reg({"add", "HKCU\\A", "/v", "v", "/d", "one"}).exitCode, 0);
  RunOptions no;
  no.input = "n\n";
  EXPECT_EQ(Reg({"add", "HKCU\\A", "/v", "v", "/d", "two"}, no).exitCode, 1);
  std::string v;
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, "A", "v", v), ERROR_SUCCESS);
  EXPECT_EQ(v, "one");
  RunOptions yes;
  yes.input = "yes\n";
  EXPECT_EQ(Reg({"add", "HKCU\\A", "/v", "v", "/d", "two"}, yes).exitCode, 0);
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, "A", "v", v), ERROR_SUCCESS);
  EXPECT_EQ(v, "two");
}

TEST_F(RegTool, DeleteValueThenKey) {
  ASSERT_EQ(Reg({"add", "HKCR\\CLSID\\{G}\\Sub", "/v", "a", "/d", "1", "/f"}).exitCode, 0);
  ASSERT_EQ(Reg({"add", "HKCR\\CLSID\\{G}", "/v", "b", "/d", "2", "/f"}).exitCode, 0);
  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Classes\\CLSID\\{G}", "/v", "b", "/f"}).exitCode, 0);
  std::string v;
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, "CLSID\\{G}", "b", v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Reg({"delete", "HKCR\\CLSID\\{g}", "/f"}).exitCode, 0);
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Classes\\CLSID\\{G}\\Sub"}).exitCode, 1);
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Classes\\CLSID"}).exitCode, 0);
}

TEST_F(RegTool, TwentyParallelAddsGiveTwentyValues) {
  std::vector<std::future<int>> runs;
  for (int i = 0; i < 20; ++i) {
    runs.push_back(std::async(std::launch::async, [this, i] {
      return Reg({"add", "HKLM\\SOFTWARE\\Kestyl\\Par", "/v", "v" + std::to_string(i), "/t", "REG_DWORD", "/d",
                  std::to_string(i), "/f"})
          .exitCode;
    }));
  }
  for (auto& r : runs) EXPECT_EQ(r.get(), 0);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl\\Par", 0, KEY_READ, &k), ERROR_SUCCESS);
  std::vector<RegValue> values;
  ASSERT_EQ(RegListValues(k, values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), 20u);
  RegCloseKey(k);
}

}  // namespace
