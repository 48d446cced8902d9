#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "desktop/foundation/util/ks_charset.h"
#include "tests/desktop/foundation/env_guard.h"

using ks::test::EnvGuard;

namespace {

std::string Take(char* p) {
  std::unique_ptr<char, decltype(&std::free)> owned(p, &std::free);
  return p ? std::string(p) : std::string("<null>");
}

// "中文" in UTF-8, GB2312 and BIG5; "简" exists in GB2312 only.
const std::string kUtf8 = "\xe4\xb8\xad\xe6\x96\x87";
const std::string kGb = "\xd6\xd0\xce\xc4";
const std::string kBig5 = "\xa4\xa4\xa4\xe5";
const std::string kSimplifiedOnlyUtf8 = "\xe7\xae\x80";
const std::string kSimplifiedOnlyGb = "\xbc\xf2";

TEST(KsCharset, UnchangedUnlessAChineseEncodingIsSet) {
  for (const char* encoding : {static_cast<const char*>(nullptr), "en", "", "GB2312", "utf-8"}) {
    EnvGuard e("KESTYL_TEXT_ENCODING", encoding);
    for (const std::string& text : {kUtf8, kGb, std::string("/home/a b/x.jpg"), std::string()}) {
      EXPECT_EQ(Take(ConvertToUtf8ByLanguage(text.c_str())), text);
      EXPECT_EQ(Take(ConvertFromUtf8ByLanguage(text.c_str())), text);
    }
  }
}

TEST(KsCharset, SimplifiedChinese) {
  EnvGuard e("KESTYL_TEXT_ENCODING", "gb2312");
  EXPECT_EQ(Take(ConvertToUtf8ByLanguage(kGb.c_str())), kUtf8);
  EXPECT_EQ(Take(ConvertFromUtf8ByLanguage(kUtf8.c_str())), kGb);
  EXPECT_EQ(Take(ConvertFromUtf8ByLanguage(kSimplifiedOnlyUtf8.c_str())), kSimplifiedOnlyGb);
  EXPECT_EQ(Take(ConvertToUtf8ByLanguage("")), "");  // both sets tried, still empty
  EXPECT_EQ(Take(ConvertFromUtf8ByLanguage("")), "");
  EXPECT_EQ(Take(ConvertToUtf8ByLanguage("plain")), "plain");
}

TEST(KsCharset, TraditionalChinese) {
  EnvGuard e("KESTYL_TEXT_ENCODING", "big5");
  EXPECT_EQ(Take(ConvertToUtf8ByLanguage(kBig5.c_str())), kUtf8);
  EXPECT_EQ(Take(ConvertFromUtf8ByLanguage(kUtf8.c_str())), kBig5);
  // Not in BIG5: the conversion fails and the text comes back as it was.
  EXPECT_EQ(Take(ConvertFromUtf8ByLanguage(kSimplifiedOnlyUtf8.c_str())), kSimplifiedOnlyUtf8);
}

TEST(KsCharset, NullText) {
  EXPECT_EQ(ConvertToUtf8ByLanguage(nullptr), nullptr);
  EXPECT_EQ(ConvertFromUtf8ByLanguage(nullptr), nullptr);
}

}  // namespace
