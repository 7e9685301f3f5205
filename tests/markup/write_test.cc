// Element and attribute writing: exact texts, index consistency after every
// edit, limits, and markup encoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "markup/xml_doc.h"
#include "markup_test_util.h"

namespace kelvane {

using testing::IndexIsConsistent;
using testing::IndexMatchesReparse;
using testing::kDeclaration;
using testing::U8;

namespace {

constexpr uint32_t kChild = CXmlDoc::ADD_CHILD;

// A document loaded from `text` whose element at `current` is current.
void LoadWithCurrent(CXmlDoc& doc, const std::u16string& text, int32_t current, int32_t child = 0) {
  doc.LoadText(text);
  CXmlDocTestAccess::SetPositions(doc, doc.Record(current).parent, current, child);
}

TEST(XmlWrite, ResponseSequenceWritesOneElementPerLine) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(kDeclaration));
  ASSERT_TRUE(doc.AddElement(u"a", 0));
  ASSERT_TRUE(doc.AddElement(u"b", kChild));
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.AddElement(u"c", kChild));
  ASSERT_TRUE(doc.SetAttribute(doc.ChildPosition(), u"k", u"1<2"));
  ASSERT_TRUE(doc.AddElement(u"c", kChild));
  ASSERT_TRUE(doc.OutOfElement());
  ASSERT_TRUE(doc.AddElement(u"d", kChild));
  EXPECT_EQ(doc.Text(), kDeclaration +
                            u"<a>\r\n<b>\r\n<c k=\"1&lt;2\"/>\r\n<c/>\r\n</b>\r\n<d/>\r\n</a>\r\n");
  EXPECT_TRUE(IndexMatchesReparse(doc));
  CXmlDoc check;
  EXPECT_TRUE(check.LoadText(doc.Text()));
  // Levels follow the nesting.
  EXPECT_EQ(doc.Record(1).Level(), 0u);
  EXPECT_EQ(doc.Record(3).Level(), 2u);
}

TEST(XmlWrite, FirstChildOfAnEmptyElementForm) {
  struct Case {
    const char16_t* text;
    uint32_t flags;
    const char16_t* expected;
  } cases[] = {
      {u"<x/>", 0, u"<x>\r\n<new/>\r\n</x>"},
      {u"<x />", 0, u"<x >\r\n<new/>\r\n</x>"},
      {u"<x/>", CXmlDoc::ADD_NO_LINE_BREAK, u"<x><new/></x>"},
      {u"<x></x>", 0, u"<x>\r\n<new/>\r\n</x>"},
      {u"<x></x>", CXmlDoc::ADD_NO_LINE_BREAK, u"<x><new/></x>"},
      {u"<x>  </x>", 0, u"<x>  <new/>\r\n</x>"},
      {u"<x a='1'/>", CXmlDoc::ADD_SPACE_SLASH, u"<x a='1'>\r\n<new />\r\n</x>"},
      {u"<x/>", CXmlDoc::ADD_START_TAG_ONLY, u"<x>\r\n<new>\r\n</x>"},
      {u"<x/>", CXmlDoc::ADD_BEFORE, u"<x>\r\n<new/>\r\n</x>"},
      // Every slash before the '>' goes, else the tag still reads as empty.
      {u"<x k=//>", 0, u"<x k=>\r\n<new/>\r\n</x>"},
      {u"<x ///>", CXmlDoc::ADD_NO_LINE_BREAK, u"<x ><new/></x>"},
  };
  for (const Case& c : cases) {
    CXmlDoc doc;
    LoadWithCurrent(doc, c.text, 1);
    ASSERT_TRUE(doc.AddElement(u"new", kChild | c.flags)) << U8(c.text);
    EXPECT_EQ(doc.Text(), c.expected) << U8(c.text);
    const ElementRecord& n = doc.Record(doc.ChildPosition());
    EXPECT_EQ(doc.Text()[static_cast<size_t>(n.offset)], u'<');
    EXPECT_EQ(n.state & ElementRecord::FIRST_CHILD, ElementRecord::FIRST_CHILD + 0u);
    EXPECT_EQ(n.prevSibling, doc.ChildPosition());
    // A start tag without end leaves a text that no longer parses cleanly.
    if (c.flags & CXmlDoc::ADD_START_TAG_ONLY) {
      EXPECT_TRUE(IndexIsConsistent(doc)) << U8(c.text);
    } else {
      EXPECT_TRUE(IndexMatchesReparse(doc)) << U8(c.text);
    }
  }
}

