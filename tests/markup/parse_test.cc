// The recovering parser: results, messages with their offsets, recovery of
// malformed input, and texts refused because they do not fit the index.
#include <gtest/gtest.h>

#include <string>

#include "markup/xml_doc.h"
#include "markup/xml_doc_internal.h"
#include "markup_test_util.h"
#include "support/test_support.h"

namespace kelvane {

using markup_internal::NameMatches;
using markup_internal::OpenTag;
using markup_internal::ReadToken;
using markup_internal::SkipSpaces;
using markup_internal::TagScanner;
using testing::IndexIsConsistent;
using testing::U8;

namespace {

constexpr uint32_t kFirst = ElementRecord::FIRST_CHILD;
constexpr uint32_t kUnended = ElementRecord::UNENDED;
constexpr uint32_t kHasError = ElementRecord::HAS_ERROR;
constexpr uint32_t kIllFormed = ElementRecord::ILL_FORMED;

struct MessageCase {
  const char16_t* text;
  const char16_t* message;
};

TEST(XmlParse, EmptyTextAndTextWithoutElement) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u""));
  EXPECT_EQ(doc.Messages(), u"Empty document");
  EXPECT_EQ(doc.Record(0).extent, 0);

  EXPECT_FALSE(doc.LoadText(kelvane::testing::kDeclaration));
  EXPECT_EQ(doc.Messages(), u"No root element");
  EXPECT_EQ(doc.NextFreePosition(), 1);
  EXPECT_EQ(doc.Record(0).extent, 56);
  EXPECT_EQ(doc.Record(0).firstChild, 0);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, TwoTopLevelElementsAreBothIndexed) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a/><b/>"));
  EXPECT_EQ(doc.Messages(), u"Root element has sibling");
  EXPECT_EQ(doc.Record(0).firstChild, 1);
  EXPECT_EQ(doc.Record(1).nextSibling, 2);
  EXPECT_EQ(doc.Record(1).prevSibling, 2);
  EXPECT_EQ(doc.Record(2).prevSibling, 1);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, WellFormedDocumentWithOtherMarkup) {
  CXmlDoc doc;
  EXPECT_TRUE(doc.LoadText(u"<?xml version='1.0'?><!-- note --><a>x<![CDATA[<y>]]></a>"));
  EXPECT_EQ(doc.Messages(), u"");
  EXPECT_EQ(doc.NextFreePosition(), 2);
  const ElementRecord& a = doc.Record(1);
  EXPECT_EQ(a.offset, 34);
  EXPECT_EQ(a.extent, 23);
  EXPECT_EQ(a.StartTagLength(), 3);
  EXPECT_EQ(a.EndTagLength(), 4);
  EXPECT_EQ(a.state, kFirst);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, RecordsDescribeNestingAndLevels) {
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(u"  <a>\r\n <b k=\"v\"><c/></b  >text>more<d></d></a>\r\n"));
  const ElementRecord& a = doc.Record(1);
  const ElementRecord& b = doc.Record(2);
  const ElementRecord& c = doc.Record(3);
  const ElementRecord& d = doc.Record(4);
  EXPECT_EQ(a.offset, 2);
  EXPECT_EQ(a.Level(), 0u);
  EXPECT_EQ(b.offset, 8);
  EXPECT_EQ(b.StartTagLength(), 9);
  EXPECT_EQ(b.EndTagLength(), 6);  // white space before '>' counts
  EXPECT_EQ(b.extent, 19);
  EXPECT_EQ(b.Level(), 1u);
  EXPECT_EQ(c.Level(), 2u);
  EXPECT_EQ(c.extent, 4);
  EXPECT_EQ(a.firstChild, 2);
  EXPECT_EQ(b.nextSibling, 4);
  EXPECT_EQ(b.prevSibling, 4);
  EXPECT_EQ(d.prevSibling, 2);
  EXPECT_EQ(d.state & kFirst, 0u);
  EXPECT_EQ(d.extent, 7);
  EXPECT_EQ(doc.Record(0).extent, static_cast<int32_t>(doc.Text().size()));
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, MismatchedEndTagClosesInnerElementAsUnended) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a><b></a>"));
  EXPECT_EQ(doc.Messages(), u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3");
  const ElementRecord& a = doc.Record(1);
  const ElementRecord& b = doc.Record(2);
  EXPECT_EQ(a.extent, 10);
  EXPECT_EQ(b.extent, 3);
  EXPECT_EQ(b.EndTagLength(), 0);
  EXPECT_NE(b.state & kUnended, 0u);
  EXPECT_NE(doc.Record(0).state & kIllFormed, 0u);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, MismatchAcrossSeveralLevelsMovesChildrenUp) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a><b><c><x/></a>"));
  EXPECT_EQ(doc.Messages(), u"End tag 'a' at offset 14 does not match start tag 'c' at offset 6");
  // b and c lose their content: a's children become b, c, x in that order.
  const ElementRecord& a = doc.Record(1);
  EXPECT_EQ(a.firstChild, 2);
  EXPECT_EQ(doc.Record(2).nextSibling, 3);
  EXPECT_EQ(doc.Record(3).nextSibling, 4);
  EXPECT_EQ(doc.Record(4).nextSibling, 0);
  EXPECT_EQ(doc.Record(2).prevSibling, 4);
  EXPECT_EQ(doc.Record(4).parent, 1);
  EXPECT_EQ(doc.Record(3).state & kFirst, 0u);
  EXPECT_EQ(doc.Record(4).state & kFirst, 0u);
  EXPECT_EQ(doc.Record(2).firstChild, 0);
  EXPECT_EQ(doc.Record(3).firstChild, 0);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, StrayEndTagIsDroppedAndMarksItsParent) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a></b></a>"));
  EXPECT_EQ(doc.Messages(), u"No start tag for end tag 'b' at offset 3");
  EXPECT_EQ(doc.Record(1).extent, 11);
  EXPECT_NE(doc.Record(1).state & kHasError, 0u);
  EXPECT_NE(doc.Record(0).state & kIllFormed, 0u);
  // At top level the root record carries the error.
  EXPECT_FALSE(doc.LoadText(u"<a/></b>"));
  EXPECT_NE(doc.Record(0).state & kHasError, 0u);
}

