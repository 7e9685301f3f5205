// The Windows backend: Toolhelp and the process-status library for process
// facts, native services resolved from ntdll for CPU times, parent ids and
// the environment block, and the documented Win32 calls for control,
// accounts, privileges, version resources and files. Its methods are spread
// over a few files by topic (system_win32.cc, files_win32.cc,
// process_win32.cc, inventory_win32.cc, with the listing's system-wide
// tables in system_tables_win32.cc and 64-bit processes seen from the
// 32-bit build in wow64_win32.cc); this header is their common declaration.
// Only files of this directory include <windows.h>.
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
#include <wtsapi32.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
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

// A kernel handle, closed when the object goes. Both null and
// INVALID_HANDLE_VALUE (what CreateFileW and Toolhelp return on failure)
// count as no handle. Every handle the backend opens is held by one from
// the call that opens it on, so that no early return or exception (an
// allocation that fails) can leak it.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool valid() const noexcept { return IsHandle(handle_); }
  HANDLE get() const noexcept { return handle_; }
  // The handle, no longer owned (null when none was held).
  HANDLE release() noexcept {
    const HANDLE handle = valid() ? handle_ : nullptr;
    handle_ = nullptr;
    return handle;
  }
  // Closes the handle held (if any) and takes `handle`.
  void reset(HANDLE handle = nullptr) noexcept {
    const HANDLE old = handle_;
    handle_ = handle;
    if (IsHandle(old)) CloseHandle(old);
  }
  // Closes the handle held and says whether the close succeeded (for files
  // whose close can report a failed write); holds none afterwards.
  bool Close() noexcept {
    const HANDLE old = handle_;
    handle_ = nullptr;
    return IsHandle(old) && CloseHandle(old) != FALSE;
  }

 private:
  static bool IsHandle(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }

  HANDLE handle_;
};

// An open registry key, closed when the object goes.
class UniqueRegistryKey {
 public:
  UniqueRegistryKey() = default;
  ~UniqueRegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  UniqueRegistryKey(const UniqueRegistryKey&) = delete;
  UniqueRegistryKey& operator=(const UniqueRegistryKey&) = delete;

