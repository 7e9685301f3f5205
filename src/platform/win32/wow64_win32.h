// Processes of the other word size: a 64-bit process seen from the 32-bit
// build on 64-bit Windows. The process-status library cannot reach such a
// process from a 32-bit one, so its image comes from
// QueryFullProcessImageNameW, and its command line and modules from its
// 64-bit environment block, read through the WOW64 native services. Every
// service is resolved by name at the call and may be missing (older
// Windows, Wine); each route then fails and the caller falls back.
#ifndef KELVANE_PLATFORM_WIN32_WOW64_WIN32_H_
#define KELVANE_PLATFORM_WIN32_WOW64_WIN32_H_

#include "platform/win32/win32_platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvane {
namespace platform {
namespace wow64 {

// Reads `size` bytes at the 64-bit `address` of one process into `buffer`;
// false unless all of them were read.
using MemoryReader = std::function<bool(uint64_t address, void* buffer, size_t size)>;

// True when `process` has another word size than this library: this build
// is 32-bit and runs under WOW64 while the process does not. False in a
// 64-bit build, on 32-bit Windows, and whenever either side cannot be told
// (the process is then treated as one of this build's word size).
bool IsOtherWordSize(HANDLE process);

// The image's full Win32 path from QueryFullProcessImageNameW; false when
// the call is missing or fails.
bool ImagePath(HANDLE process, std::u16string* path);

// The last component of `path` (after its last backslash).
std::u16string BaseName(const std::u16string& path);

// The command line of a 64-bit process: ProcessCommandLineInformation
// first, then the 64-bit environment block. False when neither works.
bool CommandLine(HANDLE process, std::u16string* commandLine);

// The modules of a 64-bit process from its 64-bit loader list, the image
// first, at most `limit`. False when the list cannot be reached or holds
// nothing.
bool ListModules(HANDLE process, size_t limit, std::vector<ModuleEntry>* modules);

// The parent id recorded for a 64-bit process, from its 64-bit basic
// information (NtWow64QueryInformationProcess64); for when the basic
// information in this build's layout is refused. False when missing.
bool ParentId(HANDLE process, uint32_t* parentPid);

// The layout readers behind the routes above, on any reader of a 64-bit
// process's memory whose environment block is at `peb`. Exposed so that the
// 64-bit build can check them on a live process with ReadProcessMemory.
bool ReadCommandLine64(const MemoryReader& read, uint64_t peb, std::u16string* commandLine);
bool ReadLoaderList64(const MemoryReader& read, uint64_t peb, size_t limit,
                      std::vector<ModuleEntry>* modules);

}  // namespace wow64
}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_WIN32_WOW64_WIN32_H_