TEST(XmlWrite, FirstChildOfAnUnendedElementEndsIt) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.LoadText(kDeclaration));
  ASSERT_TRUE(doc.AddElement(u"x", CXmlDoc::ADD_START_TAG_ONLY));
  EXPECT_EQ(doc.Text(), kDeclaration + u"<x>\r\n");
  const int32_t x = doc.CurrentPosition();
  EXPECT_NE(doc.Record(x).state & ElementRecord::UNENDED, 0u);
  ASSERT_TRUE(doc.AddElement(u"new", kChild));
  EXPECT_EQ(doc.Text(), kDeclaration + u"<x>\r\n<new/>\r\n</x>\r\n");
  EXPECT_EQ(doc.Record(x).state & ElementRecord::UNENDED, 0u);
  EXPECT_EQ(doc.Record(x).StartTagLength(), 3);
  EXPECT_EQ(doc.Record(x).EndTagLength(), 4);
  EXPECT_TRUE(IndexMatchesReparse(doc));

  CXmlDoc loaded;
  LoadWithCurrent(loaded, u"<x>", 1);
  ASSERT_TRUE(loaded.AddElement(u"new", kChild | CXmlDoc::ADD_NO_LINE_BREAK));
  EXPECT_EQ(loaded.Text(), u"<x><new/></x>");
  EXPECT_TRUE(IndexMatchesReparse(loaded));
}

TEST(XmlWrite, LaterChildrenGoAfterTheLastLineBreak) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<x>\r\n<a/>\r\n</x>", 1, 2);
  ASSERT_TRUE(doc.AddElement(u"b", kChild));  // after the current child a
  EXPECT_EQ(doc.Text(), u"<x>\r\n<a/>\r\n<b/>\r\n</x>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
  CXmlDocTestAccess::SetPositions(doc, 0, 1, 0);
  ASSERT_TRUE(doc.AddElement(u"c", kChild));  // no current child: last
  EXPECT_EQ(doc.Text(), u"<x>\r\n<a/>\r\n<b/>\r\n<c/>\r\n</x>");
  EXPECT_EQ(doc.Record(2).prevSibling, doc.ChildPosition());
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, AddingBeforeTheReference) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<x>\r\n<a/>\r\n<b/>\r\n</x>", 1, 3);
  ASSERT_TRUE(doc.AddElement(u"m", kChild | CXmlDoc::ADD_BEFORE));  // before b
  EXPECT_EQ(doc.Text(), u"<x>\r\n<a/>\r\n<m/>\r\n<b/>\r\n</x>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
  CXmlDocTestAccess::SetPositions(doc, 0, 1, 2);
  ASSERT_TRUE(doc.AddElement(u"f", kChild | CXmlDoc::ADD_BEFORE));  // before a: new first child
  EXPECT_EQ(doc.Text(), u"<x>\r\n<f/>\r\n<a/>\r\n<m/>\r\n<b/>\r\n</x>");
  const int32_t f = doc.ChildPosition();
  EXPECT_EQ(doc.Record(1).firstChild, f);
  EXPECT_EQ(doc.Record(2).state & ElementRecord::FIRST_CHILD, 0u);
  EXPECT_EQ(doc.Record(f).prevSibling, 3);
  EXPECT_TRUE(IndexMatchesReparse(doc));
  CXmlDocTestAccess::SetPositions(doc, 0, 1, 0);
  ASSERT_TRUE(doc.AddElement(u"g", kChild | CXmlDoc::ADD_BEFORE));  // no reference: first in content
  EXPECT_EQ(doc.Text(), u"<x>\r\n<g/>\r\n<f/>\r\n<a/>\r\n<m/>\r\n<b/>\r\n</x>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, SiblingModeFollowsTheCurrentElement) {
  CXmlDoc doc;
  doc.LoadText(kDeclaration);
  ASSERT_TRUE(doc.AddElement(u"r"));
  ASSERT_TRUE(doc.AddElement(u"a", kChild));
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.AddElement(u"b"));  // after a, under r
  EXPECT_EQ(doc.ChildPosition(), 0);
  ASSERT_TRUE(doc.AddElement(u"c", CXmlDoc::ADD_NO_LINE_BREAK));
  EXPECT_EQ(doc.Text(), kDeclaration + u"<r>\r\n<a/>\r\n<b/><c/>\r\n</r>\r\n");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, TextContentKeepsItsPlace) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<x><a/>text</x>", 1, 2);
  ASSERT_TRUE(doc.AddElement(u"n", kChild));
  EXPECT_EQ(doc.Text(), u"<x><a/><n/>\r\ntext</x>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, AddChildNeedsACurrentElement) {
  CXmlDoc doc;
  doc.LoadText(kDeclaration);
  const std::u16string before = doc.Text();
  EXPECT_FALSE(doc.AddElement(u"a", kChild));
  EXPECT_EQ(doc.Text(), before);
  EXPECT_EQ(doc.NextFreePosition(), 1);
}

