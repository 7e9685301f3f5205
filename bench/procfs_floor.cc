// The floor of the process-list benchmark: a bare program that reads what a
// listing must read of every process, the way the library reads it, and
// does nothing else (no records, no response, no XML library). Per process:
// its stat file, opened by path and kept open; then, after all of them, the
// process directory, its status, cmdline, exe link and maps (read to the
// end) through that directory, and the kept stat file read again. The
// difference between a listing's cost and this one's is what the library
// itself spends.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

char g_buffer[1 << 16];

void ReadAll(int fd) {
  while (read(fd, g_buffer, sizeof g_buffer) > 0) {
  }
}

void ReadAt(int dir, const char* name) {
  const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ReadAll(fd);
  close(fd);
}

}  // namespace

int main() {
  std::vector<int> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 1;
  while (const dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid > 0) pids.push_back(pid);
  }
  closedir(proc);

  char path[64];
  std::vector<int> statFds(pids.size(), -1);
  for (size_t i = 0; i < pids.size(); ++i) {
    std::snprintf(path, sizeof path, "/proc/%d/stat", pids[i]);
    statFds[i] = open(path, O_RDONLY | O_CLOEXEC);
    if (statFds[i] >= 0) (void)pread(statFds[i], g_buffer, sizeof g_buffer, 0);
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    std::snprintf(path, sizeof path, "/proc/%d", pids[i]);
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ReadAt(dir, "status");
      (void)readlinkat(dir, "exe", g_buffer, sizeof g_buffer);
      ReadAt(dir, "cmdline");
      ReadAt(dir, "maps");
      close(dir);
    }
    if (statFds[i] >= 0) {
      (void)pread(statFds[i], g_buffer, sizeof g_buffer, 0);
      close(statFds[i]);
    }
  }
  return 0;
}
