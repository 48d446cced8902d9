#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "desktop/foundation/util/ks_util.h"
#include "tests/desktop/foundation/env_guard.h"

using ks::test::EnvGuard;

namespace {

TEST(KsUtilText, EmailForm) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"john.doe-x_y@example.com", true},
      {"a@b.cn", true},
      {"a@mail.com.cn", true},
      {"a@b-c_d.org", true},
      {"A.B@EXAMPLE.COM", true},
      {"a@mail.example.com", false},  // sub-domain
      {"a@example.info", false},      // four letters
      {"a@example.c", false},         // one letter
      {"a@example.com.c", false},     // one-letter country
      {"a@example.com.cnn", false},
      {"@example.com", false},
      {"a@.com", false},
      {"a@example", false},
      {"a@example.", false},
      {"a b@example.com", false},
      {"ab@example.com ", false},
      {" ab@example.com", false},
      {"a@b@example.com", false},
      {"a@exa.mple@x.com", false},
      {"a@example.c0m", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(CKSUtil::IsValidEmail(c.text), c.valid) << c.text;
  EXPECT_FALSE(CKSUtil::IsValidEmail(nullptr));
}

// The hand-written check agrees with the pattern itself on many short texts drawn from the
// characters that matter.
TEST(KsUtilText, EmailFormAgreesWithThePattern) {
  const std::regex pattern("([0-9A-Za-z\\-_\\.]+)@([0-9A-Za-z\\-_]+\\.[A-Za-z]{2,3}(\\.[A-Za-z]{2})?)",
                           std::regex::ECMAScript);
  const std::string alphabet = "ab9-_.@Z ";
  std::mt19937 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    std::string s;
    const int len = static_cast<int>(rng() % 14);
    for (int k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(CKSUtil::IsValidEmail(s.c_str()), std::regex_match(s, pattern)) << "'" << s << "'";
  }
}

TEST(KsUtilText, EmailFormOfAHugeTextReturns) {
  std::string local(2000000, 'a');
  EXPECT_TRUE(CKSUtil::IsValidEmail((local + "@example.com").c_str()));
  EXPECT_FALSE(CKSUtil::IsValidEmail((local + "@example.comm").c_str()));
}

TEST(KsUtilText, UrlEncodeEveryByte) {
  struct Case {
    std::string text, encoded;
  };
  const Case cases[] = {
      {"ab.cn", "%61%62%2e%63%6e"},
      {"\t", "%09"},
      {"", ""},
      {std::string("\0A", 2), "%00%41"},
      {"\xe7\x85\xa7", "%e7%85%a7"},
      {"\xff %", "%ff%20%25"},
  };
  for (const Case& c : cases) EXPECT_EQ(CKSUtil::UrlEncode(c.text), c.encoded) << c.text;
}

TEST(KsUtilText, CategoryFolderNames) {
  struct Case {
    const char* key;
    const char* english;
    const char* chinese;
  };
  const Case cases[] = {
      {"PICTURE", "Photos", "\xe7\x85\xa7\xe7\x89\x87"},
      {"MUSIC", "Music", "\xe9\x9f\xb3\xe4\xb9\x90"},
      {"VIDEO", "Videos", "\xe8\xa7\x86\xe9\xa2\x91"},
      {"DOCUMENT", "Files", "\xe6\x96\x87\xe6\xa1\xa3"},
      {"INSTANT", "Album", "\xe5\x8d\xb3\xe6\x8b\x8d\xe5\x8d\xb3\xe4\xbc\xa0"},
      {"Picture", "null", "null"},
      {"", "null", "null"},
  };
  {
    EnvGuard lang("KESTYL_LANGID", nullptr);
    EnvGuard locale("LANG", "zh_CN.UTF-8");
    for (const Case& c : cases) EXPECT_EQ(CKSUtil::GetCategoryFolderName(c.key), c.chinese) << c.key;
  }
  for (const char* other : {"0404", "0409", "0407", "1004"}) {
    EnvGuard lang("KESTYL_LANGID", other);
    for (const Case& c : cases) EXPECT_EQ(CKSUtil::GetCategoryFolderName(c.key), c.english) << c.key << " " << other;
  }
}

TEST(KsUtilText, ReplaceAllIsOnePass) {
  struct Case {
    const char *text, *search, *replacement, *result;
  };
  const Case cases[] = {
      {"a", "a", "aa", "aa"},  // the replacement holds the search text: no endless loop
      {"aaa", "a", "aa", "aaaaaa"},
      {"\"C:\\x\" %1", "\"", "", "C:\\x %1"},
      {"open %1 now %1", "%1", "http://x/?a=%1", "open http://x/?a=%1 now http://x/?a=%1"},
      {"abab", "aba", "X", "Xb"},
      {"abc", "", "X", "abc"},
      {"", "a", "b", ""},
      {"no hit", "z", "y", "no hit"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CKSUtil::ReplaceAll(c.text, c.search, c.replacement), c.result) << c.text << " / " << c.search;
}

TEST(KsUtilText, ExtractBetween) {
  struct Case {
    const char *text, *start, *end, *result;
  };
  const Case cases[] = {
      {"<a>value</a>", "<a>", "</a>", "value"},
      {"x[1]y[2]", "[", "]", "1"},
      {"end] before [start", "[", "]", ""},  // end marker before the start marker
      {"no start marker here]", "[", "]", ""},
      {"[no end marker", "[", "]", ""},
      {"[]", "[", "]", ""},
      {"key=", "key=", "", ""},
      {"IP: 10.0.0.1;", "IP: ", ";", "10.0.0.1"},
      {"", "a", "b", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CKSUtil::ExtractBetween(c.text, c.start, c.end), c.result) << c.text;
}

TEST(KsUtilText, PathTexts) {
  EXPECT_EQ(CKSUtil::RemoveTrailingBackslash("/data/share///"), "/data/share");
  EXPECT_EQ(CKSUtil::RemoveTrailingBackslash("/data/share"), "/data/share");
  EXPECT_EQ(CKSUtil::RemoveTrailingBackslash("/"), "/");
  EXPECT_EQ(CKSUtil::RemoveTrailingBackslash("///"), "/");
  EXPECT_EQ(CKSUtil::RemoveTrailingBackslash(""), "");
  EXPECT_EQ(CKSUtil::ToSlashes("C:\\a\\b c\\"), "C:/a/b c/");
  EXPECT_EQ(CKSUtil::IntToString(-2147483647 - 1), "-2147483648");
  EXPECT_EQ(CKSUtil::IntToString(42), "42");
}

TEST(KsUtilText, WideText) {
  EXPECT_EQ(CKSUtil::ToWideString("abc"), L"abc");
  EXPECT_EQ(CKSUtil::ToWideString("\xe7\x85\xa7\xe7\x89\x87/x"), L"\x7167\x7247/x");
  EXPECT_EQ(CKSUtil::ToWideString("\xf0\x9f\x98\x80"), L"\x1f600");
  EXPECT_EQ(CKSUtil::ToWideString("a\xff" "b"), L"a\xfffd" L"b");
  EXPECT_EQ(CKSUtil::ToWideString("a\xe7\x85"), L"a\xfffd\xfffd");  // cut at the end
  EXPECT_EQ(CKSUtil::ToWideString(""), L"");
  std::string big(100000, 'x');
  big += "\xe7\x85\xa7";
  std::wstring wide = CKSUtil::ToWideString(big);
  ASSERT_EQ(wide.size(), 100001u);
  EXPECT_EQ(wide.back(), L'\x7167');
}

}  // namespace
