// Small procfs readers shared by the Linux backend files.
#ifndef KELVANE_PLATFORM_LINUX_PROCFS_H_
#define KELVANE_PLATFORM_LINUX_PROCFS_H_

#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {
namespace platform {
namespace procfs {

// Owns one file descriptor (-1 for none) and closes it when it goes. Moving
// hands the descriptor on; release() gives it up without closing it.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // The descriptor, no longer owned.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  // Closes the descriptor held and returns what close() returned (a file's
  // close can report a write that failed); holds none afterwards. errno is
  // close()'s.
  int Close() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? close(fd) : 0;
  }

 private:
  int fd_;
};

// Reads the whole file `name` relative to directory descriptor `dirFd`
// (AT_FDCWD for an absolute path) into `out`, replacing its text: a string
// kept between calls keeps its storage, so reads into it need no new
// allocations. False on any error, with errno saying which; `out` is then
// unspecified.
bool ReadFileAt(int dirFd, const char* name, std::string* out);

// ReadFileAt for the one-record procfs files (stat, statm, status,
// cmdline), which the kernel hands out whole to a read with room enough: a
// read that leaves room in its buffer ends the file, so the read that would
// return 0 is spared.
bool ReadRecordFileAt(int dirFd, const char* name, std::string* out);

// Reads the one-record procfs file open as `fd` again from its start into
// `out`: the kernel renders it afresh for a read at offset 0, and the read
// fails (ESRCH) once the process the file was opened for is gone, even if
// its id names another process by now. False on any error, with errno
// saying which.
bool RereadRecordFile(int fd, std::string* out);

// Parsed /proc/<pid>/stat. The command name may contain spaces and
// parentheses, so the fields are taken after the last ')'.
struct Stat {
  char state = 0;          // R, S, D, Z, ...
  uint64_t flags = 0;      // the kernel's PF_* flags of the process
  int64_t ppid = 0;
  uint64_t utime = 0;      // clock ticks
  uint64_t stime = 0;      // clock ticks
  uint64_t startTime = 0;  // clock ticks since boot
  int64_t nice = 0;        // nice value of the main thread
  int64_t rss = 0;         // resident pages, from a quick reading that may run short
};
bool ParseStat(const std::string& text, Stat* stat);
// Whether a parsed stat record is that of a kernel thread (which has no
// image and is never listed).
bool IsKernelThread(const Stat& stat);
// Reads and parses the stat file `name` relative to directory descriptor
// `dirFd` ("stat" in a process directory, or an absolute path with
// AT_FDCWD).
bool ReadStat(int dirFd, const char* name, Stat* stat);

// Writes "/proc/<pid>" and then `suffix` (which may be empty) into `out`,
// NUL-terminated; `out` holds 24 bytes plus the suffix's length.
void FormatProcPath(char* out, uint32_t pid, std::string_view suffix);

// Converts a decimal directory name ("1234") to a pid; false for anything
// else (including values that do not fit a pid).
bool ParsePidName(const char* name, uint32_t* pid);

// Whether `path`, as the kernel names a mapping, is anonymous memory that
// the kernel backs by an internal file: shared anonymous mappings
// ("/dev/zero (deleted)"), System V shared memory ("/SYSV0000002a
// (deleted)"), anonymous huge pages and asynchronous I/O rings.
bool IsAnonymousMemoryName(std::string_view path);

// One mapped file of a /proc/<pid>/maps text.
struct MappedFile {
  std::string_view path;  // as the maps text names it (points into the text)
  uint64_t start = 0;     // address range of its first mapping
  uint64_t end = 0;
  // The device and inode the maps text shows (the device encoded as st_dev
  // is). The device is the file system's superblock, which is not always
  // what stat() shows for the file (subvolumes, overlay layers).
  uint64_t device = 0;
  uint64_t inode = 0;
  // What stat() of the mapped file itself showed, once asked (statKnown):
  // its identity and modification time.
  bool statKnown = false;
  uint64_t statDevice = 0;
  uint64_t statInode = 0;
  int64_t modifyTime = 0;  // seconds since the epoch
};

// The files mapped according to a /proc/<pid>/maps text ("start-end perms
// offset dev inode   path" lines): each path once, in the address order of
// its first mapping, appended to `files`. Lines with inode 0 (anonymous
// memory, [heap], [stack], [vdso], ...) and malformed lines are skipped.
// Linear in the length of the text.
void ParseMappedFiles(std::string_view maps, std::vector<MappedFile>* files);
// The same, the paths only.
void ParseMappedFiles(std::string_view maps, std::vector<std::string>* paths);

// Whether a path as the kernel shows it for a link or mapping ends in
// " (deleted)": the file that path once named is gone (or was replaced).
bool IsDeletedName(std::string_view path);

}  // namespace procfs
}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LINUX_PROCFS_H_
