// Facts about open processes: image name and path, working set, command
// line (read from the process's environment block), owning account, loaded
// modules, and the CPU times of the whole system. A process of the other
// word size (64-bit, seen from the 32-bit build) is read through
// wow64_win32.h; every other process through the process-status library.
// <windows.h> (through the backend header) must precede the other OS headers.
#include "platform/win32/win32_platform.h"

#include <psapi.h>

#include <vector>

#include "platform/win32/nt_layout.h"
#include "platform/win32/wow64_win32.h"

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

}  // namespace

bool Win32Platform::ImageBaseName(ProcessHandle& process, std::u16string* name) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr) return false;
  if (wow64::IsOtherWordSize(win32->handle())) {
    std::u16string path;
    if (!wow64::ImagePath(win32->handle(), &path)) return false;
    *name = wow64::BaseName(path);
    return true;
  }
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
  if (win32 == nullptr) return false;
  if (wow64::IsOtherWordSize(win32->handle())) return wow64::ImagePath(win32->handle(), path);
  return ModuleFileName(win32->handle(), nullptr, path);
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
  if (wow64::IsOtherWordSize(handle)) return wow64::CommandLine(handle, commandLine);
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
  return tables_.ProcessUserName(pid, name);
}

bool Win32Platform::ListModules(ProcessHandle& process, size_t limit,
                                std::vector<ModuleEntry>* modules) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr || limit == 0) return false;
  if (wow64::IsOtherWordSize(win32->handle())) {
    if (wow64::ListModules(win32->handle(), limit, modules)) return true;
    // Without the loader list, at least the image.
    ModuleEntry image;
    if (!wow64::ImagePath(win32->handle(), &image.fullPath)) return false;
    image.baseName = wow64::BaseName(image.fullPath);
    modules->assign(1, std::move(image));
    return true;
  }
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
  return tables_.CpuTimes(pid, processTime, totalTime);
}

}  // namespace platform
}  // namespace kelvane
