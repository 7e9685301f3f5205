// Loaded-module lists of a process and the facts about an executable file
// that the inventory reports: kernel path forms turned into ordinary paths,
// the file's size, its version-resource strings and its modification time.
#ifndef KELVANE_INVENTORY_MODULES_H_
#define KELVANE_INVENTORY_MODULES_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kelvane {

struct ProcessRecord;

// One module loaded in a process. Value-initialised records (new
// ModuleRecord()) are zero-filled; the records BuildModuleList makes start
// with every text field empty (terminated at its first unit, the units
// after it unspecified) and pNext null, so that a listing writes only the
// parts of its thousands of records that it fills. A field that no query
// filled is empty text. Text fields hold at most 260 units and are
// always terminated.
struct ModuleRecord {
  char16_t szName[261];            // base name (file name without directory)
  char16_t szPath[261];            // full path, normalised
  char16_t szPublisher[261];       // version string "CompanyName"
  char16_t szDescript[261];        // version string "FileDescription"
  char16_t szProductVersion[261];  // version string "ProductVersion"
  char16_t szFileVersion[261];     // version string "FileVersion"
  char16_t szModifyTime[261];      // "YYYY-MM-DD hh:mm:ss" local time, or empty
  ModuleRecord* pNext;             // next module of the same process; null at the end
  // The lengths of the seven text fields above, in their order, valid while
  // bLengthsKnown is set. FillModuleRecord sets them; code that changes a
  // text field afterwards clears the flag. Readers of many records (the
  // response writer) take a length from here instead of scanning the field:
  // an empty field is then never touched, which spares a cache miss per
  // field of a record filled long before.
  uint16_t nFieldLengths[7];
  bool bLengthsKnown;

  // Records taken with new come from the inventory's record pool.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* record) noexcept;
};

// The text fields of a module record, in the order of nFieldLengths.
enum ModuleField { kModuleName, kModulePath, kModulePublisher, kModuleDescript, kModuleProductVersion,
                   kModuleFileVersion, kModuleModifyTime, kModuleFieldCount };

// The text of field `field` of `record`, by its kept length when known.
std::u16string_view ModuleFieldView(const ModuleRecord& record, ModuleField field);

// Asks the processor to start loading the parts of `record` that the
// response writer reads (its field lengths and the starts of its name, path
// and time), so that they arrive while the record before it is written out.
// A hint: no effect on the record, nothing where the compiler offers none.
void PrefetchModuleFields(const ModuleRecord& record);

// The most modules one process contributes.
constexpr size_t kMaxModules = 1024;

// Lists the modules of `process` (opened for query), the image first, at
// most kMaxModules. Returns the head of a new chain that the caller owns
// (released with the process record by FreeProcessList, or with
// kelvane::FreeModuleList), or null when the modules cannot be listed or
// there are none. Every listed module yields a record even when its queries
// fail; an allocation failure ends the chain early.
ModuleRecord* BuildModuleList(kelvane::platform::ProcessHandle& process);

// Fills `record`, whose text fields are empty, from `module`, module `index` of the latest
// module list of `process`: name, normalised path, version strings and
// modification time (through the process where the platform can, else by
// path). Always returns 1.
int FillModuleRecord(ModuleRecord* record, kelvane::platform::ProcessHandle& process, size_t index,
                     const kelvane::platform::ModuleEntry& module);

// Rewrites the path in `path` (261 units, terminated) in place: a leading
// "\??\" is removed; a leading "\SystemRoot\" is replaced by the Windows
// directory and a separating backslash. Prefixes are compared exactly and
// only at the start. An expansion longer than 260 units is cut to 260 units;
// when the platform reports no Windows directory the path stays unchanged.
void NormalizeImagePath(char16_t (&path)[261]);

// Size in bytes of the file at `path` (normalised first), the true 64-bit
// size; 0 when the file cannot be opened for reading.
int64_t QueryFileSize(std::u16string_view path);

// Size in bytes of the image file of the opened `process`, asked through
// the process where the platform can, else QueryFileSize(`path`); 0 when
// unknown.
int64_t QueryImageFileSize(kelvane::platform::ProcessHandle& process, std::u16string_view path);

// Reads the version-resource strings "CompanyName", "FileDescription",
// "ProductVersion" and "FileVersion" of the file at the record's szPath
// under the first translation of the resource into szPublisher, szDescript,
// szProductVersion and szFileVersion (cut to 260 units). A string the
// resource lacks leaves its field as it was. Returns 0 when the file has a
// version resource without a translation table, 1 otherwise.
int ReadVersionStrings(ModuleRecord* record);
int ReadVersionStrings(ProcessRecord* record);

// The normalisation of NormalizeImagePath without a length limit.
std::u16string NormalizedImagePath(std::u16string_view path);

// "YYYY-MM-DD hh:mm:ss".
std::u16string FormatModifyTime(const platform::LocalTime& time);

// Empties every text field of `record` (its first unit only), nulls pNext
// and marks the field lengths unknown.
void ClearModuleRecord(ModuleRecord* record);

// Releases a module chain; null does nothing.
void FreeModuleList(ModuleRecord* head);

// While an object of this class lives, the size, version strings and
// modification time of each file path (of images and modules alike) are
// asked of the platform once and then reused (a listing meets the same
// image and libraries in many processes). Objects nest; the outermost one
// holds the facts. Not thread-safe, like the rest of the inventory.
class FileFactsCache {
 public:
  FileFactsCache();
  ~FileFactsCache();
  FileFactsCache(const FileFactsCache&) = delete;
  FileFactsCache& operator=(const FileFactsCache&) = delete;
};

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_MODULES_H_
