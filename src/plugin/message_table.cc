#include "plugin/message_table.h"

#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

constexpr size_t kFieldUnits = 260;
constexpr size_t kSharedTextUnits = 1024;
constexpr char16_t kTableFile[] = u"common/config/Resource.ini";

// Module-wide state: set once per load, kept until unload. Static storage,
// so the shared buffer can never fail to exist once set-up has run; lookups
// answer from the first set-up on.
char16_t g_sectionName[kFieldUnits];
char16_t g_tablePath[kFieldUnits];
char16_t g_sharedText[kSharedTextUnits];
int g_setupCount = 0;

// Longest value a profile lookup yields (a 1024-unit buffer with its
// terminator).
constexpr size_t kMaxProfileValue = 1023;
// Profile files beyond this size are not read at all (a message table is a
// few kilobytes); the lookup then gives the fallback.
constexpr size_t kMaxProfileFileBytes = 16u * 1024 * 1024;

// Decodes a profile file: UTF-16 (either byte order) when it starts with a
// byte-order mark, the system's narrow encoding otherwise (the ANSI code
// page on Windows, UTF-8 elsewhere), as the platform's profile reader does.
std::u16string DecodeProfile(const std::string& bytes) {
  const auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
    const bool little = byte(0) == 0xFF;
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = little ? byte(i) : byte(i + 1);
      const unsigned hi = little ? byte(i + 1) : byte(i);
      text.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return text;
  }
  return kelvane::platform::Current()->NarrowTextToUtf16(bytes);
}

char16_t FoldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Section and key names match without regard to (ASCII) case.
bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Finds `key` in the first section named `section`. Lines are trimmed;
// "[name]" opens a section, "key=value" is an entry, lines starting with
// ';' and lines without '=' are ignored. The value is trimmed and one pair
// of enclosing quotes (" or ') removed.
bool FindProfileValue(std::u16string_view text, std::u16string_view section, std::u16string_view key,
                      std::u16string* value) {
  bool inSection = false;
  bool sectionSeen = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(u"\r\n", pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = kelvane::TrimSpaces(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      if (inSection) return false;  // only the first section of that name counts
      size_t close = line.find(u']');
      std::u16string_view name = line.substr(1, close == std::u16string_view::npos ? line.size() - 1 : close - 1);
      inSection = !sectionSeen && SameName(kelvane::TrimSpaces(name), section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    if (!SameName(kelvane::TrimSpaces(line.substr(0, equals)), key)) continue;
    std::u16string_view found = kelvane::TrimSpaces(line.substr(equals + 1));
    if (found.size() >= 2 && (found.front() == u'"' || found.front() == u'\'') && found.back() == found.front()) {
      found = found.substr(1, found.size() - 2);
    }
    *value = std::u16string(kelvane::CutToUnits(found, kMaxProfileValue));
    return true;
  }
  return false;
}

// The table's path for the library file at `libraryPath`: its directory
// (up to and including the last separator) followed by the table's
// relative path, with the platform's separator. Empty when the library's
// path is unknown or its directory leaves no room for the table's path
// within 259 units; lookups then give the bare ids.
std::u16string TablePathFor(const std::u16string& libraryPath, char16_t separator) {
  const size_t cut = libraryPath.rfind(separator);
  if (cut == std::u16string::npos) return {};
  std::u16string path = libraryPath.substr(0, cut + 1);
  std::u16string tail = kTableFile;
  for (char16_t& c : tail) {
    if (c == u'/') c = separator;
  }
  path += tail;
  if (path.size() > kFieldUnits - 1) return {};
  return path;
}

}  // namespace

void InitSectionName() { kelvane::CopyToField(g_sectionName, u"Kelvane"); }

void InitMessageTable(const void* module) {
  if (g_setupCount > 0) return;
  kelvane::platform::Platform* os = kelvane::platform::Current();
  kelvane::CopyToField(g_tablePath, TablePathFor(os->LibraryFilePath(module), os->PathSeparator()));
  ++g_setupCount;
  g_sharedText[0] = 0;
}

const char16_t* LookupMessage(const char16_t* id) {
  if (g_setupCount <= 0) return nullptr;
  const std::u16string key = id != nullptr ? id : u"";
  const std::u16string tablePath(kelvane::FieldView(g_tablePath));
  std::u16string text = key;
  if (!tablePath.empty() && !key.empty()) {
    text = kelvane::ReadProfileString(kelvane::FieldView(g_sectionName), key, key, tablePath);
  }
  kelvane::CopyToField(g_sharedText, text);
  return g_sharedText;
}

std::u16string ReadProfileString(std::u16string_view section, std::u16string_view key,
                                 std::u16string_view fallback, const std::u16string& path) {
  // Read through the guarded reader, like a command file: a FIFO, device
  // or directory planted at the table's path is refused without blocking.
  std::string bytes;
  std::u16string value;
  if (path.empty() || !platform::Current()->ReadRegularFile(path, kMaxProfileFileBytes, &bytes) ||
      !FindProfileValue(DecodeProfile(bytes), section, key, &value)) {
    return std::u16string(CutToUnits(fallback, kMaxProfileValue));
  }
  return value;
}

const char16_t* MessageText(const char16_t* id) {
  const char16_t* text = LookupMessage(id);
  return text != nullptr ? text : id;
}

std::u16string MessageTablePathForTesting() { return std::u16string(FieldView(g_tablePath)); }

void ResetMessageTableForTesting() {
  g_tablePath[0] = 0;
  g_sharedText[0] = 0;
  g_setupCount = 0;
}

}  // namespace kelvane
