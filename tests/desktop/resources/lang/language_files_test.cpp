// The three installed language files against each other and against the key inventory
// keys.tsv: same sections and keys, every key the programs use present, the texts fit the
// way the programs use them (joined with a value, shown in a message box, written to CSV),
// valid font sections, and each Chinese file in its own script.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/desktop/resources/lang/ksl_reader.h"

namespace kstest {
namespace {

struct Language {
  const char* file;
  bool chinese;
};
const Language kLanguages[] = {{"ChineseSimplified.ksl", true}, {"English.ksl", false}, {"ChineseTrad.ksl", true}};

struct InventoryRow {
  std::string section, key, rule, role;
  size_t line;
};

using SectionMap = std::map<std::string, std::map<std::string, std::u32string>>;

struct LoadedFile {
  std::string error;  // parse error or duplicate, "" when the file is usable
  KslFile parsed;
  SectionMap texts;  // text sections: section -> key -> value
  SectionMap fonts;  // font sections: section -> key -> value
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

LoadedFile Load(const std::string& name) {
  LoadedFile f;
  std::string bytes = ReadBytes(std::string(KS_LANG_DIR) + "/" + name);
  if (bytes.empty()) {
    f.error = "missing or empty";
    return f;
  }
  f.error = ParseKsl(bytes, f.parsed);
  if (!f.error.empty()) return f;
  for (const KslSection& s : f.parsed.sections) {
    std::string sname = ToUtf8(s.name);
    // The programs treat every section whose name contains FONT_ as a font section.
    SectionMap& target = sname.find("FONT_") != std::string::npos ? f.fonts : f.texts;
    if (f.texts.count(sname) || f.fonts.count(sname)) {
      f.error = "section [" + sname + "] occurs twice";
      return f;
    }
    auto& keys = target[sname];
    for (const KslEntry& e : s.entries) {
      if (!keys.emplace(ToUtf8(e.key), e.value).second) {
        f.error = "key " + ToUtf8(e.key) + " occurs twice in [" + sname + "]";
        return f;
      }
    }
  }
  return f;
}

std::vector<InventoryRow> LoadInventory(std::string& error) {
  std::vector<InventoryRow> rows;
  std::istringstream in(ReadBytes(KS_LANG_KEYS));
  std::string line;
  size_t n = 0;
  std::set<std::pair<std::string, std::string>> seen;
  const std::set<std::string> rules = {"text", "same",  "short", "box", "label", "lead", "tail",
                                       "join", "clause", "csv",  "empty", "url", "font"};
  while (std::getline(in, line)) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() != 4 || f[3].empty()) {
      error = "keys.tsv line " + std::to_string(n) + ": want section, key, rule, role";
      return {};
    }
    if (!rules.count(f[2])) {
      error = "keys.tsv line " + std::to_string(n) + ": unknown rule " + f[2];
      return {};
    }
    if ((f[2] == "font") != (f[1] == "*")) {
      error = "keys.tsv line " + std::to_string(n) + ": key * goes with rule font only";
      return {};
    }
    if (!seen.insert({f[0], f[1]}).second) {
      error = "keys.tsv line " + std::to_string(n) + ": row listed twice";
      return {};
    }
    rows.push_back({f[0], f[1], f[2], f[3], n});
  }
  if (rows.empty()) error = "keys.tsv has no rows";
  return rows;
}

class LanguageFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    files_ = new std::vector<LoadedFile>;
    for (const Language& l : kLanguages) files_->push_back(Load(l.file));
    inventory_ = new std::vector<InventoryRow>(LoadInventory(inventory_error_));
  }
  static void TearDownTestSuite() {
    delete files_;
    delete inventory_;
  }
  void SetUp() override {
    for (size_t i = 0; i < files_->size(); ++i) {
      ASSERT_EQ((*files_)[i].error, "") << kLanguages[i].file;
    }
    ASSERT_EQ(inventory_error_, "");
  }

  static const LoadedFile& File(size_t i) { return (*files_)[i]; }
  static const std::u32string& Text(size_t i, const std::string& section, const std::string& key) {
    static const std::u32string none;
    const auto& t = File(i).texts;
    auto s = t.find(section);
    if (s == t.end()) return none;
    auto k = s->second.find(key);
    return k == s->second.end() ? none : k->second;
  }

  static std::vector<LoadedFile>* files_;
  static std::vector<InventoryRow>* inventory_;
  static std::string inventory_error_;
};
std::vector<LoadedFile>* LanguageFiles::files_ = nullptr;
std::vector<InventoryRow>* LanguageFiles::inventory_ = nullptr;
std::string LanguageFiles::inventory_error_;

