// cmd_add_icon: the registry written by the program, read back through the registry library
// and through the reg tool.
#include "cmd/shell_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/foundation/lang/languages.h"
#include "platform/registry.h"
#include "tests/cmd/cmd_fixture.h"
#include "tests/desktop/foundation/scoped_env.h"

namespace {

namespace reg = ks::platform;
using ks::test::CmdProgram;
using ks::test::kGuid;
using ks::test::ScopedEnv;

const std::string kClass = std::string("CLSID\\{") + kGuid + "}";
const std::string kNamespace =
    std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\MyComputer\\NameSpace\\{") + kGuid + "}";

// UTF-16LE with a byte-order mark and CR LF, as the build installs the language files.
std::string LanguageFile(const std::string& name) {
  std::u16string text = ks::desktop::Utf8ToUtf16("[UI]\r\nDIRVER_NAME=" + name + "\r\nOTHER=x\r\n");
  std::string out = "\xFF\xFE";
  for (char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string Dword(uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

// "name|TYPE|data" for every value of the key, in order; {"<missing>"} when the key is absent.
std::vector<std::string> Values(reg::HKEY root, const std::string& path) {
  reg::HKEY key = nullptr;
  if (reg::RegOpenKeyEx(root, path.c_str(), 0, reg::KEY_READ, &key) != reg::ERROR_SUCCESS) return {"<missing>"};
  std::vector<reg::RegValue> values;
  reg::RegListValues(key, values);
  reg::RegCloseKey(key);
  std::vector<std::string> out;
  for (const auto& v : values) out.push_back(v.name + "|" + std::to_string(v.type) + "|" + v.data);
  return out;
}

std::vector<std::string> SubKeys(reg::HKEY root, const std::string& path) {
  reg::HKEY key = nullptr;
  if (reg::RegOpenKeyEx(root, path.c_str(), 0, reg::KEY_READ, &key) != reg::ERROR_SUCCESS) return {"<missing>"};
  std::vector<std::string> out;
  reg::RegListSubKeys(key, out);
  reg::RegCloseKey(key);
  return out;
}

class ShellFolder : public CmdProgram {
 protected:
  void SetUp() override {
    CmdProgram::SetUp();
    ks::test::WriteFile(bin_ + "/ChineseSimplified.ksl", LanguageFile("名称 cn"));
    ks::test::WriteFile(bin_ + "/English.ksl", LanguageFile("Name en"));
    ks::test::WriteFile(bin_ + "/ChineseTrad.ksl", LanguageFile("名稱 tw"));
  }
  ScopedEnv env_{"KESTYL_PLATFORM_DIR", platform_};
};

TEST_F(ShellFolder, WritesEveryKeyAndValue) {
  ExpectResult(Run({kGuid, "cmd_add_icon", "1", "\"/data/x\"", "\"/opt/k/Kestyl\""}), "Code:1\n", 0);
  const uint32_t sz = reg::REG_SZ;
  auto v = [&](const char* name, const std::string& data) { return std::string(name) + "|" + std::to_string(sz) + "|" + data; };
  struct Key {
    std::string path;
    std::vector<std::string> values;
  } keys[] = {
      {kClass, {v("", "Name en"), v("InfoTip", "Name en")}},
      {kClass + "\\DefaultIcon", {v("", "/opt/k/Kestyl,0")}},
      {kClass + "\\InprocServer32", {v("", "shdocvw.dll"), v("ThreadingModel", "ApartMent")}},
      {kClass + "\\Instance", {v("CLSID", "{0AFACED1-E828-11D1-9187-B532F1E9575D}")}},
      {kClass + "\\Instance\\InitPropertyBag", {v("Target", "/data/x")}},
      {kClass + "\\shell", {}},
      {kClass + "\\shellex\\PropertySheetHandlers\\{" + kGuid + "}", {}},
      {kClass + "\\ShellFolder",
       {"Attributes|" + std::to_string(reg::REG_DWORD) + "|" + Dword(0xF8801108), v("WantsFORPARSING", ""),
        v("PinToNameSpaceTree", "")}},
  };
  for (const Key& k : keys) EXPECT_EQ(k.values, Values(reg::HKEY_CLASSES_ROOT, k.path)) << k.path;
  // The classes root is HKLM\SOFTWARE\Classes.
  EXPECT_EQ(keys[0].values, Values(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\" + kClass));
  EXPECT_EQ((std::vector<std::string>{"DefaultIcon", "InprocServer32", "Instance", "shell", "shellex", "ShellFolder"}),
            SubKeys(reg::HKEY_CLASSES_ROOT, kClass));
  EXPECT_EQ(std::vector<std::string>{}, Values(reg::HKEY_LOCAL_MACHINE, kNamespace));

  // The same through the reg tool, as an installer's script would read it.
  auto query = [&](const std::string& key, const char* name) {
    return ks::test::RunProcess(KS_REG_TOOL, {"query", key, "/v", name}, {"KESTYL_PLATFORM_DIR=" + platform_});
  };
  struct ToolCase {
    std::string key;
    const char* name;
    std::string line;
  } tool_cases[] = {
      {"HKCR\\" + kClass + "\\Instance\\InitPropertyBag", "Target", "    Target    REG_SZ    /data/x"},
      {"HKCR\\" + kClass + "\\ShellFolder", "Attributes", "    Attributes    REG_DWORD    0xf8801108"},
      {"HKCR\\" + kClass, "InfoTip", "    InfoTip    REG_SZ    Name en"},
      {"HKCR\\" + kClass + "\\InprocServer32", "ThreadingModel", "    ThreadingModel    REG_SZ    ApartMent"},
  };
  for (const ToolCase& c : tool_cases) {
    auto r = query(c.key, c.name);
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(c.line + "\n")) << r.out;
  }
  auto ns = ks::test::RunProcess(KS_REG_TOOL, {"query", "HKLM\\" + kNamespace}, {"KESTYL_PLATFORM_DIR=" + platform_});
  EXPECT_EQ(0, ns.exit_code) << ns.err;
}

TEST_F(ShellFolder, QuotesAndLanguages) {
  struct Case {
    std::string language;
    std::string target;
    std::string icon;
    std::string stored_target;
    std::string stored_icon;
    std::string name;
  } cases[] = {
      {"0", "\"/d/a\"", "\"/i\"", "/d/a", "/i,0", "名称 cn"},
      {"2", "/d/a\"", "/i", "/d/a", "/i,0", "名稱 tw"},
      {"7", "a\"b", "\"/i", "a\"b", "/i,0", "Name en"},
      {"en", "\"\"", "\"", "", ",0", "Name en"},
      {"1", "\"", "\"\"x\"\"", "", "\"x\",0", "Name en"},
      {"02", "", "", "", ",0", "Name en"},
      {"1", "/d/with space/云", "/i", "/d/with space/云", "/i,0", "Name en"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language + " " + c.target);
    ExpectResult(Run({kGuid, "cmd_add_icon", c.language, c.target, c.icon}), "Code:1\n", 0);
    std::string target, icon, name, tip;
    EXPECT_EQ(reg::ERROR_SUCCESS, reg::RegGetString(reg::HKEY_CLASSES_ROOT, kClass + "\\Instance\\InitPropertyBag", "Target", target));
    EXPECT_EQ(reg::ERROR_SUCCESS, reg::RegGetString(reg::HKEY_CLASSES_ROOT, kClass + "\\DefaultIcon", "", icon));
    EXPECT_EQ(reg::ERROR_SUCCESS, reg::RegGetString(reg::HKEY_CLASSES_ROOT, kClass, "", name));
    EXPECT_EQ(reg::ERROR_SUCCESS, reg::RegGetString(reg::HKEY_CLASSES_ROOT, kClass, "InfoTip", tip));
    // Each run overwrites the values of the one before.
    EXPECT_EQ(c.stored_target, target);
    EXPECT_EQ(c.stored_icon, icon);
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(c.name, tip);
  }
  EXPECT_EQ(2u, Values(reg::HKEY_CLASSES_ROOT, kClass).size());
}

TEST_F(ShellFolder, MissingLanguageFileGivesEmptyName) {
  std::filesystem::remove(bin_ + "/ChineseTrad.ksl");
  ExpectResult(Run({kGuid, "cmd_add_icon", "2", "/t", "/i"}), "Code:1\n", 0);
  std::string name = "?";
  EXPECT_EQ(reg::ERROR_SUCCESS, reg::RegGetString(reg::HKEY_CLASSES_ROOT, kClass, "", name));
  EXPECT_EQ("", name);
}

TEST_F(ShellFolder, RefusalsWriteNothing) {
  for (const char* id : {"../../x", "74362C5A-C943-4FBE-8500-8F82AD459BB7\\..", "", "{74362C5A-C943-4FBE-8500-8F82AD459BB7}"}) {
    SCOPED_TRACE(id);
    ExpectResult(Run({id, "cmd_add_icon", "1", "/t", "/i"}), "Code:-1\n", 0);
  }
  // Neither a class key nor a namespace key came to exist (the parents may be missing).
  for (auto [root, path] : {std::pair{reg::HKEY_CLASSES_ROOT, std::string("CLSID")},
                            std::pair{reg::HKEY_LOCAL_MACHINE, kNamespace.substr(0, kNamespace.rfind('\\'))}}) {
    std::vector<std::string> keys = SubKeys(root, path);
    EXPECT_TRUE(keys.empty() || keys == std::vector<std::string>{"<missing>"}) << path << ": " << keys.size();
  }
}

TEST_F(ShellFolder, UnwritableRegistryIsAFailure) {
  // A platform folder that is a file: the registry file cannot be made.
  const std::string file = root_.path() + "/not-a-folder";
  ks::test::WriteFile(file, "x");
  ExpectResult(Run({kGuid, "cmd_add_icon", "1", "/t", "/i"}, {"KESTYL_PLATFORM_DIR=" + file}), "Code:-1\n", 0);
  EXPECT_EQ("x", ks::test::ReadFile(file));
}

TEST(TrimOneQuote, Table) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"\"/d/a\"", "/d/a"}, {"/d/a\"", "/d/a"}, {"\"/d/a", "/d/a"}, {"a\"b", "a\"b"},
               {"\"", ""},           {"\"\"", ""},       {"\"\"\"", "\""},  {"", ""},
               {" \"a\" ", " \"a\" "}};
  for (const Case& c : cases) EXPECT_EQ(c.out, ks::cmd::TrimOneQuote(c.in)) << c.in;
}

}  // namespace
