// The Linux backend: procfs for process facts, pidfds and signals for
// control, nice values for priority classes. Its methods are spread over
// several files by topic (system_linux.cc, output_file_linux.cc,
// process_linux.cc, inventory_linux.cc); this header is their common
// declaration.
#ifndef KELVANE_PLATFORM_LINUX_LINUX_PLATFORM_H_
#define KELVANE_PLATFORM_LINUX_LINUX_PLATFORM_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/procfs.h"
#include "platform/platform.h"

namespace kelvane {
namespace platform {

// An open process. `procDir` is an O_DIRECTORY descriptor of /proc/<pid>:
// files read through it belong to the process that was opened (reads fail
// with ESRCH once it is gone, even if the id is reused). It is open for
// every handle until ReleaseProcDir().
// A handle opened for control (terminate or priority) is pinned one of two
// ways:
//   - `pidfd`, a pidfd_open() descriptor, where the kernel offers pidfds;
//     signals go through it so they reach exactly the opened process;
//   - otherwise (kernels before 5.3, seccomp filters refusing the pidfd
//     calls) `statFd`, the process's open "stat" file, together with its
//     start time (`pinnedStart`): reading the open file again right before
//     the process id is used fails once the process has been reaped, and
//     shows the same start time while it has not. No new descriptor is
//     needed for that check.
// A query handle holds `procDir` only (pidfd -1, no pinned start time); its
// open checks through procDir that the id is a process's own (its
// thread-group id), not that of another thread of some process.
class LinuxProcess final : public ProcessHandle {
 public:
  LinuxProcess(pid_t pid, procfs::UniqueFd procDir, procfs::UniqueFd pidfd)
      : pid_(pid), procDir_(std::move(procDir)), pidfd_(std::move(pidfd)) {}
  LinuxProcess(pid_t pid, procfs::UniqueFd procDir, procfs::UniqueFd statFd, uint64_t pinnedStart)
      : pid_(pid), procDir_(std::move(procDir)), statFd_(std::move(statFd)), pinnedStart_(pinnedStart) {}
  LinuxProcess(const LinuxProcess&) = delete;
  LinuxProcess& operator=(const LinuxProcess&) = delete;

  uint32_t pid() const override { return static_cast<uint32_t>(pid_); }
  pid_t linuxPid() const { return pid_; }
  int procDir() const { return procDir_.get(); }
  int pidfd() const { return pidfd_.get(); }
  int statFd() const { return statFd_.get(); }
  uint64_t pinnedStart() const { return pinnedStart_; }
  // Closes `procDir` when a pidfd or `statFd` pins the process, leaving one
  // descriptor; queries fail from then on. (process_linux.cc)
  void ReleaseProcDir();

  // The target of the process's "exe" link (its image path), read through
  // procDir on the first call and kept for the handle's life: the name,
  // the path and the module list of one inspection all see the same image.
  // Null when the link cannot be read (kernel threads, denied access, a
  // process gone); that outcome is kept too. (inventory_linux.cc)
  const std::string* ImageTarget();

  // The files the process maps, each once, from one reading of its maps
  // text made on the first call and kept for the handle's life (the paths
  // point into that text): the image's identity, the module list and the
  // module facts of one inspection all see the same mappings. ListModules
  // moves the image to the front. False (and nothing kept) when the maps
  // cannot be read. (inventory_linux.cc)
  bool ReadMappedFiles();
  std::vector<procfs::MappedFile>& mappedFiles() { return mappedFiles_; }
  // How many of mappedFiles() the latest ListModules listed (the module
  // facts answer for those only).
  size_t listedModules = 0;

  // The nice value the latest stat read through this handle showed, while
  // `statNiceFresh` (one inspection reads the stat record once for the CPU
  // time and the priority class):
  // GetPriorityClass takes it once instead of asking the id again (the
  // value was read through procDir, so it is the opened process's own),
  // and clears the flag; SetPriorityClass clears it too, so a later
  // question sees the value of that moment. (inventory_linux.cc)
  int64_t statNice = 0;
  bool statNiceFresh = false;

  // Where the one-record files read through this handle (stat, statm,
  // cmdline, status) are read into, one after the other: each read reuses
  // the room of the one before. (Not per-thread storage: a thread-local
  // object with a destructor keeps a library loaded after its host unloads
  // it, until every thread that touched it ends.)
  std::string readBuffer;

  // The "status" text a query handle's open read through procDir to make
  // sure the id names a process and not another thread of one; the owner
  // lookup of the same inspection uses it instead of reading the file
  // again. Empty for control handles. (process_linux.cc)
  std::string statusText;