TEST(XmlWrite, SetAttributeReplacesOrAppends) {
  struct Case {
    const char16_t* text;
    const char16_t* name;
    const char16_t* value;
    const char16_t* expected;
  } cases[] = {
      {u"<a k='old' j=\"2\"/>", u"k", u"new", u"<a k=\"new\" j=\"2\"/>"},
      {u"<a j=\"2\" k = \"old\">t</a>", u"k", u"v", u"<a j=\"2\" k = \"v\">t</a>"},
      {u"<a x=\"1\" />", u"k", u"v", u"<a x=\"1\" k=\"v\" />"},
      {u"<a\r\n\tx='1'\r\n>t</a>", u"k", u"v", u"<a\r\n\tx='1' k=\"v\"\r\n>t</a>"},
      {u"<a k=old>t</a>", u"k", u"new", u"<a k=\"new\">t</a>"},
      {u"<a key='1'/>", u"k", u"v", u"<a key='1' k=\"v\"/>"},
      {u"<a k/>", u"k", u"v", u"<a k=\"v\"/>"},
      {u"<a k j='1'/>", u"k", u"v", u"<a k=\"v\" j='1'/>"},
      {u"<a k 'x'/>", u"k", u"v", u"<a k=\"v\" 'x'/>"},
      {u"<a k=v/>", u"k", u"new", u"<a k=\"new\"/>"},
      {u"<a k=/>", u"k", u"new", u"<a k=\"new\"/>"},
      // A name whose '=' ends the tag: no stray '=' stays behind.
      {u"<a k= >t</a>", u"k", u"v", u"<a k=\"v\" >t</a>"},
      {u"<a k=>t</a>", u"k", u"v", u"<a k=\"v\">t</a>"},
      {u"<a j='1' k\t=\r\n>t</a>", u"k", u"v", u"<a j='1' k=\"v\"\r\n>t</a>"},
      {u"<a k=v/>", u"z", u"1", u"<a k=v z=\"1\"/>"},
      {u"<a/>", u"a", u"v", u"<a a=\"v\"/>"},  // the element's own name is no attribute
      {u"<a k=\"\"/>", u"k", u"", u"<a k=\"\"/>"},
  };
  for (const Case& c : cases) {
    CXmlDoc doc;
    LoadWithCurrent(doc, c.text, 1);
    ASSERT_TRUE(doc.SetAttribute(1, c.name, c.value)) << U8(c.text);
    EXPECT_EQ(doc.Text(), c.expected) << U8(c.text);
    EXPECT_TRUE(IndexMatchesReparse(doc)) << U8(c.text);
  }
}

