// The document model: fresh state, segmented record storage, navigation and
// the index correction after an edit.
#include <gtest/gtest.h>

#include <string>

#include "markup/xml_doc.h"
#include "markup_test_util.h"

namespace kelvane {

using testing::IndexIsConsistent;
using testing::IndexMatchesReparse;

namespace {

TEST(XmlIndex, FreshDocumentHasEightSlotsATableOfFourAndNoElement) {
  CXmlDoc doc;
  EXPECT_EQ(doc.RecordCapacity(), 8);
  EXPECT_EQ(doc.SegmentTableSize(), 4);
  EXPECT_EQ(doc.Messages(), u"Empty document");
  EXPECT_TRUE(doc.Text().empty());
  EXPECT_EQ(doc.ParentPosition(), 0);
  EXPECT_EQ(doc.CurrentPosition(), 0);
  EXPECT_EQ(doc.ChildPosition(), 0);
  EXPECT_EQ(doc.NodeKind(), 0);
  EXPECT_EQ(doc.NextFreePosition(), 1);
  EXPECT_EQ(doc.DocFlags(), 0u);
  EXPECT_EQ(doc.Record(0).extent, 0);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlIndex, ReserveGrowsOneSegmentAtATime) {
  CXmlDoc doc;
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 100));
  EXPECT_EQ(doc.RecordCapacity(), 100);
  // 200,000 would need four segments: segment 0 is filled up to 65,536 and
  // segment 1 gets a full block, nothing more.
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 200000));
  EXPECT_EQ(doc.RecordCapacity(), 131072);
  EXPECT_NE(CXmlDocTestAccess::Segment(doc, 0), nullptr);
  EXPECT_NE(CXmlDocTestAccess::Segment(doc, 1), nullptr);
  EXPECT_EQ(doc.SegmentTableSize(), 4);
  // Segment 2 comes with the next call, the rest of the wish with the one after.
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 200000));
  EXPECT_EQ(doc.RecordCapacity(), 3 * 65536);
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 200000));
  EXPECT_EQ(doc.RecordCapacity(), 200000);
  // A smaller wish is a no-op.
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 50));
  EXPECT_EQ(doc.RecordCapacity(), 200000);
  // Growing past the table: 4 slots become 4 * 2 + 4, segment 3 is filled up.
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 4 * 65536 + 1));
  EXPECT_EQ(doc.RecordCapacity(), 4 * 65536 + 1);
  EXPECT_EQ(doc.SegmentTableSize(), 12);
  EXPECT_NE(CXmlDocTestAccess::Segment(doc, 4), nullptr);
  // The root record survived every move.
  EXPECT_EQ(doc.Record(0).StartTagLength(), 0);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlIndex, DefaultGrowthIsHalfTheRecordsInUse) {
  CXmlDoc doc;
  CXmlDocTestAccess::SetNextFree(doc, 9);
  ASSERT_TRUE(CXmlDocTestAccess::ReserveRecords(doc, 0));
  EXPECT_EQ(doc.RecordCapacity(), 13);
  CXmlDocTestAccess::SetNextFree(doc, 1);
}

TEST(XmlIndex, PositionsAcrossTheFirstSegmentBoundary) {
  // A root with 65,540 empty children: record k + 1 is child k.
  std::u16string text = u"<r>";
  for (int i = 0; i < 65540; ++i) text += u"<e/>";
  text += u"</r>";
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(text)) << kelvane::testing::U8(doc.Messages());
  EXPECT_EQ(doc.NextFreePosition(), 65542);
  for (int32_t pos : {65535, 65536, 65537}) {
    EXPECT_EQ(doc.Record(pos).offset, 3 + 4 * (pos - 2)) << pos;
    EXPECT_EQ(doc.Record(pos).parent, 1);
  }
  EXPECT_EQ(&doc.Record(65535), CXmlDocTestAccess::Segment(doc, 0) + 65535);
  EXPECT_EQ(&doc.Record(65536), CXmlDocTestAccess::Segment(doc, 1) + 0);
  EXPECT_EQ(&doc.Record(65537), CXmlDocTestAccess::Segment(doc, 1) + 1);
  EXPECT_EQ(doc.Record(65535).nextSibling, 65536);
  EXPECT_EQ(doc.Record(65536).prevSibling, 65535);
  EXPECT_TRUE(IndexIsConsistent(doc));
  // Writing across the boundary keeps the index right.
  doc.LoadText(kelvane::testing::kDeclaration);
  ASSERT_TRUE(doc.AddElement(u"r"));
  for (int i = 0; i < 65540; ++i) ASSERT_TRUE(doc.AddElement(u"e", CXmlDoc::ADD_CHILD));
  EXPECT_EQ(doc.ChildPosition(), 65541);
  EXPECT_TRUE(IndexIsConsistent(doc));
}

TEST(XmlIndex, IntoElementNeedsACurrentElement) {
  CXmlDoc doc;
  EXPECT_FALSE(doc.IntoElement());
  doc.LoadText(u"<a><b/></a>");
  EXPECT_FALSE(doc.IntoElement());
  EXPECT_EQ(doc.ParentPosition(), 0);
  EXPECT_EQ(doc.CurrentPosition(), 0);
  EXPECT_EQ(doc.NodeKind(), 0);
  EXPECT_FALSE(doc.OutOfElement());
}