  HKEY get() const noexcept { return key_; }
  // Where an opening call stores the key it opens.
  HKEY* out() noexcept { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// An open process handle; closed when the object goes.
class Win32Process final : public ProcessHandle {
 public:
  Win32Process(uint32_t pid, UniqueHandle handle) noexcept : pid_(pid), handle_(std::move(handle)) {}
  Win32Process(const Win32Process&) = delete;
  Win32Process& operator=(const Win32Process&) = delete;

  uint32_t pid() const override { return pid_; }
  HANDLE handle() const { return handle_.get(); }

 private:
  uint32_t pid_;
  UniqueHandle handle_;
};

// The Win32 process behind `process`, or null for a handle of another kind.
inline Win32Process* AsWin32(ProcessHandle& process) { return dynamic_cast<Win32Process*>(&process); }

// The process token of this process; closed when the object goes.
class Win32Token final : public TokenHandle {
 public:
  explicit Win32Token(UniqueHandle handle) noexcept : handle_(std::move(handle)) {}
  Win32Token(const Win32Token&) = delete;
  Win32Token& operator=(const Win32Token&) = delete;

  HANDLE handle() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

// Address of `name` in the already loaded module `module` ("ntdll",
// "kernel32.dll"), or null. Looked up anew at every call, through the
// resolver installed for testing when there is one.
FARPROC ResolveExport(const wchar_t* module, const char* name);

// A stand-in for the loaded modules' export tables: the address it gives
// for `module`/`name`, or null for an export that is missing.
using ExportResolver = FARPROC (*)(const wchar_t* module, const char* name);
// Makes ResolveExport ask `resolver` instead of the loaded modules (null:
// the loaded modules again), so that tests can answer the native services
// with scripted layouts and errors that the running system cannot show.
// Set while no other thread uses the backend.
void SetExportResolverForTesting(ExportResolver resolver);

// Makes the creation of output files' temporary files fail with Win32
// error `error` (0: created as usual), as a directory that takes no new
// file from this process does, so that tests reach the writing in place
// where the test machine cannot refuse. Set while no other thread writes.
void SetTemporaryFileErrorForTesting(DWORD error);

// NtQueryInformationProcess, information class 0, into `record` (room for
// nt::kLayout.basicInfoSize bytes). False when the call is missing or fails.
bool QueryBasicInformation(HANDLE process, unsigned char* record);

// The native calls behind the two system-wide tables a listing reads: the
// system's process information (CPU times) and the terminal services'
// process table (owners). The backend asks them through this interface so
// that tests can script and count them; NativeSystemTables() is the real one.
class SystemTableSource {
 public:
  virtual ~SystemTableSource() = default;
  // NtQuerySystemInformation(SystemProcessInformation) into `buffer` of
  // `size` bytes (8-byte aligned); `*needed` as the call reports it (0 when
  // it reports nothing). Any status but 0 is a failure; a missing call fails.
  virtual LONG QueryProcessInformation(void* buffer, ULONG size, ULONG* needed) = 0;
  // WTSEnumerateProcessesW on this server, level 1 of version 1. On success
  // the caller owns `*table` and hands it back to FreeTerminalProcesses.
  virtual bool EnumerateTerminalProcesses(WTS_PROCESS_INFOW** table, DWORD* count) = 0;
  virtual void FreeTerminalProcesses(WTS_PROCESS_INFOW* table) = 0;
  // The account name (without domain) of `sid`; false when it has none.
  virtual bool AccountName(PSID sid, std::u16string* name) = 0;
};

// The real native calls. Lives as long as the library.
SystemTableSource* NativeSystemTables();

// The system-wide tables of one listing pass, each read once and then
// served from memory, so that a pass over N processes costs O(N) instead of
// one whole-system read per process. A pass starts at every process
// snapshot (SnapshotProcessIds drops both tables); a table is also read
// anew when a process id is asked of it a second time (a caller started
// another pass without a snapshot) and, once per pass, when an id is
// missing from it (the process may have started after the table was read).
// Failures are never kept: an unreadable table is asked again next time.
// Callers on several threads are served one at a time.
class SystemTables {
 public:
  explicit SystemTables(SystemTableSource* source) : source_(source) {}
  SystemTables(const SystemTables&) = delete;
  SystemTables& operator=(const SystemTables&) = delete;

  // Drops both tables; the next question reads them anew.
  void StartPass();
  // CpuTimes of the Platform interface.
  bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime);
  // ProcessUserName of the Platform interface.
  UserLookup ProcessUserName(uint32_t pid, std::u16string* name);

 private:
  struct FreeTerminal {
    SystemTableSource* source;
    void operator()(WTS_PROCESS_INFOW* table) const { source->FreeTerminalProcesses(table); }
  };

  // Whether the table must be read before `pid` is answered from it.
  // `have` says whether a table is held, `listed` whether it lists `pid`.
  static bool NeedsReading(bool have, bool listed, uint32_t pid, std::unordered_set<uint32_t>* asked,
                           bool* missReread);
  bool ReadCpuTable();
  bool ReadOwnerTable();

  SystemTableSource* source_;
  std::mutex mutex_;
  // CPU times: per process id, and the sum over all processes.
  bool haveCpu_ = false;
  std::unordered_map<uint32_t, int64_t> cpuTimes_;
  int64_t cpuTotal_ = 0;
  std::unordered_set<uint32_t> cpuAsked_;
  bool cpuMissReread_ = false;
  // Size in bytes that held the whole table the last time; the next reading
  // starts there.
  size_t cpuBufferSize_ = 0x20000;
  // Owners: the table as the service returned it, and each id's row.
  std::unique_ptr<WTS_PROCESS_INFOW, FreeTerminal> owners_{nullptr, FreeTerminal{nullptr}};
  std::unordered_map<uint32_t, DWORD> ownerRows_;
  std::unordered_set<uint32_t> ownerAsked_;
  bool ownerMissReread_ = false;
};

class Win32Platform final : public Platform {
 public:
  Win32Platform() : Win32Platform(NativeSystemTables()) {}
  // With another source of the system-wide tables (not owned; must outlive
  // this object).
  explicit Win32Platform(SystemTableSource* source) : tables_(source) {}

  // system_win32.cc
  std::u16string LibraryFilePath(const void* addressInLibrary) override;
  char16_t PathSeparator() override;
  std::u16string NarrowTextToUtf16(std::string_view bytes) override;
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
  bool IsCallerProcessId(uint32_t pid) override;
  std::unique_ptr<ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) override;
  std::unique_ptr<ProcessHandle> OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                  OpenFailure* why) override;
  bool TerminateProcess(ProcessHandle& process, uint32_t exitCode) override;
  bool ProcessHasEnded(ProcessHandle& process) override;
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

 private:
  SystemTables tables_;
};

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_WIN32_WIN32_PLATFORM_H_
