// Responses larger than one output piece: the text written piece by piece is
// the readable text, whatever falls on a piece boundary, and whole files of
// any size are read back exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_os.h"
#include "response.h"
#include "tool_test_util.h"
#include "utf.h"

namespace kelvanectl {
namespace {

using kelvane_tool_test::LeBytes;
using kelvane_tool_test::Utf16Bytes;

TEST(LargeResponse, PiecesJoinToTheReadableTextAcrossEveryBoundary) {
  // A line mixing CR LF, a surrogate pair, two- and three-byte characters
  // and a C1 control, repeated with every shift against the piece size.
  const std::string line = "<ProcessItem Name=\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xC2\x85\"/>\r\n";
  const std::string shown = "<ProcessItem Name=\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80?\"/>\n";
  for (size_t lead = 0; lead < 12; ++lead) {
    std::string utf8(lead, 'x');
    std::string expected(lead, 'x');
    while (expected.size() < 3 * 65536) {
      utf8 += line;
      expected += shown;
    }
    std::vector<std::string> pieces;
    WriteReadableText(Utf16Bytes(utf8), [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
    std::string joined;
    for (const std::string& piece : pieces) {
      EXPECT_LE(piece.size(), 65536u + 8u);
      joined += piece;
    }
    ASSERT_EQ(joined, expected) << "lead " << lead;
    EXPECT_EQ(ReadableText(Utf16Bytes(utf8)), expected);
  }
}

TEST(LargeResponse, LoneSurrogatesAndEndingsMatchTheConversion) {
  const std::u16string units = u"a\xD800" u"b\xDC00\xDBFF";
  EXPECT_EQ(Utf16LeToUtf8(LeBytes(units)), Utf16ToUtf8(units));
  EXPECT_EQ(Utf16LeToUtf8(LeBytes(units) + "z"), Utf16ToUtf8(units));  // odd byte ignored
  EXPECT_EQ(ReadableText(LeBytes(units)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\n");
  EXPECT_EQ(ReadableText(LeBytes(u"a\r")), "a?\n");
  EXPECT_EQ(ReadableText(LeBytes(u"\xFEFF")), "");
  EXPECT_EQ(ReadableText(""), "");
}

TEST(LargeResponse, WholeFilesOfEverySizeReadBack) {
  std::string directory;
  std::string error;
  ASSERT_TRUE(MakeTempDirectory(&directory, &error)) << error;
  const std::string path = JoinPath(directory, "response.xml");
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{3000001}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(WriteWholeFile(path, bytes, &error)) << error;
    std::string read = "stale";
    ASSERT_TRUE(ReadWholeFile(path, &read, &error)) << error;
    EXPECT_EQ(read.size(), size);
    EXPECT_TRUE(read == bytes) << "size " << size;
  }
  RemoveFile(path);
  RemoveEmptyDirectory(directory);
}

}  // namespace
}  // namespace kelvanectl
