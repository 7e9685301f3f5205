// Reading a whole regular file (the command file) without ever opening
// anything else for reading: the path is first opened with O_PATH, which
// neither blocks on a FIFO nor wakes a device, and only a regular file of
// the allowed size is then opened for reading, through that very
// descriptor, so a file swapped in meanwhile is never read.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/text.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

namespace kelvane {
namespace platform {

namespace {

// Opens the file `pathFd` (an O_PATH descriptor of a regular file) names for
// reading: through /proc/self/fd, which reaches exactly that file; without
// /proc, by name, accepted only when it is still the same file.
procfs::UniqueFd OpenForReading(int pathFd, const std::string& path, const struct stat& expected) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", pathFd);
  procfs::UniqueFd fd(open(proc, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (fd) return fd;
  fd.reset(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || st.st_dev != expected.st_dev || st.st_ino != expected.st_ino) {
    return procfs::UniqueFd();
  }
  return fd;
}

}  // namespace

bool LinuxPlatform::ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) {
  const std::string native = Utf16ToUtf8(path);
  if (path.empty() || native.find('\0') != std::string::npos || bytes == nullptr) return false;
  const procfs::UniqueFd pathFd(open(native.c_str(), O_PATH | O_CLOEXEC));
  if (pathFd.get() < 0) return false;
  struct stat st {};
  if (fstat(pathFd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > limit) return false;
  const procfs::UniqueFd fd = OpenForReading(pathFd.get(), native, st);
  if (!fd) return false;
  // The file may have grown since: read at most one byte past the limit to
  // tell.
  std::string data;
  try {
    data.resize(static_cast<size_t>(st.st_size) + 1);
    size_t done = 0;
    for (;;) {
      if (done == data.size()) {
        if (data.size() > limit) return false;
        data.resize(data.size() + (data.size() < 65536 ? data.size() : 65536) + 1);
      }
      const ssize_t n = read(fd.get(), &data[done], data.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    if (done > limit) return false;
    data.resize(done);
  } catch (const std::exception&) {
    return false;
  }
  bytes->swap(data);
  return true;
}

}  // namespace platform
}  // namespace kelvane