TEST(XmlWrite, SetAttributeMovesWhatFollows) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<r><a k='1'><b/></a><c/></r>", 2);
  ASSERT_TRUE(doc.SetAttribute(2, u"k", u"longer value"));
  ASSERT_TRUE(doc.SetAttribute(2, u"m", u"x"));
  ASSERT_TRUE(doc.SetAttribute(3, u"z", u""));
  EXPECT_EQ(doc.Text(), u"<r><a k=\"longer value\" m=\"x\"><b z=\"\"/></a><c/></r>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
  EXPECT_EQ(doc.CurrentPosition(), 2);
}

TEST(XmlWrite, RepeatedAttributesOnOneElement) {
  // New attributes set one after another, then replaced, in any order: the
  // result is what a fresh search of the tag gives every time.
  CXmlDoc doc;
  doc.LoadText(kDeclaration);
  doc.AddElement(u"r");
  doc.AddElement(u"item", kChild);
  const int32_t item = doc.ChildPosition();
  ASSERT_TRUE(doc.SetAttribute(item, u"name", u"1"));
  ASSERT_TRUE(doc.SetAttribute(item, u"PID", u"2"));
  ASSERT_TRUE(doc.SetAttribute(item, u"na", u"3"));  // a prefix of "name" is another attribute
  ASSERT_TRUE(doc.SetAttribute(item, u"name", u"4"));
  ASSERT_TRUE(doc.SetAttribute(item, u"x y", u"5"));  // writes the names x and y
  ASSERT_TRUE(doc.SetAttribute(item, u"y", u"6"));
  ASSERT_TRUE(doc.SetAttribute(item, u"PID", u"7"));
  doc.SetDocFlags(CXmlDoc::DOC_IGNORE_CASE);
  ASSERT_TRUE(doc.SetAttribute(item, u"pid", u"8"));
  doc.SetDocFlags(0);
  ASSERT_TRUE(doc.AddElement(u"next", kChild));
  ASSERT_TRUE(doc.SetAttribute(item, u"late", u"9"));
  ASSERT_TRUE(doc.SetAttribute(doc.ChildPosition(), u"name", u"10"));
  EXPECT_EQ(doc.Text(), kDeclaration + u"<r>\r\n<item name=\"4\" PID=\"8\" na=\"3\" x y=\"6\" late=\"9\"/>\r\n"
                                       u"<next name=\"10\"/>\r\n</r>\r\n");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, SetAttributeRefusals) {
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  EXPECT_FALSE(doc.SetAttribute(1, u"k", u"v"));  // no current element after a load
  CXmlDocTestAccess::SetPositions(doc, 0, 1, 0);
  EXPECT_FALSE(doc.SetAttribute(0, u"k", u"v"));
  EXPECT_FALSE(doc.SetAttribute(2, u"k", u"v"));  // not a taken position
  EXPECT_FALSE(doc.SetAttribute(-1, u"k", u"v"));
  EXPECT_EQ(doc.Text(), u"<a/>");
}

TEST(XmlWrite, SetAttributeIgnoresCaseWhenAsked) {
  CXmlDoc doc;
  doc.SetDocFlags(CXmlDoc::DOC_IGNORE_CASE);
  LoadWithCurrent(doc, u"<a K='1'/>", 1);
  ASSERT_TRUE(doc.SetAttribute(1, u"k", u"2"));
  EXPECT_EQ(doc.Text(), u"<a K=\"2\"/>");
}

