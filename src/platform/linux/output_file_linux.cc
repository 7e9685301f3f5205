// The response file, replaced whole or not at all: the bytes go to a new
// temporary file beside the result path, which is renamed over the path
// only once every byte was written and the file closed without error.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "common/text.h"
#include "platform/linux/linux_platform.h"

namespace kelvane {
namespace platform {

namespace {

std::u16string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text (which may not be in `buffer`).
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return Utf8ToUtf16(text);
}

// Tries at finding an unused temporary name before giving up.
constexpr int kTemporaryNameTries = 16;

// A fresh temporary name: ".kelvane-" and 16 hex digits of randomness
// (short, so it fits beside any name the directory can hold).
std::string TemporaryName() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static uint64_t counter = 0;
    bits = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr)) ^ ++counter * 0x9E3779B97F4A7C15ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, ".kelvane-%016llx", static_cast<unsigned long long>(bits));
  return name;
}

// Holds the directory, the open temporary file and its name. Destroyed
// without a successful Commit, it closes and removes the temporary file:
// the file at the result path is then as it was.
class LinuxOutputFile final : public OutputFile {
 public:
  LinuxOutputFile(int dirFd, int fd, std::string temporary, std::string target)
      : dirFd_(dirFd), fd_(fd), temporary_(std::move(temporary)), target_(std::move(target)) {}
  ~LinuxOutputFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlinkat(dirFd_, temporary_.c_str(), 0);
    close(dirFd_);
  }
  LinuxOutputFile(const LinuxOutputFile&) = delete;
  LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

  size_t Write(const void* data, size_t size) override {
    if (fd_ < 0 || committed_) {
      if (error_ == 0) error_ = EBADF;
      return 0;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd_, p + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        break;
      }
      if (n == 0) {
        error_ = EIO;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (done < size) failed_ = true;
    return done;
  }

  bool Commit() override {
    if (committed_) return true;
    if (fd_ < 0 || failed_) return false;
    const int fd = fd_;
    fd_ = -1;
    // close() reports write-back errors (a full disk, a quota) that write()
    // did not; the file is only used when it reports none.
    if (close(fd) != 0 && errno != EINTR) {
      error_ = errno;
      failed_ = true;
      return false;
    }
    // rename() replaces whatever name stands at the target (a symbolic link
    // included, which is never followed) in one step.
    if (renameat(dirFd_, temporary_.c_str(), dirFd_, target_.c_str()) != 0) {
      error_ = errno;
      failed_ = true;
      return false;
    }
    committed_ = true;
    return true;
  }

  std::u16string LastError() const override { return ErrorText(error_); }

 private:
  int dirFd_;
  int fd_;
  std::string temporary_;
  std::string target_;
  bool failed_ = false;
  bool committed_ = false;
  int error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> LinuxPlatform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  const auto fail = [error](int code) -> std::unique_ptr<OutputFile> {
    if (error != nullptr) *error = ErrorText(code);
    return nullptr;
  };
  std::string native = Utf16ToUtf8(path);
  if (path.empty() || native.find('\0') != std::string::npos) return fail(ENOENT);
  const size_t slash = native.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : native.substr(0, slash);
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return fail(EISDIR);

  const int dirFd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return fail(errno);
  // What stands at the path now: nothing, a regular file or a symbolic link
  // (replaced, never followed) is fine; a directory, FIFO, device or socket
  // is refused at once and never opened.
  struct stat existing {};
  if (fstatat(dirFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
      close(dirFd);
      return fail(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
    }
  } else if (errno != ENOENT) {
    const int code = errno;
    close(dirFd);
    return fail(code);
  }

  int code = EEXIST;
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    std::string temporary = TemporaryName();
    // A new file only (O_EXCL, which also refuses a planted link), with the
    // usual mode: 0644 less the process's umask.
    const int fd = openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return std::make_unique<LinuxOutputFile>(dirFd, fd, std::move(temporary), name);
    code = errno;
    if (code != EEXIST) break;
  }
  close(dirFd);
  return fail(code);
}

}  // namespace platform
}  // namespace kelvane
