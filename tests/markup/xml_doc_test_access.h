// Access to a CXmlDoc's internals for the markup tests and the fuzzer (the
// document names this class its friend). Free of any test framework.
#ifndef KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_
#define KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_

#include <cstdint>

#include "markup/xml_doc.h"

class CXmlDocTestAccess {
 public:
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

#endif  // KELVANE_TESTS_MARKUP_XML_DOC_TEST_ACCESS_H_