TEST(XmlIndex, IntoElementWithoutChildLeavesNoCurrentElement) {
  CXmlDoc doc;
  doc.LoadText(kelvane::testing::kDeclaration);
  ASSERT_TRUE(doc.AddElement(u"a"));
  const int32_t a = doc.CurrentPosition();
  ASSERT_TRUE(doc.IntoElement());
  EXPECT_EQ(doc.ParentPosition(), a);
  EXPECT_EQ(doc.CurrentPosition(), 0);
  EXPECT_EQ(doc.ChildPosition(), 0);
  EXPECT_EQ(doc.NodeKind(), 0);
  // Without a current element there is nothing to descend into or to add to.
  EXPECT_FALSE(doc.IntoElement());
  EXPECT_FALSE(doc.AddElement(u"x", CXmlDoc::ADD_CHILD));
  ASSERT_TRUE(doc.OutOfElement());
  EXPECT_EQ(doc.CurrentPosition(), a);
  EXPECT_EQ(doc.ChildPosition(), 0);
  EXPECT_EQ(doc.ParentPosition(), 0);
  EXPECT_EQ(doc.NodeKind(), 1);
  EXPECT_FALSE(doc.OutOfElement());
}

TEST(XmlIndex, IntoAndOutOfElementMovePositions) {
  CXmlDoc doc;
  doc.LoadText(kelvane::testing::kDeclaration);
  doc.AddElement(u"a");
  const int32_t a = doc.CurrentPosition();
  doc.AddElement(u"b", CXmlDoc::ADD_CHILD);
  const int32_t b = doc.ChildPosition();
  ASSERT_TRUE(doc.IntoElement());
  EXPECT_EQ(doc.ParentPosition(), a);
  EXPECT_EQ(doc.CurrentPosition(), b);
  EXPECT_EQ(doc.NodeKind(), 1);
  ASSERT_TRUE(doc.OutOfElement());
  EXPECT_EQ(doc.ParentPosition(), 0);
  EXPECT_EQ(doc.CurrentPosition(), a);
  EXPECT_EQ(doc.ChildPosition(), b);
}

TEST(XmlIndex, ShiftFollowingMovesEverythingAfterTheEditPoint) {
  const std::u16string text = u"<r><p/><a x='1'><b/><c><d/></c></a><s><t/></s></r>";
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(text));
  // Positions in document order: r 1, p 2, a 3, b 4, c 5, d 6, s 7, t 8.
  CXmlDoc before;
  before.LoadText(text);
  const int32_t a = 3;
  const int32_t insertAt = doc.Record(a).offset + 2;
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, insertAt, 0, u" y='12345'"));
  ElementRecord& ar = CXmlDocTestAccess::Record(doc, a);
  ar.SetStartTagLength(ar.StartTagLength() + 10);
  ar.extent += 10;
  CXmlDocTestAccess::ShiftFollowing(doc, a, 10, false);

  EXPECT_EQ(doc.Record(2).offset, before.Record(2).offset);  // p, before the edit
  EXPECT_EQ(doc.Record(2).extent, before.Record(2).extent);
  EXPECT_EQ(doc.Record(3).offset, before.Record(3).offset);  // a itself
  for (int32_t pos = 4; pos <= 8; ++pos) {
    EXPECT_EQ(doc.Record(pos).offset, before.Record(pos).offset + 10) << pos;
    EXPECT_EQ(doc.Record(pos).extent, before.Record(pos).extent) << pos;
  }
  EXPECT_EQ(doc.Record(1).offset, 0);
  EXPECT_EQ(doc.Record(1).extent, before.Record(1).extent + 10);  // r, the parent
  EXPECT_EQ(doc.Record(0).extent, before.Record(0).extent + 10);  // the root record
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlIndex, ShiftFollowingCanSkipChildren) {
  // Text inserted after an element's last child, inside its content: the
  // children stay, what follows moves.
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(u"<r><a><b/></a><c/></r>"));
  const int32_t a = 2;
  const int32_t at = doc.Record(3).offset + doc.Record(3).extent;
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, at, 0, u"xyz"));
  CXmlDocTestAccess::Record(doc, a).extent += 3;
  CXmlDocTestAccess::ShiftFollowing(doc, a, 3, true);
  EXPECT_EQ(doc.Record(3).offset, 6);
  EXPECT_EQ(doc.Record(4).offset, 17);
  EXPECT_TRUE(IndexMatchesReparse(doc));
  // Removing characters moves the other way.
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, at, 3, u""));
  CXmlDocTestAccess::Record(doc, a).extent -= 3;
  CXmlDocTestAccess::ShiftFollowing(doc, a, -3, true);
  EXPECT_EQ(doc.Record(4).offset, 14);
  EXPECT_EQ(doc.Record(0).extent, 22);
  EXPECT_TRUE(IndexMatchesReparse(doc));
}

TEST(XmlIndex, ShiftFollowingOnTheRootRecordDoesNothing) {
  CXmlDoc doc;
  ASSERT_TRUE(doc.LoadText(u"<a/>"));
  CXmlDocTestAccess::ShiftFollowing(doc, 0, 5, false);
  EXPECT_EQ(doc.Record(0).extent, 4);
  EXPECT_EQ(doc.Record(1).offset, 0);
}

TEST(XmlIndex, SpliceTextReplacesAndGrowsByHalf) {
  CXmlDoc doc;
  doc.LoadText(u"<a>xyz</a>");
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 3, 3, u"hello"));
  EXPECT_EQ(doc.Text(), u"<a>hello</a>");
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 3, 5, u"a much longer text"));
  EXPECT_EQ(doc.Text(), u"<a>a much longer text</a>");
  EXPECT_GE(doc.Text().capacity(), 25u + 12u + 128u);
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 3, 18, u"hello"));
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 0, 0, u"<!---->"));
  EXPECT_EQ(doc.Text(), u"<!----><a>hello</a>");
  ASSERT_TRUE(CXmlDocTestAccess::SpliceText(doc, 19, 0, u"!"));
  EXPECT_EQ(doc.Text(), u"<!----><a>hello</a>!");
}

}  // namespace

}  // namespace kelvane
