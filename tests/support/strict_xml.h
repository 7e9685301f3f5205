// A strict check of response documents: well-formed XML or not, as a
// conforming parser sees it. Shared by the end-to-end tests and the
// dispatch fuzzer.
#ifndef KELVANE_TESTS_SUPPORT_STRICT_XML_H_
#define KELVANE_TESTS_SUPPORT_STRICT_XML_H_

#include <string>

namespace kelvane {
namespace testing {

// Whether `bytes` is one well-formed XML document (any encoding the parser
// recognises; no DTD loaded, no validation). The caller keeps Xerces-C++
// initialised around the call. On failure `why`, when given, receives the
// first error's position and text.
bool ParsesStrictly(const std::string& bytes, std::string* why = nullptr);

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_STRICT_XML_H_
