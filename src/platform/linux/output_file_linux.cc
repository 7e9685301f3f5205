// The response file, replaced whole or not at all: the bytes go to a new
// temporary file beside the result path, which is renamed over the path
// only once every byte was written and the file closed without error. The
// new file takes the mode and owner of the regular file it replaces. When
// the directory takes no new file but the file at the path may be written,
// that file is written in place instead (see platform.h).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/text.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

namespace kelvane {
namespace platform {

namespace {

using procfs::UniqueFd;

std::u16string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text (which may not be in `buffer`).
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return Utf8ToUtf16(text);
}

// Tries at finding an unused temporary name before giving up.
constexpr int kTemporaryNameTries = 16;

// Room for a temporary name: ".kelvane-", 16 hex digits and the terminator.
using TemporaryName = char[32];

// A fresh temporary name: ".kelvane-" and 16 hex digits of randomness
// (short, so it fits beside any name the directory can hold). Allocates
// nothing.
void MakeTemporaryName(TemporaryName& name) {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static uint64_t counter = 0;
    bits = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr)) ^ ++counter * 0x9E3779B97F4A7C15ull;
  }
  std::snprintf(name, sizeof name, ".kelvane-%016llx", static_cast<unsigned long long>(bits));
}

// What stood at the result path when the file was started.
struct ExistingFile {
  bool regular = false;  // a regular file (not a link to one)
  struct stat st {};
};

// Errors of creating the temporary file that mean "this directory takes no
// new file from this process", after which the file at the path may still
// be writable in place.
bool DirectoryRefusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Owns the directory, the open file and (until Commit) the temporary file's
// name. Every member is set before the temporary file is made, so nothing
// that can fail happens between making that file and owning it. Destroyed
// without a successful Commit, it closes and removes the temporary file:
// the file at the result path is then as it was.
class LinuxOutputFile final : public OutputFile {
 public:
  LinuxOutputFile(UniqueFd directory, std::string target) noexcept
      : dir_(std::move(directory)), target_(std::move(target)) {}
  ~LinuxOutputFile() override {
    fd_.reset();
    if (temporary_[0] != '\0' && !committed_) unlinkat(dir_.get(), temporary_, 0);
  }
  LinuxOutputFile(const LinuxOutputFile&) = delete;
  LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