// Reading a section takes one buffer of 32767 wide characters; section names beyond 63
// characters are cut. Neither limit may be reached.
TEST_F(LanguageFiles, SectionsFitTheReadersBuffers) {
  for (size_t i = 0; i < std::size(kLanguages); ++i) {
    for (const KslSection& s : File(i).parsed.sections) {
      EXPECT_LE(s.name.size(), 63u) << kLanguages[i].file << " [" << ToUtf8(s.name) << "]";
      EXPECT_LT(s.utf16_units, 32767u) << kLanguages[i].file << " [" << ToUtf8(s.name) << "]";
      for (const KslEntry& e : s.entries) {
        std::string key = ToUtf8(e.key);
        EXPECT_FALSE(key.empty()) << kLanguages[i].file << " line " << e.line;
        EXPECT_EQ(key.find_first_of(" \t;[]"), std::string::npos)
            << kLanguages[i].file << " line " << e.line << ": key " << key;
      }
    }
  }
}

TEST_F(LanguageFiles, AllLanguagesHaveTheSameSectionsAndKeys) {
  auto shape = [](const LoadedFile& f) {
    std::map<std::string, std::vector<std::string>> out;
    for (const SectionMap* m : {&f.texts, &f.fonts}) {
      for (const auto& [section, keys] : *m) {
        for (const auto& kv : keys) out[section].push_back(kv.first);
      }
    }
    return out;
  };
  auto english = shape(File(1));
  for (size_t i : {size_t{0}, size_t{2}}) {
    auto other = shape(File(i));
    for (const auto& [section, keys] : english) {
      auto it = other.find(section);
      if (it == other.end()) {
        ADD_FAILURE() << kLanguages[i].file << " lacks [" << section << "]";
        continue;
      }
      std::vector<std::string> missing, extra;
      std::set_difference(keys.begin(), keys.end(), it->second.begin(), it->second.end(), std::back_inserter(missing));
      std::set_difference(it->second.begin(), it->second.end(), keys.begin(), keys.end(), std::back_inserter(extra));
      for (const auto& k : missing) ADD_FAILURE() << kLanguages[i].file << " lacks " << section << "/" << k;
      for (const auto& k : extra) ADD_FAILURE() << kLanguages[i].file << " has extra " << section << "/" << k;
    }
    for (const auto& [section, keys] : other) {
      if (!english.count(section)) ADD_FAILURE() << kLanguages[i].file << " has extra [" << section << "]";
    }
  }
}

// keys.tsv is the list of what the programs read: each row must be in every file, and each
// key of a file must be a row (a key nobody reads is a misspelling waiting to happen).
TEST_F(LanguageFiles, InventoryAndFilesMatch) {
  for (size_t i = 0; i < std::size(kLanguages); ++i) {
    const LoadedFile& f = File(i);
    std::set<std::pair<std::string, std::string>> listed;
    for (const InventoryRow& r : *inventory_) {
      listed.insert({r.section, r.key});
      bool is_font = r.rule == "font";
      if (is_font != (r.section.find("FONT_") != std::string::npos)) {
        ADD_FAILURE() << "keys.tsv line " << r.line << ": font rows are exactly the FONT_ sections";
        continue;
      }
      const SectionMap& m = is_font ? f.fonts : f.texts;
      auto s = m.find(r.section);
      bool present = s != m.end() && (is_font || s->second.count(r.key));
      EXPECT_TRUE(present) << kLanguages[i].file << " lacks " << r.section << "/" << r.key;
    }
    for (const auto& [section, keys] : f.texts) {
      for (const auto& kv : keys) {
        EXPECT_TRUE(listed.count({section, kv.first}))
            << kLanguages[i].file << ": " << section << "/" << kv.first << " is not in keys.tsv";
      }
    }
    for (const auto& kv : f.fonts) {
      EXPECT_TRUE(listed.count({kv.first, "*"})) << kLanguages[i].file << ": [" << kv.first << "] is not in keys.tsv";
    }
  }
}

