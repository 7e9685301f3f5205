// Consistency check of a CXmlDoc's element index against its text, for the
// tests and the fuzzer: every invariant that the engine's operations keep.
#ifndef KELVANE_TESTS_MARKUP_INDEX_CHECK_H_
#define KELVANE_TESTS_MARKUP_INDEX_CHECK_H_

#include <string>

class CXmlDoc;

namespace kelvane {

// True when the index is consistent; otherwise false with a description of
// the first violation in `*problem` (when not null).
bool CheckIndex(const CXmlDoc& doc, std::string* problem);

}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_INDEX_CHECK_H_