  // Makes the temporary file; 0 or the errno of the last attempt. It takes
  // the rights and owner of `existing` when that is a regular file: made
  // readable by its owner only, then handed to the old file's owner and
  // given the old file's permission bits, so that at no time can anyone
  // the old file kept out open it.
  int CreateTemporary(const ExistingFile& existing) {
    int code = EEXIST;
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
      TemporaryName name;
      MakeTemporaryName(name);
      // A new file only (O_EXCL, which also refuses a planted link); a file
      // of its own gets the usual mode: 0644 less the process's umask.
      const mode_t mode = existing.regular ? 0600 : 0644;
      fd_.reset(openat(dir_.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      if (fd_) {
        std::memcpy(temporary_, name, sizeof name);
        if (existing.regular) KeepRights(existing.st);
        return 0;
      }
      code = errno;
      if (code != EEXIST) break;
    }
    return code;
  }

  // Opens the regular file at the path for writing in place: reached
  // through an O_PATH descriptor taken without following a link, checked
  // to be the file seen before with no other name (a hard link would carry
  // the bytes elsewhere), and reopened for writing through /proc/self/fd,
  // which reaches exactly that file (without /proc, by name with
  // O_NOFOLLOW, then checked again). 0 or an errno.
  int OpenInPlace(const ExistingFile& existing) {
    const UniqueFd path(openat(dir_.get(), target_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!path) return errno;
    struct stat st {};
    if (fstat(path.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_dev != existing.st.st_dev ||
        st.st_ino != existing.st.st_ino) {
      return EINVAL;
    }
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", path.get());
    fd_.reset(open(proc, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd_) {
      if (errno != ENOENT) return errno;
      fd_.reset(openat(dir_.get(), target_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (!fd_) return errno;
    }
    if (fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != existing.st.st_dev ||
        st.st_ino != existing.st.st_ino) {
      fd_.reset();
      return EINVAL;
    }
    inPlace_ = true;
    return 0;
  }

  size_t Write(const void* data, size_t size) override {
    if (!fd_ || committed_) {
      if (error_ == 0) error_ = EBADF;
      failed_ = true;
      return 0;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd_.get(), p + done, size - done);
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
    written_ += done;
    if (done < size) failed_ = true;
    return done;
  }

  bool Commit() override {
    if (committed_) return true;
    if (!fd_ || failed_) return false;
    // A file written in place loses whatever of its old bytes lie beyond
    // the new ones.
    if (inPlace_ && ftruncate(fd_.get(), static_cast<off_t>(written_)) != 0) return Fail(errno);
    // close() reports write-back errors (a full disk, a quota) that write()
    // did not; the file is only used when it reports none.
    if (fd_.Close() != 0 && errno != EINTR) return Fail(errno);
    // rename() replaces whatever name stands at the target (a symbolic link
    // included, which is never followed) in one step.
    if (!inPlace_ && renameat(dir_.get(), temporary_, dir_.get(), target_.c_str()) != 0) return Fail(errno);
    committed_ = true;
    return true;
  }

  bool WrittenInPlace() const override { return inPlace_; }

  std::u16string LastError() const override { return ErrorText(error_); }

 private:
  // Gives the temporary file the owner and permission bits of the file it
  // replaces. Where the owner cannot be kept (a caller without the right
  // to give files away), the group is tried alone, and the permission bits
  // are kept in any case. Set-id and sticky bits are not carried over.
  void KeepRights(const struct stat& old) {
    if (fchown(fd_.get(), old.st_uid, old.st_gid) != 0) fchown(fd_.get(), static_cast<uid_t>(-1), old.st_gid);
    fchmod(fd_.get(), old.st_mode & 0777);
  }

  bool Fail(int error) {
    error_ = error;
    failed_ = true;
    return false;
  }

  UniqueFd dir_;
  UniqueFd fd_;
  std::string target_;
  TemporaryName temporary_ = {};
  size_t written_ = 0;
  bool inPlace_ = false;
  bool failed_ = false;
  bool committed_ = false;
  int error_ = 0;
};

std::unique_ptr<OutputFile> Create(const std::u16string& path, int* code) {
  std::string native = Utf16ToUtf8(path);
  if (path.empty() || native.find('\0') != std::string::npos) {
    *code = ENOENT;
    return nullptr;
  }
  const size_t slash = native.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : native.substr(0, slash);
  std::string name = slash == std::string::npos ? std::move(native) : native.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    *code = EISDIR;
    return nullptr;
  }

  UniqueFd dir(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    *code = errno;
    return nullptr;
  }
  // What stands at the path now: nothing, a regular file or a symbolic link
  // (replaced, never followed) is fine; a directory, FIFO, device or socket
  // is refused at once and never opened.
  ExistingFile existing;
  if (fstatat(dir.get(), name.c_str(), &existing.st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(existing.st.st_mode) && !S_ISLNK(existing.st.st_mode)) {
      *code = S_ISDIR(existing.st.st_mode) ? EISDIR : EINVAL;
      return nullptr;
    }
    existing.regular = S_ISREG(existing.st.st_mode);
  } else if (errno != ENOENT) {
    *code = errno;
    return nullptr;
  }

  std::unique_ptr<LinuxOutputFile> file(new (std::nothrow) LinuxOutputFile(std::move(dir), std::move(name)));
  if (!file) {
    *code = ENOMEM;
    return nullptr;
  }
  *code = file->CreateTemporary(existing);
  if (*code != 0 && DirectoryRefusesNewFiles(*code) && existing.regular && file->OpenInPlace(existing) == 0) {
    *code = 0;
  }
  if (*code != 0) return nullptr;
  return file;
}

}  // namespace

std::unique_ptr<OutputFile> LinuxPlatform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  int code = 0;
  std::unique_ptr<OutputFile> file;
  try {
    file = Create(path, &code);
  } catch (const std::bad_alloc&) {
    // Nothing is held any more: every descriptor and the temporary file
    // belong to owners that went with the exception.
    code = ENOMEM;
  }
  if (!file && error != nullptr) {
    try {
      *error = ErrorText(code);
    } catch (const std::bad_alloc&) {
      error->clear();
    }
  }
  return file;
}

}  // namespace platform
}  // namespace kelvane
