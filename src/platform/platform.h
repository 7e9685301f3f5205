// The operating-system boundary. Everything the process-management logic
// needs from the OS goes through the abstract Platform below; the backend
// for the OS this library is built for lives in platform/<os>/ and is the
// only code that includes OS headers. Tests install a fake Platform to reach
// cases a live machine cannot show.
//
// Conventions of every method:
//   - Text is UTF-16 (char16_t); backends convert at the OS boundary.
//   - A failed query returns false (or an empty/zero value where stated) and
//     leaves its out-parameters unchanged unless documented otherwise.
//   - No method throws.
#ifndef KELVANE_PLATFORM_PLATFORM_H_
#define KELVANE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {
namespace platform {

// Calendar time in the machine's local time zone.
struct LocalTime {
  int year = 0;
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The calendar fields of `parts` (as localtime fills them) as a LocalTime.
inline LocalTime LocalTimeFromTm(const std::tm& parts) {
  LocalTime time;
  time.year = parts.tm_year + 1900;
  time.month = parts.tm_mon + 1;
  time.day = parts.tm_mday;
  time.hour = parts.tm_hour;
  time.minute = parts.tm_min;
  time.second = parts.tm_sec;
  return time;
}

// Access rights asked for when a process is opened (Windows values; other
// backends check whatever gives the same meaning).
enum ProcessAccess : uint32_t {
  kAccessTerminate = 0x001F0FFF,    // stop the process
  kAccessSetPriority = 0x00000210,  // change its priority class
  kAccessQuery = 0x00000410,        // read its image, memory and attributes
  kAccessQueryLimited = 0x00001000, // read its parent and creation time only
};

// Why OpenProcessOrWhy gave no handle.
enum class OpenFailure {
  kNone,       // it gave one
  kNoProcess,  // no process has that id (or it has just ended)
  kDenied,     // the process exists but refuses the access asked for
  kOther,      // anything else: out of descriptors or memory, ...
};

// An open process. Owned by the caller; destroying it closes every OS
// resource it holds. A handle keeps naming the process that was opened even
// if its id is reused afterwards (queries then fail rather than reach the new
// process).
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  virtual uint32_t pid() const = 0;
};

// The current process's security token (privilege adjustment).
class TokenHandle {
 public:
  virtual ~TokenHandle() = default;
};

// A file written from its start that replaces the file at its path whole
// or not at all: the bytes go to a new temporary file in the same directory,
// which Commit puts in place of the path in one step. The new file keeps
// the access rights and owner of the regular file it replaces (its mode and
// owner; on Windows its security descriptor); a new file, or one that
// replaces a symbolic link, gets the platform's defaults. Until Commit
// succeeds the path is untouched; destroying the object without a
// successful Commit removes the temporary file, leaving the old file (if
// any) as it was.
//
// Where the directory can take no temporary file (no right to create one)
// but a regular file this process may write stands at the path, that file
// is written in place instead, so that the response is not lost: reached
// without following a link, its rights and owner kept, cut to the new
// length at Commit. Such a write is not whole-or-nothing (a failure part-way
// leaves the file with part of the new bytes); WrittenInPlace() tells it.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes up to `size` bytes; returns how many were written. On a short
  // write, LastError() describes the failure.
  virtual size_t Write(const void* data, size_t size) = 0;
  // Description of the latest failure, in the platform's own words.
  virtual std::u16string LastError() const = 0;
  // Closes the file and, when every write and the close succeeded, puts it
  // in place of the path. False (path untouched, LastError set) otherwise.
  // Files written in place (test doubles) have nothing to do.
  virtual bool Commit() { return true; }
  // True when this file writes the file at the path itself rather than a
  // temporary file that replaces it.
  virtual bool WrittenInPlace() const { return false; }
};

// One loaded module of a process. A field whose query failed is empty.
struct ModuleEntry {
  std::u16string baseName;
  std::u16string fullPath;
  // The identity of the mapped file where the backend knows it (device and
  // file number; both 0 when unknown): equal identities name the same file,
  // whatever path each process sees it under.
  uint64_t device = 0;
  uint64_t fileNumber = 0;
};

// Outcome of a query about the file behind an open process or one of its
// modules.
enum class FileFact {
  kKnown,      // answered from the file the process itself uses
  kUnknown,    // that file cannot be inspected (gone, replaced, denied)
  kAskByPath,  // this backend has no such query; ask by the reported path
};

// Outcome of looking up the account that owns a process.
enum class UserLookup {
  kTableUnavailable,  // the owner table could not be read at all
  kNotListed,         // the process is not in the table; name untouched
  kFound,             // name filled
  kAccountUnknown,    // listed, but its account could not be named
};

// What the OS says of its own version (the inputs of the OS-family table).
struct OsVersionFacts {
  bool extendedInfo = false;  // the extended version query succeeded
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t productType = 0;   // 0 when only the basic query succeeded
  uint32_t architecture = 0;  // native processor architecture code
  int serverR2Metric = 0;     // SM_SERVERR2 system metric
};

