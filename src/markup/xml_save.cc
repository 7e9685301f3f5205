// Document file output: UTF-16LE with byte-order mark when the text
// declares UTF-16, UTF-8 without one otherwise.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/text.h"
#include "markup/xml_doc.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

bool HostIsLittleEndian() {
  const uint16_t probe = 1;
  return *reinterpret_cast<const uint8_t*>(&probe) == 1;
}

// Writes the text as UTF-16LE code units; true when every byte was written.
bool WriteUtf16Le(kelvane::platform::OutputFile& file, const std::u16string& text) {
  const size_t bytes = text.size() * sizeof(char16_t);
  if (HostIsLittleEndian()) return file.Write(text.data(), bytes) == bytes;
  std::vector<uint8_t> buffer(bytes);
  for (size_t i = 0; i < text.size(); ++i) {
    buffer[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    buffer[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return file.Write(buffer.data(), bytes) == bytes;
}

}  // namespace

bool CXmlDoc::SaveFile(std::u16string_view path) {
  try {
    std::u16string error;
    std::unique_ptr<kelvane::platform::OutputFile> file =
        kelvane::platform::Current()->CreateOutputFile(std::u16string(path), &error);
    if (!file) {
      m_strMessages = error;
      return false;
    }
    const size_t n = m_strText.size();
    bool ok = true;
    int64_t bytes = 0;
    if (n > 0) {
      if (m_strText.find(u"encoding=\"utf-16\"") != std::u16string::npos ||
          m_strText.find(u"encoding=\"UTF-16\"") != std::u16string::npos) {
        static const uint8_t kByteOrderMark[2] = {0xFF, 0xFE};
        ok = file->Write(kByteOrderMark, sizeof kByteOrderMark) == sizeof kByteOrderMark &&
             WriteUtf16Le(*file, m_strText);
        bytes = static_cast<int64_t>(n) * 2;
      } else {
        const std::string utf8 = kelvane::Utf16ToUtf8(m_strText);
        ok = file->Write(utf8.data(), utf8.size()) == utf8.size();
        bytes = static_cast<int64_t>(utf8.size());
      }
    }
    // The file replaces the one at the path only when all of it was
    // written; otherwise the old file stays as it was.
    ok = ok && file->Commit();
    m_strMessages = kelvane::FormatDecimal(static_cast<int64_t>(n)) + u" wide chars to " +
                    kelvane::FormatDecimal(bytes) + u" bytes";
    if (!ok) m_strMessages = file->LastError();
    return ok;
  } catch (const std::exception&) {
    m_strMessages.clear();
    return false;
  }
}

}  // namespace kelvane
