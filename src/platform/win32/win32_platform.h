// The Windows backend: Toolhelp and the process-status library for process
// facts, native services resolved from ntdll for CPU times, parent ids and
// the environment block, and the documented Win32 calls for control,
// accounts, privileges, version resources and files. Its methods are spread
// over a few files by topic (system_win32.cc, files_win32.cc,
// process_win32.cc, inventory_win32.cc); this header is their common
// declaration. Only files of this directory include <windows.h>.
#ifndef KELVANE_PLATFORM_WIN32_WIN32_PLATFORM_H_
#define KELVANE_PLATFORM_WIN32_WIN32_PLATFORM_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The oldest Windows the library supports is XP / Server 2003; the
// process-status calls come from psapi.dll, not from kernel32's K32 aliases.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0502
#endif
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 1
#endif

#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {
namespace platform {

// UTF-16 text between the portable code (char16_t) and Win32 (wchar_t, also
// UTF-16 on Windows). Only this backend converts.
std::wstring ToWide(const std::u16string& text);
std::u16string FromWide(const wchar_t* text, size_t length);
std::u16string FromWide(const wchar_t* text);  // zero-terminated

// Runs a name query of the GetModuleFileNameW kind (`query(buffer, size)`
// returns the length written, 0 on failure, and cuts a name that does not
// fit without saying so reliably), asking again with more room while the
// buffer came back full, up to 32768 units. False (and *out untouched) when
// the query fails or the name does not fit even then.
template <typename Query>
bool QueryGrowing(Query query, std::u16string* out) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = query(buffer.data(), size);
    if (length == 0) return false;
    if (length < size - 1) {
      *out = FromWide(buffer.data(), length);
      return true;
    }
    if (buffer.size() >= 32768) return false;
    buffer.resize(buffer.size() * 2);
  }
}

// An open process handle; closed when the object goes.
class Win32Process final : public ProcessHandle {
 public:
  Win32Process(uint32_t pid, HANDLE handle) : pid_(pid), handle_(handle) {}
  ~Win32Process() override { CloseHandle(handle_); }
  Win32Process(const Win32Process&) = delete;
  Win32Process& operator=(const Win32Process&) = delete;

  uint32_t pid() const override { return pid_; }
  HANDLE handle() const { return handle_; }

 private:
  uint32_t pid_;
  HANDLE handle_;
};

// The Win32 process behind `process`, or null for a handle of another kind.
inline Win32Process* AsWin32(ProcessHandle& process) { return dynamic_cast<Win32Process*>(&process); }

// The process token of this process; closed when the object goes.
class Win32Token final : public TokenHandle {
 public:
  explicit Win32Token(HANDLE handle) : handle_(handle) {}
  ~Win32Token() override { CloseHandle(handle_); }
  Win32Token(const Win32Token&) = delete;
  Win32Token& operator=(const Win32Token&) = delete;

  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// Address of `name` in the already loaded module `module` ("ntdll",
// "kernel32.dll"), or null. Looked up anew at every call.
FARPROC ResolveExport(const wchar_t* module, const char* name);

// NtQueryInformationProcess, information class 0, into `record` (room for
// nt::kLayout.basicInfoSize bytes). False when the call is missing or fails.
bool QueryBasicInformation(HANDLE process, unsigned char* record);

class Win32Platform final : public Platform {
 public:
  // system_win32.cc
  std::u16string LibraryFilePath(const void* addressInLibrary) override;
  char16_t PathSeparator() override;
  std::u16string ReadProfileString(const std::u16string& section, const std::u16string& key,
                                   const std::u16string& fallback,
                                   const std::u16string& path) override;
  void SetParserLocale() override;
  LocalTime Now() override;
  std::unique_ptr<TokenHandle> OpenOwnToken() override;
  bool LookupPrivilege(const std::u16string& name, uint64_t* luid) override;
  bool EnablePrivilege(TokenHandle& token, uint64_t luid) override;
  bool QueryOsVersion(OsVersionFacts* facts) override;
  bool ReadProductType(std::u16string* productType) override;

  // files_win32.cc
  std::unique_ptr<OutputFile> CreateOutputFile(const std::u16string& path,
                                               std::u16string* error) override;
  bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) override;
  bool FileSize(const std::u16string& path, int64_t* size) override;
  bool FileModifyTime(const std::u16string& path, LocalTime* time) override;
  bool LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) override;
  bool QueryVersionValue(const std::vector<uint8_t>& blob, const std::u16string& subBlock,
                         std::vector<uint8_t>* raw, std::u16string* text) override;
  std::u16string WindowsDirectory() override;

  // process_win32.cc
  bool SnapshotProcessIds(std::vector<uint32_t>* pids) override;
  bool EnumerateProcessIds(std::vector<uint32_t>* pids) override;
  bool IsSystemProcessId(uint32_t pid) override;
  std::unique_ptr<ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) override;
  bool TerminateProcess(ProcessHandle& process, uint32_t exitCode) override;
  bool QueryParent(ProcessHandle& process, uint32_t* parentPid, uint64_t* creationTime) override;
  bool SetPriorityClass(ProcessHandle& process, uint32_t priorityClass) override;
  uint32_t GetPriorityClass(ProcessHandle& process) override;

  // inventory_win32.cc
  bool ImageBaseName(ProcessHandle& process, std::u16string* name) override;
  bool ImageFullPath(ProcessHandle& process, std::u16string* path) override;
  bool WorkingSetSize(ProcessHandle& process, int64_t* bytes) override;
  bool CommandLine(ProcessHandle& process, std::u16string* commandLine) override;
  UserLookup ProcessUserName(uint32_t pid, std::u16string* name) override;
  bool ListModules(ProcessHandle& process, size_t limit, std::vector<ModuleEntry>* modules) override;
  bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) override;
};

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_WIN32_WIN32_PLATFORM_H_
