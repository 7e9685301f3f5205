// POSIX implementation of the kelvanectl OS seam.
#include "host_os.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kelvanectl {

namespace {

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Maps in every page of the string's storage with one request, before it
// is written; kernels without the request leave the pages to fault in.
void PrefaultCapacity(std::string* text) {
#ifdef MADV_POPULATE_WRITE
  const size_t bytes = text->capacity();
  if (bytes < 65536) return;
  const uintptr_t mask = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(&(*text)[0]) & ~mask;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(&(*text)[0]) + bytes + mask) & ~mask;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)text;
#endif
}

}  // namespace

const char* DefaultLibraryName() { return "libkelvane.so"; }

std::string ExecutableDirectory() {
  char buffer[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (length <= 0) return {};
  std::string path(buffer, static_cast<size_t>(length));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool DynamicLibrary::Load(const std::string& path, std::string* error) {
  dlerror();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot load " + path;
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name, std::string* error) const {
  if (handle_ == nullptr) {
    *error = "no library loaded";
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle_, name);
  if (address == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : std::string("symbol ") + name + " is null";
  }
  return address;
}

namespace {

// Why `info`, the status of `path`, lets someone other than root change
// what the path holds; empty when nothing does. `directory`: the sticky bit
// makes a directory writable by others safe for entries root owns.
std::string WhoElseMayWrite(const std::string& path, const struct stat& info, bool directory) {
  if (info.st_uid != 0) return path + " is owned by uid " + std::to_string(info.st_uid) + ", not by root";
  if (directory && (info.st_mode & S_ISVTX) != 0) return {};
  if ((info.st_mode & S_IWOTH) != 0) return path + " is writable by others";
  if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0) {
    return path + " is writable by group " + std::to_string(info.st_gid);
  }
  return {};
}

}  // namespace

LibraryTrust CheckLibraryTrust(const std::string& path, std::string* load_path, std::string* error) {
  *load_path = path;
  if (geteuid() != 0) return LibraryTrust::kTrusted;
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *error = ErrnoText("cannot resolve", path);
    return LibraryTrust::kUnreadable;
  }
  const std::string file = real;
  free(real);
  const std::string refused = "refusing to load " + path + " as root: ";
  const std::string rule =
      " (a library loaded as root must be owned by root and writable by no one else, and so must every "
      "directory above it)";
  struct stat info;
  if (stat(file.c_str(), &info) != 0) {
    *error = ErrnoText("cannot inspect", file);
    return LibraryTrust::kUnreadable;
  }
  if (!S_ISREG(info.st_mode)) {
    // Never opened: a FIFO would block the load.
    *error = file + " is not a regular file";
    return LibraryTrust::kUnreadable;
  }
  std::string why = WhoElseMayWrite(file, info, false);
  // Every directory from the file's own up to "/" (the resolved path holds
  // no links and no "." or ".." parts).
  for (size_t slash = file.rfind('/'); why.empty() && slash != std::string::npos;
       slash = slash == 0 ? std::string::npos : file.rfind('/', slash - 1)) {
    const std::string directory = slash == 0 ? "/" : file.substr(0, slash);
    if (lstat(directory.c_str(), &info) != 0) {
      *error = ErrnoText("cannot inspect", directory);
      return LibraryTrust::kUnreadable;
    }
    why = WhoElseMayWrite(directory, info, true);
  }
  if (!why.empty()) {
    *error = refused + why + rule;
    return LibraryTrust::kUntrusted;
  }
  *load_path = file;
  return LibraryTrust::kTrusted;
}

void IgnoreFileSizeSignal() { signal(SIGXFSZ, SIG_IGN); }

static_assert(sizeof(sigset_t) <= 256, "the saved signal mask must fit the guard");

InterruptGuard::InterruptGuard() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  sigaddset(&blocked, SIGTERM);
  active_ = sigprocmask(SIG_BLOCK, &blocked, reinterpret_cast<sigset_t*>(saved_)) == 0;
}

InterruptGuard::~InterruptGuard() {
  if (active_) sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr);
}

bool MakeTempDirectory(std::string* path, std::string* error) {
  const char* base = getenv("TMPDIR");
  std::string pattern = JoinPath(base != nullptr && *base != '\0' ? base : "/tmp", "kelvanectl-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = ErrnoText("cannot create a temporary directory", pattern);
    return false;
  }
  *path = pattern;
  return true;
}

bool RemoveEmptyDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path);
    return false;
  }
  // Sized for the whole file (plus the byte that finds its end) up front,
  // and mapped in at once rather than a page fault at a time; a file that
  // grows meanwhile is still read to its end.
  struct stat info;
  size_t room = 65536;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    room = static_cast<size_t>(info.st_size) + 1;
  }
  bytes->clear();
  bytes->reserve(room);
  PrefaultCapacity(bytes);
  bytes->resize(room);
  size_t used = 0;
  while (true) {
    if (used == bytes->size()) bytes->resize(bytes->size() * 2);
    ssize_t n = read(fd, &(*bytes)[used], bytes->size() - used);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = ErrnoText("cannot read", path);
      close(fd);
      bytes->clear();
      return false;
    }
    used += static_cast<size_t>(n);
  }
  close(fd);
  bytes->resize(used);
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot create", path);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = ErrnoText("cannot write", path);
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    *error = ErrnoText("cannot write", path);
    return false;
  }
  return true;
}

int TerminalColumns() {
  struct winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

void PrepareConsole() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

namespace {

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
    *error = ErrnoText("cannot open the directory", directory);
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
    *error = ErrnoText("cannot create a temporary file in", directory);
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
    *error = ErrnoText("cannot rename the temporary file to", target);
    unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return false;
  }
  if (!ok) {
    errno = failure;
    *error = ErrnoText("cannot write", directory + "/" + temp);
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
