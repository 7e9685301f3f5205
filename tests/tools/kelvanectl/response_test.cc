#include "response.h"

#include "table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "fixtures.h"
#include "tool_test_util.h"

namespace kelvanectl {
namespace {

using kelvane_tool_test::Utf16Bytes;

ResponseDocument MustParse(const std::string& utf8) {
  ResponseDocument doc;
  std::string error;
  EXPECT_TRUE(ParseResponse(Utf16Bytes(utf8), &doc, &error)) << error;
  return doc;
}

TEST(ResponseParser, StopExample) {
  ResponseDocument doc = MustParse(kelvane_tool_fixtures::kStopExample);
  ASSERT_EQ(doc.elements.size(), 5u);
  EXPECT_EQ(doc.elements[0].name, "ZEV_StopProcess_KLVResponse");
  int detail = doc.Child(0, "detail");
  ASSERT_EQ(detail, 1);
  std::vector<int> items = doc.Children(detail, "ProcessItem");
  ASSERT_EQ(items.size(), 2u);
  const XmlElement& second = doc.elements[static_cast<size_t>(items[1])];
  EXPECT_EQ(second.depth, 2);
  ASSERT_EQ(second.attributes.size(), 4u);
  EXPECT_EQ(second.attributes[0].name, "PID");
  EXPECT_EQ(second.attributes[0].value, "5678");
  EXPECT_EQ(second.Get("priority"), "-1");
  EXPECT_EQ(second.Get("nResult"), "1");
  EXPECT_EQ(second.Get("ErrMsg"), "TerminateProcFailed");
  EXPECT_EQ(second.Find("missing"), nullptr);
  int result = doc.Child(0, "Result");
  ASSERT_GT(result, 0);
  EXPECT_EQ(doc.elements[static_cast<size_t>(result)].Get("DateTime"), "2009-07-27 14:05:09");
  EXPECT_EQ(doc.elements[static_cast<size_t>(result)].Get("cmdName"), "ZEV_StopProcess_KLV");
}

TEST(ResponseParser, ModuleExampleNestsModulesUnderTheirProcess) {
  ResponseDocument doc = MustParse(kelvane_tool_fixtures::kModuleExample);
  std::vector<int> items = doc.Children(doc.Child(0, "detail"), "ProcessItem");
  ASSERT_EQ(items.size(), 1u);
  std::vector<int> modules = doc.Children(items[0], "ModuleItem");
  ASSERT_EQ(modules.size(), 2u);
  const XmlElement& tool = doc.elements[static_cast<size_t>(modules[0])];
  EXPECT_EQ(tool.Get("Path"), "C:\\Tools\\tool.exe");
  EXPECT_EQ(tool.Get("ModifyTime"), "2009-07-20 10:15:00");
  EXPECT_EQ(doc.elements[static_cast<size_t>(modules[1])].Get("Publisher", "x"), "");
}

TEST(ResponseParser, ErrorResponseKeepsItsChineseText) {
  ResponseDocument doc = MustParse(kelvane_tool_fixtures::kErrorExample);
  ASSERT_EQ(doc.elements.size(), 2u);
  EXPECT_EQ(doc.elements[1].Get("ErrMsg"), "命令文件错误,请检查输入的Cmd文件信息!");
}

TEST(ResponseParser, DecodesEntitiesAndCharacterReferences) {
  ResponseDocument doc = MustParse(
      "<r a='&lt;a&gt; &amp; &apos;b&apos; &quot;c&quot;' b='&#65;&#x4E2D;&#x1F600;&#x263a;' c='&amp;lt;'/>");
  EXPECT_EQ(doc.elements[0].Get("a"), "<a> & 'b' \"c\"");
  EXPECT_EQ(doc.elements[0].Get("b"), "A中\xF0\x9F\x98\x80\u263A");
  EXPECT_EQ(doc.elements[0].Get("c"), "&lt;");

  doc = MustParse("<r a='&lt;x&gt;' b=\"&#x263A;\"/>");
  EXPECT_EQ(doc.elements[0].Get("a"), "<x>");
  EXPECT_EQ(doc.elements[0].Get("b"), "\u263A");
}

TEST(ResponseParser, WhiteSpaceInValuesSurvivesOnlyAsReferences) {
  // The library writes tab, LF and CR in values as references; written
  // as they are, XML reads them as spaces (CR LF as one).
  ResponseDocument doc = MustParse("<r a='x&#9;y&#10;z&#13;' b='p\tq\r\nr\ns'/>");
  EXPECT_EQ(doc.elements[0].Get("a"), "x\ty\nz\r");
  EXPECT_EQ(doc.elements[0].Get("b"), "p q r s");
}

TEST(ResponseParser, SurrogatePairsAndLoneSurrogates) {
  const std::string bytes = "\xFF\xFE" + kelvane_tool_test::LeBytes(u"<r a=\"\U0001F600\xD800x\"/>");
  ResponseDocument doc;
  std::string error;
  ASSERT_TRUE(ParseResponse(bytes, &doc, &error)) << error;
  EXPECT_EQ(doc.elements[0].Get("a"), "\xF0\x9F\x98\x80\uFFFDx");
}

TEST(ResponseParser, RefusesMalformedDocuments) {
  const char* const kBad[] = {
      "",
      "just text",
      "<?xml version=\"1.0\"?>",
      "<r>",                       // never closed
      "<r><a></r>",                // mismatched
      "<r></a>",                   // wrong end tag
      "</r>",                      // end without start
      "<r a=\"1/>",                // unterminated value
      "<r a=1/>",                  // unquoted
      "<r a/>",                    // no value
      "<r a=\"<\"/>",              // '<' in a value
      "<r a=\"1\"b=\"2\"/>",       // no separator
      "<r/><s/>",                  // two roots
      "<r",                        // cut inside a tag
      "<r a=\"1\" /",              // stray slash at the end
      "< r/>",                     // no name
      "<!-- open comment <r/>",
      // What XML does not allow in a value: unknown entities, a bare '&',
      // references that are cut, malformed or name no XML character.
      "<r a=\"&foo;\"/>", "<r a=\"& \"/>", "<r a=\"&amp\"/>", "<r a=\"&#;\"/>", "<r a=\"&#x;\"/>",
      "<r a=\"&#12a;\"/>", "<r a=\"&#X41;\"/>", "<r a=\"&#-1;\"/>", "<r a=\"&#0;\"/>", "<r a=\"&#1;\"/>",
      "<r a=\"&#xD800;\"/>", "<r a=\"&#xFFFE;\"/>", "<r a=\"&#x110000;\"/>", "<r a=\"&#9999999999;\"/>",
      "<r a=\"&lt;\" b=\"<\"/>",
  };
  for (const char* text : kBad) {
    ResponseDocument doc;
    std::string error;
    EXPECT_FALSE(ParseResponse(Utf16Bytes(text), &doc, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // A NUL anywhere, where pugixml would end the text.
  ResponseDocument doc;
  std::string error;
  EXPECT_FALSE(ParseResponse(Utf16Bytes(std::string("<r/>\0<s/>", 9)), &doc, &error));
  EXPECT_EQ(error, "a NUL character on line 1");
}

TEST(ResponseParser, SaysWhatIsWrongAndOnWhichLine) {
  const std::pair<const char*, const char*> kCases[] = {
      {"<r>\r\n<a>\r\n</r>\r\n", "a missing or mismatched end tag on line 3"},
      {"<r>\r\n<a/>\r\n", "a missing or mismatched end tag on line 2"},  // cut short
      {"<r>\r\n<a b='1'c='2'/>\r\n</r>", "a malformed attribute on line 2"},
      {"<r>\r\n<a b='1' c='&x;'/>\r\n</r>", "attribute c of <a> holds a '<' or a malformed reference on line 2"},
      {"<r/>\r\n<s/>", "a second top-level element on line 2"},
      {"<?xml version='1.0'?>\r\n", "the response holds no element"},
  };
  for (const auto& [text, expected] : kCases) {
    ResponseDocument doc;
    std::string error;
    EXPECT_FALSE(ParseResponse(Utf16Bytes(text), &doc, &error)) << text;
    EXPECT_EQ(error, expected) << text;
  }
}

TEST(ResponseParser, RefusesBytesThatAreNotUtf16LeWithMark) {
  ResponseDocument doc;
  std::string error;
  EXPECT_FALSE(ParseResponse("<r/>", &doc, &error));
  EXPECT_FALSE(ParseResponse(std::string("\xFE\xFF\0<", 4), &doc, &error));
  EXPECT_FALSE(ParseResponse(Utf16Bytes("<r/>") + "x", &doc, &error));  // odd count
  EXPECT_FALSE(ParseResponse(std::string("\xFF\xFE", 2), &doc, &error));
  EXPECT_NE(error.find("no element"), std::string::npos);
}

TEST(ResponseParser, EveryTruncationIsRefusedAndStillFormats) {
  // A response cut short (a full disk, a crashed writer) must be reported,
  // and whatever was read must still be safe to show.
  for (const char* fixture : {kelvane_tool_fixtures::kStopExample, kelvane_tool_fixtures::kModuleExample,
                              kelvane_tool_fixtures::kProcessList}) {
    std::string bytes = Utf16Bytes(fixture);
    size_t complete = bytes.size() - 4;  // everything up to the final CRLF
    for (size_t length = 0; length < bytes.size(); ++length) {
      ResponseDocument doc;
      std::string error;
      bool ok = ParseResponse(bytes.substr(0, length), &doc, &error);
      EXPECT_EQ(ok, length >= complete && length % 2 == 0) << length;
      for (const XmlElement& e : doc.elements) EXPECT_LT(e.parent, static_cast<int>(doc.elements.size()));
      FormatTable(doc, 80);
      ReadableText(bytes.substr(0, length));
    }
  }
}

TEST(ResponseParser, SkipsCommentsDoctypeAndText) {
  ResponseDocument doc = MustParse("<!DOCTYPE r><!-- c --><r>text<a x='1'>more</a>\r\n<b/></r>");
  ASSERT_EQ(doc.elements.size(), 3u);
  EXPECT_EQ(doc.elements[2].name, "b");
  EXPECT_EQ(doc.elements[2].parent, 0);
}

TEST(ReadableText, DropsTheMarkAndTurnsCrLfIntoLf) {
  std::string text = ReadableText(Utf16Bytes(kelvane_tool_fixtures::kErrorExample));
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\n"
            "<Result DateTime=\"2009-07-27 14:05:09\" nResult=\"1\" "
            "ErrMsg=\"命令文件错误,请检查输入的Cmd文件信息!\"/>\n"
            "</Response>\n");
}

TEST(ReadableText, ShowsControlCharactersAsQuestionMarks) {
  // An escape sequence in a process's command line must not reach the terminal.
  EXPECT_EQ(ReadableText(Utf16Bytes("<r a=\"\x1b[2J\x07\u0085\"/>")), "<r a=\"?[2J??\"/>\n");
  EXPECT_EQ(ReadableText(Utf16Bytes("a\tb\r\nc\rd")), "a\tb\nc?d\n");
}

}  // namespace
}  // namespace kelvanectl
