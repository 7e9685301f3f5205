// POSIX implementation of textfile.h.
#include "textfile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kelvanectl {

namespace {

std::string ErrnoText(const std::string& what, const std::string& path, int error_number) {
  return what + " " + path + ": " + strerror(error_number);
}

// Ignores SIGXFSZ while it lives: a write beyond the file-size limit then
// fails with EFBIG instead of ending the program with its temporary file
// left behind.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    active_ = sigaction(SIGXFSZ, &ignore, &saved_) == 0;
  }
  ~FileSizeSignalIgnored() {
    if (active_) sigaction(SIGXFSZ, &saved_, nullptr);
  }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

 private:
  struct sigaction saved_ = {};
  bool active_ = false;
};

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFileInDirectory(const std::string& directory, const std::string& name, const std::string& bytes,
                            std::string* error) {
  // Every step is relative to the directory opened once, so the file is
  // written and renamed in one directory even if the path is swapped.
  const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    *error = ErrnoText("cannot open the directory", directory, errno);
    return false;
  }
  const std::string target = directory + "/" + name;
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                                  (static_cast<unsigned long long>(getpid()) << 32);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = "." + name + ".tmp-" + std::to_string(seed + static_cast<unsigned long long>(attempt));
    fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = ErrnoText("cannot create a temporary file in", directory, errno);
    close(dir);
    return false;
  }
  bool ok;
  int failure = 0;
  {
    const FileSizeSignalIgnored guard;
    // Readable by the collector's account whatever the umask is.
    ok = WriteAll(fd, bytes) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    if (!ok) failure = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (ok && renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    *error = ErrnoText("cannot rename the temporary file to", target, errno);
    unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return false;
  }
  if (!ok) {
    *error = ErrnoText("cannot write", directory + "/" + temp, failure);
    unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return false;
  }
  // The rename itself reaches the disk with the directory; a file system
  // that cannot sync a directory has nothing to sync.
  fsync(dir);
  close(dir);
  return true;
}

}  // namespace kelvanectl
