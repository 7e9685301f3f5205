// Small procfs readers shared by the Linux backend files.
#ifndef KELVANE_PLATFORM_LINUX_PROCFS_H_
#define KELVANE_PLATFORM_LINUX_PROCFS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {
namespace platform {
namespace procfs {

// Reads the whole file `name` relative to directory descriptor `dirFd`
// (AT_FDCWD for an absolute path) into `out`. False on any error; `out` is
// then unspecified.
bool ReadFileAt(int dirFd, const char* name, std::string* out);

// ReadFileAt for the one-record procfs files (stat, statm, status,
// cmdline), which the kernel hands out whole to a read with room enough: a
// read that leaves room in its buffer ends the file, so the read that would
// return 0 is spared.
bool ReadRecordFileAt(int dirFd, const char* name, std::string* out);

// Parsed /proc/<pid>/stat. The command name may contain spaces and
// parentheses, so the fields are taken after the last ')'.
struct Stat {
  int64_t ppid = 0;
  uint64_t utime = 0;      // clock ticks
  uint64_t stime = 0;      // clock ticks
  uint64_t startTime = 0;  // clock ticks since boot
};
bool ParseStat(const std::string& text, Stat* stat);
// Reads and parses the stat file `name` relative to directory descriptor
// `dirFd` ("stat" in a process directory, or an absolute path with
// AT_FDCWD).
bool ReadStat(int dirFd, const char* name, Stat* stat);

// Converts a decimal directory name ("1234") to a pid; false for anything
// else (including values that do not fit a pid).
bool ParsePidName(const char* name, uint32_t* pid);

// Whether `path`, as the kernel names a mapping, is anonymous memory that
// the kernel backs by an internal file: shared anonymous mappings
// ("/dev/zero (deleted)"), System V shared memory ("/SYSV0000002a
// (deleted)"), anonymous huge pages and asynchronous I/O rings.
bool IsAnonymousMemoryName(std::string_view path);

// The files mapped according to a /proc/<pid>/maps text ("start-end perms
// offset dev inode   path" lines): each path once, in the address order of
// its first mapping, appended to `paths`. Lines with inode 0 (anonymous
// memory, [heap], [stack], [vdso], ...) and malformed lines are skipped.
void ParseMappedFiles(std::string_view maps, std::vector<std::string>* paths);

}  // namespace procfs
}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LINUX_PROCFS_H_
