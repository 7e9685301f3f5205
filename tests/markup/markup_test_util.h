// Shared helpers of the markup tests: access to the index internals, index
// consistency and comparison with a fresh parse of the same text.
#ifndef KELVANE_TESTS_MARKUP_MARKUP_TEST_UTIL_H_
#define KELVANE_TESTS_MARKUP_MARKUP_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "markup/index_check.h"
#include "markup/xml_doc.h"
#include "markup/xml_doc_test_access.h"

namespace kelvane {
namespace testing {

inline std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

// The declaration every response starts with.
inline const std::u16string kDeclaration = u"<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?>";

inline ::testing::AssertionResult IndexIsConsistent(const CXmlDoc& doc) {
  std::string problem;
  if (CheckIndex(doc, &problem)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problem << " in text: " << U8(doc.Text());
}

// Element positions in document order (depth first), root excluded.
inline std::vector<int32_t> DocumentOrder(const CXmlDoc& doc) {
  std::vector<int32_t> out;
  std::vector<int32_t> work{0};
  while (!work.empty()) {
    const int32_t p = work.back();
    work.pop_back();
    if (p != 0) out.push_back(p);
    std::vector<int32_t> children;
    for (int32_t c = doc.Record(p).firstChild; c != 0; c = doc.Record(c).nextSibling) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) work.push_back(*it);
  }
  return out;
}

// The index after edits describes the text exactly as a fresh parse of that
// text does (for texts that parse without recovery).
inline ::testing::AssertionResult IndexMatchesReparse(const CXmlDoc& doc) {
  std::string problem;
  if (CompareWithReparse(doc, &problem)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problem << " in text: " << U8(doc.Text());
}

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_MARKUP_TEST_UTIL_H_