TEST(XmlParse, ErrorMovesUpWithAnUnendedElement) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a><b></x></a>"));
  EXPECT_EQ(doc.Messages(), u"No start tag for end tag 'x' at offset 6");
  EXPECT_EQ(doc.Record(2).state & kHasError, 0u);
  EXPECT_NE(doc.Record(1).state & kHasError, 0u);
  EXPECT_NE(doc.Record(2).state & kUnended, 0u);
}

TEST(XmlParse, ElementOpenAtTheEndIsNotEnded) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a>x"));
  EXPECT_EQ(doc.Messages(), u"Element 'a' at offset 0 not ended");
  EXPECT_EQ(doc.Record(1).extent, 3);
  EXPECT_EQ(doc.Record(1).state, kFirst | kUnended);
  EXPECT_EQ(doc.Record(0).extent, 4);
}

TEST(XmlParse, UnendedElementLetsItsChildrenBecomeSiblings) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<a><b/>"));
  EXPECT_EQ(doc.Messages(), u"Root element has sibling");
  const ElementRecord& a = doc.Record(1);
  EXPECT_EQ(doc.Record(0).firstChild, 1);
  EXPECT_EQ(a.firstChild, 0);
  EXPECT_EQ(a.nextSibling, 2);
  EXPECT_EQ(a.prevSibling, 2);
  EXPECT_NE(a.state & kFirst, 0u);
  EXPECT_EQ(doc.Record(2).parent, 0);
  EXPECT_EQ(doc.Record(2).state & kFirst, 0u);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, DeepUnendedNestingIsFlattened) {
  std::u16string text;
  for (int i = 0; i < 100000; ++i) text += u"<a>";
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(text));
  EXPECT_EQ(doc.Messages(), u"Root element has sibling");
  EXPECT_EQ(doc.Record(100000).parent, 0);
  EXPECT_EQ(doc.Record(1).prevSibling, 100000);
  EXPECT_EQ(doc.Record(70000).Level(), 0xFFFFu);  // deeper levels stay at the field's maximum
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, MalformedMarkupMessages) {
  const MessageCase cases[] = {
      {u"<r><1a/></r>", u"Incorrect tag name character at offset 3"},
      {u"<r>< a/></r>", u"Incorrect tag name character at offset 3"},
      {u"<r><`x></r>", u"Incorrect tag name character at offset 3"},
      {u"<r><!x></r>", u"Incorrect ! tag at offset 3"},
      {u"<r><!-x></r>", u"Incorrect comment tag at offset 3"},
      {u"<r><![x></r>", u"Incorrect tag at offset 3"},
      {u"<r/><!-- x", u"Comment at offset 4 unterminated"},
      {u"<r/><![CDATA[x", u"CDATA Section at offset 4 unterminated"},
      {u"<r/><?pi x", u"Processing instruction at offset 4 unterminated"},
      {u"<r/><!DOCTYPE r [<!ELEMENT r>", u"Doctype at offset 4 unterminated"},
      {u"<r/><!DOCTYPE r [<!-- x", u"Doctype at offset 4 unterminated"},
      {u"<r/><x a='>", u"Element tag at offset 4 unterminated"},
      {u"<r></r", u"Element end tag at offset 3 unterminated"},
      {u"<r/><", u"tag at offset 4 unterminated"},
      {u"<r/><1", u"tag at offset 4 unterminated"},  // replaces the "Incorrect" text
      {u"<r/><!E", u"tag at offset 4 unterminated"},
  };
  for (const MessageCase& c : cases) {
    CXmlDoc doc;
    EXPECT_FALSE(doc.LoadText(c.text)) << U8(c.text);
    EXPECT_EQ(doc.Messages(), c.message) << U8(c.text);
    EXPECT_NE(doc.Record(0).state & kIllFormed, 0u) << U8(c.text);
    EXPECT_TRUE(IndexIsConsistent(doc)) << U8(c.text);
  }
}

