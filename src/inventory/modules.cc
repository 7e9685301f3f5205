#include "inventory/modules.h"

#include <cstdio>
#include <new>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "inventory/process_list.h"

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\??\\";
constexpr std::u16string_view kSystemRootPrefix = u"\\SystemRoot\\";

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// What a module record takes from its file: the version strings and the
// modification time, each empty when unknown.
struct ModuleFacts {
  std::u16string publisher;
  std::u16string description;
  std::u16string productVersion;
  std::u16string fileVersion;
  std::u16string modifyTime;
};

// File facts remembered while a FileFactsCache lives. A failed query is
// remembered as such.
struct FileFacts {
  std::unordered_map<std::u16string, std::pair<bool, int64_t>> sizes;
  std::unordered_map<std::u16string, ModuleFacts> modules;
};
FileFacts* g_facts = nullptr;
int g_factsDepth = 0;

bool FileSizeOf(const std::u16string& path, int64_t* size) {
  if (g_facts != nullptr) {
    auto found = g_facts->sizes.find(path);
    if (found == g_facts->sizes.end()) {
      int64_t value = 0;
      const bool ok = kelvane::platform::Current()->FileSize(path, &value);
      found = g_facts->sizes.emplace(path, std::make_pair(ok, value)).first;
    }
    *size = found->second.second;
    return found->second.first;
  }
  return kelvane::platform::Current()->FileSize(path, size);
}

void QueryModuleFacts(const std::u16string& path, ModuleFacts* facts) {
  char16_t fields[4][261] = {};
  kelvane::ReadVersionStringsInto(path, {fields[0], fields[1], fields[2], fields[3]});
  facts->publisher = fields[0];
  facts->description = fields[1];
  facts->productVersion = fields[2];
  facts->fileVersion = fields[3];
  kelvane::platform::LocalTime time;
  if (kelvane::platform::Current()->FileModifyTime(path, &time)) {
    facts->modifyTime = kelvane::FormatModifyTime(time);
  }
}

// The facts of the file at `path`: remembered ones while a FileFactsCache
// lives, otherwise queried into `scratch`.
const ModuleFacts& ModuleFactsOf(const std::u16string& path, ModuleFacts* scratch) {
  if (g_facts == nullptr) {
    QueryModuleFacts(path, scratch);
    return *scratch;
  }
  auto found = g_facts->modules.find(path);
  if (found == g_facts->modules.end()) {
    found = g_facts->modules.emplace(path, ModuleFacts()).first;
    QueryModuleFacts(path, &found->second);
  }
  return found->second;
}

// Copies a version string into its field unless the file lacks it.
template <size_t N>
void CopyIfPresent(char16_t (&field)[N], const std::u16string& value) {
  if (!value.empty()) kelvane::CopyToField(field, value);
}

}  // namespace

namespace kelvane {

std::u16string NormalizedImagePath(std::u16string_view path) {
  if (StartsWith(path, kDevicePrefix)) return std::u16string(path.substr(kDevicePrefix.size()));
  if (StartsWith(path, kSystemRootPrefix)) {
    std::u16string directory = platform::Current()->WindowsDirectory();
    // Without a Windows directory there is nothing to expand to.
    if (directory.empty()) return std::u16string(path);
    if (directory.back() != u'\\') directory.push_back(u'\\');
    directory.append(path.substr(kSystemRootPrefix.size()));
    return directory;
  }
  return std::u16string(path);
}

int ReadVersionStringsInto(std::u16string_view path, const VersionFields& fields) {
  platform::Platform* p = platform::Current();
  const std::u16string file(path);
  std::vector<uint8_t> blob;
  if (!p->LoadVersionResource(file, &blob) || blob.empty()) return 1;

  std::vector<uint8_t> raw;
  std::u16string unused;
  if (!p->QueryVersionValue(blob, u"\\VarFileInfo\\Translation", &raw, &unused) || raw.size() < 4) {
    return 0;
  }
  // First translation only: language id, then code page, each 16-bit
  // little-endian.
  const unsigned language = raw[0] | (raw[1] << 8);
  const unsigned codePage = raw[2] | (raw[3] << 8);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\", language, codePage);
  const std::u16string base = Widen(prefix);

  struct Name {
    const char16_t* key;
    char16_t* field;
  };
  const Name names[] = {{u"CompanyName", fields.publisher},
                        {u"FileDescription", fields.description},
                        {u"ProductVersion", fields.productVersion},
                        {u"FileVersion", fields.fileVersion}};
  for (const Name& name : names) {
    std::vector<uint8_t> valueRaw;
    std::u16string value;
    if (p->QueryVersionValue(blob, base + name.key, &valueRaw, &value)) {
      CopyBounded(name.field, 261, value);
    }
  }
  return 1;
}

std::u16string FormatModifyTime(const platform::LocalTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return Widen(text);
}

FileFactsCache::FileFactsCache() {
  if (g_factsDepth++ == 0) g_facts = new FileFacts();
}

FileFactsCache::~FileFactsCache() {
  if (--g_factsDepth == 0) {
    delete g_facts;
    g_facts = nullptr;
  }
}

void FreeModuleList(ModuleRecord* head) {
  while (head != nullptr) {
    ModuleRecord* next = head->pNext;
    delete head;
    head = next;
  }
}

}  // namespace kelvane