TEST(XmlWrite, SetAttributeStaysInsideTheStartTag) {
  // Quotes that the parser balances differently must not lead the search
  // past the tag's '>'.
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<r><a b\"c '>x\"><i/></a></r>", 2);
  ASSERT_TRUE(doc.SetAttribute(2, u"k", u"v"));
  EXPECT_TRUE(IndexIsConsistent(doc));
  LoadWithCurrent(doc, u"<r><a b\"c k='1 >x\"><i/></a></r>", 2);
  ASSERT_TRUE(doc.SetAttribute(2, u"k", u"v"));
  EXPECT_EQ(doc.Text(), u"<r><a b\"c k=\"v\"><i/></a></r>");
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlWrite, AttributeValuesAreEncoded) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<a/>", 1);
  ASSERT_TRUE(doc.SetAttribute(1, u"k", u"<&>'\""));
  EXPECT_EQ(doc.Text(), u"<a k=\"&lt;&amp;&gt;&apos;&quot;\"/>");
  ASSERT_TRUE(doc.SetAttribute(1, u"k", u"&amp;"));
  EXPECT_EQ(doc.Text(), u"<a k=\"&amp;amp;\"/>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, EncodeMarkup) {
  EXPECT_EQ(EncodeMarkup(u"<&>'\"", 0), u"&lt;&amp;&gt;'\"");
  EXPECT_EQ(EncodeMarkup(u"<&>'\"", ENCODE_ATTRIBUTE), u"&lt;&amp;&gt;&apos;&quot;");
  EXPECT_EQ(EncodeMarkup(u"a &lt; b & c", ENCODE_KEEP_ENTITIES), u"a &lt; b &amp; c");
  EXPECT_EQ(EncodeMarkup(u"&#x41;&_a-.1;&:x;&\u00e9;", ENCODE_KEEP_ENTITIES), u"&#x41;&_a-.1;&:x;&\u00e9;");
  EXPECT_EQ(EncodeMarkup(u"&1; &; &a &a b;", ENCODE_KEEP_ENTITIES), u"&amp;1; &amp;; &amp;a &amp;a b;");
  EXPECT_EQ(EncodeMarkup(u"'&quot;'", ENCODE_ATTRIBUTE | ENCODE_KEEP_ENTITIES), u"&apos;&quot;&apos;");
  EXPECT_EQ(EncodeMarkup(u"", ENCODE_ATTRIBUTE), u"");
  EXPECT_EQ(EncodeMarkup(u"\u4e2d\u6587", ENCODE_ATTRIBUTE), u"\u4e2d\u6587");
  std::u16string many(1000, u'&');
  EXPECT_EQ(EncodeMarkup(many, 0).size(), 5000u);
}

// Every unit XML 1.0 forbids becomes U+FFFD; white space in attribute
// values becomes a character reference; everything else passes unchanged.
TEST(XmlWrite, EncodingNeverEmitsAForbiddenUnit) {
  const std::u16string controls(u"a\x01\x08\x0B\x0C\x0E\x1B\x1F" u"b");
  EXPECT_EQ(EncodeMarkup(controls, ENCODE_ATTRIBUTE), u"a\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDb");
  EXPECT_EQ(EncodeMarkup(controls, 0), u"a\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDb");
  EXPECT_EQ(EncodeMarkup(std::u16string(1, u'\0'), ENCODE_ATTRIBUTE), u"\uFFFD");
  EXPECT_EQ(EncodeMarkup(u"\t\n\r", ENCODE_ATTRIBUTE), u"&#9;&#10;&#13;");
  EXPECT_EQ(EncodeMarkup(u"\t\n\r", 0), u"\t\n\r");
  EXPECT_EQ(EncodeMarkup(u"x\uFFFEy\uFFFFz", ENCODE_ATTRIBUTE), u"x\uFFFDy\uFFFDz");
  // Surrogates: pairs stay, lone halves (either order, at either end) go.
  const std::u16string pair(u"\U0001F600");
  EXPECT_EQ(EncodeMarkup(pair, ENCODE_ATTRIBUTE), pair);
  const char16_t lone[] = {0xD800, u'a', 0xDC00, 0xDC00, 0xD800, 0xDBFF};
  EXPECT_EQ(EncodeMarkup(std::u16string(lone, 6), ENCODE_ATTRIBUTE), u"\uFFFDa\uFFFD\uFFFD\uFFFD\uFFFD");
  const char16_t reversed[] = {0xDC00, 0xD800, 0xDC01};
  EXPECT_EQ(EncodeMarkup(std::u16string(reversed, 3), ENCODE_ATTRIBUTE), u"\uFFFD\U00010001");
  // The last units below and above the forbidden ranges pass unchanged.
  const std::u16string edges(u"\x20\x7F\u0080\uD7FF\uE000\uFFFD");
  EXPECT_EQ(EncodeMarkup(edges, ENCODE_ATTRIBUTE), edges);
  // Every one of the 65,536 units alone: never a forbidden one out.
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    const std::u16string out = EncodeMarkup(std::u16string(1, static_cast<char16_t>(u)), ENCODE_ATTRIBUTE);
    for (char16_t c : out) {
      const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                           (c >= 0xE000 && c <= 0xFFFD);
      ASSERT_TRUE(allowed) << "unit " << u;
    }
  }
}

