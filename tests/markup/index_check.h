// Consistency check of a CXmlDoc's element index against its text, for the
// tests and the fuzzer: every invariant that the engine's operations keep.
#ifndef KELVANE_TESTS_MARKUP_INDEX_CHECK_H_
#define KELVANE_TESTS_MARKUP_INDEX_CHECK_H_

#include <string>

namespace kelvane {

class CXmlDoc;

// True when the index is consistent; otherwise false with a description of
// the first violation in `*problem` (when not null).
bool CheckIndex(const CXmlDoc& doc, std::string* problem);

// True when the index describes the text exactly as a fresh parse of that
// text (under the same document options) does: the same elements in the
// same order with the same offsets, extents, tag lengths, levels, parents,
// unended, error and first-child bits, "/>" ending exactly the empty
// elements; a document loaded without errors must parse again without. Meaningful for texts that were well-formed
// when loaded and edited only by writes that keep them so. Otherwise false with the first
// difference in `*problem` (when not null).
bool CompareWithReparse(const CXmlDoc& doc, std::string* problem);

}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_INDEX_CHECK_H_