class Platform {
 public:
  virtual ~Platform() = default;

  // ---- Library, configuration, clock -------------------------------------

  // Full path of the library file that contains `addressInLibrary` (any
  // function or object of this library). Empty on failure.
  virtual std::u16string LibraryFilePath(const void* addressInLibrary) = 0;
  // The platform's directory separator ('\\' or '/').
  virtual char16_t PathSeparator() = 0;
  // Text in the system's narrow encoding (the ANSI code page on Windows,
  // UTF-8 elsewhere) as UTF-16; what cannot be decoded becomes U+FFFD.
  virtual std::u16string NarrowTextToUtf16(std::string_view bytes) = 0;
  // The process-wide locale step taken before a request is parsed.
  virtual void SetParserLocale() = 0;
  virtual LocalTime Now() = 0;

  // ---- Files --------------------------------------------------------------

  // Starts a file that will replace whatever file or symbolic link stands
  // at `path` (binary; see OutputFile). A directory, FIFO or device at the
  // path is refused at once, as is a directory that cannot take a new file
  // unless a writable regular file stands at the path (written in place).
  // On failure returns null and stores the platform's description in
  // `error`.
  virtual std::unique_ptr<OutputFile> CreateOutputFile(const std::u16string& path,
                                                       std::u16string* error) = 0;
  // Reads the whole of the regular file at `path` (symbolic links followed)
  // into `bytes` when it holds at most `limit` bytes. Anything else at the
  // path (FIFO, device, directory, socket) is refused without being opened
  // for reading, so the call never blocks on it. False, with `bytes`
  // unchanged, when refused or unreadable.
  virtual bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) = 0;
  // Opens the file for reading and returns its true size; false when it
  // cannot be opened.
  virtual bool FileSize(const std::u16string& path, int64_t* size) = 0;
  // Last modification time of the file in local time; false when the file's
  // attributes cannot be read or the time cannot be converted.
  virtual bool FileModifyTime(const std::u16string& path, LocalTime* time) = 0;
  // Version resource of an executable file. Backends without version
  // resources return false.
  virtual bool LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) = 0;
  // Looks `subBlock` up in a blob from LoadVersionResource. For
  // "\VarFileInfo\Translation" the raw bytes come back in `raw`; for string
  // values the text comes back in `text`. False when there is no such value.
  virtual bool QueryVersionValue(const std::vector<uint8_t>& blob, const std::u16string& subBlock,
                                 std::vector<uint8_t>* raw, std::u16string* text) = 0;
  // The Windows directory (used to expand "\SystemRoot\" image paths).
  virtual std::u16string WindowsDirectory() = 0;

  // ---- Processes ----------------------------------------------------------

  // Every running process id in the order of the system's process snapshot
  // (the idle process, id 0, first). False when no snapshot can be taken.
  virtual bool SnapshotProcessIds(std::vector<uint32_t>* pids) = 0;
  // Every process id, as the process-status library enumerates them; the
  // list is complete (backends grow their buffer as needed).
  virtual bool EnumerateProcessIds(std::vector<uint32_t>* pids) = 0;
  // True for the ids of the platform's "System" process (none on Linux).
  virtual bool IsSystemProcessId(uint32_t pid) = 0;

  // Opens process `pid` with `access` (a ProcessAccess value). Null when the
  // process does not exist, denies that access, or `pid` cannot name a
  // process on this platform. Never affects the process.
  virtual std::unique_ptr<ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) = 0;
  // OpenProcess that also says why it gave no handle (kNone when it gave
  // one). This default cannot tell the causes apart and reports every
  // failure as kNoProcess; backends that can override it.
  virtual std::unique_ptr<ProcessHandle> OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                          OpenFailure* why) {
    std::unique_ptr<ProcessHandle> process = OpenProcess(pid, access);
    *why = process ? OpenFailure::kNone : OpenFailure::kNoProcess;
    return process;
  }
  // True for the id of the process that may never be stopped because the
  // system depends on it: pid 1 of the caller's PID namespace on Linux (the
  // kernel drops SIGKILL sent to it, so a stop would report success while
  // it lives on). None on platforms without such a process.
  virtual bool IsInitProcessId(uint32_t /*pid*/) { return false; }
  // True for the id of the process this library runs in: the calling host,
  // which a stop would end in the middle of its own call (no response, no
  // result code).
  virtual bool IsCallerProcessId(uint32_t pid) = 0;
  // Lets `process` (opened with kAccessTerminate) give up what it holds
  // for anything but TerminateProcess; every other method may fail on it
  // from then on. Used to keep many processes pinned at one descriptor
  // each. Does nothing where a handle is a single OS object.
  virtual void ReleaseQueryResources(ProcessHandle& /*process*/) {}
  // Stops the process at once with `exitCode`; true when the request was
  // delivered.
  virtual bool TerminateProcess(ProcessHandle& process, uint32_t exitCode) = 0;
  // True when the opened process has ended (whatever ended it); false while
  // it runs or when that cannot be told. The handle still names that very
  // process, so a process that took over its id does not count.
  virtual bool ProcessHasEnded(ProcessHandle& /*process*/) { return false; }
  // Recorded parent id and creation time (an opaque, monotonic number in the
  // platform's units; only compared with other creation times).
  virtual bool QueryParent(ProcessHandle& process, uint32_t* parentPid, uint64_t* creationTime) = 0;
  // Sets the priority class (Windows constants: 64, 16384, 32, 32768, 128,
  // 256). False for any other value or when the OS refuses.
  virtual bool SetPriorityClass(ProcessHandle& process, uint32_t priorityClass) = 0;
  // Current priority class; 0 on failure.
  virtual uint32_t GetPriorityClass(ProcessHandle& process) = 0;

  // The image's base name (first module) and full path.
  virtual bool ImageBaseName(ProcessHandle& process, std::u16string* name) = 0;
  virtual bool ImageFullPath(ProcessHandle& process, std::u16string* path) = 0;
  // Working-set size in bytes.
  virtual bool WorkingSetSize(ProcessHandle& process, int64_t* bytes) = 0;
  // The whole command line as the process holds it (may be empty, may be
  // longer than any record field; callers cut it).
  virtual bool CommandLine(ProcessHandle& process, std::u16string* commandLine) = 0;
  // Name (without domain) of the account that owns process `pid`.
  virtual UserLookup ProcessUserName(uint32_t pid, std::u16string* name) = 0;
  // Loaded modules in the system's order, the image first, at most `limit`.
  // False when the modules cannot be listed.
  virtual bool ListModules(ProcessHandle& process, size_t limit, std::vector<ModuleEntry>* modules) = 0;
  // CPU time consumed so far by process `pid` and by the whole system, in the
  // same units. A process absent from the system's accounting gets 0. False
  // when the system's accounting cannot be read.
  virtual bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) = 0;
  // A CPU sampling session (a listing's two samples of every process):
  // between these calls a backend may keep what CpuTimes by id opened, so
  // that ProcessCpuTimes of the same process reads it again instead of
  // opening anew. EndCpuSampling releases whatever is still kept. Sessions
  // do not nest; outside one, nothing is kept.
  virtual void BeginCpuSampling() {}
  virtual void EndCpuSampling() {}

  // ---- Facts through an open process --------------------------------------
  // Backends that can answer these from the opened process itself (its own
  // files, nothing looked up again by id or path) override them; the
  // defaults ask by id or say to ask by path.

  // ProcessUserName and CpuTimes of the opened process. ProcessCpuTimes is
  // false, besides, when the process's own time can no longer be read (it
  // ended and its accounting is gone): the process then has no figure, never
  // a time of 0 that would make its share negative.
  virtual UserLookup ProcessUserNameOf(ProcessHandle& process, std::u16string* name) {
    return ProcessUserName(process.pid(), name);
  }
  virtual bool ProcessCpuTimes(ProcessHandle& process, int64_t* processTime, int64_t* totalTime) {
    return CpuTimes(process.pid(), processTime, totalTime);
  }
  // Size in bytes of the image file the opened process runs. `size` is set
  // only for kKnown.
  virtual FileFact ImageFileSize(ProcessHandle& /*process*/, int64_t* /*size*/) {
    return FileFact::kAskByPath;
  }
  // The identity of the image file the opened process runs (device and file
  // number, as ModuleEntry has them), where the backend can tell it from
  // what it reads of the process anyway: equal identities name the same
  // file. False when it cannot tell (then ImageFileSize is asked).
  virtual bool ImageFileIdentity(ProcessHandle& /*process*/, uint64_t* /*device*/, uint64_t* /*fileNumber*/) {
    return false;
  }
  // Modification time (local time) of the file of module `index` of the
  // latest ListModules of `process`. `time` is set only for kKnown.
  virtual FileFact ModuleModifyTime(ProcessHandle& /*process*/, size_t /*index*/, LocalTime* /*time*/) {
    return FileFact::kAskByPath;
  }

  // ---- Privileges and OS version -----------------------------------------

  virtual std::unique_ptr<TokenHandle> OpenOwnToken() = 0;
  virtual bool LookupPrivilege(const std::u16string& name, uint64_t* luid) = 0;
  // Enables privilege `luid` in `token`; true only when it is now enabled.
  virtual bool EnablePrivilege(TokenHandle& token, uint64_t luid) = 0;
  // False when the OS version cannot be read at all.
  virtual bool QueryOsVersion(OsVersionFacts* facts) = 0;
  // The "ProductType" value of the product-options registry key.
  virtual bool ReadProductType(std::u16string* productType) = 0;
};

// The platform in use: the OS backend unless a test installed another.
Platform* Current();
// The OS backend; lives as long as the library.
Platform* Default();
// Installs `platform` (not owned) for tests; null restores the OS backend.
void SetForTesting(Platform* platform);

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_PLATFORM_H_