TEST(XmlParse, MalformedTokenIsSkippedToItsEnd) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<r><1a/></r>"));
  EXPECT_EQ(doc.NextFreePosition(), 2);
  EXPECT_EQ(doc.Record(1).extent, 12);
  EXPECT_EQ(doc.Record(1).EndTagLength(), 4);
  EXPECT_NE(doc.Record(1).state & kHasError, 0u);
  // A malformed token stops before the next '<'.
  EXPECT_FALSE(doc.LoadText(u"<r><<b/></r>"));
  EXPECT_EQ(doc.Messages(), u"Incorrect tag name character at offset 3");
  EXPECT_EQ(doc.NextFreePosition(), 3);
  EXPECT_EQ(doc.Record(2).offset, 4);
  // Markup declarations outside a document type write no message.
  EXPECT_FALSE(doc.LoadText(u"<r><!ELEMENT x></r>"));
  EXPECT_EQ(doc.Messages(), u"");
  EXPECT_EQ(doc.Record(1).extent, 19);
}

TEST(XmlParse, OnlyFirstMessageSurvivesUnlessRootIsMissing) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<r><1/><!x></r>"));
  EXPECT_EQ(doc.Messages(), u"Incorrect tag name character at offset 3");
  EXPECT_FALSE(doc.LoadText(u"</x><1>"));
  EXPECT_EQ(doc.Messages(), u"No root element");
}

TEST(XmlParse, QuotedGreaterThanDoesNotEndStartTag) {
  CXmlDoc doc;
  EXPECT_TRUE(doc.LoadText(u"<a b='x>y'/>"));
  EXPECT_EQ(doc.NextFreePosition(), 2);
  EXPECT_EQ(doc.Record(1).extent, 12);
  EXPECT_TRUE(doc.LoadText(u"<a b=\"it's>\" c='say \"x>\"'><i/></a>"));
  EXPECT_EQ(doc.NextFreePosition(), 3);
  EXPECT_EQ(doc.Record(1).StartTagLength(), 26);
  // Text may hold '>' without error; '<' inside a start tag does not end it.
  EXPECT_TRUE(doc.LoadText(u"<a>1 > 0</a>"));
  EXPECT_TRUE(doc.LoadText(u"<a b='<'/>"));
}

TEST(XmlParse, CaseOfNames) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(u"<A></a>"));
  EXPECT_EQ(doc.Messages(), u"No start tag for end tag 'a' at offset 3");
  EXPECT_NE(doc.Record(1).state & kUnended, 0u);
  doc.SetDocFlags(CXmlDoc::DOC_IGNORE_CASE);
  EXPECT_TRUE(doc.LoadText(u"<A></a>"));
  EXPECT_EQ(doc.Messages(), u"");
  EXPECT_EQ(doc.Record(1).extent, 7);
}

TEST(XmlParse, EndTagNameMatchesTheStartOfALongerName) {
  CXmlDoc doc;
  // The start tag's name runs to '/', '>' or white space, so '=' stays in it;
  // the end tag 'a' matches because the name continues with '='.
  EXPECT_TRUE(doc.LoadText(u"<a=b></a>"));
  EXPECT_FALSE(doc.LoadText(u"<ab></a>"));
  EXPECT_FALSE(doc.LoadText(u"<a></ab>"));
  EXPECT_FALSE(doc.LoadText(u"<a></>"));
  EXPECT_EQ(doc.Messages(), u"No start tag for end tag '' at offset 3");
}

