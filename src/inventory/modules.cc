#include "inventory/modules.h"

#include <cstdio>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "inventory/process_list.h"

namespace kelvane {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\??\\";
constexpr std::u16string_view kSystemRootPrefix = u"\\SystemRoot\\";

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The version strings of a file as its version resource holds them: the
// read's result, and each string (unset when the resource lacks it).
struct VersionStrings {
  int result = 1;
  std::optional<std::u16string> values[4];  // publisher, description, product, file version
};

// A file as the platform identifies it (device, file number).
struct FileIdentity {
  uint64_t device;
  uint64_t fileNumber;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && fileNumber == other.fileNumber;
  }
};
struct FileIdentityHash {
  size_t operator()(const FileIdentity& id) const {
    return std::hash<uint64_t>()(id.device * 0x9E3779B97F4A7C15ull ^ id.fileNumber);
  }
};

// The facts of a module file the platform identified: its version strings
// and, once some process could tell it, its modification time.
struct IdentifiedFile {
  VersionStrings versions;
  bool timeKnown = false;
  std::u16string modifyTime;
};

// File facts remembered while a FileFactsCache lives. A failed query by
// path is remembered as such; a failed query through a process is not (the
// next process mapping the same file may answer).
struct FileFacts {
  std::unordered_map<std::u16string, std::pair<bool, int64_t>> sizes;
  std::unordered_map<std::u16string, VersionStrings> versions;
  std::unordered_map<std::u16string, std::u16string> modifyTimes;  // empty when unknown
  std::unordered_map<FileIdentity, IdentifiedFile, FileIdentityHash> byIdentity;
  // Sizes of image files the platform identified and could measure.
  std::unordered_map<FileIdentity, int64_t, FileIdentityHash> imageSizes;
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

// Reads the four strings under the first translation of the file's version
// resource. The result is 0 when the file has a resource without a
// translation table, 1 otherwise.
VersionStrings QueryVersionStrings(const std::u16string& path) {
  VersionStrings strings;
  kelvane::platform::Platform* p = kelvane::platform::Current();
  std::vector<uint8_t> blob;
  if (!p->LoadVersionResource(path, &blob) || blob.empty()) return strings;

  std::vector<uint8_t> raw;
  std::u16string unused;
  if (!p->QueryVersionValue(blob, u"\\VarFileInfo\\Translation", &raw, &unused) || raw.size() < 4) {
    strings.result = 0;
    return strings;
  }
  // First translation only: language id, then code page, each 16-bit
  // little-endian.
  const unsigned language = raw[0] | (raw[1] << 8);
  const unsigned codePage = raw[2] | (raw[3] << 8);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\", language, codePage);
  const std::u16string base = kelvane::Widen(prefix);
  const char16_t* const keys[4] = {u"CompanyName", u"FileDescription", u"ProductVersion", u"FileVersion"};
  for (size_t i = 0; i < 4; ++i) {
    std::vector<uint8_t> valueRaw;
    std::u16string value;
    if (p->QueryVersionValue(blob, base + keys[i], &valueRaw, &value)) strings.values[i] = std::move(value);
  }
  return strings;
}

// The version strings of the file at `path`: remembered ones while a
// FileFactsCache lives, otherwise queried into `scratch`.
const VersionStrings& VersionStringsOf(const std::u16string& path, VersionStrings* scratch) {
  if (g_facts == nullptr) {
    *scratch = QueryVersionStrings(path);
    return *scratch;
  }
  auto found = g_facts->versions.find(path);
  if (found == g_facts->versions.end()) {
    found = g_facts->versions.emplace(path, QueryVersionStrings(path)).first;
  }
  return found->second;
}

std::u16string QueryModifyTime(const std::u16string& path) {
  kelvane::platform::LocalTime time;
  if (!kelvane::platform::Current()->FileModifyTime(path, &time)) return {};
  return kelvane::FormatModifyTime(time);
}

// "YYYY-MM-DD hh:mm:ss" of the file at `path`, empty when unknown;
// remembered while a FileFactsCache lives.
std::u16string ModifyTimeOf(const std::u16string& path) {
  if (g_facts == nullptr) return QueryModifyTime(path);
  auto found = g_facts->modifyTimes.find(path);
  if (found == g_facts->modifyTimes.end()) {
    found = g_facts->modifyTimes.emplace(path, QueryModifyTime(path)).first;
  }
  return found->second;
}

// The four version fields of a record, each 261 units.
struct VersionFields {
  char16_t* publisher;
  char16_t* description;
  char16_t* productVersion;
  char16_t* fileVersion;
};

// The version fields of a module or process record.
template <typename Record>
VersionFields VersionFieldsOf(Record* record) {
  return {record->szPublisher, record->szDescript, record->szProductVersion, record->szFileVersion};
}

// Stores each string the file holds into its field (cut to 260 units); a
// string the resource lacks leaves its field as it was. Returns the read's
// result.
int ApplyVersionStrings(const VersionStrings& strings, const VersionFields& fields) {
  char16_t* const targets[4] = {fields.publisher, fields.description, fields.productVersion,
                                fields.fileVersion};
  for (size_t i = 0; i < 4; ++i) {
    if (strings.values[i]) kelvane::CopyBounded(targets[i], 261, *strings.values[i]);
  }
  return strings.result;
}

int ApplyVersionStrings(const std::u16string& path, const VersionFields& fields) {
  VersionStrings scratch;
  return ApplyVersionStrings(VersionStringsOf(path, &scratch), fields);
}

// "YYYY-MM-DD hh:mm:ss" of the file of module `index` of `process`, asked
// through the process where the platform can, else by `path`; empty when
// unknown. `known` (may be null) tells whether the answer came through the
// process.
std::u16string QueryModuleModifyTime(kelvane::platform::ProcessHandle& process, size_t index,
                                     const std::u16string& path, bool* known) {
  kelvane::platform::LocalTime time;
  switch (kelvane::platform::Current()->ModuleModifyTime(process, index, &time)) {
    case kelvane::platform::FileFact::kKnown:
      if (known != nullptr) *known = true;
      return kelvane::FormatModifyTime(time);
    case kelvane::platform::FileFact::kUnknown:
      return {};
    case kelvane::platform::FileFact::kAskByPath:
      break;
  }
  return ModifyTimeOf(path);
}

// Version strings and modification time of module `index` of `process` into
// `record`. A file the platform identified is looked up once per
// FileFactsCache by its identity, whatever path each process sees it
// under; a time that could not be told is asked again of the next process
// mapping the file.
void ApplyModuleFileFacts(ModuleRecord* record, kelvane::platform::ProcessHandle& process, size_t index,
                          const kelvane::platform::ModuleEntry& module, const std::u16string& path) {
  if (g_facts == nullptr || (module.device == 0 && module.fileNumber == 0)) {
    ApplyVersionStrings(path, VersionFieldsOf(record));
    kelvane::CopyToField(record->szModifyTime, QueryModuleModifyTime(process, index, path, nullptr));
    return;
  }
  const FileIdentity identity{module.device, module.fileNumber};
  auto found = g_facts->byIdentity.find(identity);
  if (found == g_facts->byIdentity.end()) {
    IdentifiedFile facts;
    facts.versions = QueryVersionStrings(path);
    found = g_facts->byIdentity.emplace(identity, std::move(facts)).first;
  }
  IdentifiedFile& facts = found->second;
  ApplyVersionStrings(facts.versions, VersionFieldsOf(record));
  if (!facts.timeKnown) {
    const std::u16string time = QueryModuleModifyTime(process, index, path, &facts.timeKnown);
    if (!facts.timeKnown) {
      kelvane::CopyToField(record->szModifyTime, time);
      return;
    }
    facts.modifyTime = time;
  }
  kelvane::CopyToField(record->szModifyTime, facts.modifyTime);
}

}  // namespace

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

