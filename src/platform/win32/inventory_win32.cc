// Facts about open processes: image name and path, working set, command
// line (read from the process's environment block), owning account, loaded
// modules, and the CPU times of the whole system.
// <windows.h> (through the backend header) must precede the other OS headers.
#include "platform/win32/win32_platform.h"

#include <psapi.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/win32/nt_layout.h"

namespace kelvane {
namespace platform {

namespace {

bool ModuleBaseName(HANDLE process, HMODULE module, std::u16string* name) {
  return QueryGrowing(
      [&](wchar_t* buffer, DWORD size) { return GetModuleBaseNameW(process, module, buffer, size); },
      name);
}

bool ModuleFileName(HANDLE process, HMODULE module, std::u16string* path) {
  return QueryGrowing(
      [&](wchar_t* buffer, DWORD size) {
        return GetModuleFileNameExW(process, module, buffer, size);
      },
      path);
}

bool ReadMemory(HANDLE process, uint64_t address, void* buffer, size_t size) {
  if (address == 0) return false;
  SIZE_T read = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                           buffer, size, &read) &&
         read == size;
}

typedef LONG(NTAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
constexpr ULONG kSystemProcessInformation = 5;

}  // namespace

bool Win32Platform::ImageBaseName(ProcessHandle& process, std::u16string* name) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr) return false;
  // The first module is the image.
  HMODULE image = nullptr;
  DWORD needed = 0;
  if (!EnumProcessModules(win32->handle(), &image, sizeof image, &needed) || needed == 0) {
    return false;
  }
  return ModuleBaseName(win32->handle(), image, name);
}

bool Win32Platform::ImageFullPath(ProcessHandle& process, std::u16string* path) {
  Win32Process* win32 = AsWin32(process);
  return win32 != nullptr && ModuleFileName(win32->handle(), nullptr, path);
}

bool Win32Platform::WorkingSetSize(ProcessHandle& process, int64_t* bytes) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr) return false;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(win32->handle(), &counters, sizeof counters)) return false;
  *bytes = static_cast<int64_t>(counters.WorkingSetSize);
  return true;
}

bool Win32Platform::CommandLine(ProcessHandle& process, std::u16string* commandLine) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr) return false;
  const HANDLE handle = win32->handle();
  const nt::Layout& layout = nt::kLayout;

  unsigned char basic[64] = {};
  if (!QueryBasicInformation(handle, basic)) return false;

  unsigned char peb[64] = {};
  if (!ReadMemory(handle, nt::ReadWord(basic, layout.basicPebAddress), peb, layout.pebReadSize)) {
    return false;
  }
  unsigned char parameters[160] = {};
  if (!ReadMemory(handle, nt::ReadWord(peb, layout.pebParameters), parameters,
                  layout.parametersReadSize)) {
    return false;
  }
  const size_t length = nt::Read<uint16_t>(parameters, layout.commandLineLength);
  if (length == 0) {
    commandLine->clear();
    return true;
  }
  std::vector<wchar_t> text(length / sizeof(wchar_t) + 1);
  if (!ReadMemory(handle, nt::ReadWord(parameters, layout.commandLineBuffer), text.data(),
                  length)) {
    return false;
  }
  *commandLine = FromWide(text.data(), length / sizeof(wchar_t));
  return true;
}

UserLookup Win32Platform::ProcessUserName(uint32_t pid, std::u16string* name) {
  WTS_PROCESS_INFOW* table = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &table, &count)) {
    return UserLookup::kTableUnavailable;
  }
  UserLookup result = UserLookup::kNotListed;
  for (DWORD i = 0; i < count; ++i) {
    if (table[i].ProcessId != pid) continue;
    wchar_t account[261] = {};
    wchar_t domain[261] = {};
    DWORD accountSize = 260;
    DWORD domainSize = 260;
    SID_NAME_USE use;
    if (table[i].pUserSid != nullptr &&
        LookupAccountSidW(nullptr, table[i].pUserSid, account, &accountSize, domain, &domainSize,
                          &use)) {
      *name = FromWide(account);
      result = UserLookup::kFound;
    } else {
      result = UserLookup::kAccountUnknown;
    }
    break;
  }
  WTSFreeMemory(table);
  return result;
}

bool Win32Platform::ListModules(ProcessHandle& process, size_t limit,
                                std::vector<ModuleEntry>* modules) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr || limit == 0) return false;
  std::vector<HMODULE> handles(limit);
  DWORD needed = 0;
  if (!EnumProcessModules(win32->handle(), handles.data(),
                          static_cast<DWORD>(handles.size() * sizeof(HMODULE)), &needed)) {
    return false;
  }
  size_t count = needed / sizeof(HMODULE);
  if (count > limit) count = limit;
  std::vector<ModuleEntry> out(count);
  for (size_t i = 0; i < count; ++i) {
    // A field whose query fails stays empty.
    ModuleBaseName(win32->handle(), handles[i], &out[i].baseName);
    ModuleFileName(win32->handle(), handles[i], &out[i].fullPath);
  }
  *modules = std::move(out);
  return true;
}

bool Win32Platform::CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) {
  NtQuerySystemInformationFn query = reinterpret_cast<NtQuerySystemInformationFn>(
      reinterpret_cast<void*>(ResolveExport(L"ntdll", "NtQuerySystemInformation")));
  if (query == nullptr) return false;

  // The table's size changes from call to call: grow the buffer and retry
  // while the call reports that it does not fit. 8-byte aligned storage.
  std::vector<uint64_t> storage(0x20000 / sizeof(uint64_t));
  LONG status = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(storage.size() * sizeof(uint64_t));
    status = query(kSystemProcessInformation, storage.data(), size, &needed);
    if (status != kStatusInfoLengthMismatch) break;
    size_t next = storage.size() * 2;
    const size_t wanted = (static_cast<size_t>(needed) + 0x10000) / sizeof(uint64_t);
    if (wanted > next) next = wanted;
    if (next * sizeof(uint64_t) > (size_t{256} << 20)) return false;
    storage.assign(next, 0);
  }
  if (status != 0) return false;

  const nt::Layout& layout = nt::kLayout;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(storage.data());
  const size_t size = storage.size() * sizeof(uint64_t);
  int64_t total = 0;
  int64_t own = 0;
  size_t offset = 0;
  while (offset + layout.processEntryMinimum <= size) {
    const unsigned char* entry = bytes + offset;
    const int64_t time = static_cast<int64_t>(nt::Read<uint64_t>(entry, layout.processKernelTime)) +
                         static_cast<int64_t>(nt::Read<uint64_t>(entry, layout.processUserTime));
    total += time;
    if (nt::ReadWord(entry, layout.processId) == pid) own += time;
    const uint32_t next = nt::Read<uint32_t>(entry, layout.processNextEntry);
    if (next == 0) break;
    offset += next;
  }
  *processTime = own;
  *totalTime = total;
  return true;
}

}  // namespace platform
}  // namespace kelvane
