// Helpers of the kelvanectl tests: UTF-16 fixtures and whole-file access.
#ifndef KELVANE_TESTS_TOOL_TOOL_TEST_UTIL_H_
#define KELVANE_TESTS_TOOL_TOOL_TEST_UTIL_H_

#include <fstream>
#include <sstream>
#include <string>

#include "utf.h"

namespace kelvane_tool_test {

// UTF-16LE bytes of `units` as they stand (lone surrogates included).
inline std::string LeBytes(const std::u16string& units) {
  std::string bytes;
  for (char16_t c : units) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// UTF-16LE bytes of a UTF-8 text, after a byte-order mark.
inline std::string Utf16Bytes(const std::string& utf8) {
  return "\xFF\xFE" + LeBytes(kelvanectl::Utf8ToUtf16(utf8));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace kelvane_tool_test

#endif  // KELVANE_TESTS_TOOL_TOOL_TEST_UTIL_H_