std::u16string FormatModifyTime(const platform::LocalTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return Widen(text);
}

FileFactsCache::FileFactsCache() {
  // Counted only once the facts exist: an allocation that fails here leaves
  // no cache behind that nobody would ever end.
  if (g_factsDepth == 0) g_facts = new FileFacts();
  ++g_factsDepth;
}

FileFactsCache::~FileFactsCache() {
  if (--g_factsDepth == 0) {
    delete g_facts;
    g_facts = nullptr;
  }
}

void ClearModuleRecord(ModuleRecord* record) {
  record->szName[0] = u'\0';
  record->szPath[0] = u'\0';
  record->szPublisher[0] = u'\0';
  record->szDescript[0] = u'\0';
  record->szProductVersion[0] = u'\0';
  record->szFileVersion[0] = u'\0';
  record->szModifyTime[0] = u'\0';
  record->pNext = nullptr;
  record->bLengthsKnown = false;
}

void FreeModuleList(ModuleRecord* head) {
  while (head != nullptr) {
    ModuleRecord* next = head->pNext;
    delete head;
    head = next;
  }
}

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

int64_t QueryImageFileSize(kelvane::platform::ProcessHandle& process, std::u16string_view path) {
  kelvane::platform::Platform* p = kelvane::platform::Current();
  // An image many processes run is measured once per FileFactsCache; a
  // size that could not be told is asked again of the next process.
  FileIdentity identity{0, 0};
  const bool identified =
      g_facts != nullptr && p->ImageFileIdentity(process, &identity.device, &identity.fileNumber);
  if (identified) {
    auto found = g_facts->imageSizes.find(identity);
    if (found != g_facts->imageSizes.end()) return found->second;
  }
  int64_t size = 0;
  switch (p->ImageFileSize(process, &size)) {
    case kelvane::platform::FileFact::kKnown:
      if (identified) g_facts->imageSizes.emplace(identity, size);
      return size;
    case kelvane::platform::FileFact::kUnknown:
      return 0;
    case kelvane::platform::FileFact::kAskByPath:
      break;
  }
  return QueryFileSize(path);
}