bool StartsWithPunctuation(const std::u32string& v) {
  return !v.empty() && std::u32string(U" ,.;:!?)，。；：！？）、").find(v.front()) != std::u32string::npos;
}
bool EndsWithPunctuationOrSpace(const std::u32string& v) {
  return !v.empty() && std::u32string(U" .,;:!?，。；：！？…").find(v.back()) != std::u32string::npos;
}
bool HasEnds(const std::u32string& v, const std::u32string& suffix) {
  return v.size() >= suffix.size() && v.compare(v.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The rule of a row against one text; returns what is wrong, "" when it fits.
std::string CheckRule(const std::string& rule, const std::u32string& v) {
  if (rule == "empty") return v.empty() ? "" : "must be empty";
  if (v.empty()) return "is empty";
  for (char32_t c : v) {
    if (c < 0x20 || c == 0x7F || c == 0xFFFD) return "holds a control or replacement character";
  }
  const bool line_break = v.find(U"\\n") != std::u32string::npos;
  if (line_break && rule != "box") return "holds a line-break mark outside a message box";
  const bool lead_space = v.front() == U' ' || v.front() == U'\u3000';
  const bool trail_space = v.back() == U' ' || v.back() == U'\u3000';
  if (lead_space && rule != "tail") return "starts with a space";
  if (trail_space && rule != "lead" && rule != "label" && rule != "join") return "ends with a space";

  if (rule == "label") {
    if (!HasEnds(v, U": ") && !HasEnds(v, U"：")) return "a value follows: must end with \": \" or \"：\"";
  } else if (rule == "lead") {
    if (v.back() != U' ' || (v.size() > 1 && v[v.size() - 2] == U' ')) return "a value follows: must end with one space";
  } else if (rule == "tail") {
    if (!StartsWithPunctuation(v)) return "follows a value: must start with a space or a punctuation mark";
  } else if (rule == "join") {
    if (v.back() != U' ' && !IsCjk(v.back())) return "another text follows: must end with a space or a CJK character";
  } else if (rule == "clause") {
    if (EndsWithPunctuationOrSpace(v)) return "\", code: <hex>\" follows: must not end with punctuation";
  } else if (rule == "csv") {
    if (v.find_first_of(U",\"") != std::u32string::npos) return "a CSV field: no comma or double quote";
  } else if (rule == "short") {
    if (Columns(v) > 30) return "wider than 30 columns";
  } else if (rule == "box") {
    size_t lines = 0;
    for (size_t start = 0;;) {
      size_t mark = v.find(U"\\n", start);
      std::u32string part = v.substr(start, mark == std::u32string::npos ? std::u32string::npos : mark - start);
      ++lines;
      if (part.empty() || part.front() == U' ' || part.back() == U' ') return "a message box line is empty or has a space at an end";
      if (Columns(part) > 46) return "a message box line is wider than 46 columns";
      if (mark == std::u32string::npos) break;
      start = mark + 2;
    }
    if (lines > 4) return "more than 4 message box lines";
  } else if (rule == "url") {
    std::string u = ToUtf8(v);
    if (u.rfind("http://", 0) != 0 && u.rfind("https://", 0) != 0) return "not an absolute http address";
    if (u.find_first_of(" \"<>") != std::string::npos) return "not a valid address";
  }
  return "";
}

TEST_F(LanguageFiles, TextsFitHowTheProgramsUseThem) {
  for (size_t i = 0; i < std::size(kLanguages); ++i) {
    for (const InventoryRow& r : *inventory_) {
      if (r.rule == "font") continue;
      const std::u32string& v = Text(i, r.section, r.key);
      std::string problem = CheckRule(r.rule, v);
      EXPECT_EQ(problem, "") << kLanguages[i].file << " " << r.section << "/" << r.key << " (" << r.rule
                             << "): \"" << ToUtf8(v) << "\"";
      if (r.rule == "same") {
        EXPECT_EQ(ToUtf8(v), ToUtf8(Text(1, r.section, r.key))) << kLanguages[i].file << " " << r.key;
      }
    }
  }
}

// Table-driven guard for the rule checker itself: a rule that accepted everything would
// pass the test above for any file.
TEST(LanguageTextRules, RejectTextsThatBreakTheirUse) {
  struct Case {
    const char* rule;
    const char* text;
    bool ok;
  } cases[] = {
      {"label", "Account: ", true},     {"label", "当前账号：", true},   {"label", "Account:", false},
      {"label", "Account", false},      {"lead", "Kestyl version ", true}, {"lead", "Kestyl version", false},
      {"lead", "version  ", false},     {"tail", " is available.", true}, {"tail", "，是否更新？", true},
      {"tail", "is available", false},  {"join", "将文件", true},         {"join", "Move it ", true},
      {"join", "Move it", false},       {"clause", "Log-in failed", true}, {"clause", "登录失败。", false},
      {"clause", "Failed:", false},     {"csv", "File Name", true},        {"csv", "Name, file", false},
      {"short", "Log out of this account?", true}, {"short", "Log out of this account and switch now?", false},
      {"box", "One line\\nTwo lines", true},        {"box", "a\\nb\\nc\\nd\\ne", false},
      {"box", "一二三四五六七八九十一二三四五六七八九十一二三四", false},
      {"text", "One\\nTwo", false},     {"text", " padded", false},        {"text", "padded ", false},
      {"text", "", false},              {"empty", "", true},               {"empty", "x", false},
      {"url", "http://127.0.0.1/a.html", true},     {"url", "/faq.html", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckRule(c.rule, FromUtf8(c.text)).empty(), c.ok) << c.rule << " \"" << c.text << "\"";
  }
}

TEST_F(LanguageFiles, FontSectionsAreValid) {
  for (size_t i = 0; i < std::size(kLanguages); ++i) {
    ASSERT_TRUE(File(i).fonts.count("FONT_DEFAULT")) << kLanguages[i].file;
    for (const auto& [section, keys] : File(i).fonts) {
      std::string where = std::string(kLanguages[i].file) + " [" + section + "]";
      std::set<std::string> names;
      for (const auto& kv : keys) names.insert(kv.first);
      EXPECT_EQ(names, (std::set<std::string>{"FONT_HEIGHT", "FONT_NAME", "FONT_WEIGHT"})) << where;
      auto get = [&](const char* k) { return keys.count(k) ? ToUtf8(keys.at(k)) : std::string(); };

      std::u32string face = keys.count("FONT_NAME") ? keys.at("FONT_NAME") : U"";
      EXPECT_FALSE(face.empty()) << where;
      EXPECT_LE(face.size(), 31u) << where << ": the face name buffer holds 31 characters";
      EXPECT_TRUE(face.empty() || (face.front() != U' ' && face.back() != U' ')) << where;

      // Heights are points written negative; the font routine negates them again.
      std::string h = get("FONT_HEIGHT");
      char* end = nullptr;
      long height = std::strtol(h.c_str(), &end, 10);
      EXPECT_TRUE(!h.empty() && *end == '\0') << where << ": FONT_HEIGHT " << h;
      EXPECT_TRUE(height <= -6 && height >= -36) << where << ": FONT_HEIGHT " << h;

      std::string w = get("FONT_WEIGHT");
      long weight = std::strtol(w.c_str(), &end, 10);
      EXPECT_TRUE(!w.empty() && *end == '\0') << where << ": FONT_WEIGHT " << w;
      EXPECT_TRUE(weight >= 100 && weight <= 900 && weight % 100 == 0) << where << ": FONT_WEIGHT " << w;
    }
  }
}

// Texts the programs compare or show side by side must stay apart in every language.
TEST_F(LanguageFiles, TextsTheProgramsTellApartDiffer) {
  for (size_t i = 0; i < std::size(kLanguages); ++i) {
    const char* f = kLanguages[i].file;
    // The account page decides "logged in" by comparing the button caption with the log-in text.
    EXPECT_NE(Text(i, "UI", "SETTING_BUTTON_LOGIN"), Text(i, "UI", "SETTING_BUTTON_SWITCH_ACCOUNT")) << f;
    // An account edit that still shows its hint counts as empty: the hint must never be an address.
    EXPECT_EQ(Text(i, "UI", "LOGIN_EDIT_ACCOUNT").find(U'@'), std::u32string::npos) << f;
    EXPECT_NE(Text(i, "UI", "LOGIN_EDIT_ACCOUNT"), Text(i, "UI", "LOGIN_EDIT_PASSWORD")) << f;
    EXPECT_NE(Text(i, "UI", "TRAYMENU_MOBILE_ONLINE"), Text(i, "UI", "TRAYMENU_MOBILE_OUTLINE")) << f;
    EXPECT_NE(Text(i, "UI", "SETTING_STATIC_SYNC_BUTTON_STATUS_IDLE"), Text(i, "UI", "SETTING_STATIC_SYNC_BUTTON_STATUS_BUSY")) << f;
    EXPECT_NE(Text(i, "UI", "MSGBOX_BUTTON_YES"), Text(i, "UI", "MSGBOX_BUTTON_NO")) << f;
    EXPECT_EQ(ToUtf8(Text(i, "UI", "DIALOG_TITLE")), "Kestyl") << f;
  }
  // The folder under Computer carries the name of the language it was registered in.
  EXPECT_NE(Text(0, "UI", "DIRVER_NAME"), Text(1, "UI", "DIRVER_NAME"));
  EXPECT_NE(Text(2, "UI", "DIRVER_NAME"), Text(1, "UI", "DIRVER_NAME"));
  EXPECT_NE(Text(0, "UI", "DIRVER_NAME"), Text(2, "UI", "DIRVER_NAME"));
}

// Characters written differently in the two Chinese scripts: simplified form, traditional form.
const char* const kScriptPairs[][2] = {
    {"这", "這"}, {"个", "個"}, {"为", "為"}, {"设", "設"}, {"备", "備"}, {"录", "錄"}, {"账", "帳"},
    {"号", "號"}, {"码", "碼"}, {"网", "網"}, {"络", "絡"}, {"删", "刪"}, {"择", "擇"}, {"启", "啟"},
    {"务", "務"}, {"开", "開"}, {"关", "關"}, {"载", "載"}, {"传", "傳"}, {"输", "輸"}, {"时", "時"},
    {"间", "間"}, {"语", "語"}, {"请", "請"}, {"认", "認"}, {"连", "連"}, {"访", "訪"}, {"热", "熱"},
    {"动", "動"}, {"该", "該"}, {"线", "線"}, {"权", "權"}, {"户", "戶"}, {"见", "見"}, {"览", "覽"},
};

TEST_F(LanguageFiles, ChineseFilesAreTranslatedInTheirOwnScript) {
  for (size_t i : {size_t{0}, size_t{2}}) {
    const bool simplified = i == 0;
    for (const InventoryRow& r : *inventory_) {
      if (r.rule == "font" || r.rule == "same" || r.rule == "url" || r.rule == "empty") continue;
      const std::u32string& v = Text(i, r.section, r.key);
      std::string where = std::string(kLanguages[i].file) + " " + r.key + ": \"" + ToUtf8(v) + "\"";
      EXPECT_TRUE(std::any_of(v.begin(), v.end(), IsCjk)) << where << " is not translated";
      for (const auto& pair : kScriptPairs) {
        std::u32string wrong = FromUtf8(pair[simplified ? 1 : 0]);
        EXPECT_EQ(v.find(wrong), std::u32string::npos) << where << " uses " << pair[simplified ? 1 : 0];
      }
    }
  }
}

}  // namespace
}  // namespace kstest
