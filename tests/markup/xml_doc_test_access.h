// Access to a CXmlDoc's internals for the markup tests and the fuzzer (the
// document names this class its friend). Free of any test framework.
#ifndef KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_
#define KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_

#include <cstdint>
#include <string_view>

#include "markup/xml_doc.h"

namespace kelvane {

class CXmlDocTestAccess {
 public:
  // The index primitives every writing operation is made of.
  static bool ReserveRecords(CXmlDoc& doc, int32_t wanted) { return doc.ReserveRecords(wanted); }
  static bool SpliceText(CXmlDoc& doc, int32_t offset, int32_t removeCount, std::u16string_view replacement) {
    return doc.SpliceText(offset, removeCount, replacement);
  }
  static void ShiftFollowing(CXmlDoc& doc, int32_t pos, int32_t delta, bool skipChildren) {
    doc.ShiftFollowing(pos, delta, skipChildren);
  }
  static ElementRecord& Record(CXmlDoc& doc, int32_t pos) { return doc.RecordAt(pos); }
  static ElementRecord* Segment(const CXmlDoc& doc, int32_t index) { return doc.m_segmentTable[index]; }
  static void SetNextFree(CXmlDoc& doc, int32_t next) { doc.m_posNextFree = next; }
  // Makes `current` the current element (with `parent` and `child`), so that
  // writes can reach any parsed element, not only those the engine's own
  // navigation steps reach.
  static void SetPositions(CXmlDoc& doc, int32_t parent, int32_t current, int32_t child) {
    doc.m_posParent = parent;
    doc.m_posCurrent = current;
    doc.m_posChild = child;
    doc.m_nodeKind = current != 0 ? 1 : 0;
  }
  // Forgets what earlier attribute searches learned, so that the next one
  // scans the tag from its start.
  static void ForgetAttributeSearch(CXmlDoc& doc) { doc.m_attributeCache.pos = 0; }
};

}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_