void NormalizeImagePath(char16_t (&path)[261]) {
  const std::u16string_view current = kelvane::FieldView(path);
  if (!StartsWith(current, kDevicePrefix) && !StartsWith(current, kSystemRootPrefix)) return;
  const std::u16string normalized = kelvane::NormalizedImagePath(current);
  kelvane::CopyToField(path, normalized);
}

int64_t QueryFileSize(std::u16string_view path) {
  int64_t size = 0;
  if (!FileSizeOf(kelvane::NormalizedImagePath(path), &size)) return 0;
  return size;
}

int ReadVersionStrings(ModuleRecord* record) {
  return kelvane::ReadVersionStringsInto(
      kelvane::FieldView(record->szPath),
      {record->szPublisher, record->szDescript, record->szProductVersion, record->szFileVersion});
}

int ReadVersionStrings(ProcessRecord* record) {
  return kelvane::ReadVersionStringsInto(
      kelvane::FieldView(record->szPath),
      {record->szPublisher, record->szDescript, record->szProductVersion, record->szFileVersion});
}

int FillModuleRecord(ModuleRecord* record, kelvane::platform::ProcessHandle&,
                     const kelvane::platform::ModuleEntry& module) {
  if (!module.baseName.empty()) kelvane::CopyToField(record->szName, module.baseName);
  if (module.fullPath.empty()) return 1;
  // The file facts come from the whole path, even when the field has to cut
  // it.
  std::u16string normalized;
  const std::u16string* path = &module.fullPath;
  if (StartsWith(module.fullPath, kDevicePrefix) || StartsWith(module.fullPath, kSystemRootPrefix)) {
    normalized = kelvane::NormalizedImagePath(module.fullPath);
    path = &normalized;
  }
  kelvane::CopyToField(record->szPath, *path);
  ModuleFacts scratch;
  const ModuleFacts& facts = ModuleFactsOf(*path, &scratch);
  CopyIfPresent(record->szPublisher, facts.publisher);
  CopyIfPresent(record->szDescript, facts.description);
  CopyIfPresent(record->szProductVersion, facts.productVersion);
  CopyIfPresent(record->szFileVersion, facts.fileVersion);
  kelvane::CopyToField(record->szModifyTime, facts.modifyTime);
  return 1;
}

ModuleRecord* BuildModuleList(kelvane::platform::ProcessHandle& process) {
  std::vector<kelvane::platform::ModuleEntry> modules;
  try {
    if (!kelvane::platform::Current()->ListModules(process, kMaxModules, &modules)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ModuleRecord* head = nullptr;
  ModuleRecord* tail = nullptr;
  const size_t count = modules.size() < kMaxModules ? modules.size() : kMaxModules;
  for (size_t i = 0; i < count; ++i) {
    ModuleRecord* record = new (std::nothrow) ModuleRecord();
    if (record == nullptr) break;
    FillModuleRecord(record, process, modules[i]);
    if (tail == nullptr) {
      head = record;
    } else {
      tail->pNext = record;
    }
    tail = record;
  }
  return head;
}