int ReadVersionStrings(ModuleRecord* record) {
  record->bLengthsKnown = false;
  return ApplyVersionStrings(std::u16string(kelvane::FieldView(record->szPath)), VersionFieldsOf(record));
}

int ReadVersionStrings(ProcessRecord* record) {
  return ApplyVersionStrings(std::u16string(kelvane::FieldView(record->szPath)), VersionFieldsOf(record));
}

namespace {

// The text fields of a module record in the order of nFieldLengths.
void ModuleFields(const ModuleRecord& record, const char16_t* (&fields)[kModuleFieldCount]) {
  fields[kModuleName] = record.szName;
  fields[kModulePath] = record.szPath;
  fields[kModulePublisher] = record.szPublisher;
  fields[kModuleDescript] = record.szDescript;
  fields[kModuleProductVersion] = record.szProductVersion;
  fields[kModuleFileVersion] = record.szFileVersion;
  fields[kModuleModifyTime] = record.szModifyTime;
}

// Measures the fields of `record` (just filled, so still in the cache).
void KeepFieldLengths(ModuleRecord* record) {
  const char16_t* fields[kModuleFieldCount];
  ModuleFields(*record, fields);
  for (size_t i = 0; i < kModuleFieldCount; ++i) {
    record->nFieldLengths[i] = static_cast<uint16_t>(kelvane::FieldLength(fields[i], 261));
  }
  record->bLengthsKnown = true;
}

}  // namespace

std::u16string_view ModuleFieldView(const ModuleRecord& record, ModuleField field) {
  const char16_t* fields[kModuleFieldCount];
  ModuleFields(record, fields);
  if (record.bLengthsKnown) return std::u16string_view(fields[field], record.nFieldLengths[field]);
  return std::u16string_view(fields[field], kelvane::FieldLength(fields[field], 261));
}

void PrefetchModuleFields(const ModuleRecord& record) {
#if defined(__GNUC__) || defined(__clang__)
  // Records were filled long before they are written out and lie kilobytes
  // apart, so each of these lines would otherwise be a miss to memory.
  __builtin_prefetch(&record.nFieldLengths[0]);
  __builtin_prefetch(&record.szName[0]);
  __builtin_prefetch(&record.szPath[0]);
  __builtin_prefetch(&record.szPath[32]);
  __builtin_prefetch(&record.szPath[64]);
  __builtin_prefetch(&record.szModifyTime[0]);
#else
  (void)record;
#endif
}

int FillModuleRecord(ModuleRecord* record, kelvane::platform::ProcessHandle& process, size_t index,
                     const kelvane::platform::ModuleEntry& module) {
  record->bLengthsKnown = false;
  if (!module.baseName.empty()) kelvane::CopyToField(record->szName, module.baseName);
  if (module.fullPath.empty()) {
    KeepFieldLengths(record);
    return 1;
  }
  // The file facts come from the whole path, even when the field has to cut
  // it.
  std::u16string normalized;
  const std::u16string* path = &module.fullPath;
  if (StartsWith(module.fullPath, kDevicePrefix) || StartsWith(module.fullPath, kSystemRootPrefix)) {
    normalized = kelvane::NormalizedImagePath(module.fullPath);
    path = &normalized;
  }
  kelvane::CopyToField(record->szPath, *path);
  ApplyModuleFileFacts(record, process, index, module, *path);
  KeepFieldLengths(record);
  return 1;
}

ModuleRecord* BuildModuleList(kelvane::platform::ProcessHandle& process) {
  // Kept between processes, so that the entries' strings keep their
  // storage (the inventory is used by one call at a time).
  static std::vector<kelvane::platform::ModuleEntry> modules;
  try {
    if (!kelvane::platform::Current()->ListModules(process, kMaxModules, &modules)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ModuleRecord* head = nullptr;
  ModuleRecord* tail = nullptr;
  const size_t count = modules.size() < kMaxModules ? modules.size() : kMaxModules;
  for (size_t i = 0; i < count; ++i) {
    // Not value-initialised: emptying the fields is enough, and spares
    // writing the whole record.
    ModuleRecord* record = new (std::nothrow) ModuleRecord;
    if (record == nullptr) break;
    kelvane::ClearModuleRecord(record);
    FillModuleRecord(record, process, i, modules[i]);
    if (tail == nullptr) {
      head = record;
    } else {
      tail->pNext = record;
    }
    tail = record;
  }
  return head;
}

}  // namespace kelvane
