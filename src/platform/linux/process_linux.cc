// Opening processes and controlling them: pidfds for signals, procfs for
// facts, nice values for priority classes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

namespace kelvane {
namespace platform {

namespace {

int PidfdOpen(pid_t pid) {
  // Only ever called with pid > 0 (checked by OpenProcess).
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
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
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(linuxPid));
  int procDir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procDir < 0) return nullptr;
  int pidfd = -1;
  if (access == kAccessTerminate || access == kAccessSetPriority) {
    pidfd = PidfdOpen(linuxPid);
    if (pidfd < 0) {
      close(procDir);
      return nullptr;
    }
  }
  return std::make_unique<LinuxProcess>(linuxPid, procDir, pidfd);
}

bool LinuxPlatform::EnumerateProcessIds(std::vector<uint32_t>*) { return false; }
bool LinuxPlatform::TerminateProcess(ProcessHandle&, uint32_t) { return false; }
bool LinuxPlatform::QueryParent(ProcessHandle&, uint32_t*, uint64_t*) { return false; }
bool LinuxPlatform::SetPriorityClass(ProcessHandle&, uint32_t) { return false; }
uint32_t LinuxPlatform::GetPriorityClass(ProcessHandle&) { return 0; }

}  // namespace platform
}  // namespace kelvane
