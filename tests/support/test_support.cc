// The portable part of the shared test helpers; the OS-specific part
// (scratch directories, the PID-namespace check) is in
// test_support_posix.cc and windows/support/test_support_win32.cc.
#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/text.h"

namespace kelvane {
namespace testing {

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::string Utf16LeBytes(const std::string& utf8, bool bom) {
  std::u16string wide = Utf8ToUtf16(utf8);
  std::string bytes;
  if (bom) bytes += "\xFF\xFE";
  for (char16_t c : wide) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

std::string ReadUtf16File(const std::string& path) {
  std::string bytes = ReadBytes(path);
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return {};
  }
  std::u16string wide;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return Utf16ToUtf8(wide);
}

}  // namespace testing
}  // namespace kelvane
