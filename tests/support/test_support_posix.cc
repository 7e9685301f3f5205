// The POSIX side of the shared test helpers (see support/test_support.h).
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace kelvane {
namespace testing {

bool InOwnPidNamespace() { return getpid() == 1; }

int CountOpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream itself
}

bool InSleepCall(int pid) {
  const std::string text = ReadBytes("/proc/" + std::to_string(pid) + "/syscall");
  const long number = std::strtol(text.c_str(), nullptr, 10);
#ifdef SYS_nanosleep
  if (number == SYS_nanosleep) return true;
#endif
  return number == SYS_clock_nanosleep;
}

namespace {

// The process tests compare their children's priorities with the default
// class; a test run started under `nice` would hand its own nice value to
// every child. The test program therefore starts from nice 0 itself (which
// needs root, as these suites do; without it the value is left as it was).
const bool kStartsAtNiceZero = setpriority(PRIO_PROCESS, 0, 0) == 0;

// The fields of /proc/PID/stat after the command name (state first), which
// may itself hold spaces and parentheses; empty when the process is gone.
std::string StatFields(int pid) {
  const std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return std::string();
  return stat.substr(close + 2);
}

}  // namespace

int StartSleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

int StartSleepProgram() {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && pid > 0 && !InSleepCall(pid); ++i) usleep(10 * 1000);
  return pid;
}

ProcessTree StartTree() {
  int fds[2];
  ProcessTree tree;
  if (pipe(fds) != 0) return tree;
  tree.root = fork();
  if (tree.root == 0) {
    close(fds[0]);
    pid_t ids[3];
    ids[0] = StartSleeper();
    ids[1] = fork();
    if (ids[1] == 0) {
      pid_t grandchild = StartSleeper();
      if (write(fds[1], &grandchild, sizeof grandchild) != sizeof grandchild) _exit(1);
      for (;;) pause();
    }
    if (write(fds[1], ids, 2 * sizeof(pid_t)) != 2 * sizeof(pid_t)) _exit(1);
    for (;;) pause();
  }
  close(fds[1]);
  // The grandchild id and the two child ids arrive in either order: the
  // grandchild's write is one pid, the root's write two.
  pid_t received[3] = {0, 0, 0};
  size_t got = 0;
  char* bytes = reinterpret_cast<char*>(received);
  while (got < sizeof received) {
    ssize_t n = read(fds[0], bytes + got, sizeof received - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  // Tell the pids apart by their parents: the grandchild's parent is a child.
  auto parentOf = [](pid_t pid) -> pid_t {
    const std::string fields = StatFields(pid);  // "S ppid ..."
    return fields.size() > 2 ? static_cast<pid_t>(std::atoi(fields.c_str() + 2)) : 0;
  };
  for (pid_t pid : received) {
    if (parentOf(pid) == tree.root) {
      if (tree.child1 == 0) {
        tree.child1 = pid;
      } else {
        tree.child2 = pid;
      }
    } else {
      tree.grandchild = pid;
    }
  }
  return tree;
}

bool IsRunning(int pid) {
  const std::string fields = StatFields(pid);
  return !fields.empty() && fields[0] != 'Z' && fields[0] != 'X';
}

void KillAndReap(int pid) {
  if (pid <= 0) return;
  if (IsRunning(pid)) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

int ReapSignal(int pid) {
  if (pid <= 0) return 0;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 0;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? made : std::string();
}

}  // namespace testing
}  // namespace kelvane
