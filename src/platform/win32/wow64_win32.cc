// Processes of the other word size; see wow64_win32.h.
#include "platform/win32/wow64_win32.h"

#include <cstring>
#include <new>
#include <unordered_set>

#include "platform/win32/nt_layout.h"

namespace kelvane {
namespace platform {
namespace wow64 {

namespace {

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);
typedef BOOL(WINAPI* QueryFullProcessImageNameWFn)(HANDLE, DWORD, LPWSTR, PDWORD);
typedef LONG(NTAPI* NtQueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(NTAPI* NtWow64QueryInformationProcess64Fn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(NTAPI* NtWow64ReadVirtualMemory64Fn)(HANDLE, unsigned long long, PVOID,
                                                  unsigned long long, unsigned long long*);

template <typename Fn>
Fn Resolve(const wchar_t* module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(ResolveExport(module, name)));
}

constexpr ULONG kProcessCommandLineInformation = 60;
// A command line holds at most 32767 units; with its counted-string header
// the answer never needs more than this.
constexpr ULONG kCommandLineAnswerLimit = 0x10100;
constexpr size_t kBasicInformation64Size = 48;
constexpr size_t kBasicInformation64Peb = 8;
constexpr size_t kBasicInformation64Parent = 40;

// The counted string (64-bit layout) at `field`, read through `read`: its
// length in bytes, an odd last byte left out. False when it cannot be read
// or claims more than its maximum length: such a string is being changed
// or is none, and the bytes beyond its buffer are not its text.
bool ReadString64(const MemoryReader& read, const unsigned char* field, std::u16string* text) {
  const size_t length = nt::Read<uint16_t>(field, nt::Loader64::stringLength) & ~size_t{1};
  if (length > nt::Read<uint16_t>(field, nt::Loader64::stringMaximum)) return false;
  if (length == 0) {
    text->clear();
    return true;
  }
  std::vector<char16_t> units(length / 2);
  if (!read(nt::Read<uint64_t>(field, nt::Loader64::stringBuffer), units.data(), length)) return false;
  text->assign(units.begin(), units.end());
  return true;
}

// The 64-bit basic information of `process` (information class 0) into
// `record`, through the WOW64 native services; false when missing.
bool QueryBasicInformation64(HANDLE process, unsigned char (&record)[kBasicInformation64Size]) {
  NtWow64QueryInformationProcess64Fn query =
      Resolve<NtWow64QueryInformationProcess64Fn>(L"ntdll", "NtWow64QueryInformationProcess64");
  if (query == nullptr) return false;
  // 8-byte aligned, as the 64-bit structure is.
  uint64_t basic[kBasicInformation64Size / sizeof(uint64_t)] = {};
  if (query(process, 0, basic, sizeof basic, nullptr) != 0) return false;
  std::memcpy(record, basic, sizeof basic);
  return true;
}

// The 64-bit environment block of `process` and a reader of its memory,
// through the WOW64 native services. False when either is missing or the
// block's address cannot be had.
bool Reach64(HANDLE process, uint64_t* peb, MemoryReader* reader) {
  NtWow64ReadVirtualMemory64Fn readMemory =
      Resolve<NtWow64ReadVirtualMemory64Fn>(L"ntdll", "NtWow64ReadVirtualMemory64");
  unsigned char basic[kBasicInformation64Size];
  if (readMemory == nullptr || !QueryBasicInformation64(process, basic)) return false;
  *peb = nt::Read<uint64_t>(basic, kBasicInformation64Peb);
  if (*peb == 0) return false;
  *reader = [process, readMemory](uint64_t address, void* buffer, size_t size) {
    if (address == 0) return false;
    unsigned long long done = 0;
    return readMemory(process, address, buffer, size, &done) == 0 && done == size;
  };
  return true;
}

// ProcessCommandLineInformation (Windows 8.1 and later): a counted string
// in this build's layout followed by its text, all in `answer`.
bool QueryCommandLineInformation(HANDLE process, std::u16string* commandLine) {
  NtQueryInformationProcessFn query =
      Resolve<NtQueryInformationProcessFn>(L"ntdll", "NtQueryInformationProcess");
  if (query == nullptr) return false;
  std::vector<uint64_t> storage(0x1000 / sizeof(uint64_t));
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ULONG size = static_cast<ULONG>(storage.size() * sizeof(uint64_t));
    ULONG needed = 0;
    if (query(process, kProcessCommandLineInformation, storage.data(), size, &needed) == 0) {
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(storage.data());
      const size_t header = 2 * sizeof(void*);
      const size_t length = nt::Read<uint16_t>(bytes, 0) & ~size_t{1};
      const size_t maximum = nt::Read<uint16_t>(bytes, 2);
      const uint64_t text = nt::ReadWord(bytes, sizeof(void*));
      const uint64_t base = reinterpret_cast<uintptr_t>(bytes);
      // A length beyond the maximum is no string; the text must lie inside
      // the answer, after the header.
      if (length > maximum) return false;
      if (length != 0 && (text < base + header || text - base > size || length > size - (text - base))) {
        return false;
      }
      commandLine->resize(length / 2);
      if (length != 0) std::memcpy(&(*commandLine)[0], bytes + (text - base), length);
      return true;
    }
    // Grow only when the call names a larger size, whatever status it used.
    if (needed <= size || needed > kCommandLineAnswerLimit) return false;
    storage.assign((needed + 7) / sizeof(uint64_t), 0);
  }
  return false;
}

// The modules of the 64-bit loader list, as ReadLoaderList64 without its
// guard against running out of memory.
bool WalkLoaderList64(const MemoryReader& read, uint64_t peb, size_t limit,
                      std::vector<ModuleEntry>* modules) {
  if (limit == 0) return false;
  unsigned char block[0x20] = {};
  if (!read(peb, block, sizeof block)) return false;
  const uint64_t loader = nt::Read<uint64_t>(block, nt::Loader64::pebLoaderData);
  unsigned char loaderData[0x20] = {};
  if (loader == 0 || !read(loader, loaderData, sizeof loaderData)) return false;
  const uint64_t head = loader + nt::Loader64::loaderLoadOrderList;
  uint64_t link = nt::Read<uint64_t>(loaderData, nt::Loader64::loaderLoadOrderList);

  std::vector<ModuleEntry> out;
  // Entries already visited: a list that loops (changed while it is read)
  // ends at the first entry seen again, never listing a module twice.
  std::unordered_set<uint64_t> visited;
  while (link != 0 && link != head && out.size() < limit && visited.insert(link).second) {
    unsigned char entry[nt::Loader64::entryReadSize] = {};
    if (!read(link, entry, sizeof entry)) break;
    ModuleEntry module;
    // A name that cannot be read stays empty.
    ReadString64(read, entry + nt::Loader64::entryFullName, &module.fullPath);
    ReadString64(read, entry + nt::Loader64::entryBaseName, &module.baseName);
    out.push_back(std::move(module));
    link = nt::Read<uint64_t>(entry, nt::Loader64::entryNext);
  }
  if (out.empty()) return false;
  *modules = std::move(out);
  return true;
}

}  // namespace

bool IsOtherWordSize(HANDLE process) {
  if (sizeof(void*) == 8) return false;
  IsWow64ProcessFn isWow64 = Resolve<IsWow64ProcessFn>(L"kernel32.dll", "IsWow64Process");
  if (isWow64 == nullptr) return false;
  BOOL self = FALSE;
  if (!isWow64(GetCurrentProcess(), &self) || !self) return false;
  BOOL target = TRUE;
  if (!isWow64(process, &target)) return false;
  return !target;
}

bool ImagePath(HANDLE process, std::u16string* path) {
  QueryFullProcessImageNameWFn query =
      Resolve<QueryFullProcessImageNameWFn>(L"kernel32.dll", "QueryFullProcessImageNameW");
  if (query == nullptr) return false;
  // The call fails when the buffer is too small; ask again with more room,
  // up to the longest path Windows knows.
  for (DWORD capacity = MAX_PATH + 1; capacity <= 32768; capacity *= 2) {
    std::vector<wchar_t> buffer(capacity);
    DWORD length = capacity;
    if (query(process, 0, buffer.data(), &length)) {
      if (length == 0 || length >= capacity) return false;
      *path = FromWide(buffer.data(), length);
      return true;
    }
  }
  return false;
}

bool ParentId(HANDLE process, uint32_t* parentPid) {
  unsigned char basic[kBasicInformation64Size];
  if (!QueryBasicInformation64(process, basic)) return false;
  *parentPid = static_cast<uint32_t>(nt::Read<uint64_t>(basic, kBasicInformation64Parent));
  return true;
}

std::u16string BaseName(const std::u16string& path) {
  const size_t slash = path.find_last_of(u'\\');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

bool CommandLine(HANDLE process, std::u16string* commandLine) {
  try {
    // The text comes whole or not at all.
    std::u16string text;
    if (!QueryCommandLineInformation(process, &text)) {
      uint64_t peb = 0;
      MemoryReader read;
      if (!Reach64(process, &peb, &read) || !ReadCommandLine64(read, peb, &text)) return false;
    }
    commandLine->swap(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ListModules(HANDLE process, size_t limit, std::vector<ModuleEntry>* modules) {
  try {
    uint64_t peb = 0;
    MemoryReader read;
    return Reach64(process, &peb, &read) && ReadLoaderList64(read, peb, limit, modules);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ReadCommandLine64(const MemoryReader& read, uint64_t peb, std::u16string* commandLine) {
  const nt::Layout& layout = nt::kLayout64;
  unsigned char block[64] = {};
  if (!read(peb, block, layout.pebReadSize)) return false;
  unsigned char parameters[160] = {};
  if (!read(nt::Read<uint64_t>(block, layout.pebParameters), parameters, layout.parametersReadSize)) {
    return false;
  }
  try {
    std::u16string text;
    if (!ReadString64(read, parameters + layout.commandLineLength, &text)) return false;
    commandLine->swap(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ReadLoaderList64(const MemoryReader& read, uint64_t peb, size_t limit,
                      std::vector<ModuleEntry>* modules) {
  try {
    return WalkLoaderList64(read, peb, limit, modules);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace wow64
}  // namespace platform
}  // namespace kelvane