TEST(XmlWrite, AttributeWithControlsKeepsOneElementPerLine) {
  CXmlDoc doc;
  LoadWithCurrent(doc, u"<a/>", 1);
  ASSERT_TRUE(doc.SetAttribute(1, u"k", u"1\r\n2\t\x1b[31m"));
  EXPECT_EQ(doc.Text(), u"<a k=\"1&#13;&#10;2&#9;\uFFFD[31m\"/>");
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlWrite, ElementName) {
  CXmlDoc doc;
  doc.LoadText(u"<ns:a\r\nk='1'><b/></ns:a>");
  EXPECT_EQ(doc.ElementName(1), u"ns:a");
  EXPECT_EQ(doc.ElementName(2), u"b");
  EXPECT_EQ(doc.ElementName(0), u"");
  EXPECT_EQ(doc.ElementName(3), u"");
  // Names as the parser reads them, whatever they hold up to white space,
  // '/' or '>'; an end tag written with one closes the element on reparse.
  for (const char16_t* text : {u"<a?b/>", u"<a<b/>", u"<a\\b!c/>", u"<a=b/>"}) {
    LoadWithCurrent(doc, text, 1);
    const std::u16string t(text);
    EXPECT_EQ(doc.ElementName(1), t.substr(1, t.size() - 3)) << U8(t);
    ASSERT_TRUE(doc.AddElement(u"c", kChild));
    ASSERT_TRUE(doc.SetAttribute(1, u"k", u"v"));
    EXPECT_EQ(doc.Text(), t.substr(0, t.size() - 2) + u" k=\"v\">\r\n<c/>\r\n</" + t.substr(1, t.size() - 3) + u">")
        << U8(t);
    EXPECT_TRUE(IndexMatchesReparse(doc)) << U8(t);
  }
}

TEST(XmlWrite, LimitsRefuseWithoutChange) {
  CXmlDoc doc;
  doc.LoadText(kDeclaration);
  // An end tag for a parent with a 508-character name fits (511), 509 not.
  ASSERT_TRUE(doc.AddElement(std::u16string(509, u'n')));
  std::u16string before = doc.Text();
  EXPECT_FALSE(doc.AddElement(u"c", kChild));
  EXPECT_EQ(doc.Text(), before);
  EXPECT_EQ(doc.NextFreePosition(), 2);
  EXPECT_TRUE(IndexIsConsistent(doc));
  ASSERT_TRUE(doc.AddElement(std::u16string(508, u'n')));
  ASSERT_TRUE(doc.AddElement(u"c", kChild));
  EXPECT_EQ(doc.Record(doc.CurrentPosition()).EndTagLength(), 511);
  EXPECT_TRUE(IndexMatchesReparse(doc));

  // A start tag may not outgrow its field.
  EXPECT_FALSE(doc.AddElement(std::u16string(ElementRecord::kMaxStartTagLength - 2, u'n')));
  ASSERT_TRUE(doc.AddElement(std::u16string(ElementRecord::kMaxStartTagLength - 3, u'n')));
  before = doc.Text();
  EXPECT_FALSE(doc.SetAttribute(doc.CurrentPosition(), u"k", u""));
  EXPECT_EQ(doc.Text(), before);
  EXPECT_TRUE(IndexIsConsistent(doc));

  // The text may not outgrow the limit.
  CXmlDoc small;
  small.SetTextLimitForTesting(20);
  small.LoadText(u"<r/>");
  CXmlDocTestAccess::SetPositions(small, 0, 1, 0);
  ASSERT_TRUE(small.AddElement(u"abc", kChild));  // "<r>\r\n<abc/>\r\n</r>": 17
  EXPECT_FALSE(small.AddElement(u"d", kChild));
  EXPECT_FALSE(small.SetAttribute(1, u"k", u""));
  EXPECT_EQ(small.Text(), u"<r>\r\n<abc/>\r\n</r>");
  EXPECT_TRUE(IndexMatchesReparse(small));
}

