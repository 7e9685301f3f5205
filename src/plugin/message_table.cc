#include "plugin/message_table.h"

#include <string>

#include "common/text.h"
#include "platform/platform.h"

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
    text = kelvane::platform::Current()->ReadProfileString(std::u16string(kelvane::FieldView(g_sectionName)),
                                                           key, key, tablePath);
  }
  kelvane::CopyToField(g_sharedText, text);
  return g_sharedText;
}

namespace kelvane {

const char16_t* MessageText(const char16_t* id) {
  const char16_t* text = LookupMessage(id);
  return text != nullptr ? text : id;
}

std::u16string MessageTablePath() { return std::u16string(FieldView(g_tablePath)); }

void ResetMessageTableForTesting() {
  g_tablePath[0] = 0;
  g_sharedText[0] = 0;
  g_setupCount = 0;
}

}  // namespace kelvane
