#include "common/text.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(CopyBounded, StaysInsideTheFieldAndTerminates) {
  char16_t field[5];
  for (auto& c : field) c = u'#';
  EXPECT_EQ(4u, CopyBounded(field, 5, u"abcdefgh"));
  EXPECT_EQ(std::u16string(u"abcd"), std::u16string(field));
  EXPECT_EQ(2u, CopyToField(field, u"xy"));
  EXPECT_EQ(std::u16string(u"xy"), std::u16string(field));
  EXPECT_EQ(0u, CopyBounded(field, 0, u"z"));  // nothing written
  EXPECT_EQ(u'x', field[0]);
}

TEST(CopyBounded, NeverLeavesHalfASurrogatePair) {
  char16_t field[4];
  // "ab" + U+1F600 (two units): only "ab" fits before the terminator.
  std::u16string text = u"ab\U0001F600";
  EXPECT_EQ(2u, CopyBounded(field, 4, text));
  EXPECT_EQ(std::u16string(u"ab"), std::u16string(field));
  char16_t wide[5];
  EXPECT_EQ(4u, CopyBounded(wide, 5, text));
  EXPECT_EQ(text, std::u16string(wide));
}

TEST(TrimSpaces, RemovesTabsAndUnicodeSpaces) {
  EXPECT_EQ(u"ZEV_StopProcess_KLV", TrimSpaces(u" \t\u3000ZEV_StopProcess_KLV\u2003\r\n\v\f"));
  EXPECT_EQ(u"a b", TrimSpaces(u"\u00A0a b\u205F"));
  EXPECT_EQ(u"", TrimSpaces(u" \t "));
}

TEST(WideToLong, FollowsTheDecimalRule) {
  EXPECT_EQ(64, WideToLong(u"  64"));
  EXPECT_EQ(0, WideToLong(u"0x40"));
  EXPECT_EQ(0, WideToLong(u"abc"));
  EXPECT_EQ(0, WideToLong(u""));
  EXPECT_EQ(-5, WideToLong(u"-5"));
  EXPECT_EQ(12, WideToLong(u"0012"));
  EXPECT_EQ(12, WideToLong(u"+12abc"));
  EXPECT_EQ(0, WideToLong(u"+-1"));
  EXPECT_EQ(0, WideToLong(u"- 1"));
  EXPECT_EQ(99999999, WideToLong(u"99999999"));
  EXPECT_EQ(INT32_MAX, WideToLong(u"99999999999999999999"));
  EXPECT_EQ(INT32_MIN, WideToLong(u"-99999999999999999999"));
  EXPECT_EQ(7, WideToLong(u"\t\u30007"));
}

TEST(Utf, RoundTripsAndReplacesInvalidInput) {
  std::string utf8 = "caf\xC3\xA9 \xE5\x91\xBD\xE4\xBB\xA4 \xF0\x9F\x98\x80";
  EXPECT_EQ(utf8, Utf16ToUtf8(Utf8ToUtf16(utf8)));
  EXPECT_EQ(u"a\uFFFDb", Utf8ToUtf16("a\xFF" "b"));
  EXPECT_EQ(u"\uFFFD\uFFFD", Utf8ToUtf16("\xC0\x80"));  // overlong NUL, byte by byte
  EXPECT_EQ(u"\uFFFD\uFFFD\uFFFD", Utf8ToUtf16("\xED\xA0\x80"));  // encoded surrogate
  EXPECT_EQ("\xEF\xBF\xBD", Utf16ToUtf8(std::u16string(1, char16_t(0xD800))));
}

TEST(FormatDecimal, MatchesPrintf) {
  EXPECT_EQ(u"0", FormatDecimal(0));
  EXPECT_EQ(u"-1", FormatDecimal(-1));
  EXPECT_EQ(u"28672", FormatDecimal(28672));
  EXPECT_EQ(u"-9223372036854775808", FormatDecimal(INT64_MIN));
  EXPECT_EQ(u"9223372036854775807", FormatDecimal(INT64_MAX));
}

}  // namespace
}  // namespace kelvane