 private:
  pid_t pid_;
  procfs::UniqueFd procDir_;
  procfs::UniqueFd pidfd_;
  procfs::UniqueFd statFd_;
  uint64_t pinnedStart_ = 0;
  enum class Image { kUnread, kRead, kUnreadable } image_ = Image::kUnread;
  std::string imageTarget_;
  std::string mapsText_;
  std::vector<procfs::MappedFile> mappedFiles_;
  bool mapsRead_ = false;
};

// For tests: `hook` (null for none) is called with each thread id after
// its thread was pinned and before its nice value is set (kPinned), and
// right after the call (kSet), so a test can end the thread and hand its id
// to another process in between.
enum class ThreadStep { kPinned, kSet };
void SetThreadHookForTesting(void (*hook)(pid_t tid, ThreadStep step));

// The Linux process behind `process`, or null for a handle of another kind.
inline LinuxProcess* AsLinux(ProcessHandle& process) { return dynamic_cast<LinuxProcess*>(&process); }

class LinuxPlatform final : public Platform {
 public:
  // system_linux.cc
  std::u16string LibraryFilePath(const void* addressInLibrary) override;
  char16_t PathSeparator() override;
  std::u16string NarrowTextToUtf16(std::string_view bytes) override;
  void SetParserLocale() override;
  LocalTime Now() override;

  // output_file_linux.cc
  std::unique_ptr<OutputFile> CreateOutputFile(const std::u16string& path,
                                               std::u16string* error) override;
  // input_file_linux.cc
  bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) override;

  // inventory_linux.cc
  bool FileSize(const std::u16string& path, int64_t* size) override;
  bool FileModifyTime(const std::u16string& path, LocalTime* time) override;
  bool LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) override;
  bool QueryVersionValue(const std::vector<uint8_t>& blob, const std::u16string& subBlock,
                         std::vector<uint8_t>* raw, std::u16string* text) override;
  std::u16string WindowsDirectory() override;
  bool SnapshotProcessIds(std::vector<uint32_t>* pids) override;
  bool IsSystemProcessId(uint32_t pid) override;
  bool ImageBaseName(ProcessHandle& process, std::u16string* name) override;
  bool ImageFullPath(ProcessHandle& process, std::u16string* path) override;
  bool WorkingSetSize(ProcessHandle& process, int64_t* bytes) override;
  bool CommandLine(ProcessHandle& process, std::u16string* commandLine) override;
  UserLookup ProcessUserName(uint32_t pid, std::u16string* name) override;
  bool ListModules(ProcessHandle& process, size_t limit, std::vector<ModuleEntry>* modules) override;
  bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) override;
  void BeginCpuSampling() override;
  void EndCpuSampling() override;
  UserLookup ProcessUserNameOf(ProcessHandle& process, std::u16string* name) override;
  bool ProcessCpuTimes(ProcessHandle& process, int64_t* processTime, int64_t* totalTime) override;
  FileFact ImageFileSize(ProcessHandle& process, int64_t* size) override;
  bool ImageFileIdentity(ProcessHandle& process, uint64_t* device, uint64_t* fileNumber) override;
  FileFact ModuleModifyTime(ProcessHandle& process, size_t index, LocalTime* time) override;
  std::unique_ptr<TokenHandle> OpenOwnToken() override;
  bool LookupPrivilege(const std::u16string& name, uint64_t* luid) override;
  bool EnablePrivilege(TokenHandle& token, uint64_t luid) override;
  bool QueryOsVersion(OsVersionFacts* facts) override;
  bool ReadProductType(std::u16string* productType) override;

  // process_linux.cc
  bool EnumerateProcessIds(std::vector<uint32_t>* pids) override;
  std::unique_ptr<ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) override;
  std::unique_ptr<ProcessHandle> OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                  OpenFailure* why) override;
  bool IsInitProcessId(uint32_t pid) override;
  bool IsCallerProcessId(uint32_t pid) override;
  // The query-access part of OpenProcessOrWhy.
  static std::unique_ptr<ProcessHandle> OpenQueryHandle(pid_t linuxPid, OpenFailure* why);
  void ReleaseQueryResources(ProcessHandle& process) override;
  bool TerminateProcess(ProcessHandle& process, uint32_t exitCode) override;
  bool ProcessHasEnded(ProcessHandle& process) override;
  bool QueryParent(ProcessHandle& process, uint32_t* parentPid, uint64_t* creationTime) override;
  bool SetPriorityClass(ProcessHandle& process, uint32_t priorityClass) override;
  uint32_t GetPriorityClass(ProcessHandle& process) override;
};

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LINUX_LINUX_PLATFORM_H_