TEST(XmlParse, DoctypeWithInternalSubset) {
  CXmlDoc doc;
  const std::u16string text =
      u"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!-- a > b --><!ATTLIST r a CDATA \"x>\"><?pi > ?>]><r/>";
  // Quotes are not tracked: the quoted '>' ends the attribute-list
  // declaration and the next '>' the document type; a processing
  // instruction and text follow.
  EXPECT_TRUE(doc.LoadText(text)) << U8(doc.Messages());
  EXPECT_EQ(doc.Record(1).offset, static_cast<int32_t>(text.size()) - 4);
  // A malformed construct inside drops its message with the declaration.
  EXPECT_TRUE(doc.LoadText(u"<!DOCTYPE r [<![x]><!Dx>]><r/>"));
  EXPECT_EQ(doc.Messages(), u"");
}

TEST(XmlParse, TerminatorsAndShortConstructs) {
  CXmlDoc doc;
  EXPECT_TRUE(doc.LoadText(u"<!--><r/>"));  // the opening dashes close it
  EXPECT_EQ(doc.Record(1).offset, 5);
  EXPECT_TRUE(doc.LoadText(u"<r><?x?><![CDATA[]]]]><!----></r>"));
  // A '>' at an offset no greater than the terminator's length never ends a
  // processing instruction, so '<?>' at the start runs on to the next '?>'.
  EXPECT_TRUE(doc.LoadText(u"<?><x/>?><r/>"));
  EXPECT_EQ(doc.NextFreePosition(), 2);
  EXPECT_EQ(doc.Record(1).offset, 9);
}

TEST(XmlParse, ReadTokenKindsAndLengths) {
  const std::u16string text = u" \t<a x='1'>text><!--c--><?p d?></a><b/><![CDATA[z]]><!DOCTYPE d>";
  TagScanner scanner;
  scanner.text = text.data();
  scanner.textLength = static_cast<int32_t>(text.size());
  OpenTag entry;
  struct Expected {
    int32_t kind;
    int32_t length;
  };
  const Expected expected[] = {{markup_internal::TOKEN_WHITESPACE, 2}, {markup_internal::TOKEN_START_TAG, 9}, {markup_internal::TOKEN_TEXT, 5}, {markup_internal::TOKEN_COMMENT, 8},
                               {markup_internal::TOKEN_PI, 7},         {markup_internal::TOKEN_END_TAG, 4},   {markup_internal::TOKEN_START_TAG, 4},
                               {markup_internal::TOKEN_CDATA, 13},     {markup_internal::TOKEN_DOCTYPE, 12},  {markup_internal::TOKEN_END_OF_TEXT, 0}};
  int32_t offset = 0;
  for (const Expected& e : expected) {
    EXPECT_EQ(ReadToken(scanner, entry), e.kind) << offset;
    EXPECT_EQ(entry.start, offset);
    EXPECT_EQ(entry.length, e.length) << offset;
    if (e.kind == markup_internal::TOKEN_START_TAG) {
      EXPECT_EQ(entry.name, offset == 2 ? u"a" : u"b");
      EXPECT_EQ(entry.tagFlags, offset == 2 ? 0u : OpenTag::EMPTY_ELEMENT + 0u);
    }
    if (e.kind == markup_internal::TOKEN_PI) {
      EXPECT_EQ(entry.name, u"p");
    }
    if (e.kind == markup_internal::TOKEN_END_TAG) {
      EXPECT_EQ(scanner.wordFirst, offset + 2);
      EXPECT_EQ(scanner.wordLast, offset + 2);
    }
    offset += e.length;
  }
}

TEST(XmlParse, SkipSpacesAndNameMatches) {
  const std::u16string text = u" \r\n\tab";
  int32_t offset = 0;
  EXPECT_TRUE(SkipSpaces(text.data(), 6, &offset));
  EXPECT_EQ(offset, 4);
  offset = 0;
  EXPECT_FALSE(SkipSpaces(text.data(), 3, &offset));
  EXPECT_EQ(offset, 3);
  TagScanner scanner;
  scanner.text = text.data();
  scanner.wordFirst = 4;
  scanner.wordLast = 5;
  EXPECT_TRUE(NameMatches(scanner, u"ab"));
  EXPECT_TRUE(NameMatches(scanner, u"ab[x]"));
  EXPECT_TRUE(NameMatches(scanner, u"ab x"));
  EXPECT_FALSE(NameMatches(scanner, u"abc"));
  EXPECT_FALSE(NameMatches(scanner, u"a"));
  EXPECT_FALSE(NameMatches(scanner, u"AB"));
  scanner.scanFlags = CXmlDoc::DOC_IGNORE_CASE;
  EXPECT_TRUE(NameMatches(scanner, u"AB"));
}