// Room reserved ahead changes nothing that can be seen: the same text and
// index after the same writes. Room beyond the text limit is refused.
TEST(XmlWrite, ReservedRoomLeavesTheDocumentAsItWouldBe) {
  CXmlDoc plain;
  CXmlDoc reserved;
  for (CXmlDoc* doc : {&plain, &reserved}) {
    doc->LoadText(u"<r/>");
    CXmlDocTestAccess::SetPositions(*doc, 0, 1, 0);
  }
  for (int i = 0; i < 3000; ++i) {
    if (i == 10) {
      const std::u16string before = reserved.Text();
      ASSERT_TRUE(reserved.ReserveText(size_t{1} << 20));
      EXPECT_GE(reserved.Text().capacity(), size_t{1} << 20);
      EXPECT_EQ(reserved.Text(), before);
      EXPECT_TRUE(IndexIsConsistent(reserved));
      EXPECT_TRUE(reserved.ReserveText(5));  // less than there is: nothing to do
    }
    const std::u16string name = u"item" + std::u16string(static_cast<size_t>(i % 7), u'x');
    ASSERT_TRUE(plain.AddElement(name, kChild));
    ASSERT_TRUE(reserved.AddElement(name, kChild));
    ASSERT_TRUE(plain.SetAttribute(plain.ChildPosition(), u"n", u"<&>"));
    ASSERT_TRUE(reserved.SetAttribute(reserved.ChildPosition(), u"n", u"<&>"));
  }
  EXPECT_EQ(reserved.Text(), plain.Text());
  EXPECT_EQ(reserved.NextFreePosition(), plain.NextFreePosition());
  EXPECT_TRUE(IndexMatchesReparse(reserved));

  CXmlDoc small;
  small.SetTextLimitForTesting(20);
  small.LoadText(u"<r/>");
  EXPECT_FALSE(small.ReserveText(21));
  EXPECT_TRUE(small.ReserveText(20));
  EXPECT_EQ(small.Text(), u"<r/>");
}

