// Opening processes and controlling them: pidfds for signals, procfs for
// facts, nice values for priority classes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

namespace kelvane {
namespace platform {

namespace {

int PidfdOpen(pid_t pid) {
  // Only ever called with pid > 0 (checked by OpenProcess).
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

bool SetThreadNice(pid_t tid, int nice) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

}  // namespace

LinuxProcess::~LinuxProcess() {
  if (pidfd_ >= 0) close(pidfd_);
  if (procDir_ >= 0) close(procDir_);
}

std::unique_ptr<ProcessHandle> LinuxPlatform::OpenProcess(uint32_t pid, uint32_t access) {
  // Ids that cannot name a process (0, "negative" ids that wrapped to large
  // unsigned values, anything beyond pid_t) never reach a system call.
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return nullptr;
  const pid_t linuxPid = static_cast<pid_t>(pid);
  // The pidfd comes first: it refuses ids of threads other than a process's
  // main thread (which /proc/<id> would otherwise serve as if they were
  // processes), and it pins the process the id names now.
  const int pidfd = PidfdOpen(linuxPid);
  if (pidfd < 0) return nullptr;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(linuxPid));
  const int procDir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // The directory belongs to the pinned process only if that process still
  // exists once the directory is open: its id cannot have been reused in
  // between.
  if (procDir < 0 || !PidfdAlive(pidfd)) {
    if (procDir >= 0) close(procDir);
    close(pidfd);
    return nullptr;
  }
  if (access == kAccessTerminate || access == kAccessSetPriority) {
    return std::make_unique<LinuxProcess>(linuxPid, procDir, pidfd);
  }
  // A query handle cannot signal.
  close(pidfd);
  return std::make_unique<LinuxProcess>(linuxPid, procDir, -1);
}

bool LinuxPlatform::EnumerateProcessIds(std::vector<uint32_t>* pids) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return false;
  std::vector<uint32_t> found;
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      ok = (errno == 0);
      break;
    }
    uint32_t pid = 0;
    if (procfs::ParsePidName(entry->d_name, &pid)) found.push_back(pid);
  }
  closedir(dir);
  if (!ok) return false;
  pids->swap(found);
  return true;
}

bool LinuxPlatform::TerminateProcess(ProcessHandle& process, uint32_t /*exitCode*/) {
  // A process killed by a signal has no exit code of its own choosing; the
  // code is accepted for the interface and dropped.
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || opened->pidfd() < 0) return false;
  return PidfdSignal(opened->pidfd(), SIGKILL);
}

bool LinuxPlatform::QueryParent(ProcessHandle& process, uint32_t* parentPid,
                                uint64_t* creationTime) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return false;
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
  if (opened == nullptr || opened->pidfd() < 0) return false;
  // setpriority() takes ids, not descriptors: make sure the id still names
  // the process that was opened before using it, and again afterwards. The
  // id cannot be reused while the process exists, so a process that exists
  // after the call was the one the call reached. What remains is a window
  // of a few instructions in which the process would have to exit, be
  // reaped and its id be taken again; then the call reports failure.
  if (!PidfdSignal(opened->pidfd(), 0)) return false;
  const pid_t pid = opened->linuxPid();
  if (!SetThreadNice(pid, nice)) return false;
  if (!PidfdAlive(opened->pidfd())) return false;
  // Nice values belong to threads; bring the other threads along. Their ids
  // are read through the opened process's own directory, so a process that
  // has gone meanwhile yields none. Their outcome does not change the result.
  int taskFd = openat(opened->procDir(), "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (taskFd < 0) return true;
  DIR* tasks = fdopendir(taskFd);
  if (tasks == nullptr) {
    close(taskFd);
    return true;
  }
  while (const dirent* entry = readdir(tasks)) {
    uint32_t tid = 0;
    if (!procfs::ParsePidName(entry->d_name, &tid)) continue;
    if (static_cast<pid_t>(tid) == pid) continue;
    SetThreadNice(static_cast<pid_t>(tid), nice);
  }
  closedir(tasks);  // closes taskFd
  return true;
}

uint32_t LinuxPlatform::GetPriorityClass(ProcessHandle& process) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return 0;
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
