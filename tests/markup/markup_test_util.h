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
  ::testing::AssertionResult consistent = IndexIsConsistent(doc);
  if (!consistent) return consistent;
  CXmlDoc fresh;
  fresh.LoadText(doc.Text());
  const std::vector<int32_t> a = DocumentOrder(doc);
  const std::vector<int32_t> b = DocumentOrder(fresh);
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << a.size() << " elements indexed, reparse finds " << b.size();
  for (size_t i = 0; i < a.size(); ++i) {
    const ElementRecord& x = doc.Record(a[i]);
    const ElementRecord& y = fresh.Record(b[i]);
    if (x.offset != y.offset || x.extent != y.extent || x.tagLengths != y.tagLengths ||
        x.Level() != y.Level() || (x.state & ElementRecord::UNENDED) != (y.state & ElementRecord::UNENDED) ||
        (x.parent == 0) != (y.parent == 0)) {
      return ::testing::AssertionFailure() << "element " << i << " differs from the reparse (offset " << x.offset
                                           << "/" << y.offset << ", extent " << x.extent << "/" << y.extent
                                           << ") in text: " << U8(doc.Text());
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_MARKUP_TEST_UTIL_H_
