#include "utf.h"

#include <gtest/gtest.h>

namespace kelvanectl {
namespace {

TEST(Utf, RoundTripsAndReplacesInvalidInput) {
  std::string text = "a\u00E9\u4E2D\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8ToUtf16(text), u"a\u00E9\u4E2D\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");          // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");            // cut sequence
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00" u"a" u"\xD800"), "\uFFFDa\uFFFD");
}

TEST(Utf, DisplayWidth) {
  EXPECT_EQ(DisplayWidth("abc"), 3u);
  EXPECT_EQ(DisplayWidth("服务器"), 6u);
  EXPECT_EQ(DisplayWidth("e\u0301"), 1u);  // combining accent
  EXPECT_EQ(DisplayWidth(""), 0u);
}

TEST(Utf, CutNeverSplitsASequenceOrAWideCharacter) {
  const std::string text = "a服\u00E9\xF0\x9F\x98\x80z";  // widths 1 2 1 2 1
  const size_t expected_bytes[] = {0, 1, 1, 4, 6, 6, 10, 11, 11};
  for (size_t width = 0; width < sizeof(expected_bytes) / sizeof(expected_bytes[0]); ++width) {
    std::string cut = CutToWidth(text, width);
    EXPECT_EQ(cut.size(), expected_bytes[width]) << width;
    EXPECT_LE(DisplayWidth(cut), width);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(cut)), cut) << "split sequence at width " << width;
  }
}

TEST(Utf, FitPadsToExactWidth) {
  EXPECT_EQ(FitToWidth("ab", 4), "ab  ");
  EXPECT_EQ(FitToWidth("ab", 4, true), "  ab");
  EXPECT_EQ(FitToWidth("服务器", 5), "服务 ");  // the third character does not fit
  EXPECT_EQ(FitToWidth("abcdef", 3), "abc");
}

TEST(Utf, SanitizeCell) {
  EXPECT_EQ(SanitizeCell("a\tb\nc\rd"), "a b c d");
  EXPECT_EQ(SanitizeCell("\x1b[31mred\x7f\u009b"), "?[31mred??");
  EXPECT_EQ(SanitizeCell("\xFF服"), "\uFFFD服");
  // Every bidirectional control, and nothing beside them.
  for (const char* control : {"\u061C", "\u200E", "\u200F", "\u202A", "\u202B", "\u202C", "\u202D",
                              "\u202E", "\u2066", "\u2067", "\u2068", "\u2069"}) {
    EXPECT_EQ(SanitizeCell(std::string("a") + control + "b"), "a\uFFFDb") << control;
  }
  EXPECT_EQ(SanitizeCell("\u200D\u2029\u2065\u206A\u202F"), "\u200D\u2029\u2065\u206A\u202F");
}

}  // namespace
}  // namespace kelvanectl