// Adding a child with its attributes at once leaves the document exactly as
// adding it and setting each attribute in turn does: the same text, index
// and positions, also where the steps would meet names again or fail.
TEST(XmlWrite, ChildWithAttributesEqualsTheSteps) {
  struct Attr {
    std::u16string_view name;
    std::u16string_view value;
  };
  struct Case {
    const char16_t* text;  // loaded; its first element is current
    uint32_t docFlags;
    int64_t textLimit;
    const char16_t* name;
    std::vector<Attr> attributes;
  };
  std::u16string controls(u"a\t\"b\r\n<&>'\u0001");
  controls.push_back(static_cast<char16_t>(0xD800));  // a lone surrogate
  const Case cases[] = {
      {u"<r/>", 0, 0, u"m", {{u"name", u"x"}, {u"Path", u"/usr/lib/a b.so"}, {u"Empty", u""}}},
      {u"<r>\r\n<p/>\r\n</r>", 0, 0, u"ModuleItem", {{u"v", controls}, {u"w", u"&amp;"}}},
      {u"<r></r>", 0, 0, u"m", {}},
      {u"<r>", 0, 0, u"m", {{u"k", u"1"}}},                                  // unended parent
      {u"<r//>", 0, 0, u"m", {{u"k", u"1"}}},                                // slashes go
      {u"<r/>", 0, 0, u"m", {{u"k", u"1"}, {u"k", u"2"}}},                   // replaced
      {u"<r/>", 0, 0, u"m", {{u"a", u"1"}, {u"a[1]", u"2"}, {u"a]", u"3"}}},  // read as the same name
      {u"<r/>", 0, 0, u"m", {{u"Key", u"1"}, {u"key", u"2"}}},
      {u"<r/>", CXmlDoc::DOC_IGNORE_CASE, 0, u"m", {{u"Key", u"1"}, {u"kEY", u"2"}}},
      {u"<r/>", 0, 0, u"m", {{u"a b", u"1"}, {u"=", u"2"}, {u"", u"3"}, {u"\"q", u"4"}, {u"c", u"5"}}},
      {u"<r/>", 0, 0, u"a=b", {{u"k", u"1"}}},                               // element name not plain
      {u"<r/>", 0, 30, u"m", {{u"k", u"1234567"}, {u"l", u"12"}}},            // only the second fits
      {u"<r/>", 0, 12, u"m", {{u"k", u"1"}}},                                // the element does not fit
  };
  for (const Case& c : cases) {
    CXmlDoc steps;
    CXmlDoc whole;
    for (CXmlDoc* doc : {&steps, &whole}) {
      doc->SetDocFlags(c.docFlags);
      if (c.textLimit != 0) doc->SetTextLimitForTesting(c.textLimit);
      LoadWithCurrent(*doc, c.text, 1);
    }
    const bool added = steps.AddElement(c.name, kChild);
    if (added) {
      for (const Attr& a : c.attributes) steps.SetAttribute(steps.ChildPosition(), a.name, a.value);
    }
    std::vector<std::u16string_view> names;
    std::vector<std::u16string_view> values;
    for (const Attr& a : c.attributes) {
      names.push_back(a.name);
      values.push_back(a.value);
    }
    const CXmlDoc::AttributeNames checked(names.data(), names.size());
    EXPECT_EQ(added, whole.AddChildWithAttributes(c.name, checked, values.data())) << U8(c.text);
    EXPECT_EQ(U8(steps.Text()), U8(whole.Text()));
    EXPECT_EQ(steps.CurrentPosition(), whole.CurrentPosition());
    EXPECT_EQ(steps.ChildPosition(), whole.ChildPosition());
    EXPECT_EQ(steps.NodeKind(), whole.NodeKind());
    ASSERT_EQ(steps.NextFreePosition(), whole.NextFreePosition());
    for (int32_t pos = 1; pos < steps.NextFreePosition(); ++pos) {
      const ElementRecord& a = steps.Record(pos);
      const ElementRecord& b = whole.Record(pos);
      EXPECT_EQ(a.offset, b.offset);
      EXPECT_EQ(a.extent, b.extent);
      EXPECT_EQ(a.tagLengths, b.tagLengths);
      EXPECT_EQ(a.state, b.state);
      EXPECT_EQ(a.parent, b.parent);
      EXPECT_EQ(a.firstChild, b.firstChild);
      EXPECT_EQ(a.nextSibling, b.nextSibling);
      EXPECT_EQ(a.prevSibling, b.prevSibling);
    }
    EXPECT_TRUE(IndexIsConsistent(whole));
    // Later attributes find the ones already written.
    if (added) {
      EXPECT_TRUE(steps.SetAttribute(steps.ChildPosition(), u"k", u"9"));
      EXPECT_TRUE(whole.SetAttribute(whole.ChildPosition(), u"k", u"9"));
      EXPECT_EQ(U8(steps.Text()), U8(whole.Text()));
    }
  }
  // Without a current element nothing is added.
  CXmlDoc empty;
  const std::u16string_view one[] = {u"k"};
  const std::u16string_view value[] = {u"1"};
  EXPECT_FALSE(empty.AddChildWithAttributes(u"m", CXmlDoc::AttributeNames(one, 1), value));
}

}  // namespace

}  // namespace kelvane
