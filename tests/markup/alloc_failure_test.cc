// Memory exhaustion: every allocation an operation makes is failed in turn;
// a failed operation must return false and leave the document as it was
// (LoadText: an empty, valid document).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "markup/xml_doc.h"
#include "markup_test_util.h"
#include "support/alloc_injection.h"
#include "support/test_support.h"

namespace kelvane {

using testing::AllocationFailed;
using testing::FailAllocationAfter;

namespace {

using testing::IndexIsConsistent;
using testing::kDeclaration;

struct Snapshot {
  std::u16string text;
  int32_t parent, current, child, kind, nextFree;
  std::vector<ElementRecord> records;
};

Snapshot Take(const CXmlDoc& doc) {
  Snapshot s{doc.Text(), doc.ParentPosition(), doc.CurrentPosition(), doc.ChildPosition(),
             doc.NodeKind(), doc.NextFreePosition(), {}};
  for (int32_t p = 0; p < doc.NextFreePosition(); ++p) s.records.push_back(doc.Record(p));
  return s;
}

bool Same(const Snapshot& a, const Snapshot& b) {
  if (a.text != b.text || a.parent != b.parent || a.current != b.current || a.child != b.child ||
      a.kind != b.kind || a.nextFree != b.nextFree || a.records.size() != b.records.size())
    return false;
  return std::memcmp(a.records.data(), b.records.data(), sizeof(ElementRecord) * a.records.size()) == 0;
}

// Runs `operation` on a document prepared by `setup`, failing the n-th
// allocation for n = 0, 1, ... until the operation runs without failure.
void FailEachAllocation(const std::function<void(CXmlDoc&)>& setup,
                        const std::function<bool(CXmlDoc&)>& operation, bool replacesDocument = false) {
  for (long n = 0; n < 1000; ++n) {
    CXmlDoc doc;
    setup(doc);
    const Snapshot before = Take(doc);
    FailAllocationAfter(n);
    const bool ok = operation(doc);
    const bool failed = AllocationFailed();
    FailAllocationAfter(-1);
    ASSERT_TRUE(IndexIsConsistent(doc)) << n;
    if (!failed) return;  // ran to the end without an injected failure
    if (!ok) {
      if (replacesDocument) {
        EXPECT_TRUE(doc.Text().empty()) << n;
      } else {
        EXPECT_TRUE(Same(before, Take(doc))) << "allocation " << n;
      }
    }
  }
  FAIL() << "operation kept allocating";
}

void Response(CXmlDoc& doc) {
  doc.LoadText(kDeclaration);
  doc.AddElement(u"Response");
  doc.AddElement(u"Item", CXmlDoc::ADD_CHILD);
  doc.SetAttribute(doc.ChildPosition(), u"name", u"x");
}

TEST(XmlAllocationFailure, AddElementLeavesTheDocumentUnchanged) {
  FailEachAllocation(Response, [](CXmlDoc& d) { return d.AddElement(u"Next", CXmlDoc::ADD_CHILD); });
  // A bare parent is rewritten with its end tag.
  FailEachAllocation(
      [](CXmlDoc& d) {
        Response(d);
        d.IntoElement();
      },
      [](CXmlDoc& d) { return d.AddElement(u"Inner", CXmlDoc::ADD_CHILD); });
  // Record growth: fill the index first.
  FailEachAllocation(
      [](CXmlDoc& d) {
        Response(d);
        while (d.NextFreePosition() < d.RecordCapacity()) d.AddElement(u"Item", CXmlDoc::ADD_CHILD);
      },
      [](CXmlDoc& d) { return d.AddElement(u"Item", CXmlDoc::ADD_CHILD); });
}

TEST(XmlAllocationFailure, SetAttributeLeavesTheDocumentUnchanged) {
  const std::u16string value(300, u'&');
  FailEachAllocation(Response, [&](CXmlDoc& d) { return d.SetAttribute(d.ChildPosition(), u"value", value); });
  FailEachAllocation(Response, [](CXmlDoc& d) { return d.SetAttribute(d.ChildPosition(), u"name", u"y<z"); });
}

TEST(XmlAllocationFailure, LoadTextLeavesAValidDocument) {
  std::u16string text = u"<r>";
  for (int i = 0; i < 200; ++i) text += u"<item a='1'>text</item>";
  text += u"</r>";
  FailEachAllocation(Response, [&](CXmlDoc& d) { return d.LoadText(text); }, true);
  FailEachAllocation(Response, [](CXmlDoc& d) { return d.LoadText(u"<a><b></a>"); }, true);
}

TEST(XmlAllocationFailure, SaveFileReportsFailure) {
  kelvane::testing::TempDir dir;
  const std::u16string path = kelvane::Utf8ToUtf16(dir.File("r.xml"));
  FailEachAllocation(
      [](CXmlDoc& d) { d.LoadText(u"<a k='\u4e2d'/>"); },
      [&](CXmlDoc& d) {
        const bool ok = d.SaveFile(path);
        FailAllocationAfter(-1);
        if (!ok) {
          EXPECT_EQ(d.Text(), u"<a k='\u4e2d'/>");
        }
        return true;  // the text and index never change
      });
}

}  // namespace

}  // namespace kelvane
