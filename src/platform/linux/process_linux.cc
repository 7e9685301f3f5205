// Opening processes and controlling them: pidfds (or, without them, the
// process directory and start time) for signals, procfs for facts, nice
// values for priority classes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

// Kernel headers older than the calls still let the code build; such a
// kernel answers ENOSYS, and the calls' numbers are the same on every
// architecture.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace kelvane {
namespace platform {

namespace {

int PidfdOpen(pid_t pid) {
  // Only ever called with pid > 0 (checked by OpenProcessOrWhy).
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Sends `signal` (0 only checks) to exactly the process behind `pidfd`.
// Fails with ESRCH once that process has been reaped, even if its id now
// names another process.
bool PidfdSignal(int pidfd, int signal) {
  return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

// True while the process behind `pidfd` exists (it may be one this process
// is not allowed to signal).
bool PidfdAlive(int pidfd) { return PidfdSignal(pidfd, 0) || errno == EPERM; }

// What a failed open or read of a process says about the process.
OpenFailure FailureOf(int error) {
  switch (error) {
    case ESRCH:
    case ENOENT:
    case EINVAL:  // pidfd_open of a thread id other than a process's own
      return OpenFailure::kNoProcess;
    case EACCES:
    case EPERM:
      return OpenFailure::kDenied;
    default:
      return OpenFailure::kOther;
  }
}

// The thread-group id in a "status" text; -1 when it has none.
long TgidOf(const std::string& status) {
  const size_t at = status.find("\nTgid:");
  if (at == std::string::npos) return -1;
  const char* digits = status.c_str() + at + 7;
  char* end = nullptr;
  const long tgid = std::strtol(digits, &end, 10);
  return end == digits ? -1 : tgid;
}

// Opens /proc/<pid> as a directory; the descriptor, or -1 with errno set.
int OpenProcDir(pid_t pid) {
  char path[32];
  procfs::FormatProcPath(path, static_cast<uint32_t>(pid), "");
  return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Reads the "status" of the process directory `procDir` into `status` and
// checks that the directory is the process `pid`'s own, not that of
// another thread of some process (which /proc/<id> serves as if it were
// one): its thread-group id is `pid`. 0, the errno of the failed read, or
// ESRCH for a thread's directory.
int ReadOwnStatus(int procDir, pid_t pid, std::string* status) {
  if (!procfs::ReadRecordFileAt(procDir, "status", status)) return errno;
  return TgidOf(*status) == static_cast<long>(pid) ? 0 : ESRCH;
}

// Start time from the open stat file `statFd`, read afresh from its start;
// 0 or the errno (ESRCH once the process has been reaped).
int ReadStartTime(int statFd, uint64_t* startTime) {
  std::string text;
  if (!procfs::RereadRecordFile(statFd, &text)) return errno;
  procfs::Stat stat;
  if (!procfs::ParseStat(text, &stat)) return EIO;
  *startTime = stat.startTime;
  return 0;
}

// What the pin of `process` (its pidfd, or its open stat file with the
// start time seen when it was opened) says of the process that was opened:
// it still exists (a zombie included; possibly one this process may not
// signal), it has ended and been reaped (the pidfd finds no one, the stat
// file no longer reads or shows another start time), or it cannot be told
// (query handles pin nothing to control).
enum class Pin { kAlive, kEnded, kUnknown };
Pin PinOf(const LinuxProcess& process) {
  if (process.linuxPid() <= 0) return Pin::kUnknown;
  if (process.pidfd() >= 0) {
    if (PidfdAlive(process.pidfd())) return Pin::kAlive;
    return errno == ESRCH ? Pin::kEnded : Pin::kUnknown;
  }
  if (process.statFd() < 0) return Pin::kUnknown;
  uint64_t start = 0;
  const int error = ReadStartTime(process.statFd(), &start);
  if (error != 0) return error == ESRCH ? Pin::kEnded : Pin::kUnknown;
  return start == process.pinnedStart() ? Pin::kAlive : Pin::kEnded;
}

// Whether the id of `process` still names the process that was opened. An
// id is not reused while its process exists (a zombie included), so a
// process that passes this check before and after a call by id was the one
// the call reached.
bool StillPinned(const LinuxProcess& process) { return PinOf(process) == Pin::kAlive; }

// A LinuxProcess made of `args` (which hand it their descriptors). When
// memory runs out the descriptors stay with the caller's owners, `why` says
// kOther and null comes back; nothing throws.
template <typename... Args>
std::unique_ptr<ProcessHandle> NewHandle(OpenFailure* why, Args&&... args) {
  std::unique_ptr<ProcessHandle> handle(new (std::nothrow) LinuxProcess(std::forward<Args>(args)...));
  *why = handle ? OpenFailure::kNone : OpenFailure::kOther;
  return handle;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Priority classes and the nice values that stand for them.
struct ClassNice {
  uint32_t priorityClass;
  int nice;
};
constexpr ClassNice kClassNice[] = {
    {64, 19},      // idle
    {16384, 10},   // below normal
    {32, 0},       // normal
    {32768, -5},   // above normal
    {128, -10},    // high
    {256, -20},    // real time
};

bool NiceForClass(uint32_t priorityClass, int* nice) {
  for (const ClassNice& entry : kClassNice) {
    if (entry.priorityClass == priorityClass) {
      *nice = entry.nice;
      return true;
    }
  }
  return false;
}

// The class a nice value falls into: each class covers the nice values
// nearest to its own.
uint32_t ClassForNice(int64_t nice) {
  if (nice <= -20) return 256;
  if (nice <= -8) return 128;
  if (nice <= -3) return 32768;
  if (nice <= 4) return 32;
  if (nice <= 14) return 16384;
  return 64;
}

void (*g_threadHook)(pid_t, ThreadStep) = nullptr;

bool SetThreadNice(pid_t tid, int nice) {
  return tid > 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

// The thread-group id of whatever thread `tid` names now: 0 when no thread
// has that id, -1 when it cannot be told.
long ThreadGroupNow(pid_t tid) {
  char path[48];
  procfs::FormatProcPath(path, static_cast<uint32_t>(tid), "/status");
  std::string status;
  if (!procfs::ReadRecordFileAt(AT_FDCWD, path, &status)) {
    return errno == ENOENT || errno == ESRCH ? 0 : -1;
  }
  return TgidOf(status);
}

// Sets `nice` on thread `tid` of `process`, pinned by its open task
// directory `threadDir`. True when the call reached this thread or nothing
// was done; false when it was refused, or when the id may have named a
// thread of another process at the time of the call.
//
// A thread whose directory can still be looked into after the call existed
// throughout, so its id was not reused and the call reached it. A thread
// that ended in between is told by what its id names afterwards: nothing
// (it ended after the call, or before it and the call found no one), or a
// thread of this same process: the call did no harm. A thread of another
// process holding the id means the call may have reached it: failure. The
// kernel hands ids out in a cycle, so an id freed by an ended thread comes
// back only after every other id was used; what remains is the kernel's
// window in which the id would be handed out and given up again between
// the call and this look.
bool SetPinnedThreadNice(const LinuxProcess& process, pid_t tid, int threadDir, int nice) {
  if (g_threadHook != nullptr) g_threadHook(tid, ThreadStep::kPinned);
  const bool set = SetThreadNice(tid, nice);
  const int error = errno;
  if (g_threadHook != nullptr) g_threadHook(tid, ThreadStep::kSet);
  if (faccessat(threadDir, "stat", F_OK, 0) == 0) return set;
  // The thread is gone. A call that found no thread did nothing; one that
  // was refused failed.
  if (!set) return error == ESRCH;
  const long owner = ThreadGroupNow(tid);
  return owner == 0 || owner == static_cast<long>(process.linuxPid());
}

// Sets `nice` on every thread of `process` but its main thread, each
// pinned by its own /proc/<pid>/task/<tid> directory before its id is used:
// the kernel opens that directory only for a thread of this very process,
// and lookups through it fail once that thread is gone (see
// SetPinnedThreadNice). A thread that ended before it was pinned is left
// out (nothing was done to its id). Threads started meanwhile by a thread
// not yet set would keep the old value, so the thread list is read again
// until a reading finds no thread that was not set (a few readings at
// most). False when any call failed or may have reached another process.
bool SetOtherThreadsNice(const LinuxProcess& process, int nice) {
  const procfs::UniqueFd taskFd(openat(process.procDir(), "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!taskFd) return false;
  // fdopendir takes its own descriptor, so the owner above keeps its one.
  procfs::UniqueFd listFd(fcntl(taskFd.get(), F_DUPFD_CLOEXEC, 0));
  if (!listFd) return false;
  DirPtr tasks(fdopendir(listFd.get()));
  if (!tasks) return false;
  listFd.release();  // the stream owns it now
  constexpr int kMostReadings = 4;
  bool ok = true;
  try {
    std::unordered_set<pid_t> done;
    for (int reading = 0; reading < kMostReadings; ++reading) {
      if (reading > 0) rewinddir(tasks.get());
      bool found = false;
      for (;;) {
        errno = 0;
        const dirent* entry = readdir(tasks.get());
        if (entry == nullptr) {
          if (errno != 0) ok = false;
          break;
        }
        uint32_t id = 0;
        if (!procfs::ParsePidName(entry->d_name, &id)) continue;
        const pid_t tid = static_cast<pid_t>(id);
        if (tid == process.linuxPid()) continue;
        if (!done.insert(tid).second) continue;
        found = true;
        const procfs::UniqueFd threadDir(openat(taskFd.get(), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!threadDir) {
          if (FailureOf(errno) != OpenFailure::kNoProcess) ok = false;
          continue;
        }
        if (!SetPinnedThreadNice(process, tid, threadDir.get(), nice)) ok = false;
      }
      if (!found || !ok) break;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return ok;
}

}  // namespace

void SetThreadHookForTesting(void (*hook)(pid_t tid, ThreadStep step)) { g_threadHook = hook; }

void LinuxProcess::ReleaseProcDir() {
  if ((!pidfd_ && !statFd_) || !procDir_) return;
  procDir_.reset();
}

std::unique_ptr<ProcessHandle> LinuxPlatform::OpenProcess(uint32_t pid, uint32_t access) {
  OpenFailure why = OpenFailure::kNone;
  return OpenProcessOrWhy(pid, access, &why);
}

std::unique_ptr<ProcessHandle> LinuxPlatform::OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                               OpenFailure* why) {
  *why = OpenFailure::kNoProcess;
  // Ids that cannot name a process (0, "negative" ids that wrapped to large
  // unsigned values, anything beyond pid_t) never reach a system call.
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return nullptr;
  const pid_t linuxPid = static_cast<pid_t>(pid);
  const bool control = access == kAccessTerminate || access == kAccessSetPriority;
  if (!control) return OpenQueryHandle(linuxPid, why);

  // A control handle takes a pidfd first where the kernel has them: it
  // refuses ids of threads other than a process's main thread (which
  // /proc/<id> would otherwise serve as if they were processes), and it
  // pins the process the id names now. ENOSYS (no such call) and EPERM (which only a seccomp
  // filter gives) leave the directory as the pin.
  procfs::UniqueFd pidfd(PidfdOpen(linuxPid));
  if (!pidfd && errno != ENOSYS && errno != EPERM) {
    *why = FailureOf(errno);
    return nullptr;
  }
  procfs::UniqueFd procDir(OpenProcDir(linuxPid));
  if (!procDir) {
    *why = FailureOf(errno);
    return nullptr;
  }

  if (pidfd) {
    // The directory belongs to the pinned process only if that process
    // still exists once the directory is open: its id cannot have been
    // reused in between. A filter that lets pidfd_open through but not
    // pidfd_send_signal (ENOSYS) leaves the directory as the pin.
    if (PidfdAlive(pidfd.get())) return NewHandle(why, linuxPid, std::move(procDir), std::move(pidfd));
    if (errno != ENOSYS) return nullptr;
    pidfd.reset();
  }

  // Without a pidfd the directory must be a process's own (its thread-group
  // id is its id), not that of another thread of some process. The handle
  // is pinned by its open stat file and the start time seen now.
  std::string status;
  int error = ReadOwnStatus(procDir.get(), linuxPid, &status);
  procfs::UniqueFd statFd;
  uint64_t startTime = 0;
  if (error == 0) {
    statFd.reset(openat(procDir.get(), "stat", O_RDONLY | O_CLOEXEC));
    error = !statFd ? errno : ReadStartTime(statFd.get(), &startTime);
  }
  if (error != 0) {
    *why = FailureOf(error);
    return nullptr;
  }
  return NewHandle(why, linuxPid, std::move(procDir), std::move(statFd), startTime);
}

std::unique_ptr<ProcessHandle> LinuxPlatform::OpenQueryHandle(pid_t linuxPid, OpenFailure* why) {
  // A query handle signals nothing, so it needs no pidfd: its directory is
  // its pin (reads through it fail once the process is gone, even if the id
  // is reused). The directory must be a process's own, not that of another
  // thread of some process: its status shows the thread-group id. The
  // status text stays with the handle for the owner lookup of the same
  // inspection.
  procfs::UniqueFd procDir(OpenProcDir(linuxPid));
  if (!procDir) {
    *why = FailureOf(errno);
    return nullptr;
  }
  std::unique_ptr<LinuxProcess> handle(
      new (std::nothrow) LinuxProcess(linuxPid, std::move(procDir), procfs::UniqueFd()));
  if (!handle) {
    *why = OpenFailure::kOther;
    return nullptr;
  }
  int error = 0;
  try {
    error = ReadOwnStatus(handle->procDir(), linuxPid, &handle->statusText);
  } catch (const std::bad_alloc&) {
    *why = OpenFailure::kOther;
    return nullptr;  // the handle closes the directory
  }
  if (error != 0) {
    *why = FailureOf(error);
    return nullptr;
  }
  *why = OpenFailure::kNone;
  return handle;
}

bool LinuxPlatform::IsInitProcessId(uint32_t pid) { return pid == 1; }

// Ids are those of the caller's PID namespace throughout (pidfd_open, kill
// and the namespace's own /proc), as getpid() gives them.
bool LinuxPlatform::IsCallerProcessId(uint32_t pid) { return pid == static_cast<uint32_t>(getpid()); }

void LinuxPlatform::ReleaseQueryResources(ProcessHandle& process) {
  LinuxProcess* opened = AsLinux(process);
  if (opened != nullptr) opened->ReleaseProcDir();
}

bool LinuxPlatform::EnumerateProcessIds(std::vector<uint32_t>* pids) {
  DirPtr dir(opendir("/proc"));
  if (!dir) return false;
  try {
    std::vector<uint32_t> found;
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) return false;
        break;
      }
      uint32_t pid = 0;
      if (procfs::ParsePidName(entry->d_name, &pid)) found.push_back(pid);
    }
    pids->swap(found);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool LinuxPlatform::TerminateProcess(ProcessHandle& process, uint32_t /*exitCode*/) {
  // A process killed by a signal has no exit code of its own choosing; the
  // code is accepted for the interface and dropped. Init ignores SIGKILL
  // from its own namespace, so a stop of it would seem to succeed: refused.
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || opened->linuxPid() <= 1) return false;
  if (opened->pidfd() >= 0) return PidfdSignal(opened->pidfd(), SIGKILL);
  // Pinned by its stat file and start time: checked right before the id
  // is used. The window left is the few instructions between the check and
  // kill(), in which the process would have to end, be reaped and its id be
  // taken by a new process.
  if (!StillPinned(*opened)) return false;
  return kill(opened->linuxPid(), SIGKILL) == 0;
}

bool LinuxPlatform::ProcessHasEnded(ProcessHandle& process) {
  // One that has ended but not yet been reaped still takes signals, so a
  // stop of it succeeds anyway; only a reaped one counts here.
  LinuxProcess* opened = AsLinux(process);
  return opened != nullptr && PinOf(*opened) == Pin::kEnded;
}

bool LinuxPlatform::QueryParent(ProcessHandle& process, uint32_t* parentPid,
                                uint64_t* creationTime) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || opened->procDir() < 0) return false;
  procfs::Stat stat;
  if (!procfs::ReadStat(opened->procDir(), "stat", &stat)) return false;
  if (stat.ppid < 0 || stat.ppid > INT_MAX) return false;
  *parentPid = static_cast<uint32_t>(stat.ppid);
  *creationTime = stat.startTime;
  return true;
}

bool LinuxPlatform::SetPriorityClass(ProcessHandle& process, uint32_t priorityClass) {
  int nice = 0;
  if (!NiceForClass(priorityClass, &nice)) return false;
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || opened->procDir() < 0) return false;
  // setpriority() takes ids, not descriptors: make sure the id still names
  // the process that was opened before using it, and again afterwards. The
  // id cannot be reused while the process exists, so a process that exists
  // after the call was the one the call reached. What remains is a window
  // of a few instructions in which the process would have to exit, be
  // reaped and its id be taken again; then the call reports failure.
  opened->statNiceFresh = false;
  if (!StillPinned(*opened)) return false;
  if (!SetThreadNice(opened->linuxPid(), nice)) return false;
  if (!StillPinned(*opened)) return false;
  // Nice values belong to threads; bring the other threads along, each
  // pinned the same way. The process fails when any of them does.
  return SetOtherThreadsNice(*opened, nice);
}

uint32_t LinuxPlatform::GetPriorityClass(ProcessHandle& process) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || opened->procDir() < 0) return 0;
  // The stat record this inspection just read through the directory shows
  // the nice value already.
  if (opened->statNiceFresh) {
    opened->statNiceFresh = false;
    return ClassForNice(opened->statNice);
  }
  // The nice value of the main thread, as "stat" shows it, without having
  // the kernel format and this code parse the whole stat record. The id is
  // asked first and the opened process checked afterwards: when it still
  // exists then, the id named it all along (an id is not reused while its
  // process exists), so the value is its own.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(opened->linuxPid()));
  if (nice == -1 && errno != 0) return 0;
  if (faccessat(opened->procDir(), "stat", F_OK, 0) != 0) return 0;
  return ClassForNice(nice);
}

}  // namespace platform
}  // namespace kelvane
