// The POSIX side of the shared test helpers (see support/test_support.h).
#include <dirent.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

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

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? made : std::string();
}

}  // namespace testing
}  // namespace kelvane
