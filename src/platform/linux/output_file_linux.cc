#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

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

class LinuxOutputFile final : public OutputFile {
 public:
  explicit LinuxOutputFile(int fd) : fd_(fd) {}
  ~LinuxOutputFile() override { close(fd_); }

  size_t Write(const void* data, size_t size) override {
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
    return done;
  }

  std::u16string LastError() const override { return ErrorText(error_); }

 private:
  int fd_;
  int error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> LinuxPlatform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  std::string native = Utf16ToUtf8(path);
  if (path.empty() || native.find('\0') != std::string::npos) {
    if (error != nullptr) *error = ErrorText(ENOENT);
    return nullptr;
  }
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = ErrorText(errno);
    return nullptr;
  }
  return std::make_unique<LinuxOutputFile>(fd);
}

}  // namespace platform
}  // namespace kelvane
