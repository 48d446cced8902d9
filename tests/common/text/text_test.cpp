#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/text/text.h"

namespace {

int64_t LocalTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&t));
}

TEST(StrToTime, DatesAndOptionalTimeFields) {
  struct Case {
    const char* text;
    int64_t expected;
  } cases[] = {
      {"2013-1-5", LocalTime(2013, 1, 5)},
      {"2013-01-05 10:20:30", LocalTime(2013, 1, 5, 10, 20, 30)},
      {"2013-1-5 10", LocalTime(2013, 1, 5, 10)},
      {"2013-1-5 10:20", LocalTime(2013, 1, 5, 10, 20)},
      {"2013-1-5x10:20:30", LocalTime(2013, 1, 5)},  // no blank after the day: date only
      {"2013/1/5", 0},
      {"2013-1", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(StrToTime(c.text), c.expected) << c.text;
  // A run of digits saturates instead of overflowing.
  StrToTime("99999999999999999999-99999999999-9999999999 99999999999:9999999999:99999999");
}

TEST(SplitString, PiecesBetweenDelimiters) {
  using V = std::vector<std::string>;
  struct Case {
    std::string text, delimiter;
    V expected;
  } cases[] = {
      {"a|b|", "|", {"a", "b", ""}},
      {"abc", "|", {"abc"}},
      {"", "|", {}},
      {"abc", "", {}},
      {"|a||b", "|", {"", "a", "", "b"}},
      {"a::b::c", "::", {"a", "b", "c"}},
  };
  for (const Case& c : cases) {
    V out = {"left over"};
    SplitString(c.text, out, c.delimiter);
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

TEST(ReplaceAll, NonOverlappingAndNotRescanned) {
  struct Case {
    std::string text, pattern, replacement, expected;
  } cases[] = {
      {"2013-01-05 10:20:30", "-", "", "20130105 10:20:30"},
      {"aaa", "aa", "x", "xa"},
      {"ab", "a", "aa", "aab"},
      {"abc", "", "x", "abc"},
      {"", "a", "x", ""},
  };
  for (const Case& c : cases) {
    std::string out = "left over";
    ReplaceAll(c.text, c.pattern, out, c.replacement);
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

TEST(NumberTexts, SignedAndUnsigned) {
  EXPECT_EQ(IntToStr(-5), "-5");
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(UIntToStr(4294967295u), "4294967295");
}

TEST(FormatString, LongerThanFirstBufferComesBackWhole) {
  std::string big(5000, 'x');
  std::string s = FormatString("%d<%s>%d", 7, big.c_str(), 9);
  EXPECT_EQ(s, "7<" + big + ">9");
  EXPECT_EQ(FormatString("%s", ""), "");
}

TEST(ConvertCode, ConvertsAndFallsBackToTheText) {
  const std::string zh = "\xe4\xb8\xad\xe6\x96\x87";  // two characters in UTF-8
  const std::string gb = "\xd6\xd0\xce\xc4";
  EXPECT_EQ(ConvertCode("utf-8", "gb2312", zh), gb);
  EXPECT_EQ(ConvertCode("gb2312", "utf-8", gb), zh);
  // Unknown code name: the text unchanged.
  EXPECT_EQ(ConvertCode("utf-8", "no-such-code", zh), zh);
  EXPECT_EQ(ConvertCode(nullptr, "gb2312", zh), zh);
  // A character the target lacks: unchanged without //IGNORE, dropped with it.
  const std::string withEmoji = "a" + zh + "\xf0\x9f\x98\x80" + "b";
  EXPECT_EQ(ConvertCode("utf-8", "gb2312", withEmoji), withEmoji);
  EXPECT_EQ(ConvertCode("utf-8", "gb2312//IGNORE", withEmoji), "a" + gb + "b");
  // Invalid input is dropped with //IGNORE as well.
  EXPECT_EQ(ConvertCode("utf-8", "gb2312//IGNORE", "x\xff\xfey"), "xy");
  EXPECT_EQ(ConvertCode("utf-8", "utf-8", ""), "");
}

TEST(ConvertCode, IgnoreConvertsLongTextsWhole) {
  // glibc stops after each internal chunk in which it dropped something.
  std::string in, expected;
  for (int i = 0; i < 20000; ++i) {
    in += "a\xe4\xb8\xad\xf0\x9f\x98\x80";
    expected += "a\xd6\xd0";
  }
  in += "END";
  expected += "END";
  EXPECT_EQ(ConvertCode("utf-8", "gb2312//IGNORE", in), expected);
}

}  // namespace