TEST(XmlParse, LongestTagsThatFitTheirFieldsAreIndexed) {
  CXmlDoc doc;
  std::u16string startTag = u"<a" + std::u16string(ElementRecord::kMaxStartTagLength - 3, u' ') + u">";
  ASSERT_TRUE(doc.LoadText(u"<r>" + startTag + u"</a></r>"));
  EXPECT_EQ(doc.Record(2).StartTagLength(), ElementRecord::kMaxStartTagLength);
  EXPECT_TRUE(IndexIsConsistent(doc));
  std::u16string endTag = u"</a" + std::u16string(ElementRecord::kMaxEndTagLength - 4, u' ') + u">";
  ASSERT_TRUE(doc.LoadText(u"<a>" + endTag));
  EXPECT_EQ(doc.Record(1).EndTagLength(), ElementRecord::kMaxEndTagLength);
  EXPECT_EQ(doc.Record(1).StartTagLength(), 3);
}

TEST(XmlParse, TagsTooLongForTheirFieldsAreRefused) {
  CXmlDoc doc;
  std::u16string startTag = u"<a" + std::u16string(ElementRecord::kMaxStartTagLength - 2, u' ') + u">";
  EXPECT_FALSE(doc.LoadText(u"<r>" + startTag + u"</a></r>"));
  EXPECT_EQ(doc.Messages(), u"Element tag at offset 3 too long");
  EXPECT_TRUE(doc.Text().empty());
  EXPECT_EQ(doc.NextFreePosition(), 1);
  EXPECT_TRUE(IndexIsConsistent(doc));

  std::u16string endTag = u"</a" + std::u16string(ElementRecord::kMaxEndTagLength - 3, u' ') + u">";
  EXPECT_FALSE(doc.LoadText(u"<a>" + endTag));
  EXPECT_EQ(doc.Messages(), u"Element end tag at offset 3 too long");
  EXPECT_TRUE(doc.Text().empty());
  EXPECT_TRUE(IndexIsConsistent(doc));
  // The refused document is an ordinary empty document.
  EXPECT_TRUE(doc.AddElement(u"x"));
  EXPECT_EQ(doc.Text(), u"<x/>\r\n");
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, StrayEndTagOverTheLimitIsDroppedLikeAnyStrayEndTag) {
  CXmlDoc doc;
  const std::u16string name(ElementRecord::kMaxEndTagLength, u'x');
  const std::u16string text = u"<a><b/></" + name + u"></a>";
  EXPECT_FALSE(doc.LoadText(text));
  EXPECT_EQ(doc.Text(), text);
  EXPECT_EQ(doc.Messages(), u"No start tag for end tag '" + name + u"' at offset 7");
  ASSERT_EQ(doc.NextFreePosition(), 3);
  EXPECT_EQ(doc.Record(1).EndTagLength(), 4);
  EXPECT_NE(doc.Record(1).state & ElementRecord::HAS_ERROR, 0u);
  EXPECT_NE(doc.Record(0).state & ElementRecord::ILL_FORMED, 0u);
  EXPECT_TRUE(IndexIsConsistent(doc));
  // Top level too.
  EXPECT_FALSE(doc.LoadText(u"<a/></" + name + u">"));
  EXPECT_EQ(doc.NextFreePosition(), 2);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, TextLongerThanTheLimitIsRefused) {
  CXmlDoc doc;
  doc.SetTextLimitForTesting(10);
  EXPECT_TRUE(doc.LoadText(u"<abcdefg/>"));  // 10 characters
  EXPECT_EQ(doc.Text().size(), 10u);
  EXPECT_FALSE(doc.LoadText(u"<abcdefgh/>"));
  EXPECT_EQ(doc.Messages(), u"Text too long for the element index");
  EXPECT_TRUE(doc.Text().empty());
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlParse, BuildIndexKeepsEarlierMessages) {
  kelvane::testing::TempDir dir;
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(u"<a/>"));
  ASSERT_TRUE(doc.SaveFile(kelvane::Utf8ToUtf16(dir.File("a.xml"))));
  EXPECT_TRUE(doc.BuildIndex());
  EXPECT_EQ(doc.Messages(), u"4 wide chars to 4 bytes");
  ASSERT_TRUE(doc.SaveFile(kelvane::Utf8ToUtf16(dir.File("a.xml"))));
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 4, 0, u"<b/>"));
  EXPECT_FALSE(doc.BuildIndex());
  EXPECT_EQ(doc.Messages(), u"4 wide chars to 4 bytes, Root element has sibling");
}

}  // namespace

}  // namespace kelvane
